// kqsctl web: access control, sessions and the JSON API over cpp-httplib.
// The API runs the same code as the command line (RunOn) with an Options
// built from the form, so names and values pass the same rules.
#include "kqsctl/webconsole.h"

#include <httplib.h>
#include <pthread.h>
#include <sys/random.h>

#include <csignal>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kqsctl/channel.h"
#include "kqsctl/codetext.h"
#include "kqsctl/commands.h"
#include "kqsctl/discoreply.h"
#include "kqsctl/fleet.h"
#include "kqsctl/output.h"
#include "kqsctl/rules.h"
#include "kqsctl/transport.h"
#include "kqsctl/webfiles.h"
#include "protocol/kqsids.h"

namespace kqsctl {
namespace {

using Req = httplib::Request;
using Res = httplib::Response;

constexpr const char* kCookie = "kqsweb";
constexpr size_t kMaxPassword = kMaxDataBlock - 1;

// Hex of n random bytes from the kernel; "" if it has none to give.
std::string RandomHex(size_t n) {
  std::string bytes(n, '\0');
  if (getrandom(bytes.data(), n, 0) != static_cast<ssize_t>(n)) return "";
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) hex += kDigits[c >> 4], hex += kDigits[c & 15];
  return hex;
}

// Compares without leaking, by its time, how much of a guess was right.
bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string ContentType(std::string_view path) {
  if (path.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (path.ends_with(".css")) return "text/css; charset=utf-8";
  if (path.ends_with(".png")) return "image/png";
  return "text/html; charset=utf-8";
}

// The hint as the page words it: the page has a password field, not --login.
std::string WebHint(const std::string& hint) {
  if (hint.find("--login") == std::string::npos) return hint;
  return "the server requires a password: type it in the Password field";
}

// One command's outcome on one server, as the page shows it.
JsonObject Outcome(const std::string& host, const Result& r) {
  JsonObject o;
  o.Add("host", host).Add("status", r.status);
  if (r.status == 0) return o;
  o.Add("error", r.error.substr(0, r.error.find("; ")));
  if (r.answered) o.Add("code", static_cast<long long>(r.code)).Add("codeName", KQSReturnCodeFromID(r.code));
  const std::string hint = WebHint(r.hint);
  if (!hint.empty()) o.Add("hint", hint);
  return o;
}

struct Session {
  std::string csrf;
  std::map<std::string, std::string> passwords;  // by server, as typed
};

struct LastError {
  std::string when, error, hint;
};

class WebConsole {
 public:
  WebConsole(const Options& opts, std::vector<std::string> hosts, std::string token)
      : opts_(opts), hosts_(std::move(hosts)), token_(std::move(token)) {}

  void Install(httplib::Server& server);

 private:
  httplib::Server::HandlerResponse Admit(const Req& req, Res& res);
  std::string SessionId(const Req& req) const;
  bool Known(const std::string& host) const;
  Fields Identity(const std::string& host);

  void Servers(Res& res);
  void Server(const Req& req, Res& res);
  void Queue(const Req& req, Res& res);
  void QueueAction(const Req& req, Res& res);
  void AddQueue(const Req& req, Res& res);
  void RemoveQueue(const Req& req, Res& res);
  void AddPort(const Req& req, Res& res);

  Result Run(const Options& opts, const std::string& host, const std::string& list = "");
  void Change(const Req& req, Res& res, Options opts, const std::string& list);
  void Remember(const std::string& host, const Result& r);

  const Options opts_;
  const std::vector<std::string> hosts_;
  const std::string token_;
  std::mutex mutex_;
  std::map<std::string, Session> sessions_;  // by cookie
  std::map<std::string, LastError> last_errors_;
  std::map<std::string, Fields> identities_;  // discovery replies, by server
};

// Sends body as it is. cpp-httplib would compress a text body with brotli
// at its highest quality on every request, which on a loopback connection
// costs far more than it saves (most of a second for 1,000 queues); a body
// from a provider of known length goes out uncompressed.
void Send(Res& res, std::string body, const std::string& type, int status = 200) {
  res.status = status;
  auto shared = std::make_shared<const std::string>(std::move(body));
  res.set_content_provider(shared->size(), type, [shared](size_t offset, size_t length, httplib::DataSink& sink) {
    return sink.write(shared->data() + offset, length);
  });
}

void Json(Res& res, const std::string& body, int status = 200) { Send(res, body, "application/json", status); }

void Refuse(Res& res, const std::string& why) {
  Send(res, "403 Forbidden: " + why + "\n", "text/plain; charset=utf-8", 403);
}

std::string WebFileBody(std::string_view path) {
  for (size_t i = 0; i < kWebFileCount; ++i) {
    if (kWebFiles[i].path == path) return std::string(kWebFiles[i].body);
  }
  return "";
}

std::string WebConsole::SessionId(const Req& req) const {
  const std::string cookies = req.get_header_value("Cookie");
  const std::string key = std::string(kCookie) + "=";
  for (size_t at = 0; at < cookies.size();) {
    size_t end = cookies.find(';', at);
    if (end == std::string::npos) end = cookies.size();
    std::string pair = cookies.substr(at, end - at);
    pair.erase(0, pair.find_first_not_of(' '));
    if (pair.starts_with(key)) return pair.substr(key.size());
    at = end + 1;
  }
  return "";
}

// The gate in front of every handler: the token (exchanged for a session
// cookie and dropped from the address bar), else a live session; a change
// also carries the session's CSRF token.
httplib::Server::HandlerResponse WebConsole::Admit(const Req& req, Res& res) {
  using HR = httplib::Server::HandlerResponse;
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("Content-Security-Policy", "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
  if (req.has_param("token")) {
    if (!SameSecret(req.get_param_value("token"), token_)) return Refuse(res, "wrong access token"), HR::Handled;
    const std::string id = RandomHex(32), csrf = RandomHex(32);
    if (id.empty() || csrf.empty()) return Refuse(res, "no random numbers for a session"), HR::Handled;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sessions_[id].csrf = csrf;
    }
    res.set_header("Set-Cookie", std::string(kCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict");
    res.set_redirect(req.path, 303);
    return HR::Handled;
  }
  const std::string id = SessionId(req);
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sessions_.find(id);
  if (id.empty() || it == sessions_.end()) {
    return Refuse(res, "open the address with the access token that kqsctl web printed"), HR::Handled;
  }
  if (req.method != "GET" && req.method != "HEAD" &&
      !SameSecret(req.get_header_value("X-CSRF-Token"), it->second.csrf)) {
    return Refuse(res, "a change needs this session's CSRF token; reload the page"), HR::Handled;
  }
  return HR::Unhandled;
}

bool WebConsole::Known(const std::string& host) const {
  for (const auto& h : hosts_) {
    if (h == host) return true;
  }
  return false;
}

void WebConsole::Remember(const std::string& host, const Result& r) {
  if (r.status == 0) return;
  char when[16];
  const time_t now = std::time(nullptr);
  struct tm local;
  std::strftime(when, sizeof when, "%H:%M:%S", localtime_r(&now, &local));
  std::lock_guard<std::mutex> lock(mutex_);
  last_errors_[host] = {when, r.what + ": " + r.error.substr(0, r.error.find("; ")), WebHint(r.hint)};
}

Result WebConsole::Run(const Options& opts, const std::string& host, const std::string& list) {
  const auto no_password = [](std::string*, std::string* error) { return *error = "no password", false; };
  Result r = RunOn(opts, host, list, no_password);
  Remember(host, r);
  return r;
}

// The command with the options kqsctl web was started with, so every request
// goes to the servers as the command line's would (--plain, --cacert, --cert,
// --key, --timeout); the page's form adds the command's own.
Options WithCommand(const Options& base, Command command) {
  Options o = base;
  o.command = command;
  return o;
}

// A server's discovery reply (system and version), asked once it answers:
// a refresh does not cost each server a datagram, nor its reply budget.
Fields WebConsole::Identity(const std::string& host) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto it = identities_.find(host); it != identities_.end()) return it->second;
  }
  std::vector<DiscoveryAnswer> answers;
  std::string why;
  Fields fields;
  Discover({host}, kPlainPort, opts_.TimeoutOr(kDefaultDiscoverMs), &answers, &why);
  if (answers.empty() || !ParseDiscoveryReply(answers[0].text, &fields)) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  return identities_[host] = fields;
}

// The stopped queues and pending jobs of a queues listing (its STATE and
// JOBS columns), added to o; left out when the server tells neither.
void AddTotals(const Result& queues, JsonObject* o) {
  long long stopped = 0, jobs = 0;
  bool told = queues.rows.empty();
  for (const auto& row : queues.rows) {
    if (row[1] == "-") continue;
    told = true;
    stopped += row[1] == "stopped";
    jobs += std::atoll(row[3].c_str());
  }
  if (told) o->Add("stoppedQueues", stopped).Add("pendingJobs", jobs);
}

void WebConsole::Servers(Res& res) {
  std::vector<std::string> rows(hosts_.size());
  ForEachConcurrently(hosts_.size(), opts_.parallel, [&](size_t i) {
    const std::string& host = hosts_[i];
    const Fields fields = Identity(host);
    const Result queues = Run(WithCommand(opts_, Command::kQueues), host);
    JsonObject o;
    o.Add("host", host).Add("reachable", queues.answered ? "yes" : "no");
    o.Add("system", FieldValue(fields, "Uname"));
    const std::string major = FieldValue(fields, "VMajor");
    o.Add("version", major.empty() ? "" : major + "." + FieldValue(fields, "VMinor") + "." +
                                              FieldValue(fields, "VUpdate") + "." + FieldValue(fields, "VBuild"));
    if (queues.status == 0) {
      o.Add("queues", static_cast<long long>(queues.rows.size()));
      AddTotals(queues, &o);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto it = last_errors_.find(host); it != last_errors_.end()) {
      o.Add("lastError", it->second.when + " " + it->second.error).Add("hint", it->second.hint);
    }
    rows[i] = o.Render();
  });
  Json(res, "{\"servers\":" + JsonArray(rows) + "}");
}

void WebConsole::Server(const Req& req, Res& res) {
  const std::string host = req.get_param_value("host");
  if (!Known(host)) return Json(res, R"({"error":"not a server of this console"})", 404);
  const Command commands[] = {Command::kQueues, Command::kDrivers, Command::kMonitors};
  const char* keys[] = {"queues", "models", "monitors"};
  Result results[3];
  ForEachConcurrently(3, 3, [&](size_t i) { results[i] = Run(WithCommand(opts_, commands[i]), host); });
  JsonObject o;
  o.Add("host", host);
  for (size_t i = 0; i < 3; ++i) {
    if (results[i].status != 0) {
      o.AddRaw(keys[i], "null").AddRaw(std::string(keys[i]) + "Error", Outcome(host, results[i]).Render());
      continue;
    }
    std::string list;
    for (const auto& record : results[i].records) list += (list.empty() ? "" : ",") + record.Render();
    o.AddRaw(keys[i], "[" + list + "]");
  }
  Json(res, o.Render());
}

// A queue: its state and settings, and its jobs.
void WebConsole::Queue(const Req& req, Res& res) {
  const std::string host = req.get_param_value("host");
  if (!Known(host)) return Json(res, R"({"error":"not a server of this console"})", 404);
  Options o[2] = {WithCommand(opts_, Command::kStatus), WithCommand(opts_, Command::kJobs)};
  std::string why;
  if (!CheckQueueName(req.get_param_value("name"), &why)) return Json(res, JsonObject().Add("error", why).Render(), 400);
  Result results[2];
  ForEachConcurrently(2, 2, [&](size_t i) {
    o[i].name = req.get_param_value("name");
    results[i] = Run(o[i], host);
  });
  JsonObject out;
  out.Add("host", host);
  const char* keys[] = {"queue", "jobs"};
  for (size_t i = 0; i < 2; ++i) {
    if (results[i].status != 0) {
      out.AddRaw(keys[i], "null").AddRaw(std::string(keys[i]) + "Error", Outcome(host, results[i]).Render());
    } else if (i == 0) {
      out.AddRaw(keys[i], results[i].records.empty() ? "null" : results[i].records[0].Render());
    } else {
      std::string list;
      for (const auto& record : results[i].records) list += (list.empty() ? "" : ",") + record.Render();
      out.AddRaw(keys[i], "[" + list + "]");
    }
  }
  Json(res, out.Render());
}

// Runs a change on every server the form names ("server", repeated), with
// the password typed now or earlier in this session, and answers one outcome
// per server.
void WebConsole::Change(const Req& req, Res& res, Options opts, const std::string& list) {
  std::vector<std::string> targets;
  for (size_t i = 0; i < req.get_param_value_count("server"); ++i) {
    const std::string host = req.get_param_value("server", i);
    if (!Known(host)) return Json(res, R"({"error":"not a server of this console: )" + host + "\"}", 404);
    targets.push_back(host);
  }
  DropRepeats(&targets);
  if (targets.empty()) return Json(res, R"({"error":"choose at least one server"})", 400);
  const std::string typed = req.get_param_value("password");
  if (typed.size() > kMaxPassword) return Json(res, R"({"fields":{"password":"at most 511 characters"}})", 400);
  const std::string id = SessionId(req);
  std::vector<std::string> rows(targets.size());
  ForEachConcurrently(targets.size(), opts_.parallel, [&](size_t i) {
    const std::string& host = targets[i];
    std::string password = typed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto& known = sessions_[id].passwords;
      if (!typed.empty()) known[host] = typed;
      if (password.empty() && known.count(host) != 0) password = known[host];
    }
    Options o = opts;
    if (!password.empty()) o.flags.insert("login");
    const Result r = RunOn(o, host, list, [&](std::string* text, std::string*) { return *text = password, true; });
    Remember(host, r);
    if (r.answered && r.error.starts_with("login: ")) {
      std::lock_guard<std::mutex> lock(mutex_);
      sessions_[id].passwords.erase(host);  // a wrong one is not tried again
    }
    rows[i] = Outcome(host, r).Render();
  });
  Json(res, "{\"results\":" + JsonArray(rows) + "}");
}

