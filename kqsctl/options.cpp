// Command-line parsing for kqsctl, driven by tables of commands and options.
#include "kqsctl/options.h"

#include <array>
#include <cctype>
#include <string_view>
#include <vector>

#include "kqsctl/channel.h"
#include "kqsctl/rules.h"

namespace kqsctl {
namespace {

constexpr unsigned Bit(Command c) { return CommandBit(c); }
constexpr unsigned kAnyCommand = ~0u;
constexpr unsigned kStateChanges =
    Bit(Command::kEnable) | Bit(Command::kDisable) | Bit(Command::kAccept) | Bit(Command::kReject);
constexpr unsigned kServerCommands = Bit(Command::kQueues) | Bit(Command::kDrivers) | Bit(Command::kMonitors) |
                                     Bit(Command::kAddQueue) | Bit(Command::kRemoveQueue) |
                                     Bit(Command::kAddPort) | Bit(Command::kRemovePort) | Bit(Command::kLogin) |
                                     Bit(Command::kStatus) | Bit(Command::kJobs) | Bit(Command::kCancel) |
                                     kStateChanges | Bit(Command::kMoveJobs) | Bit(Command::kModifyQueue) | Bit(Command::kWeb);

// The words after the command.
enum class Args {
  kNone,
  kPort,            // a port's name
  kQueue,           // a queue's name (stricter rules)
  kOptionalQueue,   // a queue's name or nothing
  kJobs,            // one or more jobs (ID or QUEUE-ID); with --all one queue
  kTwoQueues,       // FROM and TO
};

struct CommandSpec {
  std::string_view word;
  Command command;
  Args takes;
};

constexpr Args kNoName = Args::kNone;

constexpr std::array<CommandSpec, 22> kCommands = {{
    {"help", Command::kHelp, kNoName},
    {"discover", Command::kDiscover, kNoName},
    {"queues", Command::kQueues, kNoName},
    {"drivers", Command::kDrivers, kNoName},
    {"monitors", Command::kMonitors, kNoName},
    {"add-queue", Command::kAddQueue, Args::kQueue},
    {"remove-queue", Command::kRemoveQueue, Args::kQueue},
    {"add-port", Command::kAddPort, Args::kPort},
    {"remove-port", Command::kRemovePort, Args::kPort},
    {"login", Command::kLogin, kNoName},
    {"passwd", Command::kPasswd, kNoName},
    {"version", Command::kVersion, kNoName},
    {"status", Command::kStatus, Args::kQueue},
    {"jobs", Command::kJobs, Args::kOptionalQueue},
    {"cancel", Command::kCancel, Args::kJobs},
    {"enable", Command::kEnable, Args::kQueue},
    {"disable", Command::kDisable, Args::kQueue},
    {"accept", Command::kAccept, Args::kQueue},
    {"reject", Command::kReject, Args::kQueue},
    {"move-jobs", Command::kMoveJobs, Args::kTwoQueues},
    {"modify-queue", Command::kModifyQueue, Args::kQueue},
    {"web", Command::kWeb, kNoName},
}};

struct OptionSpec {
  std::string_view name;
  bool takes_value;
  unsigned commands;
  bool required;
  bool repeats = false;
};

constexpr unsigned kAddQueue = Bit(Command::kAddQueue);
constexpr unsigned kModify = Bit(Command::kModifyQueue);
constexpr unsigned kQueueSettings = kAddQueue | kModify;
constexpr unsigned kAddPort = Bit(Command::kAddPort);
constexpr unsigned kChanges = kAddQueue | Bit(Command::kRemoveQueue) | kAddPort | Bit(Command::kRemovePort) |
                              Bit(Command::kCancel) | kStateChanges | Bit(Command::kMoveJobs) | kModify;

constexpr std::array<OptionSpec, 42> kOptions = {{
    {"help", false, kAnyCommand, false},
    {"version", false, kAnyCommand, false},
    {"verbose", false, kAnyCommand, false},
    {"server", true, kServerCommands, false, true},
    {"hosts", true, kServerCommands, false},
    {"discovered", false, kServerCommands, false},
    {"parallel", true, kServerCommands, false},
    {"plain", false, kServerCommands, false},
    {"cacert", true, kServerCommands, false},
    {"cert", true, kServerCommands, false},
    {"key", true, kServerCommands, false},
    {"timeout", true, kServerCommands | Bit(Command::kDiscover), false},
    {"json", false, kServerCommands | Bit(Command::kDiscover), false},
    {"to", true, kServerCommands | Bit(Command::kDiscover), false, true},
    {"ini", true, Bit(Command::kPasswd), true},
    {"legacy", false, Bit(Command::kPasswd), false},
    {"model", true, kQueueSettings, true},
    {"device", true, kQueueSettings, true},
    {"no-teoj", false, kModify, false},
    {"no-jrecov", false, kModify, false},
    {"no-banner", false, kModify, false},
    {"reason", true, Bit(Command::kDisable) | Bit(Command::kReject), false},
    {"all", false, Bit(Command::kCancel), false},
    {"class", true, kQueueSettings, false},
    {"default", false, kQueueSettings, false},
    {"export", true, kQueueSettings, false},
    {"ip-port", true, kQueueSettings, false},
    {"type", true, kQueueSettings, false},
    {"devtype", true, kQueueSettings, false},
    {"teoj", false, kQueueSettings, false},
    {"jrecov", false, kQueueSettings, false},
    {"banner", false, kQueueSettings, false},
    {"pslevel", true, kQueueSettings, false},
    {"personality", true, kQueueSettings, false},
    {"host", true, kAddPort, true},
    {"ip", true, kAddPort, true},
    {"hw", true, kAddPort, false},
    {"port", true, kAddPort, false},
    {"login", false, kChanges, false},
    {"listen", true, Bit(Command::kWeb), false},
}};

const OptionSpec* FindOption(std::string_view name) {
  for (const auto& o : kOptions) {
    if (o.name == name) return &o;
  }
  return nullptr;
}

// How each queue key is filled: from an option's value (or a default), or
// from a flag.
enum class Source { kValue, kFlag, kOnOff };
struct QueueKey {
  std::string_view key;
  std::string_view option;
  Source source;
  std::string_view fallback;  // "" for Type means: the model's name
};

constexpr std::array<QueueKey, 13> kQueueKeys = {{
    {"Device", "device", Source::kValue, ""},
    {"EXPort", "export", Source::kValue, "0"},
    {"IPPort", "ip-port", Source::kValue, "9100"},
    {"Class", "class", Source::kValue, ""},
    {"Default", "default", Source::kOnOff, ""},
    {"Model", "model", Source::kValue, ""},
    {"Type", "type", Source::kValue, ""},
    {"DEVTYPE", "devtype", Source::kValue, "printer"},
    {"TEOJ", "teoj", Source::kFlag, ""},
    {"JRECOV", "jrecov", Source::kFlag, ""},
    {"PSLEVEL", "pslevel", Source::kValue, "2"},
    {"BANNER", "banner", Source::kFlag, ""},
    {"PERSONALTY", "personality", Source::kValue, "PostScript"},
}};

struct PortKey {
  std::string_view key;
  std::string_view option;
  std::string_view fallback;
};

constexpr std::array<PortKey, 4> kPortKeys = {{
    {"HostName", "host", ""},
    {"IPAddress", "ip", ""},
    {"HWAddress", "hw", ""},
    {"Port", "port", "9100"},
}};

bool Fail(std::string* error, std::string text) {
  *error = std::move(text);
  return false;
}

bool ParseCount(std::string_view text, int max, int* out) {
  if (text.empty() || text.size() > 7) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > max) return false;
  *out = value;
  return true;
}

bool CheckPortName(const std::string& name, std::string* error) {
  if (name.empty()) return Fail(error, "the name must not be empty");
  if (name.size() > kMaxNameLength) {
    return Fail(error, "the name is " + std::to_string(name.size()) + " characters long; the server takes at most " +
                           std::to_string(kMaxNameLength));
  }
  for (char c : name) {
    if (!std::isprint(static_cast<unsigned char>(c))) return Fail(error, "the name holds a non-printable character");
  }
  return true;
}

// Appends "Key=value;" after checking that the value survives the list syntax.
bool AppendPair(std::string_view key, const std::string& value, std::string_view option, std::string* list,
                std::string* error) {
  if (value.find(';') != std::string::npos) {
    return Fail(error, "--" + std::string(option) + ": a value cannot contain ';'");
  }
  if (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
    return Fail(error, "--" + std::string(option) + ": a value cannot begin with a blank");
  }
  if (!list->empty()) *list += ';';
  list->append(key).append("=").append(value);
  return true;
}

bool CheckListSize(const std::string& list, std::string* error) {
  if (list.size() + 1 > kMaxDataBlock) {
    return Fail(error, "the parameters take " + std::to_string(list.size() + 1) + " bytes; the server takes at most " +
                           std::to_string(kMaxDataBlock));
  }
  return true;
}

// A job as cancel takes it: ID or QUEUE-ID.
bool CheckJob(const std::string& job, std::string* error) {
  const size_t dash = job.rfind('-');
  const std::string id = dash == std::string::npos ? job : job.substr(dash + 1);
  int value = 0;
  if (!ParseCount(id, 999999999, &value)) return Fail(error, "'" + job + "' is not a job (ID or QUEUE-ID)");
  return dash == std::string::npos || CheckQueueName(job.substr(0, dash), error);
}

// The words after the command, by what the command takes.
bool CheckArguments(const CommandSpec& cmd, const std::vector<std::string>& args, bool all, std::string* error) {
  size_t min = 0, max = 0;
  switch (cmd.takes) {
    case Args::kNone: break;
    case Args::kPort: case Args::kQueue: min = max = 1; break;
    case Args::kOptionalQueue: max = 1; break;
    case Args::kJobs: min = 1, max = all ? 1 : 1000; break;
    case Args::kTwoQueues: min = max = 2; break;
  }
  if (args.size() < min) return Fail(error, cmd.takes == Args::kJobs ? "the job is missing" : "the name is missing");
  if (args.size() > max) return Fail(error, "unexpected argument '" + args[max] + "'");
  for (const std::string& a : args) {
    std::string why;
    const bool ok = cmd.takes == Args::kPort                ? CheckPortName(a, &why)
                    : cmd.takes == Args::kJobs && !all ? CheckJob(a, &why)
                                                            : CheckQueueName(a, &why);
    if (!ok) return Fail(error, "'" + a + "': " + why);
  }
  return true;
}

}  // namespace

