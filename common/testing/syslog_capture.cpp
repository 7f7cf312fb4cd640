// Private /dev with a log socket of our own: a new mount namespace, a tmpfs
// filled with bind mounts of the real device nodes, moved over /dev.
#include "common/testing/syslog_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kqs {

namespace {

constexpr std::array<const char*, 6> kDevices = {"null", "zero", "full", "random", "urandom", "tty"};
constexpr std::array<std::pair<const char*, const char*>, 4> kLinks = {{
    {"fd", "/proc/self/fd"},
    {"stdin", "/proc/self/fd/0"},
    {"stdout", "/proc/self/fd/1"},
    {"stderr", "/proc/self/fd/2"},
}};

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool IsDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// "Mmm dd hh:mm:ss " as syslog() writes it.
bool StartsWithTimestamp(std::string_view s) {
  return s.size() >= 16 && s[3] == ' ' && s[6] == ' ' && s[9] == ':' && s[12] == ':' && s[15] == ' ';
}

bool WriteAll(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

void WriteRecord(int fd, char kind, std::string_view payload) {
  uint32_t len = uint32_t(payload.size());
  WriteAll(fd, &kind, 1);
  WriteAll(fd, &len, sizeof len);
  WriteAll(fd, payload.data(), payload.size());
}

}  // namespace

bool ParseSyslogDatagram(std::string_view raw, SyslogMessage* out) {
  *out = SyslogMessage{};
  out->raw = std::string(raw);
  if (raw.empty() || raw[0] != '<') return false;
  size_t close = raw.find('>');
  if (close == std::string_view::npos || !IsDigits(raw.substr(1, close - 1)) || close > 4) return false;
  out->priority = std::atoi(std::string(raw.substr(1, close - 1)).c_str());
  std::string_view rest = raw.substr(close + 1);
  if (StartsWithTimestamp(rest)) rest.remove_prefix(16);
  size_t sep = rest.find(": ");
  if (sep == std::string_view::npos) {
    out->text = std::string(rest);
    return true;
  }
  std::string_view tag = rest.substr(0, sep);
  out->text = std::string(rest.substr(sep + 2));
  size_t open = tag.find('[');
  if (open != std::string_view::npos && tag.back() == ']' &&
      IsDigits(tag.substr(open + 1, tag.size() - open - 2))) {
    out->pid = std::atoi(std::string(tag.substr(open + 1)).c_str());
    tag = tag.substr(0, open);
  }
  out->ident = std::string(tag);
  return true;
}

SyslogCapture::~SyslogCapture() {
  if (fd_ >= 0) close(fd_);
}

bool SyslogCapture::Fail(const std::string& what) {
  error_ = Errno(what);
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  return false;
}

bool SyslogCapture::Start() {
  if (fd_ >= 0) return true;
  if (unshare(CLONE_NEWNS) != 0) return Fail("unshare(CLONE_NEWNS) (needs root and a single thread)");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return Fail("making mounts private");

  const char* tmp = std::getenv("TMPDIR");
  std::string staging = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kqs-dev-XXXXXX";
  if (mkdtemp(staging.data()) == nullptr) return Fail("mkdtemp " + staging);
  // The staging directory is visible to the host until the tmpfs has moved
  // away from it; remove it on every path.
  struct RemoveDir {
    const std::string& path;
    ~RemoveDir() { rmdir(path.c_str()); }
  } removeStaging{staging};

  if (mount("tmpfs", staging.c_str(), "tmpfs", MS_NOSUID, "mode=755") != 0) return Fail("mounting tmpfs");
  auto unmountOnFailure = [&](const std::string& what) {
    bool r = Fail(what);
    umount2(staging.c_str(), MNT_DETACH);
    return r;
  };

  struct stat st;
  for (const char* name : kDevices) {
    std::string real = std::string("/dev/") + name;
    if (stat(real.c_str(), &st) != 0) continue;
    std::string node = staging + "/" + name;
    int fd = open(node.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return unmountOnFailure("creating " + node);
    close(fd);
    if (mount(real.c_str(), node.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return unmountOnFailure("binding " + real);
    }
  }
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) {
    std::string shm = staging + "/shm";
    if (mkdir(shm.c_str(), 01777) != 0 || mount("/dev/shm", shm.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      return unmountOnFailure("binding /dev/shm");
    }
  }
  for (const auto& [name, target] : kLinks) {
    if (symlink(target, (staging + "/" + name).c_str()) != 0) return unmountOnFailure("linking " + std::string(name));
  }

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string socketPath = staging + "/log";
  if (socketPath.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return unmountOnFailure("socket path " + socketPath);
  }
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return unmountOnFailure("socket");
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return unmountOnFailure("binding " + socketPath);
  if (chmod(socketPath.c_str(), 0666) != 0) return unmountOnFailure("chmod " + socketPath);

  if (mount(staging.c_str(), "/dev", nullptr, MS_MOVE, nullptr) != 0) return unmountOnFailure("moving over /dev");
  return true;
}

bool SyslogCapture::Next(SyslogMessage* out, int timeoutMs) {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return false;
  std::array<char, 8192> buf;
  ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
  if (n < 0) return false;
  ParseSyslogDatagram(std::string_view(buf.data(), size_t(n)), out);
  return true;
}

std::vector<SyslogMessage> SyslogCapture::Collect(int quietMs) {
  std::vector<SyslogMessage> all;
  SyslogMessage m;
  while (Next(&m, quietMs)) all.push_back(std::move(m));
  return all;
}

bool SyslogCapture::CaptureInChild(const std::function<void()>& body, int quietMs,
                                   std::vector<SyslogMessage>* out, std::string* error) {
  out->clear();
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    *error = Errno("pipe");
    return false;
  }
  pid_t pid = fork();
  if (pid < 0) {
    *error = Errno("fork");
    close(pipeFds[0]);
    close(pipeFds[1]);
    return false;
  }
  if (pid == 0) {
    close(pipeFds[0]);
    SyslogCapture capture;
    if (!capture.Start()) {
      WriteRecord(pipeFds[1], 'E', capture.error());
      _exit(1);
    }
    body();
    for (const SyslogMessage& m : capture.Collect(quietMs)) WriteRecord(pipeFds[1], 'M', m.raw);
    _exit(0);
  }
  close(pipeFds[1]);
  std::string data;
  std::array<char, 4096> buf;
  for (;;) {
    ssize_t n = read(pipeFds[0], buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buf.data(), size_t(n));
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }

  std::string childError;
  size_t pos = 0;
  while (pos + 5 <= data.size()) {
    char kind = data[pos];
    uint32_t len;
    std::memcpy(&len, data.data() + pos + 1, sizeof len);
    pos += 5;
    if (pos + len > data.size()) break;
    std::string_view payload(data.data() + pos, len);
    pos += len;
    if (kind == 'E') {
      childError = std::string(payload);
    } else {
      SyslogMessage m;
      ParseSyslogDatagram(payload, &m);
      out->push_back(std::move(m));
    }
  }
  if (!childError.empty()) {
    *error = childError;
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *error = "capturing child ended abnormally (status " + std::to_string(status) + ")";
    return false;
  }
  return true;
}

}  // namespace kqs
