// The open-time check of a device or file peripheral.
#include "lpdeliver/peripheral.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

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

// ROOT when path is ROOT followed by tail, else "".
std::string RootBelow(const std::string& path, std::string_view tail) {
  return path.size() > tail.size() && path.ends_with(tail) ? path.substr(0, path.size() - tail.size()) : "";
}

}  // namespace

// The tree's lpdeliver may be a link to the installed program, so the tree is
// found from the path the wrapper ran it by (ROOT/usr/lib/lp/lpdeliver, its
// directory resolved) before the program file itself.
std::string OwnTreeRoot() {
  const std::string invoked = program_invocation_name;
  const size_t slash = invoked.rfind('/');
  char real[PATH_MAX];
  if (slash != std::string::npos && realpath(slash == 0 ? "/" : invoked.substr(0, slash).c_str(), real) != nullptr) {
    if (std::string root = RootBelow(real, "/usr/lib/lp"); !root.empty()) return root;
  }
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  return n > 0 ? RootBelow(std::string(self, static_cast<size_t>(n)), kOwnPlace) : "";
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
