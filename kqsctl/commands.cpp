// kqsctl's commands: build the request, run it on each server named, show
// the answers.
#include "kqsctl/commands.h"

#include <unistd.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/extension.h"
#include "protocol/kqsids.h"
#include "kqsctl/codetext.h"
#include "kqsctl/discoreply.h"
#include "kqsctl/enumbuf.h"
#include "kqsctl/fleet.h"
#include "kqsctl/output.h"
#include "kqsctl/password.h"
#include "kqsctl/queueops.h"
#include "kqsctl/report.h"
#include "kqsctl/transport.h"
#include "kqsctl/webconsole.h"

#ifndef KQS_VERSION
#define KQS_VERSION "unknown"
#endif

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

// Why the server's LP service refused a change, when the answer says: one
// line of text, kept printable and bounded.
std::string ServerReason(const Reply& reply) {
  std::string reason;
  for (uint8_t c : reply.data) {
    if (c == 0 || reason.size() >= 600) break;
    reason += c >= 32 && c < 127 ? char(c) : '?';
  }
  return reason;
}

// The administrator password, read from standard input once however many
// servers ask for it: the first caller reads, the others wait and share.
class PasswordOnce {
 public:
  bool Get(std::string* password, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!read_) {
      ok_ = ReadPassword(STDIN_FILENO, "Password: ", kMaxPassword, &password_, &error_);
      read_ = true;
    }
    *password = password_;
    *error = error_;
    return ok_;
  }

 private:
  std::mutex mutex_;
  bool read_ = false, ok_ = false;
  std::string password_, error_;
};

// Where and how to reach host: the TLS port and verification unless --plain,
// with the certificates the options name. -H values were checked when the
// command line was read; a --hosts line that is no target fails here.
bool ServerFor(const Options& opts, const std::string& host, Endpoint* server, Result* r) {
  Security security;
  security.plain = opts.flags.count("plain") != 0;
  security.cacert = opts.Value("cacert");
  security.cert = opts.Value("cert");
  security.key = opts.Value("key");
  std::string why;
  if (ParseTarget(host, security, server, &why)) return true;
  Fail(r, why, kExitUsage);
  return false;
}

// The command as messages name it: "add-queue lab".
std::string What(const Options& opts) {
  return std::string(CommandWord(opts.command)) + (opts.name.empty() ? "" : " " + opts.name);
}

// The text with its terminating NUL, as the server reads data blocks.
std::string_view WithNul(const std::string& text) { return std::string_view(text.c_str(), text.size() + 1); }

// Has the server check the administrator password on session; connects
// first so that a wrong host fails before the user types anything. Returns
// false with r filled when access was not granted.
bool LogIn(Session& session, const PasswordSource& password, Result* r) {
  std::string why;
  std::string text;
  if (!session.Open(&why)) return Fail(r, why, kExitNoAnswer), false;
  if (!password(&text, &why)) return Fail(r, why, kExitNoAnswer), false;
  Reply reply;
  if (!session.Transact(KQS_ADMIN_ACCESS, TYPE_PRINTSERVER, "", WithNul(text), &reply, &why)) {
    return Fail(r, why, kExitNoAnswer), false;
  }
  r->answered = true;
  r->code = reply.return_code;
  if (reply.return_code == KQS_SUCCESS) return true;
  return Refused(r, reply.return_code, Command::kLogin), false;
}

// Commands whose answer is only a return code. With --login the password is
// checked first on the same connection, as a server that enforces access
// grants it per connection.
Result Change(const Options& opts, const std::string& host, const PasswordSource& password, uint32_t operation,
              uint32_t object_type, std::string_view data) {
  Result r;
  Endpoint server;
  if (!ServerFor(opts, host, &server, &r)) return r;
  Session session(server, opts.TimeoutOr(kDefaultTimeoutMs));
  if (opts.flags.count("login") != 0 && !LogIn(session, password, &r)) {
    r.error = "login: " + r.error;
    return r;
  }
  Reply reply;
  std::string why;
  if (!session.Transact(operation, object_type, opts.name, data, &reply, &why)) return Fail(&r, why, kExitNoAnswer);
  if (reply.return_code != KQS_SUCCESS) return Refused(&r, reply.return_code, opts.command, ServerReason(reply));
  r.answered = true;
  r.note = DescribeReturnCode(KQS_SUCCESS);
  return r;
}

