// The open-time check of a device or file peripheral.
#include "lpdeliver/peripheral.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace lpdeliver {

namespace {

constexpr char kOwnPlace[] = "/usr/lib/lp/lpdeliver";

int Refuse(int fd, std::string* why, const std::string& text) {
  if (fd >= 0) close(fd);
  *why = text;
  return -1;
}

int OpenFailed(std::string* why, const std::string& name) {
  const int error = errno;
  *why = "cannot open " + name + ": " + std::strerror(error);
  errno = error;
  return -1;
}

bool Within(const std::string& path, const std::string& dir) {
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

}  // namespace

// The tree's lpdeliver may be a link to the installed program, so the tree is
// found from the path the wrapper ran it by (ROOT/usr/lib/lp/lpdeliver, its
// directory resolved) before the program file itself.
std::string OwnTreeRoot() {
  const std::string dir_tail = "/usr/lib/lp";
  const std::string invoked = program_invocation_name;
  const size_t slash = invoked.rfind('/');
  char real[PATH_MAX];
  if (slash != std::string::npos && realpath(slash == 0 ? "/" : invoked.substr(0, slash).c_str(), real) != nullptr) {
    const std::string dir = real;
    if (dir.size() > dir_tail.size() && dir.compare(dir.size() - dir_tail.size(), dir_tail.size(), dir_tail) == 0)
      return dir.substr(0, dir.size() - dir_tail.size());
  }
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  const std::string path(self, static_cast<size_t>(n));
  const size_t tail = sizeof kOwnPlace - 1;
  if (path.size() <= tail || path.compare(path.size() - tail, tail, kOwnPlace) != 0) return "";
  return path.substr(0, path.size() - tail);
}

int OpenPeripheral(const char* path, const std::string& tree_root, std::string* why, bool* refused) {
  const std::string name = path;
  const std::string fix = "; give the queue a printer's address, a device or a file in [LP Service] DeviceDirs";
  const int fd = open(path, O_WRONLY | O_APPEND | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
  *refused = fd < 0 && errno == ELOOP;
  if (*refused) return Refuse(fd, why, name + " is a symbolic link" + fix);
  if (fd < 0) return OpenFailed(why, name);
  *refused = true;
  struct stat st;
  if (fstat(fd, &st) != 0) return Refuse(fd, why, "cannot examine " + name + ": " + std::strerror(errno));
  if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) return fd;
  if (!S_ISREG(st.st_mode)) return Refuse(fd, why, name + " is not a device or a file" + fix);
  if ((st.st_mode & 0111) != 0) return Refuse(fd, why, name + " is a program, not a printer" + fix);
  char real[PATH_MAX], root[PATH_MAX];
  if (!tree_root.empty() && realpath(path, real) != nullptr && realpath(tree_root.c_str(), root) != nullptr &&
      Within(real, root))
    return Refuse(fd, why, name + " lies in the LP tree" + fix);
  *refused = false;
  return fd;
}

}  // namespace lpdeliver
