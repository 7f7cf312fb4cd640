// Token buckets for discovery replies: one per source in a fixed table, and
// one for all sources together.
#include "service/ratelimit.h"

#include <arpa/inet.h>

#include <algorithm>

namespace kqs {

bool DiscoveryBudget::Take(Bucket& b, int burst, int ratePerSecond, int64_t nowMs) {
  const int64_t full = int64_t{burst} * 1000;
  const int64_t elapsed = std::max<int64_t>(0, nowMs - b.lastMs);
  b.milliTokens = std::min(full, b.milliTokens + elapsed * ratePerSecond);
  b.lastMs = nowMs;
  if (b.milliTokens < 1000) return false;
  b.milliTokens -= 1000;
  return true;
}

bool DiscoveryBudget::Allow(uint32_t address, int64_t nowMs) {
  if ((ntohl(address) >> 24) == 127) return true;
  // A multiplicative hash of the address mixed with the seed.
  const uint32_t hash = (address ^ seed_) * 2654435761u;
  Bucket& b = slots_[(hash >> 20) % kSlots];
  if (!b.used || b.address != address) b = Bucket{address, int64_t{kDiscoveryBurst} * 1000, nowMs, true};
  return Take(b, kDiscoveryBurst, kDiscoveryRate, nowMs) &&
         Take(shared_, kDiscoveryGlobalBurst, kDiscoveryGlobalRate, nowMs);
}

}  // namespace kqs
