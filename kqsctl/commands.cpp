// kqsctl's commands: build the request, run it, show the answer.
#include "kqsctl/commands.h"

#include <unistd.h>

#include <string>
#include <vector>

#include "protocol/kqsids.h"
#include "kqsctl/codetext.h"
#include "kqsctl/discoreply.h"
#include "kqsctl/enumbuf.h"
#include "kqsctl/output.h"
#include "kqsctl/password.h"
#include "kqsctl/transport.h"

namespace kqsctl {
namespace {

// The server keeps a data block of 512 bytes: a password and its NUL fit.
constexpr size_t kMaxPassword = kMaxDataBlock - 1;
// Traditional crypt reads only this many characters of a password.
constexpr size_t kSignificantPassword = 8;  // of the old form (--legacy)

void Print(FILE* f, const std::string& text) { std::fputs(text.c_str(), f); }

int Error(FILE* err, const std::string& what, const std::string& why, int status) {
  Print(err, "kqsctl: " + what + ": " + why + "\n");
  return status;
}

Endpoint ServerOf(const Options& opts) { return Endpoint{opts.server, kServerPort}; }

// Sends one request on session; on a transport failure reports it and
// returns false.
bool Ask(Session& session, const std::string& what, uint32_t operation, uint32_t object_type,
         const std::string& params, std::string_view data, Reply* reply, FILE* err) {
  std::string why;
  if (session.Transact(operation, object_type, params, data, reply, &why)) return true;
  Error(err, what, why, kExitNoAnswer);
  return false;
}

// As above, on a connection of its own.
bool Ask(const Options& opts, const std::string& what, uint32_t operation, uint32_t object_type,
         const std::string& params, std::string_view data, Reply* reply, FILE* err) {
  Session session(ServerOf(opts), opts.TimeoutOr(kDefaultTimeoutMs));
  return Ask(session, what, operation, object_type, params, data, reply, err);
}

// The text with its terminating NUL, as the server reads data blocks.
std::string_view WithNul(const std::string& text) { return std::string_view(text.c_str(), text.size() + 1); }

// Reads the administrator password and has the server check it on session.
// Returns kExitOk when access was granted; otherwise reports why, under
// what, and returns the exit status.
int LogIn(Session& session, const std::string& what, FILE* err) {
  std::string password;
  std::string why;
  if (!ReadPassword(STDIN_FILENO, "Password: ", kMaxPassword, &password, &why)) {
    return Error(err, what, why, kExitNoAnswer);
  }
  Reply reply;
  if (!Ask(session, what, KQS_ADMIN_ACCESS, TYPE_PRINTSERVER, "", WithNul(password), &reply, err)) {
    return kExitNoAnswer;
  }
  if (reply.return_code == KQS_SUCCESS) return kExitOk;
  const char* verdict = reply.return_code == KQS_NO_ACCESS ? "access refused (" : "no access (";
  return Error(err, what, verdict + DescribeReturnCode(reply.return_code) + ")", kExitRefused);
}

// Commands whose answer is only a return code. With --login the password is
// checked first on the same connection, as a server that enforces access
// grants it per connection.
int Simple(const Options& opts, const std::string& what, uint32_t operation, uint32_t object_type,
           std::string_view data, FILE* out, FILE* err) {
  Session session(ServerOf(opts), opts.TimeoutOr(kDefaultTimeoutMs));
  if (opts.flags.count("login") != 0) {
    const int status = LogIn(session, what + ": login", err);
    if (status != kExitOk) return status;
  }
  Reply reply;
  if (!Ask(session, what, operation, object_type, opts.name, data, &reply, err)) return kExitNoAnswer;
  if (reply.return_code != KQS_SUCCESS) return Error(err, what, DescribeReturnCode(reply.return_code), kExitRefused);
  Print(out, what + ": " + DescribeReturnCode(reply.return_code) + "\n");
  return kExitOk;
}

std::vector<std::string> JsonRows(const std::vector<JsonObject>& objects) {
  std::vector<std::string> rows;
  for (const auto& o : objects) rows.push_back(o.Render());
  return rows;
}

void Show(const Options& opts, const Table& table, size_t rows, const std::vector<JsonObject>& json,
          const char* none, FILE* out) {
  if (opts.json) {
    Print(out, JsonArray(JsonRows(json)) + "\n");
  } else if (rows == 0) {
    Print(out, std::string(none) + "\n");
  } else {
    Print(out, table.Render());
  }
}

int Enumerate(const Options& opts, const std::string& what, uint32_t object_type, FILE* out, FILE* err) {
  Reply reply;
  // The server sizes its buffer with a first pass; a container that grows
  // before the second pass gives "insufficient buffer", so ask again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!Ask(opts, what, KQS_ENUM_CONTAINER, object_type, "", {}, &reply, err)) return kExitNoAnswer;
    if (reply.return_code != KQS_INSUFFICIENT_BUFFER) break;
  }
  if (reply.return_code != KQS_SUCCESS) return Error(err, what, DescribeReturnCode(reply.return_code), kExitRefused);

