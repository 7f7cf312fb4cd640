// The CUPS-mode scheduler: a forked child of lpsched in a session of its own,
// serving one change at a time on a unix socket that only its own account
// (and root) may use. A request is four lines (operation, name, value, class
// flag); the answer is "0", or "1" and the reason. It ends when another
// scheduler has taken SCHEDLOCK, when the tree is set up for another CUPS
// server, or when SCHEDLOCK has not named it and no command has come for
// kLingerSeconds.
#include "lpsvc/scheduler.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace lpsvc {

namespace {

constexpr int kLockCheckMs = 2000;
constexpr int kLingerSeconds = 300;
constexpr int kRequestSeconds = 5;
// A change waits on CUPS, which may be slow to answer.
constexpr int kAnswerSeconds = 120;

std::string SocketPath(const LpTree& t) { return t.spool + "/lpsvc-2.sock"; }

bool Address(const std::string& path, sockaddr_un* a) {
  *a = sockaddr_un{};
  a->sun_family = AF_UNIX;
  if (path.size() >= sizeof a->sun_path) return false;
  std::memcpy(a->sun_path, path.c_str(), path.size() + 1);
  return true;
}

void SetTimeout(int fd, int option, int seconds) {
  timeval limit{seconds, 0};
  setsockopt(fd, SOL_SOCKET, option, &limit, sizeof limit);
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// Everything the peer sends until it closes, or until limit bytes.
std::string ReadAll(int fd, size_t limit = 65536) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while (text.size() < limit && ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))) {
    if (n > 0) text.append(buf, size_t(n));
  }
  return text;
}

std::string Encode(const CupsChange& c) {
  return std::to_string(static_cast<int>(c.op)) + "\n" + c.name + "\n" + c.value + "\n" + (c.is_class ? "1" : "0") +
         "\n" + c.mark + "\n";
}

bool Decode(const std::string& text, CupsChange* c) {
  std::string fields[5];
  size_t start = 0;
  for (std::string& f : fields) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) return false;
    f = text.substr(start, end - start);
    start = end + 1;
  }
  int op = 0;
  if (fields[0].empty() || fields[0].size() > 2) return false;
  for (char ch : fields[0]) {
    if (ch < '0' || ch > '9') return false;
    op = op * 10 + (ch - '0');
  }
  if (op > static_cast<int>(CupsChange::Op::kLast)) return false;
  c->op = static_cast<CupsChange::Op>(op);
  c->name = fields[1];
  c->value = fields[2];
  c->is_class = fields[3] == "1";
  c->mark = fields[4];
  return true;
}

// The process SCHEDLOCK names, or 0.
pid_t LockHolder(const LpTree& t) {
  std::ifstream in(t.schedlock);
  long pid = 0;
  return (in >> pid) ? static_cast<pid_t>(pid) : 0;
}

// True when this scheduler should go: another live scheduler holds the
// lock, the tree now drives another server, or it has lingered long enough
// since lpshut.
bool Done(const LpTree& t, const std::string& server, time_t idle_since) {
  const pid_t holder = LockHolder(t);
  if (holder == getpid()) return false;
  if (holder > 0 && (kill(holder, 0) == 0 || errno == EPERM)) return true;
  return t.CupsServer() != server || time(nullptr) - idle_since >= kLingerSeconds;
}

void Serve(const LpTree& t, const std::string& server, int listener, CupsClient& client) {
  const std::string path = SocketPath(t);
  struct stat own;
  fstat(listener, &own);
  signal(SIGPIPE, SIG_IGN);
  time_t idle_since = time(nullptr);
  for (;;) {
    pollfd p{listener, POLLIN, 0};
    const int ready = poll(&p, 1, kLockCheckMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) {
      if (Done(t, server, idle_since)) break;
      continue;
    }
    const int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0) continue;
    SetTimeout(peer, SO_RCVTIMEO, kRequestSeconds);
    CupsChange change;
    std::string why, answer = "0\n";
    if (!Decode(ReadAll(peer, 4096), &change)) {
      answer = "1\nthe scheduler got a malformed request\n";
    } else if (change.op == CupsChange::Op::kAdopt) {
      // lpsched again: the scheduler runs once more if CUPS still answers.
      if (!client.Answers(&why)) answer = "1\n" + why + "\n";
      else if (!t.RecordScheduler(getpid())) answer = "1\ncannot create " + t.schedlock + "\n";
    } else if (const Verdict v = Apply(client, change, &why); v != kDone) {
      answer = std::to_string(int(v)) + "\n" + why + "\n";
    }
    WriteAll(peer, answer);
    close(peer);
    idle_since = time(nullptr);
  }
  // The name goes with this scheduler, unless a newer one has taken it.
  struct stat named;
  if (stat(path.c_str(), &named) == 0 && named.st_ino == own.st_ino) unlink(path.c_str());
}

