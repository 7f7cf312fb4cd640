// IPP requests to a CUPS server, one per call, through cupsDoRequest on the
// library's default connection (which also answers CUPS's authentication
// challenge with the caller's own credentials on a local socket); listings,
// whose answers grow with the number of printers or jobs, are read whole on
// a connection of their own.
//
// The library is opened on first use rather than linked: on these machines
// mapping libcups and its thirty-odd dependencies costs a process some 15 ms,
// more than a command's own work, and most LP commands never talk to CUPS.
#include "lpsvc/cupsclient.h"

#include <cups/cups.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

namespace lpsvc {

// Every libcups function this module calls, each through this table.
#define LPSVC_CUPS_FUNCTIONS(X)                                                                              \
  X(cupsDoRequest) X(cupsEncryption) X(cupsLastError) X(cupsLastErrorString) X(cupsServer) X(cupsSetServer) \
  X(cupsUser) X(httpAssembleURIf) X(httpClose) X(httpConnect2) X(ippAddInteger) X(ippAddString)           \
  X(ippAddStrings) X(ippDelete) X(ippFindAttribute) X(ippGetCount) X(ippGetString) X(ippNewRequest)        \
  X(ippPort) X(ippFirstAttribute) X(ippNextAttribute) X(ippGetName) X(ippGetGroupTag) X(ippGetInteger)     \
  X(ippGetBoolean) X(cupsSendRequest) X(httpUpdate) X(httpRead2) X(ippLength) X(ippNew) X(ippReadIO)       \
  X(ippGetStatusCode)

struct CupsApi {
#define LPSVC_CUPS_FIELD(name) decltype(&::name) name = nullptr;
  LPSVC_CUPS_FUNCTIONS(LPSVC_CUPS_FIELD)
#undef LPSVC_CUPS_FIELD
};

namespace {

constexpr char kAdminResource[] = "/admin/";
constexpr int kConnectMs = 5000;

// The library's functions, loaded once; null with the reason when they
// cannot be had.
const CupsApi* LoadCups(std::string* why) {
  static CupsApi api;
  static std::string error;
  static const bool loaded = [] {
    void* lib = dlopen("libcups.so.2", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
      error = std::string("cannot load the CUPS client library: ") + dlerror() + " (install libcups2)";
      return false;
    }
#define LPSVC_CUPS_LOAD(name)                                                            \
  if ((api.name = reinterpret_cast<decltype(api.name)>(dlsym(lib, #name))) == nullptr) { \
    error = "the CUPS client library lacks " #name;                                      \
    return false;                                                                        \
  }
    LPSVC_CUPS_FUNCTIONS(LPSVC_CUPS_LOAD)
#undef LPSVC_CUPS_LOAD
    return true;
  }();
  *why = error;
  return loaded ? &api : nullptr;
}

// An answer read whole into memory, handed to the library's IPP parser.
struct MemoryReader {
  std::string_view data;
  size_t at = 0;
};

ssize_t ReadMemory(void* context, ipp_uchar_t* buffer, size_t length) {
  auto* r = static_cast<MemoryReader*>(context);
  const size_t n = std::min(length, r->data.size() - r->at);
  std::memcpy(buffer, r->data.data() + r->at, n);
  r->at += n;
  return static_cast<ssize_t>(n);
}

}  // namespace

// The requests themselves, on a loaded library.
class CupsClient::Session {
 public:
  explicit Session(const CupsApi& api) : cups_(api) {}

  std::string DestinationUri(const std::string& name, bool is_class) const {
    char uri[HTTP_MAX_URI];
    cups_.httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", cups_.ippPort(),
                           is_class ? "/classes/%s" : "/printers/%s", name.c_str());
    return uri;
  }

  // A new request about printer or class name. The caller owns it until Send.
  ipp_t* NewRequest(ipp_op_t op, const std::string& name, bool is_class) const {
    ipp_t* request = cups_.ippNewRequest(op);
    cups_.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                       DestinationUri(name, is_class).c_str());
    cups_.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                       cups_.cupsUser());
    return request;
  }

