// Token buckets for discovery replies, one per source in a fixed table.
#include "service/ratelimit.h"

#include <arpa/inet.h>

#include <algorithm>

namespace kqs {

bool DiscoveryBudget::Allow(uint32_t address, int64_t nowMs) {
  if ((ntohl(address) >> 24) == 127) return true;
  // A multiplicative hash of the address mixed with the seed.
  const uint32_t hash = (address ^ seed_) * 2654435761u;
  Bucket& b = slots_[(hash >> 20) % kSlots];
  constexpr int64_t kFull = int64_t{kDiscoveryBurst} * 1000;
  if (!b.used || b.address != address) {
    b = Bucket{address, kFull, nowMs, true};
  } else {
    const int64_t elapsed = std::max<int64_t>(0, nowMs - b.lastMs);
    b.milliTokens = std::min(kFull, b.milliTokens + elapsed * kDiscoveryRate);
    b.lastMs = nowMs;
  }
  if (b.milliTokens < 1000) return false;
  b.milliTokens -= 1000;
  return true;
}

}  // namespace kqs