Result Login(const Options& opts, const std::string& host, const PasswordSource& password) {
  Result r;
  Endpoint server;
  if (!ServerFor(opts, host, &server, &r)) return r;
  Session session(server, opts.TimeoutOr(kDefaultTimeoutMs));
  if (LogIn(session, password, &r)) r.note = "access granted";
  return r;
}

Result Enumerate(const Options& opts, const std::string& host, uint32_t object_type) {
  Result r;
  Reply reply;
  std::string why;
  Endpoint server;
  if (!ServerFor(opts, host, &server, &r)) return r;
  // The server sizes its buffer with a first pass; a container that grows
  // before the second pass gives "insufficient buffer", so ask again. The
  // queue states come on the same connection.
  Session session(server, opts.TimeoutOr(kDefaultTimeoutMs));
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!session.Transact(KQS_ENUM_CONTAINER, object_type, "", {}, &reply, &why)) {
      return Fail(&r, why, kExitNoAnswer);
    }
    if (reply.return_code != KQS_INSUFFICIENT_BUFFER) break;
  }
  if (reply.return_code != KQS_SUCCESS) return Refused(&r, reply.return_code, opts.command);
  r.answered = true;

  const uint8_t* data = reply.data.data();
  const size_t size = reply.data.size();
  bool ok = false;
  if (object_type == TYPE_PRINTQUEUE) {
    std::vector<QueueEntry> queues;
    ok = DecodeQueues(data, size, &queues, &why);
    // The state columns stay "-" where the server cannot tell (an older
    // server, or a queue it has no state for).
    std::map<std::string, std::vector<std::string>> states;
    std::string state_why;
    QueueStates(opts, session, &states, &state_why);
    r.columns = {"QUEUE", "STATE", "ACCEPTING", "JOBS", "INTERFACE SCRIPT"};
    r.none = "no print queues";
    for (const auto& q : queues) {
      const auto it = states.find(q.name);
      const auto field = [&](unsigned i) { return it == states.end() ? std::string("-") : it->second[i]; };
      r.rows.push_back({q.name, field(kqs::kStateState), field(kqs::kStateAccepting), field(kqs::kStateJobs),
                        q.interface_dir + "/" + q.name});
      JsonObject o;
      o.Add("name", q.name).Add("interfaceDirectory", q.interface_dir);
      if (it == states.end()) {
        o.AddRaw("state", "null").AddRaw("accepting", "null").AddRaw("jobs", "null").AddRaw("stateMessage", "null");
      } else {
        o.Add("state", field(kqs::kStateState))
            .AddRaw("accepting", AcceptingJson(field(kqs::kStateAccepting)))
            .AddRaw("jobs", CountJson(field(kqs::kStateJobs)))
            .Add("stateMessage", field(kqs::kStateMessage));
      }
      r.records.push_back(o);
    }
  } else if (object_type == TYPE_PRINTDRIVER) {
    std::vector<DriverEntry> drivers;
    ok = DecodeDrivers(data, size, &drivers, &why);
    r.columns = {"MODEL"};
    r.none = "no printer models";
    for (const auto& d : drivers) {
      r.rows.push_back({d.model});
      r.records.push_back(JsonObject().Add("model", d.model));
    }
  } else {
    std::vector<MonitorEntry> monitors;
    ok = DecodeMonitors(data, size, &monitors, &why);
    r.columns = {"MONITOR", "PRODUCT", "REVISION"};
    r.none = "no print monitor installed";
    for (const auto& m : monitors) {
      const std::string revision = FormatRevision(m.revision, m.revision_minor);
      r.rows.push_back({m.short_name, m.product, revision});
      r.records.push_back(JsonObject()
                              .Add("name", m.short_name)
                              .Add("product", m.product)
                              .Add("revision", revision)
                              .Add("revisionCode", static_cast<long long>(m.revision))
                              .Add("revisionNumber", static_cast<long long>(m.revision_minor)));
    }
  }
  return ok ? r : Fail(&r, "unreadable result: " + why, kExitNoAnswer);
}