  // Sends and frees request; true when CUPS carried it out. The response,
  // when wanted, goes to answer (freed by the caller with Free).
  bool Send(ipp_t* request, const char* resource, ipp_t** answer = nullptr) const {
    ipp_t* response = cups_.cupsDoRequest(CUPS_HTTP_DEFAULT, request, resource);
    if (answer != nullptr) {
      *answer = response;
    } else {
      cups_.ippDelete(response);
    }
    return Status() <= IPP_STATUS_OK_EVENTS_COMPLETE;
  }
  void Free(ipp_t* ipp) const { cups_.ippDelete(ipp); }
  ipp_status_t Status() const { return cups_.cupsLastError(); }

  // What CUPS has under a name, printer or class.
  struct Found {
    bool exists = false;
    bool is_class = false;
    std::string device_uri;  // a printer's
    std::string info;        // printer-info
    std::vector<std::string> member_uris;  // a class's
  };
  // False with the reason when CUPS did not answer.
  bool Lookup(const std::string& name, Found* f, std::string* why) const {
    static const char* const kWanted[] = {"printer-type", "device-uri", "printer-info", "member-uris"};
    ipp_t* query = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, name, false);
    cups_.ippAddStrings(query, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 4, nullptr, kWanted);
    ipp_t* answer = nullptr;
    f->exists = Send(query, "/", &answer);
    if (!f->exists) {
      Free(answer);
      if (Status() == IPP_STATUS_ERROR_NOT_FOUND) return true;
      *why = Failure("show " + name);
      return false;
    }
    if (ipp_attribute_t* a = cups_.ippFindAttribute(answer, "printer-type", IPP_TAG_ZERO))
      f->is_class = (cups_.ippGetInteger(a, 0) & CUPS_PRINTER_CLASS) != 0;
    auto text = [&](const char* attr, ipp_tag_t tag) {
      ipp_attribute_t* a = cups_.ippFindAttribute(answer, attr, tag);
      const char* v = a != nullptr ? cups_.ippGetString(a, 0, nullptr) : nullptr;
      return std::string(v != nullptr ? v : "");
    };
    f->device_uri = text("device-uri", IPP_TAG_URI);
    f->info = text("printer-info", IPP_TAG_TEXT);
    if (ipp_attribute_t* a = cups_.ippFindAttribute(answer, "member-uris", IPP_TAG_URI)) {
      for (int i = 0; i < cups_.ippGetCount(a); ++i) f->member_uris.emplace_back(cups_.ippGetString(a, i, nullptr));
    }
    Free(answer);
    return true;
  }

  // What went wrong, in one line, with the remedy for the refusals an
  // administrator can mend.
  std::string Failure(const std::string& what) const {
    const ipp_status_t status = Status();
    const std::string user = cups_.cupsUser();
    const std::string server = cups_.cupsServer();
    if (status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE || status == IPP_STATUS_ERROR_INTERNAL) {
      return "cannot reach the CUPS server at " + server + " to " + what + ": " + cups_.cupsLastErrorString() +
             " (is CUPS running? systemctl start cups)";
    }
    std::string line = "CUPS at " + server + " refused to " + what + ": " + cups_.cupsLastErrorString();
    if (status == IPP_STATUS_ERROR_FORBIDDEN || status == IPP_STATUS_ERROR_NOT_AUTHENTICATED ||
        status == IPP_STATUS_ERROR_NOT_AUTHORIZED) {
      // lp runs every filter and backend: making it an administrator would
      // hand CUPS to any exploited filter.
      line += user == "lp" ? " (lp must never be a CUPS administrator: run kqsd as its service account,"
                             " [Process Settings] User=kqsd, with that account in the CUPS SystemGroup, e.g."
                             " usermod -a -G lpadmin kqsd)"
                           : " (the account " + user + " is not in the CUPS SystemGroup: add it, e.g. usermod -a -G lpadmin " +
                                 user + ", then restart kqsd)";
    } else if (status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE || status == IPP_STATUS_ERROR_INTERNAL) {
      line += " (is CUPS running? systemctl start cups)";
    }
    return line;
  }

