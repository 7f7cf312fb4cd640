// Queue state, jobs and in-place changes over kqsd's own requests.
#include "kqsctl/queueops.h"

#include <cstdlib>
#include <ctime>

#include "kqsctl/codetext.h"
#include "protocol/extension.h"
#include "protocol/kqsids.h"

namespace kqsctl {
namespace {

// An older server's answer to a request it does not know.
bool TooOld(uint32_t code) { return code == KQS_INVALID_OBJECT_TYPE || code == KQS_INVALID_OPERATION; }

constexpr char kTooOld[] = "the server is older than kqsd 3.1 and has no queue state or jobs: upgrade it";

Result& RefusedOrOld(Result* r, uint32_t code, Command command) {
  Refused(r, code, command);
  if (TooOld(code)) {
    r->hint = kTooOld;
    r->error = kTooOld;
  }
  return *r;
}

// One of kqsd's enumerations; the text of its result in *text. False with
// r filled when there is none.
bool Enumerate(const Options& opts, Session& session, uint32_t type, const std::string& name, std::string* text,
               Result* r) {
  Reply reply;
  std::string why;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!session.Transact(KQS_ENUM_CONTAINER, type, name, {}, &reply, &why)) {
      return Fail(r, why, 3), false;
    }
    if (reply.return_code != KQS_INSUFFICIENT_BUFFER) break;
  }
  if (reply.return_code != KQS_SUCCESS) return RefusedOrOld(r, reply.return_code, opts.command), false;
  r->answered = true;
  text->assign(reply.data.begin(), reply.data.end());
  return true;
}

// "-" for a field the server left empty.
std::string Shown(const std::string& field) { return field.empty() ? "-" : field; }

std::string JsonList(const std::string& commas) {
  std::string out;
  size_t start = 0;
  while (start < commas.size()) {
    size_t end = commas.find(',', start);
    if (end == std::string::npos) end = commas.size();
    out += (out.empty() ? "" : ",") + JsonQuote(commas.substr(start, end - start));
    start = end + 1;
  }
  return "[" + out + "]";
}

std::string LocalTime(const std::string& seconds) {
  char buf[32];
  const time_t t = static_cast<time_t>(std::atoll(seconds.c_str()));
  struct tm tm;
  if (t <= 0 || localtime_r(&t, &tm) == nullptr || std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm) == 0)
    return "-";
  return buf;
}

// The settings of a queue as JSON, from the server's parameter list: the
// add-queue options' names in camelCase.
std::string SettingsJson(const std::string& list) {
  static constexpr std::pair<std::string_view, std::string_view> kKeys[] = {
      {"Device", "device"}, {"EXPort", "export"},   {"IPPort", "ipPort"}, {"Class", "class"},
      {"Default", "default"}, {"Model", "model"},   {"Type", "type"},     {"DEVTYPE", "devtype"},
      {"TEOJ", "teoj"},     {"JRECOV", "jrecov"},   {"PSLEVEL", "pslevel"}, {"BANNER", "banner"},
      {"PERSONALTY", "personality"}};
  JsonObject o;
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    const std::string pair = list.substr(start, end - start);
    start = end + 1;
    const size_t eq = pair.find('=');
    if (eq == std::string::npos) continue;
    for (const auto& [key, json] : kKeys) {
      if (pair.compare(0, eq, key) == 0) o.Add(json, pair.substr(eq + 1));
    }
  }
  return o.Render();
}

JsonObject StateJson(const std::vector<std::string>& f) {
  JsonObject o;
  o.Add("name", f[kqs::kStateName])
      .Add("state", f[kqs::kStateState])
      .AddRaw("accepting", AcceptingJson(f[kqs::kStateAccepting]))
      .AddRaw("jobs", CountJson(f[kqs::kStateJobs]))
      .Add("stateMessage", f[kqs::kStateMessage])
      .AddRaw("stateReasons", JsonList(f[kqs::kStateReasons]))
      .Add("deviceUri", f[kqs::kStateDevice])
      .Add("model", f[kqs::kStateModel])
      .Add("class", f[kqs::kStateClass])
      .AddRaw("default", f[kqs::kStateDefault] == "yes" ? "true" : "false");
  return o;
}

// The request and its data block for a change command.
struct ChangeRequest {
  uint32_t operation, type;
  std::string name, data;
};

std::vector<ChangeRequest> ChangeRequests(const Options& opts, const std::string& list) {
  std::vector<ChangeRequest> out;
  switch (opts.command) {
    case Command::kEnable:
    case Command::kDisable:
    case Command::kAccept:
    case Command::kReject:
      out.push_back({KQS_UPDATE, TYPE_KQS_QUEUE_STATE, opts.name,
                     "Action=" + std::string(CommandWord(opts.command)) + ";Reason=" + opts.Value("reason")});
      break;
    case Command::kCancel:
      if (opts.flags.count("all") != 0) {
        out.push_back({KQS_REMOVE, TYPE_KQS_JOB, opts.name, "Job=*"});
        break;
      }
      for (const std::string& job : opts.args) {
        const size_t dash = job.rfind('-');
        out.push_back({KQS_REMOVE, TYPE_KQS_JOB, dash == std::string::npos ? "" : job.substr(0, dash),
                       "Job=" + (dash == std::string::npos ? job : job.substr(dash + 1))});
      }
      break;
    case Command::kMoveJobs:
      out.push_back({KQS_UPDATE, TYPE_KQS_JOB, opts.args[0], "Destination=" + opts.args[1]});
      break;
    default:
      out.push_back({KQS_UPDATE, TYPE_KQS_QUEUE_SETTINGS, opts.name, list});
      break;
  }
  return out;
}

}  // namespace