// The forked scheduler: checks CUPS, opens the socket, reports on ready and
// serves. Never returns.
[[noreturn]] void RunScheduler(const LpTree& t, const std::string& server, int ready) {
  setsid();
  const int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
  if (null > 2) close(null);
  // This process outlives the command that started it: of what that command
  // inherited or opened, only the ready pipe stays.
  for (int fd = 3; fd < ready; ++fd) close(fd);
  if (syscall(SYS_close_range, unsigned(ready) + 1, ~0U, 0U) != 0) {
    for (int fd = ready + 1; fd < 65536; ++fd) close(fd);
  }
  CupsClient client(server);
  std::string why;
  if (!client.Answers(&why)) {
    WriteAll(ready, "1\n" + why);
    _exit(1);
  }
  const std::string path = SocketPath(t);
  sockaddr_un a;
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unlink(path.c_str());
  const mode_t mask = umask(077);
  const bool bound = listener >= 0 && Address(path, &a) && bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                     listen(listener, 16) == 0;
  umask(mask);
  if (!bound) {
    WriteAll(ready, "1\nthe scheduler cannot listen on " + path + ": " + std::strerror(errno));
    _exit(1);
  }
  WriteAll(ready, "0\n");
  close(ready);
  Serve(t, server, listener, client);
  _exit(0);
}

}  // namespace

Verdict Apply(CupsClient& client, const CupsChange& c, std::string* why) {
  switch (c.op) {
    case CupsChange::Op::kAddPrinter:
      return client.AddPrinter(c.name, c.value, why);
    case CupsChange::Op::kJoinClass:
      return client.JoinClass(c.name, c.value, c.mark, why);
    case CupsChange::Op::kSetDefault:
      return client.SetDefault(c.name, c.is_class, why);
    case CupsChange::Op::kDelete:
      return client.Delete(c.name, c.is_class, c.mark, why);
    case CupsChange::Op::kAccept:
      return client.Accept(c.name, c.is_class, c.mark, why);
    case CupsChange::Op::kResume:
      return client.Resume(c.name, why);
    case CupsChange::Op::kPause:
      return client.Pause(c.name, c.value, why) ? kDone : kFailed;
    case CupsChange::Op::kReject:
      return client.Reject(c.name, c.value, why) ? kDone : kFailed;
    case CupsChange::Op::kCancelJob:
      return client.CancelJob(c.name, std::atoi(c.value.c_str()), why) ? kDone : kFailed;
    case CupsChange::Op::kCancelAll:
      return client.CancelAll(c.name, why) ? kDone : kFailed;
    case CupsChange::Op::kMoveJobs:
      return client.MoveJobs(c.name, c.value, why) ? kDone : kFailed;
    case CupsChange::Op::kLeaveClass:
      return client.LeaveClass(c.name, c.value, c.mark, why);
    case CupsChange::Op::kAdopt:
      break;
  }
  return kDone;
}

bool StartScheduler(const LpTree& t, const std::string& server, std::string* why) {
  if (std::optional<Verdict> adopted = HandToScheduler(t, CupsChange{}, why)) return *adopted == kDone;
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    *why = std::string("cannot start the scheduler: ") + std::strerror(errno);
    return false;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    RunScheduler(t, server, ready[1]);
  }
  close(ready[1]);
  const std::string report = pid > 0 ? ReadAll(ready[0]) : "1\ncannot start the scheduler";
  close(ready[0]);
  if (report.rfind("0\n", 0) != 0) {
    if (pid > 0) waitpid(pid, nullptr, 0);
    *why = report.size() > 2 ? report.substr(2) : "the scheduler ended at once";
    return false;
  }
  if (!t.RecordScheduler(pid)) {
    kill(pid, SIGTERM);
    *why = "cannot create " + t.schedlock;
    return false;
  }
  return true;
}

std::optional<Verdict> HandToScheduler(const LpTree& t, const CupsChange& change, std::string* why) {
  sockaddr_un a;
  const std::string request = Encode(change);
  // A field with a line break cannot travel; such a change is made directly.
  if (!Address(SocketPath(t), &a) || std::count(request.begin(), request.end(), '\n') != 5) {
    return std::nullopt;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (fd >= 0) close(fd);
    return std::nullopt;
  }
  SetTimeout(fd, SO_RCVTIMEO, kAnswerSeconds);
  std::string answer;
  if (WriteAll(fd, request) && shutdown(fd, SHUT_WR) == 0) answer = ReadAll(fd);
  close(fd);
  if (answer == "0\n") return kDone;
  // "STATUS\nreason\n", STATUS one of the verdicts.
  const size_t eol = answer.find('\n');
  const int status = eol == std::string::npos ? -1 : std::atoi(answer.substr(0, eol).c_str());
  if (status <= 0 || answer.back() != '\n') {
    *why = "the scheduler did not answer";
    return kFailed;
  }
  *why = answer.substr(eol + 1, answer.size() - eol - 2);
  return static_cast<Verdict>(status);
}

}  // namespace lpsvc