  // The member URIs of class cls; is_new when CUPS has no such class. False
  // with the reason when CUPS cannot say.
  bool ClassMembers(const std::string& cls, std::vector<std::string>* members, bool* is_new, std::string* why) const {
    const CupsApi& cups = cups_;
    ipp_t* query = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, cls, true);
    cups.ippAddString(query, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "member-uris");
    ipp_t* answer = nullptr;
    const bool found = Send(query, "/", &answer);
    *is_new = !found && Status() == IPP_STATUS_ERROR_NOT_FOUND;
    if (ipp_attribute_t* a = found ? cups.ippFindAttribute(answer, "member-uris", IPP_TAG_URI) : nullptr) {
      for (int i = 0; i < cups.ippGetCount(a); ++i) members->emplace_back(cups.ippGetString(a, i, nullptr));
    }
    Free(answer);
    if (found || *is_new) return true;
    *why = Failure("show class " + cls);
    return false;
  }

  // Sends a listing request for the attributes wanted and reads the objects
  // of group in the answer into out: take fills a record from one attribute,
  // and a record goes to out when keep finds it whole. An answer with no
  // objects is an empty listing; false, with the reason (what names the
  // listing), when CUPS refused.
  template <typename Record, typename Take, typename Keep>
  bool List(ipp_t* request, const std::vector<const char*>& wanted, ipp_tag_t group, const std::string& what,
            Take take, Keep keep, std::vector<Record>* out, std::string* why) const {
    const CupsApi& cups = cups_;
    out->clear();
    cups.ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                       static_cast<int>(wanted.size()), nullptr, wanted.data());
    // A listing CUPS refuses is asked again the library's way, which
    // records why for Failure.
    ipp_t* answer = Fetch(request, "/");
    const ipp_status_t status = answer != nullptr ? cups.ippGetStatusCode(answer) : IPP_STATUS_ERROR_INTERNAL;
    if (status <= IPP_STATUS_OK_EVENTS_COMPLETE || status == IPP_STATUS_ERROR_NOT_FOUND) {
      Free(request);
    } else {
      Free(answer);
      answer = nullptr;
      if (!Send(request, "/", &answer) && Status() != IPP_STATUS_ERROR_NOT_FOUND) {
        Free(answer);
        *why = Failure(what);
        return false;
      }
    }
    Record r;
    auto flush = [&] {
      if (keep(r)) out->push_back(std::move(r));
      r = Record();
    };
    for (ipp_attribute_t* a = answer != nullptr ? cups.ippFirstAttribute(answer) : nullptr; a != nullptr;
         a = cups.ippNextAttribute(answer)) {
      const char* name = cups.ippGetName(a);
      if (cups.ippGetGroupTag(a) != group || name == nullptr) {
        flush();
      } else {
        take(std::string_view(name), a, &r);
      }
    }
    flush();
    Free(answer);
    return true;
  }

  // Sends request (kept by the caller) to resource on a connection of its
  // own and reads the answer whole before parsing it: the library's own
  // reader asks the socket for each attribute's few bytes, some thirty reads
  // a printer in a listing. Null when CUPS cannot be reached or does not
  // answer with an IPP message.
  ipp_t* Fetch(ipp_t* request, const char* resource) const {
    const CupsApi& cups = cups_;
    http_t* http = cups.httpConnect2(cups.cupsServer(), cups.ippPort(), nullptr, AF_UNSPEC, cups.cupsEncryption(), 1,
                                     kConnectMs, nullptr);
    if (http == nullptr) return nullptr;
    http_status_t status = cups.cupsSendRequest(http, request, resource, cups.ippLength(request));
    while (status == HTTP_STATUS_CONTINUE) status = cups.httpUpdate(http);
    std::string body;
    if (status == HTTP_STATUS_OK) {
      std::vector<char> chunk(64 << 10);
      for (ssize_t n; (n = cups.httpRead2(http, chunk.data(), chunk.size())) > 0;) body.append(chunk.data(), n);
    }
    cups.httpClose(http);
    if (status != HTTP_STATUS_OK) return nullptr;
    ipp_t* answer = cups.ippNew();
    MemoryReader reader{body};
    ipp_state_t state;
    do {
      state = cups.ippReadIO(&reader, ReadMemory, 1, nullptr, answer);
    } while (state != IPP_STATE_DATA && state != IPP_STATE_ERROR);
    if (state == IPP_STATE_DATA) return answer;
    Free(answer);
    return nullptr;
  }

  const CupsApi& cups_;
};