// Fills opts from the form's fields of options, each checked by kqsctl's
// rule for it; the rules that failed go to errors, by field.
void FromForm(const Req& req, std::initializer_list<const char*> values,
              std::initializer_list<const char*> flags, Options* opts, JsonObject* errors, bool* bad) {
  for (const char* name : values) {
    const std::string value = req.get_param_value(name);
    if (value.empty()) continue;
    std::string why;
    if (!CheckOptionValue(name, value, &why)) {
      errors->Add(name, why.substr(why.find(": ") + 2)), *bad = true;
      continue;
    }
    opts->values[name] = value;
  }
  for (const char* name : flags) {
    if (!req.get_param_value(name).empty()) opts->flags.insert(name);
  }
}

bool CheckName(const Req& req, bool queue, Options* opts, JsonObject* errors) {
  opts->name = req.get_param_value("name");
  std::string why;
  const bool ok = queue ? CheckQueueName(opts->name, &why) : !opts->name.empty() && opts->name.size() <= kMaxNameLength;
  if (!ok) errors->Add("name", queue ? why : "a port name has 1 to 127 characters");
  return ok;
}

void Required(const Req& req, std::initializer_list<const char*> names, JsonObject* errors, bool* bad) {
  for (const char* name : names) {
    if (req.get_param_value(name).empty()) errors->Add(name, "required"), *bad = true;
  }
}

