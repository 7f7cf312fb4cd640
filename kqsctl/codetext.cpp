// Explanations of return codes, indexed by code.
#include "kqsctl/codetext.h"

#include <array>
#include <string_view>

#include "protocol/kqsids.h"

namespace kqsctl {
namespace {

constexpr std::array<std::string_view, 47> kExplanations = {
    "the operation succeeded",                                          // 0
    "the server could not use a path",                                  // 1
    "the result did not fit the buffer the server prepared",            // 2
    "the server does not support that operation on this kind of object",  // 3
    "the operation failed on the server",                               // 4
    "the channel is already closed",                                    // 5
    "the operation timed out",                                          // 6
    "the channel is not open",                                          // 7
    "the server does not implement this operation",                     // 8
    "a parameter is missing, repeated, unknown or not allowed",         // 9
    "the object is read-only",                                          // 10
    "the server found the request malformed",                           // 11
    "the host name is not valid",                                       // 12
    "the server does not support that operation",                       // 13
    "there is no object of that name, or the name is not allowed",     // 14
    "access denied by the server",                                      // 15
    "an object of that name already exists",                           // 16
    "a required file is missing on the server (for a queue: the printer model)",  // 17
    "the driver is in use",                                             // 18
    "the monitor is not valid",                                         // 19
    "the monitor is already installed",                                 // 20
    "the monitor is in use",                                            // 21
    "not possible while jobs are queued",                               // 22
    "the server must be rebooted",                                      // 23
    "the service must be restarted",                                    // 24
    "the monitor is unknown",                                           // 25
    "the network is down",                                              // 26
    "the address is in use",                                            // 27
    "the address is not available",                                     // 28
    "the network is unreachable",                                       // 29
    "the connection must be reset",                                     // 30
    "not connected",                                                    // 31
    "the connection was refused",                                       // 32
    "the LP scheduler is not running and could not be started",         // 33
    "the LP scheduler could not be stopped again",                      // 34
    "a print queue of that name already exists",                        // 35
    "the class named for the queue is a print queue",                   // 36
    "a class of that name already exists",                              // 37
    "lpadmin failed on the server",                                     // 38
    "the queue could not be enabled",                                   // 39
    "the queue could not be set to accept jobs",                        // 40
    "the class could not be set to accept jobs",                        // 41
    "the queue could not be made the default destination",              // 42
    "the queue's interface scripts could not be written",               // 43
    "the object is out of date",                                        // 44
    "the object is up to date",                                         // 45
    "the object is of a later version",                                 // 46
};

constexpr unsigned Bit(Command c) { return CommandBit(c); }
constexpr unsigned kLists = Bit(Command::kQueues) | Bit(Command::kDrivers) | Bit(Command::kMonitors);
constexpr unsigned kOperations = Bit(Command::kCancel) | Bit(Command::kEnable) | Bit(Command::kDisable) |
                                 Bit(Command::kAccept) | Bit(Command::kReject) | Bit(Command::kMoveJobs) |
                                 Bit(Command::kModifyQueue);
constexpr unsigned kChanges = Bit(Command::kAddQueue) | Bit(Command::kRemoveQueue) | Bit(Command::kAddPort) |
                              Bit(Command::kRemovePort) | kOperations;
constexpr unsigned kQueueChanges = Bit(Command::kAddQueue) | Bit(Command::kRemoveQueue) | kOperations |
                                   Bit(Command::kStatus) | Bit(Command::kJobs);

struct Hint {
  uint32_t code;
  unsigned commands;
  std::string_view text;
};

constexpr std::array<Hint, 13> kHints = {{
    {KQS_NO_ACCESS, kChanges, "the server requires a password: add --login"},
    {KQS_NO_ACCESS, Bit(Command::kLogin), "the password is wrong: kqsctl passwd sets it on the server"},
    {KQS_FAILURE, kLists, "the server's LP tree is missing or unreadable: check [LP Service] Root"},
    {KQS_QUEUE_EXISTS_AS_QUEUE, kChanges, "remove it first with remove-queue, or choose another name"},
    {KQS_QUEUE_EXISTS_AS_CLASS, kChanges, "choose another name"},
    {KQS_CLASS_EXISTS_AS_QUEUE, kChanges, "choose another --class"},
    {KQS_FILESET_MISSING, kChanges, "kqsctl drivers lists the models the server has"},
    {KQS_INVALID_OBJECT_NAME, kQueueChanges, "kqsctl queues lists the queues the server has"},
    {KQS_SPOOLER_NOT_RUNNING, kChanges, "check the LP scheduler (lpsched) on the server"},
    {KQS_LPADMIN_FAILURE, kChanges, "check the server's LP service: its lpadmin refused the queue"},
    {KQS_INVALID_PARAMETER, kChanges, "the server refused a parameter: check the options' values"},
    {KQS_OBJECT_OUTOFDATE, Bit(Command::kModifyQueue),
     "the queue was made before kqsd 3.1 kept its settings: remove-queue and add-queue it once"},
    {KQS_FAILURE, kOperations, "the server's print service refused: kqsctl status QUEUE shows its state"},
}};

constexpr uint32_t kPlatformErrorBase = 0x10000000;
constexpr uint32_t kPlatformNetErrorBase = 0x20000000;

}  // namespace

std::string DescribeReturnCode(uint32_t code) {
  std::string text = KQSReturnCodeFromID(code);
  text += ": ";
  if (code < kExplanations.size()) {
    text += kExplanations[code];
  } else if (code & kPlatformErrorBase) {
    text += "an error number of the server's operating system";
  } else if (code & kPlatformNetErrorBase) {
    text += "a network error number of the server's operating system";
  } else {
    text += "a code this console does not know (" + std::to_string(code) + ")";
  }
  return text;
}

std::string HintFor(uint32_t code, Command command) {
  for (const Hint& h : kHints) {
    if (h.code == code && (h.commands & Bit(command)) != 0) return std::string(h.text);
  }
  return "";
}

}  // namespace kqsctl