  std::string why;
  std::vector<JsonObject> json;
  const uint8_t* data = reply.data.data();
  const size_t size = reply.data.size();
  if (object_type == TYPE_PRINTQUEUE) {
    std::vector<QueueEntry> queues;
    if (!DecodeQueues(data, size, &queues, &why)) return Error(err, what, "unreadable result: " + why, kExitNoAnswer);
    Table table({"QUEUE", "INTERFACE SCRIPT"});
    for (const auto& q : queues) {
      table.AddRow({q.name, q.interface_dir + "/" + q.name});
      json.push_back(JsonObject().Add("name", q.name).Add("interfaceDirectory", q.interface_dir));
    }
    Show(opts, table, queues.size(), json, "no print queues", out);
  } else if (object_type == TYPE_PRINTDRIVER) {
    std::vector<DriverEntry> drivers;
    if (!DecodeDrivers(data, size, &drivers, &why)) return Error(err, what, "unreadable result: " + why, kExitNoAnswer);
    Table table({"MODEL"});
    for (const auto& d : drivers) {
      table.AddRow({d.model});
      json.push_back(JsonObject().Add("model", d.model));
    }
    Show(opts, table, drivers.size(), json, "no printer models", out);
  } else {
    std::vector<MonitorEntry> monitors;
    if (!DecodeMonitors(data, size, &monitors, &why)) {
      return Error(err, what, "unreadable result: " + why, kExitNoAnswer);
    }
    Table table({"MONITOR", "PRODUCT", "REVISION"});
    for (const auto& m : monitors) {
      const std::string revision = FormatRevision(m.revision, m.revision_minor);
      table.AddRow({m.short_name, m.product, revision});
      json.push_back(JsonObject()
                         .Add("name", m.short_name)
                         .Add("product", m.product)
                         .Add("revision", revision)
                         .Add("revisionCode", static_cast<long long>(m.revision))
                         .Add("revisionNumber", static_cast<long long>(m.revision_minor)));
    }
    Show(opts, table, monitors.size(), json, "no print monitor installed", out);
  }
  return kExitOk;
}

bool IsNumber(const std::string& text) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int RunDiscover(const Options& opts, FILE* out, FILE* err) {
  const std::string target = opts.Value("to");
  std::vector<DiscoveryAnswer> answers;
  std::string why;
  const int timeout = opts.TimeoutOr(kDefaultDiscoverMs);
  if (!Discover(target, kServerPort, timeout, &answers, &why)) return Error(err, "discover", why, kExitNoAnswer);

  Table table({"ADDRESS", "PLATFORM", "PROTOCOL", "VERSION", "INSTALL", "SYSTEM"});
  std::vector<JsonObject> json;
  size_t found = 0;
  for (const auto& answer : answers) {
    Fields fields;
    if (!ParseDiscoveryReply(answer.text, &fields)) {
      Print(err, "kqsctl: discover: ignoring a reply from " + answer.address + " that is not a kqsd answer\n");
      continue;
    }
    ++found;
    const auto f = [&](const char* name) { return FieldValue(fields, name); };
    table.AddRow({answer.address, f("Platform"), f("Protocol"),
                  f("VMajor") + "." + f("VMinor") + "." + f("VUpdate") + "." + f("VBuild"), f("Install"), f("Uname")});
    JsonObject o;
    o.Add("address", answer.address);
    for (const auto& [name, value] : fields) {
      const bool numeric = name == "Protocol" || name == "VMajor" || name == "VMinor" || name == "VUpdate" ||
                           name == "VBuild";
      if (numeric && IsNumber(value)) {
        o.Add(name, std::stoll(value));
      } else {
        o.Add(name, value);
      }
    }
    json.push_back(std::move(o));
  }
  if (opts.json) {
    Print(out, JsonArray(JsonRows(json)) + "\n");
  } else if (found > 0) {
    Print(out, table.Render());
  }
  if (found == 0) {
    return Error(err, "discover",
                 "no server answered " + (target.empty() ? std::string("the broadcast") : target) + " within " +
                     std::to_string(timeout) + " ms",
                 kExitRefused);
  }
  return kExitOk;
}

int RunLogin(const Options& opts, FILE* out, FILE* err) {
  Session session(ServerOf(opts), opts.TimeoutOr(kDefaultTimeoutMs));
  const int status = LogIn(session, "login", err);
  if (status == kExitOk) Print(out, "login: access granted (" + DescribeReturnCode(KQS_SUCCESS) + ")\n");
  return status;
}

int RunPasswd(const Options& opts, FILE* out, FILE* err) {
  const std::string ini = opts.Value("ini");
  std::string password;
  std::string why;
  if (!ReadPassword(STDIN_FILENO, "New password: ", kMaxPassword, &password, &why)) {
    return Error(err, "passwd", why, kExitNoAnswer);
  }
  if (IsTerminal(STDIN_FILENO)) {
    std::string again;
    if (!ReadPassword(STDIN_FILENO, "Retype new password: ", kMaxPassword, &again, &why)) {
      return Error(err, "passwd", why, kExitNoAnswer);
    }
    if (again != password) return Error(err, "passwd", "the passwords do not match; nothing changed", kExitNoAnswer);
  }
  if (password.empty()) return Error(err, "passwd", "refusing to set an empty password", kExitNoAnswer);
  const bool legacy = opts.flags.count("legacy") != 0;
  if (legacy && password.size() > kSignificantPassword) {
    Print(err, "kqsctl: passwd: note: only the first " + std::to_string(kSignificantPassword) +
                   " characters of a password count\n");
  }
  std::string stored;
  if (!EncryptPassword(password, legacy, &stored, &why) || !StoreAdminPassword(ini, stored, &why)) {
    return Error(err, "passwd", why, kExitNoAnswer);
  }
  Print(out, "passwd: administrator password set in " + ini + "\n");
  return kExitOk;
}

}  // namespace