void WebConsole::AddQueue(const Req& req, Res& res) {
  Options o = WithCommand(opts_, Command::kAddQueue);
  JsonObject errors;
  bool bad = !CheckName(req, true, &o, &errors);
  FromForm(req, {"model", "device", "class", "export", "ip-port", "type", "devtype", "pslevel", "personality"},
           {"default", "teoj", "jrecov", "banner"}, &o, &errors, &bad);
  Required(req, {"model", "device"}, &errors, &bad);
  std::string list, why;
  if (!bad && !BuildQueueParameters(o, &list, &why)) errors.Add("device", why), bad = true;
  if (bad) return Json(res, "{\"fields\":" + errors.Render() + "}", 400);
  Change(req, res, o, list);
}

void WebConsole::RemoveQueue(const Req& req, Res& res) {
  Options o = WithCommand(opts_, Command::kRemoveQueue);
  JsonObject errors;
  if (!CheckName(req, true, &o, &errors)) return Json(res, "{\"fields\":" + errors.Render() + "}", 400);
  Change(req, res, o, "");
}

// enable, disable, accept or reject a queue (with the reason given), or
// cancel one of its jobs ("job") or all of them.
void WebConsole::QueueAction(const Req& req, Res& res) {
  static constexpr Command kActions[] = {Command::kEnable, Command::kDisable, Command::kAccept, Command::kReject,
                                         Command::kCancel};
  const std::string action = req.get_param_value("action");
  Options o = opts_;
  for (Command c : kActions) {
    if (CommandWord(c) == action) o = WithCommand(opts_, c);
  }
  if (o.command == opts_.command) return Json(res, R"({"error":"no such action"})", 400);
  JsonObject errors;
  if (!CheckName(req, true, &o, &errors)) return Json(res, "{\"fields\":" + errors.Render() + "}", 400);
  const std::string reason = req.get_param_value("reason"), job = req.get_param_value("job");
  if (!reason.empty()) o.values["reason"] = reason;
  if (o.command == Command::kCancel && job.empty()) o.flags.insert("all");
  if (o.command == Command::kCancel && !job.empty()) {
    if (job.size() > 9 || job.find_first_not_of("0123456789") != std::string::npos) {
      return Json(res, R"({"error":"a job is a number"})", 400);
    }
    o.args = {o.name + "-" + job};
  }
  Change(req, res, o, "");
}