CupsClient::CupsClient(const std::string& server) {
  if (const CupsApi* api = LoadCups(&load_error_)) {
    session_ = std::make_unique<Session>(*api);
    if (server != "default") api->cupsSetServer(server.c_str());
  }
}

CupsClient::~CupsClient() = default;

std::string InterfaceUri(const std::string& interface_path) { return "lpif://" + interface_path; }

bool CupsClient::Loaded(std::string* why) const {
  if (session_ == nullptr) *why = load_error_;
  return session_ != nullptr;
}

bool CupsClient::Answers(std::string* why) {
  if (!Loaded(why)) return false;
  const CupsApi& cups = session_->cups_;
  // A connection of its own first, for a plain reason when there is no
  // server at all.
  const std::string server = cups.cupsServer();
  struct stat st;
  const bool no_socket = server[0] == '/' && stat(server.c_str(), &st) != 0;
  http_t* http = no_socket ? nullptr
                           : cups.httpConnect2(server.c_str(), cups.ippPort(), nullptr, AF_UNSPEC,
                                               cups.cupsEncryption(), 1, kConnectMs, nullptr);
  if (http == nullptr) {
    *why = "cannot reach the CUPS server at " + server + (no_socket ? ": no such socket" : "") +
           " (is CUPS running? systemctl start cups)";
    return false;
  }
  cups.httpClose(http);
  // "No default destination" is an answer too.
  if (session_->Send(cups.ippNewRequest(IPP_OP_CUPS_GET_DEFAULT), "/") ||
      session_->Status() == IPP_STATUS_ERROR_NOT_FOUND) {
    return true;
  }
  *why = session_->Failure("answer");
  return false;
}

std::string ClassMark(const std::string& root) { return "LP class of kqsd (" + root + ")"; }

Verdict CupsClient::AddPrinter(const std::string& name, const std::string& device_uri, std::string* why) {
  if (!Loaded(why)) return kFailed;
  Session::Found f;
  if (!session_->Lookup(name, &f, why)) return kFailed;
  if (f.exists && f.is_class) {
    *why = "CUPS has a class " + name + "; it is left alone";
    return kNameIsClass;
  }
  if (f.exists && f.device_uri != device_uri) {
    *why = "CUPS has a printer " + name + " that this LP tree did not make (device " + f.device_uri +
           "); it is left alone";
    return kNameIsOthers;
  }
  ipp_t* request = session_->NewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER, name, false);
  session_->cups_.ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, device_uri.c_str());
  if (session_->Send(request, kAdminResource)) return kDone;
  *why = session_->Failure("define printer " + name);
  return kFailed;
}

