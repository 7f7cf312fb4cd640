// kqsctl's command line: the command, its options, and the parameter lists
// that add-queue and add-port send. Nothing here touches the network.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kqsctl {

enum class Command {
  kHelp,
  kDiscover,
  kQueues,
  kDrivers,
  kMonitors,
  kAddQueue,
  kRemoveQueue,
  kAddPort,
  kRemovePort,
  kLogin,
  kPasswd,
  kVersion,
  kStatus,
  kJobs,
  kCancel,
  kEnable,
  kDisable,
  kAccept,
  kReject,
  kMoveJobs,
  kModifyQueue,
  kWeb,
};

// The word that names command on the command line ("add-queue").
std::string_view CommandWord(Command command);
// The command's bit in a set of commands.
constexpr unsigned CommandBit(Command c) { return 1u << static_cast<unsigned>(c); }

// Waits when --timeout is not given.
constexpr int kDefaultTimeoutMs = 5000;
constexpr int kDefaultDiscoverMs = 2000;
// Servers served at once when --parallel is not given.
constexpr int kDefaultParallel = 16;
// The server used when no target is named.
constexpr const char* kDefaultServer = "127.0.0.1";

struct Options {
  Command command = Command::kHelp;
  std::vector<std::string> servers;  // -H, in the order given
  int timeout_ms = 0;                // --timeout; 0 means the command's default
  int parallel = kDefaultParallel;   // --parallel
  bool json = false;
  bool verbose = false;
  std::string name;  // the queue or port a command names
  std::vector<std::string> args;  // every word after the command (cancel's jobs, move-jobs' queues)
  std::map<std::string, std::string, std::less<>> values;  // --name VALUE, by long name
  std::map<std::string, std::vector<std::string>, std::less<>> lists;  // -H and --to, which may repeat
  std::set<std::string, std::less<>> flags;                // --name without a value

  int TimeoutOr(int fallback) const { return timeout_ms > 0 ? timeout_ms : fallback; }
  std::string Value(const std::string& name, const std::string& fallback = "") const;
  // True when the command runs on a set of servers (-H more than once,
  // --hosts or --discovered): its output then has a HOST column, or one
  // JSON object per server, whatever the number of servers.
  bool Fleet() const;
  // The --to addresses, in the order given.
  std::vector<std::string> To() const;
};

// Fills opts from argv. Options may stand before or after the command.
// Returns false with a one-line message in error on an unknown command or
// option, an option the command does not take, a missing or surplus argument,
// a missing required option, or a name or value the server would refuse (the
// message names the rule).
bool ParseCommandLine(int argc, const char* const argv[], Options* opts, std::string* error);

// The words bash completion offers, one a line, from the parser's own
// tables so that they never drift apart: with an empty command, every
// command; with a command, every option it takes, written "--name=" (or
// "-H=") when it takes a value; with "*", every option of any command. An
// unknown command gets nothing.
std::string CompletionWords(std::string_view command);

// The help text: commands, options, JSON keys and exit statuses.
const char* UsageText();

// The parameter list of a new queue: all thirteen keys, from the options or
// their defaults. The list of a new port: its four keys. Both return false
// with a message when a value cannot travel in a list (it holds ";" or begins
// with a blank) or the list exceeds what the server accepts.
bool BuildQueueParameters(const Options& opts, std::string* list, std::string* error);
// The parameter list of modify-queue: only the keys whose options were
// given (--no-teoj, --no-jrecov and --no-banner turn a switch off). False
// with a message as above, or when no setting was given.
bool BuildModifyParameters(const Options& opts, std::string* list, std::string* error);
bool BuildPortParameters(const Options& opts, std::string* list, std::string* error);

// Largest data block the server takes, its terminating NUL included.
constexpr size_t kMaxDataBlock = 512;
// Longest name the server takes in a request's parameter string.
constexpr size_t kMaxNameLength = 127;

}  // namespace kqsctl