void WebConsole::AddPort(const Req& req, Res& res) {
  Options o = WithCommand(opts_, Command::kAddPort);
  JsonObject errors;
  bool bad = !CheckName(req, false, &o, &errors);
  FromForm(req, {"host", "ip", "hw", "port"}, {}, &o, &errors, &bad);
  Required(req, {"host", "ip"}, &errors, &bad);
  std::string list, why;
  if (!bad && !BuildPortParameters(o, &list, &why)) errors.Add("host", why), bad = true;
  if (bad) return Json(res, "{\"fields\":" + errors.Render() + "}", 400);
  Change(req, res, o, list);
}

void WebConsole::Install(httplib::Server& server) {
  server.set_pre_routing_handler([this](const Req& req, Res& res) { return Admit(req, res); });
  for (size_t i = 0; i < kWebFileCount; ++i) {
    const std::string path(kWebFiles[i].path);
    server.Get(path == "/index.html" ? "/" : path, [path](const Req&, Res& res) {
      Send(res, WebFileBody(path), ContentType(path));
    });
  }
  server.Get("/api/session", [this](const Req& req, Res& res) {
    std::lock_guard<std::mutex> lock(mutex_);
    Json(res, JsonObject().Add("csrf", sessions_[SessionId(req)].csrf).Render());
  });
  server.Get("/api/servers", [this](const Req&, Res& res) { Servers(res); });
  server.Get("/api/server", [this](const Req& req, Res& res) { Server(req, res); });
  server.Post("/api/add-queue", [this](const Req& req, Res& res) { AddQueue(req, res); });
  server.Post("/api/remove-queue", [this](const Req& req, Res& res) { RemoveQueue(req, res); });
  server.Post("/api/add-port", [this](const Req& req, Res& res) { AddPort(req, res); });
  server.Get("/api/queue", [this](const Req& req, Res& res) { Queue(req, res); });
  server.Post("/api/queue-action", [this](const Req& req, Res& res) { QueueAction(req, res); });
}