int RunCommand(const Options& opts, FILE* out, FILE* err) {
  const std::string named = opts.name;
  switch (opts.command) {
    case Command::kHelp:
      Print(out, UsageText());
      return kExitOk;
    case Command::kDiscover:
      return RunDiscover(opts, out, err);
    case Command::kQueues:
      return Enumerate(opts, "queues", TYPE_PRINTQUEUE, out, err);
    case Command::kDrivers:
      return Enumerate(opts, "drivers", TYPE_PRINTDRIVER, out, err);
    case Command::kMonitors:
      return Enumerate(opts, "monitors", TYPE_PRINTMONITOR, out, err);
    case Command::kAddQueue: {
      std::string list;
      std::string why;
      if (!BuildQueueParameters(opts, &list, &why)) return Error(err, "add-queue " + named, why, kExitUsage);
      return Simple(opts, "add-queue " + named, KQS_ADD, TYPE_PRINTQUEUE, WithNul(list), out, err);
    }
    case Command::kRemoveQueue:
      return Simple(opts, "remove-queue " + named, KQS_REMOVE, TYPE_PRINTQUEUE, {}, out, err);
    case Command::kAddPort: {
      std::string list;
      std::string why;
      if (!BuildPortParameters(opts, &list, &why)) return Error(err, "add-port " + named, why, kExitUsage);
      return Simple(opts, "add-port " + named, KQS_ADD, TYPE_PHYSICAL_PRINTER, WithNul(list), out, err);
    }
    case Command::kRemovePort:
      return Simple(opts, "remove-port " + named, KQS_REMOVE, TYPE_PHYSICAL_PRINTER, {}, out, err);
    case Command::kLogin:
      return RunLogin(opts, out, err);
    case Command::kPasswd:
      return RunPasswd(opts, out, err);
  }
  return kExitUsage;
}

}  // namespace kqsctl
