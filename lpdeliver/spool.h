// Moving job data between descriptors: lpdeliver streams a job from its
// input to the peripheral without keeping a copy.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lpdeliver {

// Outcome of CopyAll; errno tells why for the two failures.
inline constexpr int kCopyDone = 0;
inline constexpr int kCopyReadFailed = 1;
inline constexpr int kCopyWriteFailed = 2;

// Writes all len bytes of buf to fd, going on after short writes and signals.
// Returns 0, or -1 with errno set.
int WriteAll(int fd, const void* buf, size_t len);

// Copies from in to out until in ends, adding the bytes written to *copied
// when given. Returns kCopyDone, kCopyReadFailed or kCopyWriteFailed.
int CopyAll(int in, int out, uint64_t* copied = nullptr);

}  // namespace lpdeliver