bool ParseListen(const std::string& text, std::string* address, int* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  *address = text.substr(0, colon);
  if (address->front() == '[' && address->back() == ']') *address = address->substr(1, address->size() - 2);
  const std::string digits = text.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  *port = std::stoi(digits);
  return *port >= 1 && *port <= 65535;
}

}  // namespace

int RunWeb(const Options& opts, FILE* out, FILE* err) {
  std::string address, why;
  int port = 0;
  const std::string listen = opts.Value("listen", kDefaultWebListen);
  if (!ParseListen(listen, &address, &port)) {
    std::fprintf(err, "kqsctl: web: --listen takes ADDRESS:PORT (port 1-65535), not '%s'\n", listen.c_str());
    return kExitUsage;
  }
  std::vector<std::string> hosts;
  if (!Targets(opts, &hosts, &why, err)) {
    std::fprintf(err, "kqsctl: web: %s\n", why.c_str());
    return kExitNoAnswer;
  }
  const std::string token = RandomHex(24);
  if (token.empty()) {
    std::fprintf(err, "kqsctl: web: the kernel gave no random numbers for the access token\n");
    return kExitNoAnswer;
  }
  // SIGINT and SIGTERM stop the server; the worker threads never see them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  httplib::Server server;
  WebConsole console(opts, hosts, token);
  console.Install(server);
  server.set_payload_max_length(64 * 1024);
  if (!server.bind_to_port(address, port)) {
    std::fprintf(err, "kqsctl: web: cannot listen on %s: the address is in use or not this host's\n", listen.c_str());
    return kExitNoAnswer;
  }
  const std::string shown = address.find(':') != std::string::npos ? "[" + address + "]" : address;
  std::fprintf(out, "kqsctl web: the console for %zu server%s; open this address in a browser on this host:\n",
               hosts.size(), hosts.size() == 1 ? "" : "s");
  std::fprintf(out, "    http://%s:%d/?token=%s\n", shown.c_str(), port, token.c_str());
  std::fflush(out);
  std::thread stopper([&] {
    int signal = 0;
    sigwait(&stop_signals, &signal);
    server.stop();
  });
  const bool served = server.listen_after_bind();
  if (stopper.joinable()) {
    pthread_kill(stopper.native_handle(), SIGTERM);  // a server that failed: end the wait too
    stopper.join();
  }
  return served ? kExitOk : kExitNoAnswer;
}

}  // namespace kqsctl
