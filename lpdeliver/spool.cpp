// Copy loops.
#include "lpdeliver/spool.h"

#include <unistd.h>

#include <array>
#include <cerrno>

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

int CopyAll(int in, int out, uint64_t* copied) {
  std::array<char, 65536> buf;
  for (;;) {
    ssize_t n = read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return kCopyReadFailed;
    if (n == 0) return kCopyDone;
    if (WriteAll(out, buf.data(), static_cast<size_t>(n)) != 0) return kCopyWriteFailed;
    if (copied != nullptr) *copied += static_cast<uint64_t>(n);
  }
}

}  // namespace lpdeliver