Verdict CupsClient::JoinClass(const std::string& cls, const std::string& printer, const std::string& mark,
                              std::string* why) {
  if (!Loaded(why)) return kFailed;
  const CupsApi& cups = session_->cups_;
  Session::Found f;
  if (!session_->Lookup(cls, &f, why)) return kFailed;
  if (f.exists && !f.is_class) {
    *why = "CUPS has a printer " + cls + ", which cannot be a class";
    return kClassIsPrinter;
  }
  const std::string uri = session_->DestinationUri(printer, false);
  std::vector<std::string>& members = f.member_uris;
  if (std::find(members.begin(), members.end(), uri) != members.end()) return kDone;
  members.push_back(uri);
  std::vector<const char*> values;
  for (const std::string& m : members) values.push_back(m.c_str());
  ipp_t* request = session_->NewRequest(IPP_OP_CUPS_ADD_MODIFY_CLASS, cls, true);
  cups.ippAddStrings(request, IPP_TAG_PRINTER, IPP_TAG_URI, "member-uris", static_cast<int>(values.size()), nullptr,
                     values.data());
  if (!f.exists) {
    cups.ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-info", nullptr, mark.c_str());
    // An LP class has no printing state of its own: it prints while a member
    // does, so a new CUPS class starts idle rather than stopped.
    cups.ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_IDLE);
  }
  if (session_->Send(request, kAdminResource)) return kDone;
  *why = session_->Failure("add " + printer + " to class " + cls);
  return kFailed;
}

Verdict CupsClient::LeaveClass(const std::string& cls, const std::string& printer, const std::string& mark,
                               std::string* why) {
  if (!Loaded(why)) return kFailed;
  std::vector<std::string> members;
  bool is_new = false;
  if (!session_->ClassMembers(cls, &members, &is_new, why)) return kFailed;
  const std::string uri = session_->DestinationUri(printer, false);
  members.erase(std::remove(members.begin(), members.end(), uri), members.end());
  // An emptied class goes only when it is the tree's (Delete checks the mark).
  if (members.empty()) return Delete(cls, true, mark, why);
  std::vector<const char*> values;
  for (const std::string& m : members) values.push_back(m.c_str());
  ipp_t* request = session_->NewRequest(IPP_OP_CUPS_ADD_MODIFY_CLASS, cls, true);
  session_->cups_.ippAddStrings(request, IPP_TAG_PRINTER, IPP_TAG_URI, "member-uris", static_cast<int>(values.size()),
                                nullptr, values.data());
  if (session_->Send(request, kAdminResource)) return kDone;
  *why = session_->Failure("take " + printer + " out of class " + cls);
  return kFailed;
}

Verdict CupsClient::SetDefault(const std::string& name, bool is_class, std::string* why) {
  if (!Loaded(why)) return kFailed;
  if (session_->Send(session_->NewRequest(IPP_OP_CUPS_SET_DEFAULT, name, is_class), kAdminResource)) return kDone;
  *why = session_->Failure("make " + name + " the default destination");
  return kFailed;
}

Verdict CupsClient::Delete(const std::string& name, bool is_class, const std::string& mark, std::string* why) {
  if (!Loaded(why)) return kFailed;
  Session::Found f;
  if (!session_->Lookup(name, &f, why)) return kFailed;
  if (!f.exists || f.is_class != is_class || (is_class ? f.info : f.device_uri) != mark) return kDone;
  const ipp_op_t op = is_class ? IPP_OP_CUPS_DELETE_CLASS : IPP_OP_CUPS_DELETE_PRINTER;
  if (session_->Send(session_->NewRequest(op, name, is_class), kAdminResource) ||
      session_->Status() == IPP_STATUS_ERROR_NOT_FOUND) {
    return kDone;
  }
  *why = session_->Failure("delete " + name);
  return kFailed;
}

Verdict CupsClient::Accept(const std::string& name, bool is_class, const std::string& mark, std::string* why) {
  if (!Loaded(why)) return kFailed;
  if (is_class) {
    Session::Found f;
    if (!session_->Lookup(name, &f, why)) return kFailed;
    if (!f.is_class || f.info != mark) return kDone;  // joined, not made: its state is the administrator's
  }
  if (session_->Send(session_->NewRequest(IPP_OP_CUPS_ACCEPT_JOBS, name, is_class), kAdminResource)) return kDone;
  *why = session_->Failure("let " + name + " accept jobs");
  return kFailed;
}

