// lpdeliver: sends a print job from standard input to its peripheral. An
// interface program pipes its output through it, as a shell script has no
// sockets: a device or file by absolute path, or a printer's raw TCP port.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
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
using lpdeliver::SpoolToTempFile;

namespace {

constexpr char kUsage[] =
    "usage: lpdeliver [-p PORT] [-w] [-r] [--] PERIPHERAL < JOB\n"
    "Sends the job on standard input to PERIPHERAL: a device or file given by\n"
    "its absolute path (appended to; it must exist), or else a printer's host\n"
    "name or IPv4 address, reached over raw TCP on PORT (9100 when not given,\n"
    "blank or 0).\n"
    "  -w  once the printer has the job, wait (60 s at most) for it to close the\n"
    "      connection, which it does when the job has ended\n"
    "  -r  send the whole job again when the printer refuses or resets the\n"
    "      connection (10 tries, 1 s apart)\n"
    "Exit status: 0 the printer has the whole job, 1 delivery failed, 2 bad\n"
    "command line.\n";

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kTries = 10;
constexpr unsigned kPauseSeconds = 1;

struct Options {
  const char* port = "";  // checked only for a printer reached over TCP
  bool wait_for_close = false;
  bool recover = false;
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
      o->recover = true;
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

int Fail(const std::string& why) {
  std::fprintf(stderr, "ERROR: lpdeliver: %s\n", why.c_str());
  return kExitFailed;
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

int DeliverToFile(const Options& o) {
  const std::string name = o.peripheral;
  std::string why;
  int fd = lpdeliver::OpenPeripheral(o.peripheral, lpdeliver::OwnTreeRoot(), &why);
  if (fd < 0) return Fail(why);
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
  if (copied == kCopyWriteFailed) return Fail(Errno("cannot write to " + name) + "; check the device");
  return kExitOk;
}

// The job as a descriptor that can be read again from *start: standard input
// itself when it is a file, else a copy in an unlinked temporary file.
// Returns -1 with errno when no copy can be made.
int RereadableJob(off_t* start) {
  *start = lseek(STDIN_FILENO, 0, SEEK_CUR);
  if (*start >= 0) return STDIN_FILENO;
  char path[4096];
  int fd = SpoolToTempFile(STDIN_FILENO, path, sizeof path);
  if (fd < 0) return -1;
  unlink(path);
  *start = 0;
  return fd;
}

int DeliverToPrinter(const Options& o) {
  int port = 0;
  if (!ParsePort(o.port, &port)) return Fail("bad port \"" + std::string(o.port) + "\"; set the queue's IP port");
  int in = STDIN_FILENO;
  off_t start = 0;
  if (o.recover && (in = RereadableJob(&start)) < 0)
    return Fail(Errno("cannot keep a copy of the job to send again") + "; check TMPDIR");
  for (int attempt = 1;; ++attempt) {
    if (attempt > 1 && lseek(in, start, SEEK_SET) < 0) return Fail(Errno("cannot read the job again"));
    std::string why;
    lpdeliver::Sent sent = lpdeliver::SendRaw(o.peripheral, port, in, o.wait_for_close, &why);
    if (sent == lpdeliver::Sent::kDone) {
      if (!why.empty()) std::fprintf(stderr, "WARNING: lpdeliver: %s\n", why.c_str());
      return kExitOk;
    }
    if (sent != lpdeliver::Sent::kRefused || !o.recover) return Fail(why);
    if (attempt == kTries) return Fail("gave up after " + std::to_string(kTries) + " tries: " + why);
    std::fprintf(stderr, "INFO: lpdeliver: %s; sending the job again in %u s (try %d of %d)\n", why.c_str(),
                 kPauseSeconds, attempt + 1, kTries);
    sleep(kPauseSeconds);
  }
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
