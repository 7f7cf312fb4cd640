// /dev/log of our own in a private mount namespace: a tmpfs over /dev whose
// entries lead back to the real ones, but whose "log" is a socket of this
// process.
#include "common/testing/syslog_capture.h"

#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

namespace kqs {
namespace {

SyslogMessage Parse(std::string_view raw) {
  SyslogMessage m;
  m.raw = std::string(raw);
  int used = 0;
  if (std::sscanf(m.raw.c_str(), "<%d>%n", &m.priority, &used) != 1 || used == 0) return {-1, "", "", m.raw};
  std::string_view rest = raw.substr(static_cast<size_t>(used));
  // "Mmm dd hh:mm:ss " as syslog() writes it.
  if (rest.size() >= 16 && rest[3] == ' ' && rest[9] == ':' && rest[15] == ' ') rest.remove_prefix(16);
  const size_t sep = rest.find(": ");
  m.ident = sep == std::string_view::npos ? "" : rest.substr(0, std::min(sep, rest.find('[')));
  m.text = sep == std::string_view::npos ? rest : rest.substr(sep + 2);
  return m;
}

// Fills the tmpfs at dir with a recursive bind of the real /dev under ".host"
// and one relative link per entry but "log", so every node, submount (pts,
// shm) and link of /dev keeps its usual name once the tmpfs covers /dev. A
// character device is made again as a node: a printer's device is never
// reached through a link.
bool MirrorDev(const std::string& dir) {
  const std::string host = dir + "/.host";
  if (mkdir(host.c_str(), 0755) != 0 || mount("/dev", host.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
    return false;
  }
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev", ec)) {
    const std::string name = entry.path().filename();
    if (name == "log") continue;
    struct stat st;
    const bool node = lstat(entry.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode);
    const std::string made = dir + "/" + name;
    if (node ? mknod(made.c_str(), st.st_mode, st.st_rdev) != 0 || chmod(made.c_str(), st.st_mode & 07777) != 0
             : symlink((".host/" + name).c_str(), made.c_str()) != 0)
      return false;
  }
  return !ec;
}

}  // namespace

SyslogCapture::~SyslogCapture() {
  if (fd_ >= 0) close(fd_);
}

bool SyslogCapture::Fail(const std::string& what) {
  error_ = what + ": " + std::strerror(errno);
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  return false;
}

bool SyslogCapture::Start() {
  if (fd_ >= 0) return true;
  if (unshare(CLONE_NEWNS) != 0) return Fail("unshare(CLONE_NEWNS) (needs root and a single thread)");
  // Private first: nothing mounted from here on shows on the host.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return Fail("making mounts private");
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kqs-dev-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) return Fail("mkdtemp " + dir);
  const bool ok = PlaceSocket(dir);
  umount2(dir.c_str(), MNT_DETACH);  // only left there when a step failed
  rmdir(dir.c_str());
  return ok;
}

// Binds the socket as "log" on a fresh tmpfs at dir and puts it in place.
bool SyslogCapture::PlaceSocket(const std::string& dir) {
  if (mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID, "mode=755") != 0) return Fail("mounting a tmpfs");
  if (!MirrorDev(dir)) return Fail("mirroring /dev");
  const std::string log = dir + "/log";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (log.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return Fail(log);
  }
  std::memcpy(addr.sun_path, log.c_str(), log.size() + 1);
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  // Mode 0666, so that a daemon that dropped to lp can still send.
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      chmod(log.c_str(), 0666) != 0) {
    return Fail("binding " + log);
  }
  return mount(dir.c_str(), "/dev", nullptr, MS_MOVE, nullptr) == 0 || Fail("moving over /dev");
}

bool SyslogCapture::Next(SyslogMessage* out, int timeoutMs) {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  int r;
  while ((r = poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  if (r != 1) return false;
  char buf[8192];
  const ssize_t n = recv(fd_, buf, sizeof buf, 0);
  if (n < 0) return false;
  *out = Parse(std::string_view(buf, static_cast<size_t>(n)));
  return true;
}

std::vector<SyslogMessage> SyslogCapture::Collect(int quietMs) {
  std::vector<SyslogMessage> all;
  SyslogMessage m;
  while (Next(&m, quietMs)) all.push_back(std::move(m));
  return all;
}

}  // namespace kqs