std::string_view CommandWord(Command command) {
  for (const auto& c : kCommands) {
    if (c.command == command) return c.word;
  }
  return "";
}

std::string Options::Value(const std::string& name, const std::string& fallback) const {
  auto it = values.find(name);
  return it == values.end() ? fallback : it->second;
}

bool Options::Fleet() const {
  return servers.size() > 1 || values.count("hosts") != 0 || flags.count("discovered") != 0;
}

std::vector<std::string> Options::To() const {
  auto it = lists.find("to");
  return it == lists.end() ? std::vector<std::string>() : it->second;
}

std::string CompletionWords(std::string_view command) {
  std::string words;
  if (command.empty()) {
    for (const auto& c : kCommands) words += std::string(c.word) + "\n";
    return words;
  }
  unsigned mask = command == "*" ? kAnyCommand : 0;
  for (const auto& c : kCommands) {
    if (c.word == command) mask = Bit(c.command);
  }
  for (const auto& o : kOptions) {
    if ((o.commands & mask) == 0) continue;
    const std::string value = o.takes_value ? "=" : "";
    if (o.name == "server") words += "-H" + value + "\n";
    words += "--" + std::string(o.name) + value + "\n";
  }
  return words;
}

bool ParseCommandLine(int argc, const char* const argv[], Options* opts, std::string* error) {
  *opts = Options();
  std::vector<std::string> words;
  std::vector<std::string> given;  // option names in the order given
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      words.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    std::string name;
    std::string value;
    bool has_value = false;
    if (arg == "-h") {
      name = "help";
    } else if (arg[1] == 'H') {
      name = "server";
      if (arg.size() > 2) value = arg.substr(2), has_value = true;
    } else if (arg.substr(0, 2) == "--") {
      const std::string_view rest = arg.substr(2);
      const size_t eq = rest.find('=');
      name = rest.substr(0, eq);
      if (eq != std::string_view::npos) value = rest.substr(eq + 1), has_value = true;
    } else {
      return Fail(error, "unknown option '" + std::string(arg) + "'");
    }
    const OptionSpec* spec = FindOption(name);
    if (spec == nullptr) return Fail(error, "unknown option '" + std::string(arg) + "'");
    if (spec->takes_value && !has_value) {
      if (i + 1 >= argc) return Fail(error, "option --" + name + " needs a value");
      value = argv[++i];
    } else if (!spec->takes_value && has_value) {
      return Fail(error, "option --" + name + " takes no value");
    }
    if (opts->values.count(name) != 0 || opts->flags.count(name) != 0) {
      return Fail(error, "option --" + name + " given twice");
    }
    if (spec->repeats) {
      opts->lists[name].push_back(value);
    } else if (spec->takes_value) {
      opts->values[name] = value;
    } else {
      opts->flags.insert(name);
    }
    given.push_back(name);
  }

  if (opts->flags.count("help") != 0 || (words.empty() && opts->flags.count("version") == 0)) {
    opts->command = Command::kHelp;
    return true;
  }
  if (opts->flags.count("version") != 0) {
    opts->command = Command::kVersion;
    return true;
  }
  const CommandSpec* cmd = nullptr;
  for (const auto& c : kCommands) {
    if (c.word == words[0]) cmd = &c;
  }
  if (cmd == nullptr) return Fail(error, "unknown command '" + words[0] + "'");
  opts->command = cmd->command;

  opts->args.assign(words.begin() + 1, words.end());
  std::string why;
  if (!CheckArguments(*cmd, opts->args, opts->flags.count("all") != 0, &why)) {
    return Fail(error, std::string(cmd->word) + ": " + why);
  }
  if (!opts->args.empty()) opts->name = opts->args[0];

  for (const auto& name : given) {
    if ((FindOption(name)->commands & Bit(cmd->command)) == 0) {
      return Fail(error, std::string(cmd->word) + " takes no option " + (name == "server" ? "-H" : "--" + name));
    }
    std::string why;
    if (!CheckOptionValue(name, opts->Value(name), &why)) return Fail(error, std::string(cmd->word) + ": " + why);
  }
  if (cmd->command != Command::kDiscover && opts->lists.count("to") != 0 && opts->flags.count("discovered") == 0) {
    return Fail(error, std::string(cmd->word) + ": --to goes with --discovered");
  }
  if ((opts->values.count("cert") != 0) != (opts->values.count("key") != 0)) {
    return Fail(error, std::string(cmd->word) + ": --cert and --key go together");
  }
  if (opts->flags.count("plain") != 0 && (opts->values.count("cacert") != 0 || opts->values.count("cert") != 0)) {
    return Fail(error, std::string(cmd->word) + ": --plain has no certificates (drop --cacert, --cert and --key)");
  }
  // modify-queue changes only what it is given.
  for (const auto& o : kOptions) {
    if (o.required && (o.commands & ~kModify & Bit(cmd->command)) != 0 && opts->values.count(o.name) == 0) {
      return Fail(error, std::string(cmd->word) + " needs --" + std::string(o.name));
    }
  }

  if (auto it = opts->lists.find("server"); it != opts->lists.end()) {
    for (const auto& host : it->second) {
      if (host.empty()) return Fail(error, "-H needs a host name or address");
      Endpoint target;
      std::string why;
      if (!ParseTarget(host, Security{}, &target, &why)) return Fail(error, "-H " + why);
    }
    opts->servers = it->second;
  }
  if (auto it = opts->values.find("timeout"); it != opts->values.end()) {
    if (!ParseCount(it->second, 3600000, &opts->timeout_ms)) {
      return Fail(error, "--timeout takes milliseconds from 1 to 3600000, not '" + it->second + "'");
    }
  }
  if (auto it = opts->values.find("parallel"); it != opts->values.end()) {
    if (!ParseCount(it->second, 1024, &opts->parallel)) {
      return Fail(error, "--parallel takes a number of servers from 1 to 1024, not '" + it->second + "'");
    }
  }
  opts->json = opts->flags.count("json") != 0;
  opts->verbose = opts->flags.count("verbose") != 0;
  return true;
}