Verdict CupsClient::Resume(const std::string& name, std::string* why) {
  if (!Loaded(why)) return kFailed;
  if (session_->Send(session_->NewRequest(IPP_OP_RESUME_PRINTER, name, false), kAdminResource)) return kDone;
  *why = session_->Failure("enable " + name);
  return kFailed;
}

// Disable and reject take the same request: the queue's name and, when given,
// the reason CUPS shows as the queue's state message.
bool CupsClient::SendWithReason(int op, const std::string& name, const std::string& reason, const std::string& what,
                                std::string* why) {
  if (!Loaded(why)) return false;
  ipp_t* request = session_->NewRequest(static_cast<ipp_op_t>(op), name, false);
  if (!reason.empty()) {
    session_->cups_.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_TEXT, "printer-state-message", nullptr,
                                 reason.c_str());
  }
  if (session_->Send(request, kAdminResource)) return true;
  *why = session_->Failure(what);
  return false;
}

bool CupsClient::Pause(const std::string& name, const std::string& reason, std::string* why) {
  return SendWithReason(IPP_OP_PAUSE_PRINTER, name, reason, "disable " + name, why);
}

bool CupsClient::Reject(const std::string& name, const std::string& reason, std::string* why) {
  return SendWithReason(IPP_OP_CUPS_REJECT_JOBS, name, reason, "let " + name + " reject jobs", why);
}

bool CupsClient::CancelJob(const std::string& printer, int id, std::string* why) {
  if (!Loaded(why)) return false;
  ipp_t* request = session_->NewRequest(IPP_OP_CANCEL_JOB, printer, false);
  session_->cups_.ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
  if (session_->Send(request, "/jobs/")) return true;
  *why = session_->Failure("cancel job " + std::to_string(id));
  return false;
}

bool CupsClient::CancelAll(const std::string& printer, std::string* why) {
  if (!Loaded(why)) return false;
  if (session_->Send(session_->NewRequest(IPP_OP_CANCEL_JOBS, printer, false), kAdminResource)) return true;
  *why = session_->Failure("cancel the jobs of " + printer);
  return false;
}

bool CupsClient::MoveJobs(const std::string& from, const std::string& to, std::string* why) {
  if (!Loaded(why)) return false;
  ipp_t* request = session_->NewRequest(IPP_OP_CUPS_MOVE_JOB, from, false);
  session_->cups_.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-printer-uri", nullptr,
                               session_->DestinationUri(to, false).c_str());
  // "No jobs to move" is no failure.
  if (session_->Send(request, "/jobs/") || session_->Status() == IPP_STATUS_ERROR_NOT_FOUND) return true;
  *why = session_->Failure("move the jobs of " + from + " to " + to);
  return false;
}

namespace {

constexpr const char* kPrinterStates[] = {"idle", "processing", "stopped"};
constexpr const char* kJobStates[] = {"pending", "held", "processing", "stopped", "canceled", "aborted", "completed"};

// The last path element of a printer URI: ipp://localhost/printers/NAME.
std::string NameFromUri(const char* uri) {
  std::string_view u = uri != nullptr ? uri : "";
  const size_t slash = u.rfind('/');
  return std::string(slash == std::string_view::npos ? u : u.substr(slash + 1));
}

}  // namespace

