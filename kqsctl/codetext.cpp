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

}  // namespace kqsctl
