// lpdeliver: sends a print job from standard input to its peripheral. An
// interface program pipes its output through it, as a shell script has no
// sockets: a device or file by absolute path, or a printer's raw TCP port.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "lpdeliver/peripheral.h"
#include "lpdeliver/rawtcp.h"
#include "lpdeliver/spool.h"

using lpdeliver::CopyAll;
using lpdeliver::kCopyDone;
using lpdeliver::kCopyReadFailed;
using lpdeliver::kCopyWriteFailed;

namespace {

constexpr char kUsage[] =
    "usage: lpdeliver [-p PORT] [-w] [--] PERIPHERAL < JOB\n"
    "Streams the job on standard input to PERIPHERAL: a device or file given by\n"
    "its absolute path (appended to; it must exist), or else a printer's host\n"
    "name or IPv4 address, reached over raw TCP on PORT (9100 when not given,\n"
    "blank or 0). While the printer cannot be reached (refused, no route, no\n"
    "answer, a busy device) it keeps trying, 1 s apart at first and then up to\n"
    "30 s, reporting CUPS STATE: and INFO: lines on standard error.\n"
    "  -w  once the printer has the job, wait (60 s at most) for it to close the\n"
    "      connection, which it does when the job has ended\n"
    "  -r  accepted from older interface programs; lpif sends a job again\n"
    "Exit status: 0 the printer has the whole job, 1 delivery failed, 2 bad\n"
    "command line, 3 the connection broke with part of the job sent (the job\n"
    "can only be sent again whole), 4 the peripheral cannot be used as set\n"
    "(a retry cannot help).\n";

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitLost = 3;
constexpr int kExitConfig = 4;
constexpr unsigned kFirstWaitSeconds = 1;
constexpr unsigned kLongestWaitSeconds = 30;

struct Options {
  const char* port = "";  // checked only for a printer reached over TCP
  bool wait_for_close = false;
  const char* peripheral = nullptr;
};

// Digits with blanks around them, up to 65535; blank or 0 means 9100, as a
// console that leaves the port unset sends either.
bool ParsePort(std::string_view text, int* port) {
  size_t first = text.find_first_not_of(" \t");
  text = first == std::string_view::npos ? std::string_view()
                                         : text.substr(first, text.find_last_not_of(" \t") + 1 - first);
  if (text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > 65535) return false;
  *port = value == 0 ? 9100 : value;
  return true;
}

bool ParseCommandLine(int argc, char** argv, Options* o) {
  for (int c; (c = getopt(argc, argv, "p:wr")) != -1;) {
    if (c == 'w') {
      o->wait_for_close = true;
    } else if (c == 'r') {
      // Older interface programs pass it; resending is lpif's now.
    } else if (c == 'p') {
      o->port = optarg;
    } else {
      return false;
    }
  }
  if (optind + 1 != argc) return false;
  if (argv[optind][0] == '\0') {
    std::fprintf(stderr, "ERROR: lpdeliver: no peripheral given; set the queue's device\n");
    return false;
  }
  o->peripheral = argv[optind];
  return true;
}

int Fail(const std::string& why, int status = kExitFailed) {
  std::fprintf(stderr, "ERROR: lpdeliver: %s\n", why.c_str());
  return status;
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// One try at reaching the peripheral: its open descriptor, or -1 with *why
// and, for a setting that no retry can fix, *permanent.
using Reach = int (*)(const Options& o, int port, std::string* why, bool* permanent);

// Tries reach until it gives a descriptor, waiting longer between tries, and
// tells CUPS (and anyone reading standard error) what it is doing, as CUPS's
// own network backend does. Returns the descriptor, or -1 once the failure is
// permanent (reported).
int KeepTrying(Reach reach, const Options& o, int port) {
  std::fputs("STATE: +connecting-to-device\n", stderr);
  bool offline = false;
  for (unsigned wait = kFirstWaitSeconds;; wait = std::min(2 * wait, kLongestWaitSeconds)) {
    std::string why;
    bool permanent = false;
    const int fd = reach(o, port, &why, &permanent);
    if (fd >= 0 || permanent) {
      std::fputs(offline ? "STATE: -connecting-to-device,offline-report\n" : "STATE: -connecting-to-device\n", stderr);
      if (fd < 0) Fail(why);
      return fd;
    }
    if (!offline) std::fputs("STATE: +offline-report\n", stderr);
    offline = true;
    std::fprintf(stderr, "INFO: lpdeliver: %s; trying again in %u s\n", why.c_str(), wait);
    sleep(wait);
  }
}

// Opens the device or file peripheral for appending. A device that is there
// but busy or not answering is worth waiting for; a path that is missing or
// not ours to write is a setting to fix.
// What was opened must be a device, a pipe or a plain data file outside the
// tree (lpdeliver/peripheral.h); a refusal is a setting to fix too.
int OpenDevice(const Options& o, int, std::string* why, bool* permanent) {
  bool refused = false;
  const int fd = lpdeliver::OpenPeripheral(o.peripheral, lpdeliver::OwnTreeRoot(), why, &refused);
  if (fd >= 0) return fd;
  const int err = errno;
  *permanent = refused || (err != EBUSY && err != ENXIO && err != ENODEV && err != EAGAIN && err != EINTR && err != EIO);
  if (!refused) *why += *permanent ? "; check the queue's device" : "; check that the printer is on";
  return -1;
}

int ConnectToPrinter(const Options& o, int port, std::string* why, bool*) {
  return lpdeliver::ConnectPrinter(o.peripheral, port, why);
}

int DeliverToFile(const Options& o) {
  const std::string name = o.peripheral;
  const int fd = KeepTrying(OpenDevice, o, 0);
  if (fd < 0) return kExitConfig;
  int copied = CopyAll(STDIN_FILENO, fd);
  int err = errno;
  if (copied == kCopyDone && o.wait_for_close && isatty(fd) && tcdrain(fd) != 0) {
    copied = kCopyWriteFailed;
    err = errno;
  }
  if (close(fd) != 0 && copied == kCopyDone) {
    copied = kCopyWriteFailed;
    err = errno;
  }
  errno = err;
  if (copied == kCopyReadFailed) return Fail(Errno("cannot read the job"));
  if (copied == kCopyWriteFailed) return Fail(Errno("cannot write to " + name) + "; check the device", kExitLost);
  return kExitOk;
}

// Nothing of the job is read before the printer answers: while it cannot be
// reached the job waits in the pipe, and a cancel loses nothing.
int DeliverToPrinter(const Options& o) {
  int port = 0;
  if (!ParsePort(o.port, &port))
    return Fail("bad port \"" + std::string(o.port) + "\"; set the queue's IP port", kExitConfig);
  const int fd = KeepTrying(ConnectToPrinter, o, port);
  std::fputs("INFO: lpdeliver: connected; sending the job\n", stderr);
  std::string why;
  uint64_t bytes = 0;
  const std::string where = std::string(o.peripheral) + " port " + std::to_string(port);
  switch (lpdeliver::SendJob(fd, STDIN_FILENO, o.wait_for_close, where, &why, &bytes)) {
    case lpdeliver::Sent::kDone:
      if (!why.empty()) std::fprintf(stderr, "WARNING: lpdeliver: %s\n", why.c_str());
      return kExitOk;
    case lpdeliver::Sent::kLost:
      return Fail(why + " (" + std::to_string(bytes) + " bytes of the job sent)", kExitLost);
    case lpdeliver::Sent::kFailed:
      break;
  }
  return Fail(why);
}

}  // namespace

int main(int argc, char** argv) {
  // A connection the printer closed shows as EPIPE, not as a killed job.
  std::signal(SIGPIPE, SIG_IGN);
  Options o;
  if (!ParseCommandLine(argc, argv, &o)) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  return o.peripheral[0] == '/' ? DeliverToFile(o) : DeliverToPrinter(o);
}