bool CupsClient::Printers(std::vector<PrinterState>* out, std::string* why) {
  out->clear();
  if (!Loaded(why)) return false;
  const CupsApi& cups = session_->cups_;
  auto take = [&cups](std::string_view n, ipp_attribute_t* a, PrinterState* p) {
    if (n == "printer-name") {
      p->name = cups.ippGetString(a, 0, nullptr);
    } else if (n == "printer-state") {
      const int v = cups.ippGetInteger(a, 0);
      p->state = v >= IPP_PSTATE_IDLE && v <= IPP_PSTATE_STOPPED ? kPrinterStates[v - IPP_PSTATE_IDLE] : "unknown";
    } else if (n == "printer-state-message") {
      p->message = cups.ippGetString(a, 0, nullptr);
    } else if (n == "printer-state-reasons") {
      for (int i = 0; i < cups.ippGetCount(a); ++i) {
        const std::string r = cups.ippGetString(a, i, nullptr);
        if (r != "none") p->reasons += (p->reasons.empty() ? "" : ",") + r;
      }
    } else if (n == "printer-is-accepting-jobs") {
      p->accepting = cups.ippGetBoolean(a, 0) != 0;
    } else if (n == "queued-job-count") {
      p->jobs = cups.ippGetInteger(a, 0);
    } else if (n == "device-uri") {
      p->device_uri = cups.ippGetString(a, 0, nullptr);
    }
  };
  return session_->List(cups.ippNewRequest(IPP_OP_CUPS_GET_PRINTERS),
                        {"printer-name", "printer-state", "printer-state-message", "printer-state-reasons",
                         "printer-is-accepting-jobs", "queued-job-count", "device-uri"},
                        IPP_TAG_PRINTER, "list its printers", take,
                        [](const PrinterState& p) { return !p.name.empty(); }, out, why);
}

bool CupsClient::Jobs(const std::string& printer, std::vector<JobInfo>* out, std::string* why) {
  out->clear();
  if (!Loaded(why)) return false;
  const CupsApi& cups = session_->cups_;
  ipp_t* request = cups.ippNewRequest(IPP_OP_GET_JOBS);
  cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                    printer.empty() ? "ipp://localhost/" : session_->DestinationUri(printer, false).c_str());
  cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cups.cupsUser());
  cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "not-completed");
  auto take = [&cups](std::string_view n, ipp_attribute_t* a, JobInfo* j) {
    if (n == "job-id") {
      j->id = cups.ippGetInteger(a, 0);
    } else if (n == "job-printer-uri") {
      j->printer = NameFromUri(cups.ippGetString(a, 0, nullptr));
    } else if (n == "job-originating-user-name") {
      j->user = cups.ippGetString(a, 0, nullptr);
    } else if (n == "job-name") {
      j->title = cups.ippGetString(a, 0, nullptr);
    } else if (n == "job-k-octets") {
      j->size = 1024LL * cups.ippGetInteger(a, 0);
    } else if (n == "job-state") {
      const int v = cups.ippGetInteger(a, 0);
      j->state = v >= IPP_JSTATE_PENDING && v <= IPP_JSTATE_COMPLETED ? kJobStates[v - IPP_JSTATE_PENDING] : "unknown";
    } else if (n == "time-at-creation") {
      j->time = cups.ippGetInteger(a, 0);
    }
  };
  return session_->List(request,
                        {"job-id", "job-printer-uri", "job-originating-user-name", "job-name", "job-k-octets",
                         "job-state", "time-at-creation"},
                        IPP_TAG_JOB, "list its jobs", take, [](const JobInfo& j) { return j.id > 0; }, out, why);
}

bool CupsClient::JobPrinter(int id, std::string* printer, std::string* why) {
  if (!Loaded(why)) return false;
  const CupsApi& cups = session_->cups_;
  ipp_t* request = cups.ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, "ipp://localhost/");
  cups.ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
  cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cups.cupsUser());
  cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "job-printer-uri");
  ipp_t* answer = nullptr;
  const bool found = session_->Send(request, "/", &answer);
  ipp_attribute_t* a = found ? cups.ippFindAttribute(answer, "job-printer-uri", IPP_TAG_URI) : nullptr;
  if (a != nullptr) *printer = NameFromUri(cups.ippGetString(a, 0, nullptr));
  session_->Free(answer);
  if (a != nullptr) return true;
  *why = found || session_->Status() == IPP_STATUS_ERROR_NOT_FOUND ? "no job " + std::to_string(id)
                                                                    : session_->Failure("show job " + std::to_string(id));
  return false;
}

}  // namespace lpsvc
