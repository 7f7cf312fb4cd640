// One raw TCP job: connect with a time limit, stream the data, then wait for
// the printer's acknowledgement (and, if asked, its close) so that success
// means the printer has the job, not just the local socket buffer.
#include "lpdeliver/rawtcp.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "lpdeliver/spool.h"

namespace lpdeliver {

namespace {

constexpr int kConnectMillis = 30'000;
constexpr int kCloseMillis = 60'000;

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

int PendingError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

// poll() on one descriptor, going on after signals. Returns its result.
int PollOne(int fd, short events, int millis) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
  for (;;) {
    pollfd p{fd, events, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    int n = poll(&p, 1, static_cast<int>(left.count() > 0 ? left.count() : 0));
    if (n >= 0 || errno != EINTR) return n;
  }
}

// A blocking socket connected to the address, or -1 with errno set.
int ConnectWithin(const addrinfo* ai, int millis) {
  int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
  if (fd < 0) return -1;
  int err = 0;
  if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      err = errno;
    } else {
      int n = PollOne(fd, POLLOUT, millis);
      err = n < 0 ? errno : n == 0 ? ETIMEDOUT : PendingError(fd);
    }
  }
  if (err == 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) err = errno;
  if (err != 0) {
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

// Waits until nothing sent, the end of data included, is left unacknowledged.
// Returns 0, or the error that broke the connection.
int WaitAcknowledged(int fd) {
  for (;;) {
    int queued = 0;
    if (int err = PendingError(fd); err != 0) return err;
    if (ioctl(fd, SIOCOUTQ, &queued) != 0) return errno;
    if (queued == 0) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Reads and drops what the printer says until it closes. False on time-out.
bool WaitForClose(int fd) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseMillis);
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || PollOne(fd, POLLIN, static_cast<int>(left.count())) <= 0) return false;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EINTR)) return true;  // every byte was acknowledged before
  }
}

}  // namespace

int ConnectPrinter(const char* host, int port, std::string* why) {
  const std::string where = std::string(host) + " port " + std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (int rc = getaddrinfo(host, std::to_string(port).c_str(), &hints, &found); rc != 0) {
    *why = "cannot find the printer " + std::string(host) + ": " + gai_strerror(rc) +
           "; check the queue's device name";
    return -1;
  }
  int fd = -1;
  int err = 0;
  for (const addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
    fd = ConnectWithin(ai, kConnectMillis);
    if (fd < 0) err = errno;
  }
  freeaddrinfo(found);
  if (fd < 0) {
    *why = "cannot connect to " + where + ": " + std::strerror(err) +
           "; check that the printer is on and takes raw jobs on that port";
  }
  return fd;
}

Sent SendJob(int fd, int in, bool wait_for_close, const std::string& where, std::string* why, uint64_t* bytes) {
  Socket sock(fd);
  int copied = CopyAll(in, fd, bytes);
  if (copied == kCopyReadFailed) {
    *why = std::string("cannot read the job: ") + std::strerror(errno);
    return Sent::kFailed;
  }
  int err = 0;
  if (copied == kCopyWriteFailed) {
    err = errno;
  } else {
    err = shutdown(fd, SHUT_WR) == 0 ? WaitAcknowledged(fd) : errno;
  }
  if (err != 0) {
    *why = "the printer at " + where + " broke the connection: " + std::strerror(err) + "; check the printer";
    return Sent::kLost;
  }
  if (wait_for_close && !WaitForClose(fd)) {
    *why = "the printer at " + where + " has the whole job but did not close the connection within 60 s";
  }
  return Sent::kDone;
}

}  // namespace lpdeliver
