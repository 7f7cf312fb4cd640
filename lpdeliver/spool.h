// Moving job data between descriptors, and keeping a job in a temporary file:
// lpif hands a job that came on standard input to the interface program as a
// file, and lpdeliver keeps a piped job so that it can send it again.
#pragma once

#include <cstddef>

namespace lpdeliver {

// Outcome of CopyAll; errno tells why for the two failures.
inline constexpr int kCopyDone = 0;
inline constexpr int kCopyReadFailed = 1;
inline constexpr int kCopyWriteFailed = 2;

// Writes all len bytes of buf to fd, going on after short writes and signals.
// Returns 0, or -1 with errno set.
int WriteAll(int fd, const void* buf, size_t len);

// Copies from in to out until in ends. Returns kCopyDone, kCopyReadFailed or
// kCopyWriteFailed.
int CopyAll(int in, int out);

// Copies everything from in into a new file in $TMPDIR (/tmp when unset or
// empty), readable only by the caller, and rewinds it. Returns the file's
// descriptor with its path in path (size bytes at most), or -1 with errno set
// when no file can be made or the copy fails; nothing is left behind then.
int SpoolToTempFile(int in, char* path, size_t size);

}  // namespace lpdeliver
