// IPP requests to a CUPS server, one per call, through cupsDoRequest on the
// library's default connection (which also answers CUPS's authentication
// challenge with the caller's own credentials on a local socket).
#include "lpsvc/cupsclient.h"

#include <cups/cups.h>
#include <sys/stat.h>

#include <memory>

namespace lpsvc {

namespace {

struct IppDeleter {
  void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using Ipp = std::unique_ptr<ipp_t, IppDeleter>;

constexpr char kAdminResource[] = "/admin/";
constexpr int kConnectMs = 5000;

std::string DestinationUri(const std::string& name, bool is_class) {
  char uri[HTTP_MAX_URI];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                   is_class ? "/classes/%s" : "/printers/%s", name.c_str());
  return uri;
}

Ipp NewRequest(ipp_op_t op, const std::string& name, bool is_class) {
  Ipp request(ippNewRequest(op));
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               DestinationUri(name, is_class).c_str());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  return request;
}

// Sends the request; the response, or null when there was none.
Ipp Send(Ipp request, const char* resource) {
  return Ipp(cupsDoRequest(CUPS_HTTP_DEFAULT, request.release(), resource));
}

bool Succeeded() { return cupsLastError() <= IPP_STATUS_OK_EVENTS_COMPLETE; }

// What went wrong, in one line, with the remedy for the refusals an
// administrator can mend.
std::string Failure(const std::string& what) {
  const ipp_status_t status = cupsLastError();
  std::string line = std::string("CUPS at ") + cupsServer() + " refused to " + what + ": " + cupsLastErrorString();
  if (status == IPP_STATUS_ERROR_FORBIDDEN || status == IPP_STATUS_ERROR_NOT_AUTHENTICATED ||
      status == IPP_STATUS_ERROR_NOT_AUTHORIZED) {
    line += std::string(" (the account ") + cupsUser() +
            " is not in the CUPS SystemGroup: add it, e.g. usermod -a -G lpadmin " + cupsUser() +
            ", then restart kqsd)";
  } else if (status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE || status == IPP_STATUS_ERROR_INTERNAL) {
    line += " (is CUPS running? systemctl start cups)";
  }
  return line;
}

}  // namespace

CupsClient::CupsClient(const std::string& server) {
  if (server != "default") cupsSetServer(server.c_str());
}

std::string InterfaceUri(const std::string& interface_path) { return "lpif://" + interface_path; }

bool CupsClient::Answers(std::string* why) {
  // A connection of its own first, for a plain reason when there is no
  // server at all.
  const std::string server = cupsServer();
  struct stat st;
  const bool no_socket = server[0] == '/' && stat(server.c_str(), &st) != 0;
  http_t* http = no_socket ? nullptr
                           : httpConnect2(server.c_str(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                                          kConnectMs, nullptr);
  if (http == nullptr) {
    *why = "cannot reach the CUPS server at " + server + (no_socket ? ": no such socket" : "") +
           " (is CUPS running? systemctl start cups)";
    return false;
  }
  httpClose(http);
  Ipp request(ippNewRequest(IPP_OP_CUPS_GET_DEFAULT));
  Send(std::move(request), "/");
  // "No default destination" is an answer too.
  if (Succeeded() || cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND) return true;
  *why = Failure("answer");
  return false;
}

bool CupsClient::AddPrinter(const std::string& name, const std::string& device_uri, std::string* why) {
  Ipp request = NewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER, name, false);
  ippAddString(request.get(), IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, device_uri.c_str());
  Send(std::move(request), kAdminResource);
  if (Succeeded()) return true;
  *why = Failure("define printer " + name);
  return false;
}

bool CupsClient::JoinClass(const std::string& cls, const std::string& printer, std::string* why) {
  Ipp query = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, cls, true);
  ippAddString(query.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "member-uris");
  Ipp answer = Send(std::move(query), "/");
  std::vector<std::string> members;
  const bool is_new = cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND;
  if (Succeeded()) {
    if (ipp_attribute_t* a = ippFindAttribute(answer.get(), "member-uris", IPP_TAG_URI)) {
      for (int i = 0; i < ippGetCount(a); ++i) members.emplace_back(ippGetString(a, i, nullptr));
    }
  } else if (!is_new) {
    *why = Failure("show class " + cls);
    return false;
  }
  const std::string uri = DestinationUri(printer, false);
  for (const std::string& m : members) {
    if (m == uri) return true;
  }
  members.push_back(uri);
  std::vector<const char*> values;
  for (const std::string& m : members) values.push_back(m.c_str());
  Ipp request = NewRequest(IPP_OP_CUPS_ADD_MODIFY_CLASS, cls, true);
  ippAddStrings(request.get(), IPP_TAG_PRINTER, IPP_TAG_URI, "member-uris", static_cast<int>(values.size()),
                nullptr, values.data());
  // An LP class has no printing state of its own: it prints while a member
  // does, so a new CUPS class starts idle rather than stopped.
  if (is_new) ippAddInteger(request.get(), IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_IDLE);
  Send(std::move(request), kAdminResource);
  if (Succeeded()) return true;
  *why = Failure("add " + printer + " to class " + cls);
  return false;
}

bool CupsClient::SetDefault(const std::string& name, bool is_class, std::string* why) {
  Send(NewRequest(IPP_OP_CUPS_SET_DEFAULT, name, is_class), kAdminResource);
  if (Succeeded()) return true;
  *why = Failure("make " + name + " the default destination");
  return false;
}

bool CupsClient::Delete(const std::string& name, bool is_class, std::string* why) {
  Send(NewRequest(is_class ? IPP_OP_CUPS_DELETE_CLASS : IPP_OP_CUPS_DELETE_PRINTER, name, is_class),
       kAdminResource);
  if (Succeeded() || cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND) return true;
  *why = Failure("delete " + name);
  return false;
}

bool CupsClient::Accept(const std::string& name, bool is_class, std::string* why) {
  Send(NewRequest(IPP_OP_CUPS_ACCEPT_JOBS, name, is_class), kAdminResource);
  if (Succeeded()) return true;
  *why = Failure("let " + name + " accept jobs");
  return false;
}

bool CupsClient::Resume(const std::string& name, std::string* why) {
  Send(NewRequest(IPP_OP_RESUME_PRINTER, name, false), kAdminResource);
  if (Succeeded()) return true;
  *why = Failure("enable " + name);
  return false;
}

}  // namespace lpsvc
