// Directory walks and file replacement that follow no link another account
// made.
#include "lpsvc/safefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>

#include "common/util/pathnames.h"

namespace lpsvc {

namespace {

constexpr int kMaxLinks = 32;

int Fail(int fd, int error) {
  if (fd >= 0) close(fd);
  errno = error;
  return -1;
}

std::string DirOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

}  // namespace

int OpenDirNoFollow(const std::string& path, bool create) {
  if (path.empty() || path[0] != '/') return Fail(-1, EINVAL);
  std::deque<std::string> names;
  kqs::PushPathNames(path, &names);
  int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int links = 0;
  while (fd >= 0 && !names.empty()) {
    const std::string name = names.front();
    names.pop_front();
    if (name == ".") continue;
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && create && name != "..") {
      if (mkdirat(fd, name.c_str(), 0755) != 0 && errno != EEXIST) return Fail(fd, errno);
      next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next >= 0) {
      close(fd);
      fd = next;
      continue;
    }
    const int error = errno;
    struct stat st;
    if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) return Fail(fd, error);
    // A link root made (the administrator's /var -> /srv/var, say) is
    // followed; one of any other account is refused.
    if (st.st_uid != 0 || ++links > kMaxLinks) return Fail(fd, ELOOP);
    char target[PATH_MAX];
    const ssize_t n = readlinkat(fd, name.c_str(), target, sizeof target - 1);
    if (n <= 0) return Fail(fd, ELOOP);
    target[n] = '\0';
    if (target[0] == '/') {
      close(fd);
      fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    kqs::PushPathNames(target, &names);
  }
  return fd;
}

bool ReplaceFileNoFollow(const std::string& path, const std::string& content, mode_t mode, uid_t owner,
                         gid_t group) {
  const int dir = OpenDirNoFollow(DirOf(path), false);
  if (dir < 0) return false;
  const std::string name = BaseOf(path);
  const std::string temp = name + ".lpsvc-new";
  // Whatever was left under the temporary name (a link, say) goes first.
  unlinkat(dir, temp.c_str(), 0);
  const int fd = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  if (ok && (owner != static_cast<uid_t>(-1) || group != static_cast<gid_t>(-1))) ok = fchown(fd, owner, group) == 0;
  size_t done = 0;
  while (ok && done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fchmod(fd, mode) == 0;
  if (fd >= 0 && close(fd) != 0) ok = false;
  ok = ok && renameat(dir, temp.c_str(), dir, name.c_str()) == 0;
  if (!ok && fd >= 0) unlinkat(dir, temp.c_str(), 0);
  close(dir);
  return ok;
}

bool MakeDirNoFollow(const std::string& path, mode_t mode, uid_t owner, gid_t group) {
  const int fd = OpenDirNoFollow(path, true);
  if (fd < 0) return false;
  bool ok = true;
  if (owner != static_cast<uid_t>(-1) || group != static_cast<gid_t>(-1)) ok = fchown(fd, owner, group) == 0;
  // After the owner: a change of owner may clear the set-group-id bit.
  ok = ok && fchmod(fd, mode) == 0;
  close(fd);
  return ok;
}

}  // namespace lpsvc
