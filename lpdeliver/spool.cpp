// Copy loops and the temporary job file.
#include "lpdeliver/spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lpdeliver {

int WriteAll(int fd, const void* buf, size_t len) {
  const char* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int CopyAll(int in, int out) {
  std::array<char, 65536> buf;
  for (;;) {
    ssize_t n = read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kCopyReadFailed;
    if (n == 0) return kCopyDone;
    if (WriteAll(out, buf.data(), static_cast<size_t>(n)) != 0) return kCopyWriteFailed;
  }
}

int SpoolToTempFile(int in, char* path, size_t size) {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  int len = std::snprintf(path, size, "%s/lpjobXXXXXX", dir);
  if (len < 0 || static_cast<size_t>(len) >= size) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int fd = mkostemp(path, O_CLOEXEC);
  if (fd < 0) return -1;
  if (CopyAll(in, fd) != kCopyDone || lseek(fd, 0, SEEK_SET) != 0) {
    int saved = errno;
    close(fd);
    unlink(path);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace lpdeliver