std::string AcceptingJson(const std::string& field) {
  return field == "yes" ? "true" : field == "no" ? "false" : "null";
}

std::string CountJson(const std::string& field) {
  if (field.empty() || field.size() > 9 || field.find_first_not_of("0123456789") != std::string::npos) return "null";
  return field;
}

bool QueueStates(const Options& opts, Session& session, std::map<std::string, std::vector<std::string>>* states,
                 std::string* why) {
  Result r;
  std::string text;
  if (!Enumerate(opts, session, TYPE_KQS_QUEUE_STATE, "", &text, &r)) return *why = r.error, false;
  for (auto& f : kqs::ParseRecords(text, kqs::kStateFieldCount)) (*states)[f[kqs::kStateName]] = std::move(f);
  return true;
}

Result Status(const Options& opts, const Endpoint& server) {
  Result r;
  std::string text;
  Session session(server, opts.TimeoutOr(kDefaultTimeoutMs));
  if (!Enumerate(opts, session, TYPE_KQS_QUEUE_STATE, opts.name, &text, &r)) return r;
  const auto records = kqs::ParseRecords(text, kqs::kStateFieldCount);
  if (records.size() != 1) return Fail(&r, "unreadable result: expected one queue", 3);
  const auto& f = records[0];
  // The settings as given at add time; a queue made before they were kept
  // has none.
  Result settings_result;
  std::string settings;
  const bool has_settings =
      Enumerate(opts, session, TYPE_KQS_QUEUE_SETTINGS, opts.name, &settings, &settings_result);
  if (!settings.empty() && settings.back() == '\0') settings.pop_back();
  r.columns = {"QUEUE", "STATE", "ACCEPTING", "JOBS", "DEVICE", "MODEL", "CLASS", "DEFAULT", "MESSAGE"};
  std::string message = f[kqs::kStateMessage];
  if (!f[kqs::kStateReasons].empty()) message += (message.empty() ? "" : " ") + ("(" + f[kqs::kStateReasons] + ")");
  r.rows.push_back({f[kqs::kStateName], f[kqs::kStateState], Shown(f[kqs::kStateAccepting]), Shown(f[kqs::kStateJobs]),
                    Shown(f[kqs::kStateDevice]), Shown(f[kqs::kStateModel]), Shown(f[kqs::kStateClass]),
                    f[kqs::kStateDefault], Shown(message)});
  JsonObject o = StateJson(f);
  o.AddRaw("settings", has_settings ? SettingsJson(settings) : "null");
  r.records.push_back(o);
  return r;
}

Result Jobs(const Options& opts, const Endpoint& server) {
  Result r;
  std::string text;
  Session session(server, opts.TimeoutOr(kDefaultTimeoutMs));
  if (!Enumerate(opts, session, TYPE_KQS_JOB, opts.name, &text, &r)) return r;
  r.columns = {"ID", "QUEUE", "USER", "TITLE", "SIZE", "STATE", "CREATED"};
  r.none = "no jobs";
  for (const auto& j : kqs::ParseRecords(text, kqs::kJobFieldCount)) {
    r.rows.push_back({j[kqs::kJobId], j[kqs::kJobQueue], j[kqs::kJobUser], j[kqs::kJobTitle], j[kqs::kJobSize],
                      j[kqs::kJobState], LocalTime(j[kqs::kJobTime])});
    r.records.push_back(JsonObject()
                            .AddRaw("id", CountJson(j[kqs::kJobId]))
                            .Add("queue", j[kqs::kJobQueue])
                            .Add("user", j[kqs::kJobUser])
                            .Add("title", j[kqs::kJobTitle])
                            .AddRaw("size", CountJson(j[kqs::kJobSize]))
                            .Add("state", j[kqs::kJobState])
                            .AddRaw("time", CountJson(j[kqs::kJobTime])));
  }
  return r;
}

Result QueueChange(const Options& opts, const Endpoint& server, const std::string& list, const LogInFn& log_in) {
  Result r;
  Session session(server, opts.TimeoutOr(kDefaultTimeoutMs));
  if (opts.flags.count("login") != 0 && !log_in(session, &r)) {
    r.error = "login: " + r.error;
    return r;
  }
  for (const ChangeRequest& q : ChangeRequests(opts, list)) {
    Reply reply;
    std::string why;
    const std::string data = q.data + std::string(1, '\0');
    if (!session.Transact(q.operation, q.type, q.name, data, &reply, &why)) return Fail(&r, why, 3);
    if (reply.return_code != KQS_SUCCESS) return RefusedOrOld(&r, reply.return_code, opts.command);
  }
  r.answered = true;
  r.code = KQS_SUCCESS;
  r.note = DescribeReturnCode(KQS_SUCCESS);
  return r;
}

}  // namespace kqsctl