bool BuildQueueParameters(const Options& opts, std::string* list, std::string* error) {
  list->clear();
  for (const auto& k : kQueueKeys) {
    const std::string option(k.option);
    std::string value;
    switch (k.source) {
      case Source::kValue:
        value = opts.Value(option, k.key == "Type" ? opts.Value("model") : std::string(k.fallback));
        break;
      case Source::kFlag:
        value = opts.flags.count(option) != 0 ? "1" : "0";
        break;
      case Source::kOnOff:
        value = opts.flags.count(option) != 0 ? "ON" : "OFF";
        break;
    }
    if (!AppendPair(k.key, value, k.option, list, error)) return false;
  }
  return CheckListSize(*list, error);
}

bool BuildModifyParameters(const Options& opts, std::string* list, std::string* error) {
  list->clear();
  for (const auto& k : kQueueKeys) {
    const std::string option(k.option);
    std::string value;
    if (k.source == Source::kValue) {
      if (opts.values.count(option) == 0) continue;
      value = opts.Value(option);
    } else if (opts.flags.count(option) != 0) {
      value = k.source == Source::kOnOff ? "ON" : "1";
    } else if (opts.flags.count("no-" + option) != 0) {
      value = "0";
    } else {
      continue;
    }
    if (!AppendPair(k.key, value, k.option, list, error)) return false;
  }
  if (list->empty()) return Fail(error, "give at least one setting to change (the add-queue options)");
  return CheckListSize(*list, error);
}