bool IsNumber(const std::string& text) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// JSON keys are camelCase throughout; the reply's own names start upper case.
std::string CamelCase(std::string name) {
  if (!name.empty() && name[0] >= 'A' && name[0] <= 'Z') name[0] = static_cast<char>(name[0] - 'A' + 'a');
  return name;
}

// The servers that answer a discovery to opts' --to addresses (default: the
// broadcast address): their addresses in answers, their replies' fields in
// fields. False with a message when the datagram cannot be sent.
bool FindServers(const Options& opts, std::vector<std::string>* addresses, std::vector<Fields>* fields,
                 std::string* why, FILE* err) {
  std::vector<DiscoveryAnswer> answers;
  if (!Discover(opts.To(), kPlainPort, opts.TimeoutOr(kDefaultDiscoverMs), &answers, why)) return false;
  for (const auto& answer : answers) {
    Fields f;
    if (!ParseDiscoveryReply(answer.text, &f)) {
      Print(err, "kqsctl: discover: ignoring a reply from " + answer.address + " that is not a kqsd answer\n");
      continue;
    }
    addresses->push_back(answer.address);
    fields->push_back(std::move(f));
  }
  return true;
}

std::string NoAnswer(const Options& opts) {
  const auto to = opts.To();
  std::string where = to.empty() ? "the broadcast" : to[0];
  for (size_t i = 1; i < to.size(); ++i) where += ", " + to[i];
  return "no server answered " + where + " within " + std::to_string(opts.TimeoutOr(kDefaultDiscoverMs)) + " ms";
}

int RunDiscover(const Options& opts, FILE* out, FILE* err) {
  std::vector<std::string> addresses;
  std::vector<Fields> replies;
  std::string why;
  if (!FindServers(opts, &addresses, &replies, &why, err)) return Error(err, "discover", why, kExitNoAnswer);

  Table table({"ADDRESS", "PLATFORM", "PROTOCOL", "VERSION", "INSTALL", "SYSTEM"});
  std::vector<std::string> json;
  for (size_t i = 0; i < addresses.size(); ++i) {
    const auto f = [&](const char* name) { return FieldValue(replies[i], name); };
    table.AddRow({addresses[i], f("Platform"), f("Protocol"),
                  f("VMajor") + "." + f("VMinor") + "." + f("VUpdate") + "." + f("VBuild"), f("Install"), f("Uname")});
    JsonObject o;
    o.Add("address", addresses[i]);
    for (const auto& [name, value] : replies[i]) {
      const bool numeric = name == "Protocol" || name == "VMajor" || name == "VMinor" || name == "VUpdate" ||
                           name == "VBuild";
      if (numeric && IsNumber(value)) {
        o.Add(CamelCase(name), std::stoll(value));
      } else {
        o.Add(CamelCase(name), value);
      }
    }
    json.push_back(o.Render());
  }
  if (opts.json) {
    Print(out, JsonArray(json) + "\n");
  } else if (!addresses.empty()) {
    Print(out, table.Render());
  }
  return addresses.empty() ? Error(err, "discover", NoAnswer(opts), kExitNoAnswer) : kExitOk;
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
  if (opts.verbose) Print(out, "passwd: administrator password set in " + ini + "\n");
  return kExitOk;
}

// The request each command that talks to a server sends.
struct Request {
  Command command;
  uint32_t operation, object_type;
};

constexpr Request kRequests[] = {
    {Command::kQueues, KQS_ENUM_CONTAINER, TYPE_PRINTQUEUE},
    {Command::kDrivers, KQS_ENUM_CONTAINER, TYPE_PRINTDRIVER},
    {Command::kMonitors, KQS_ENUM_CONTAINER, TYPE_PRINTMONITOR},
    {Command::kAddQueue, KQS_ADD, TYPE_PRINTQUEUE},
    {Command::kRemoveQueue, KQS_REMOVE, TYPE_PRINTQUEUE},
    {Command::kAddPort, KQS_ADD, TYPE_PHYSICAL_PRINTER},
    {Command::kRemovePort, KQS_REMOVE, TYPE_PHYSICAL_PRINTER},
    {Command::kLogin, KQS_ADMIN_ACCESS, TYPE_PRINTSERVER},
};

}  // namespace