bool BuildPortParameters(const Options& opts, std::string* list, std::string* error) {
  list->clear();
  for (const auto& k : kPortKeys) {
    if (!AppendPair(k.key, opts.Value(std::string(k.option), std::string(k.fallback)), k.option, list, error)) {
      return false;
    }
  }
  return CheckListSize(*list, error);
}

const char* UsageText() {
  return "usage: kqsctl [TARGETS] [--timeout MS] [--json] [--verbose] COMMAND [ARGUMENTS]\n"
         "       kqsctl --version\n"
         "\n"
         "Talks to kqsd, the print-server management daemon, over TLS on port 55555\n"
         "(--plain: in clear on port 55554; discovery uses UDP port 55554).\n"
         "\n"
         "Commands:\n"
         "  discover [--to ADDR]...          ask every server on the network (broadcast),\n"
         "                                   or those at each ADDR, to describe itself\n"
         "  queues                           list the print queues the server created, with\n"
         "                                   their state, whether they accept jobs and\n"
         "                                   their number of jobs (\"-\": cannot tell)\n"
         "  status QUEUE                     a queue's state, CUPS's message and reasons,\n"
         "                                   device, model, class and default flag\n"
         "  jobs [QUEUE]                     the unfinished jobs of a queue, or of all\n"
         "  cancel JOB... | cancel --all QUEUE\n"
         "                                   cancel jobs (ID or QUEUE-ID), or every job\n"
         "                                   of a queue\n"
         "  enable|disable|accept|reject QUEUE [--reason TEXT]\n"
         "                                   let a queue print or stop it, let it take\n"
         "                                   jobs or refuse them (the reason is shown as\n"
         "                                   its state message)\n"
         "  move-jobs FROM TO                move every job of queue FROM to queue TO\n"
         "  modify-queue QUEUE [add-queue options] [--no-teoj] [--no-jrecov] [--no-banner]\n"
         "                                   change the given settings in place; the\n"
         "                                   queue keeps its jobs\n"
         "  drivers                          list the printer models a queue can use\n"
         "  monitors                         list the installed print monitor\n"
         "  add-queue NAME --model M --device D [--class C] [--default]\n"
         "            [--export N] [--ip-port P] [--type T] [--devtype T]\n"
         "            [--teoj] [--jrecov] [--banner] [--pslevel N] [--personality P]\n"
         "                                   create a print queue (defaults: export 0,\n"
         "                                   ip-port 9100, type = the model, devtype\n"
         "                                   printer, pslevel 2, personality PostScript,\n"
         "                                   the three switches off, not the default)\n"
         "  remove-queue NAME                remove a print queue\n"
         "  add-port NAME --host H --ip A [--hw MAC] [--port P]\n"
         "                                   add a printer port (port defaults to 9100)\n"
         "  remove-port NAME                 remove a printer port\n"
         "  login                            check the administrator password\n"
         "  passwd --ini PATH [--legacy]     set the administrator password in kqsd.ini\n"
         "                                   (yescrypt; --legacy: the old 13-character\n"
         "                                   form for older servers)\n"
         "  web [--listen ADDR:PORT]         serve the console for the target servers to\n"
         "                                   a browser (default 127.0.0.1:8631); prints\n"
         "                                   the address with its access token\n"
         "\n"
         "Queue and class names: 1 to 127 letters, digits, '_' and '-', the first a\n"
         "letter or digit. Models: no '/', no leading '.'. --export 0-65535, --ip-port\n"
         "and --port 1-65535, --pslevel 1-3, --hw 00:11:22:33:44:55, --ip dotted.\n"
         "login, passwd and --login read the password from the terminal without echo,\n"
         "or from standard input when that is not a terminal; login and --login\n"
         "connect first, so an unreachable server fails before the prompt.\n"
         "\n"
         "Targets (every command but discover and passwd):\n"
         "  -H HOST, --server HOST   a server to manage (default 127.0.0.1); repeat\n"
         "                           it for several. HOST:PORT, an IPv6 address (::1)\n"
         "                           or [IPv6]:PORT name another port\n"
         "  --hosts FILE             the servers named in FILE, one a line, '#' comments\n"
         "  --discovered             the servers that answer a discovery broadcast (or\n"
         "                           each --to ADDR, e.g. one broadcast address a network)\n"
         "  --parallel N             servers served at once (default 16)\n"
         "With -H repeated, --hosts or --discovered the command runs on every server at\n"
         "once, each within its own time-out; the output is one table with a HOST\n"
         "column, failures go to stderr each on its line, then \"N of M failed\".\n"
         "\n"
         "The channel (every command but discover and passwd):\n"
         "  (default)                TLS 1.3; the first contact records the server's\n"
         "                           certificate fingerprint in\n"
         "                           $XDG_CONFIG_HOME/kqsctl/known_servers (default\n"
         "                           ~/.config/kqsctl/), a different one later is refused\n"
         "  --cacert FILE            verify the server by these CAs and its name instead\n"
         "  --cert FILE --key FILE   present this console certificate (a server with\n"
         "                           [TLS] ClientCA then needs no password)\n"
         "  --plain                  the plain port 55554: the password travels in clear\n"
         "\n"
         "Options:\n"
         "  --timeout MS             how long to wait for each answer of each server\n"
         "                           (default 5000; discover listens 2000)\n"
         "  --json                   print JSON instead of a table\n"
         "  --verbose                also report a success, with the server's code\n"
         "  --login                  with the commands that change something: check\n"
         "                           the administrator password\n"
         "                           first, on the same connection (needed when the\n"
         "                           server sets Enforce=1 in its [ACCESS] section)\n"
         "  --version                print kqsctl's version\n"
         "\n"
         "JSON: keys are camelCase. queues: [{name, interfaceDirectory, state,\n"
         "accepting, jobs, stateMessage}] (null where the server cannot tell); status:\n"
         "{name, state, accepting, jobs, stateMessage, stateReasons, deviceUri, model,\n"
         "class, default, settings}; jobs: [{id, queue, user, title, size, state,\n"
         "time}]; drivers: [{model}]; monitors: [{name, product, revision,\n"
         "revisionCode, revisionNumber}];\n"
         "discover: [{address, platform, uname, protocol, vMajor, vMinor, vUpdate,\n"
         "vBuild, install}]; other commands: {code, codeName}. A failure prints\n"
         "{status, error, code, codeName, hint} (code and codeName when the server\n"
         "answered, hint when there is a next step). Several servers: one object each,\n"
         "{host, status, result} or {host, status, error, code, codeName, hint}.\n"
         "\n"
         "Exit status: 0 success (on every server); 1 a server refused or failed the\n"
         "operation; 2 bad command line; 3 no usable answer (nothing listening, a\n"
         "time-out, no server answered a discovery) or a local failure. With several\n"
         "servers, the highest status of any of them.\n";
}

}  // namespace kqsctl