Result RunOn(const Options& opts, const std::string& host, const std::string& list, const PasswordSource& password) {
  Result r;
  Endpoint server;
  const bool extension = opts.command >= Command::kStatus;
  if (extension && !ServerFor(opts, host, &server, &r)) {
    r.what = What(opts);
    return r;
  }
  switch (opts.command) {
    case Command::kStatus:
      r = Status(opts, server);
      break;
    case Command::kJobs:
      r = Jobs(opts, server);
      break;
    case Command::kCancel:
    case Command::kEnable:
    case Command::kDisable:
    case Command::kAccept:
    case Command::kReject:
    case Command::kMoveJobs:
    case Command::kModifyQueue:
      r = QueueChange(opts, server, list,
                      [&](Session& s, Result* out) { return LogIn(s, password, out); });
      break;
    default:
      break;
  }
  for (const Request& q : kRequests) {
    if (q.command != opts.command) continue;
    if (q.operation == KQS_ENUM_CONTAINER) {
      r = Enumerate(opts, host, q.object_type);
    } else if (q.operation == KQS_ADMIN_ACCESS) {
      r = Login(opts, host, password);
    } else {
      r = Change(opts, host, password, q.operation, q.object_type,
                 q.operation == KQS_ADD ? WithNul(list) : std::string_view());
    }
  }
  r.what = What(opts);
  return r;
}

bool Targets(const Options& opts, std::vector<std::string>* hosts, std::string* why, FILE* err) {
  *hosts = opts.servers;
  if (auto it = opts.values.find("hosts"); it != opts.values.end() && !ReadHostsFile(it->second, hosts, why)) {
    return false;
  }
  if (opts.flags.count("discovered") != 0) {
    std::vector<std::string> found;
    std::vector<Fields> replies;
    if (!FindServers(opts, &found, &replies, why, err)) return false;
    if (found.empty()) return *why = NoAnswer(opts), false;
    hosts->insert(hosts->end(), found.begin(), found.end());
  }
  DropRepeats(hosts);
  if (hosts->empty() && !opts.Fleet()) hosts->push_back(kDefaultServer);
  return !hosts->empty() || (*why = "no servers to run on", false);
}

int RunCommand(const Options& opts, FILE* out, FILE* err) {
  switch (opts.command) {
    case Command::kHelp:
      Print(out, UsageText());
      return kExitOk;
    case Command::kVersion:
      Print(out, "kqsctl " KQS_VERSION "\n");
      return kExitOk;
    case Command::kDiscover:
      return RunDiscover(opts, out, err);
    case Command::kPasswd:
      return RunPasswd(opts, out, err);
    case Command::kWeb:
      return RunWeb(opts, out, err);
    default:
      break;
  }
  std::string list;
  std::string why;
  const bool built = opts.command == Command::kAddQueue      ? BuildQueueParameters(opts, &list, &why)
                     : opts.command == Command::kAddPort     ? BuildPortParameters(opts, &list, &why)
                     : opts.command == Command::kModifyQueue ? BuildModifyParameters(opts, &list, &why)
                                                             : true;
  if (!built) return Error(err, What(opts), why, kExitUsage);
  std::vector<std::string> hosts;
  if (!Targets(opts, &hosts, &why, err)) return Error(err, What(opts), why, kExitNoAnswer);

  PasswordOnce once;
  const PasswordSource password = [&](std::string* text, std::string* error) { return once.Get(text, error); };
  std::vector<Result> results(hosts.size());
  ForEachConcurrently(hosts.size(), opts.parallel,
                      [&](size_t i) { results[i] = RunOn(opts, hosts[i], list, password); });
  if (opts.Fleet()) return ReportMany(opts, hosts, results, out, err);
  ReportOne(opts, results[0], out, err);
  return results[0].status;
}

}  // namespace kqsctl
