// The budget for discovery replies. A reply is larger than the datagram
// that asks for it, so without a limit the discovery port would multiply
// traffic towards a spoofed sender. Each source address has a token bucket:
// a burst of kDiscoveryBurst replies, refilled at kDiscoveryRate per second,
// far more than a console's discovery ever asks; and all sources together
// share one of kDiscoveryGlobalBurst, refilled at kDiscoveryGlobalRate, so
// that senders spoofing many addresses get no more. Sources on the loopback
// network are not limited: such datagrams come from this host (the kernel
// drops them from any other interface) and their replies cannot leave it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kqs {

inline constexpr int kDiscoveryBurst = 10;
inline constexpr int kDiscoveryRate = 5;
inline constexpr int kDiscoveryGlobalBurst = 100;
inline constexpr int kDiscoveryGlobalRate = 100;

class DiscoveryBudget {
 public:
  // seed scatters addresses over the table, so a sender cannot pick
  // addresses that push a victim's bucket out.
  explicit DiscoveryBudget(uint32_t seed) : seed_(seed) {}

  // True when a reply to address (network byte order) may be sent at nowMs
  // (a monotonic clock), which then spends one token of its bucket and one
  // of the shared one. The table is bounded: a source whose slot another one
  // took starts afresh, but the shared bucket still holds.
  bool Allow(uint32_t address, int64_t nowMs);

 private:
  struct Bucket {
    uint32_t address = 0;
    int64_t milliTokens = 0;  // thousandths of a reply
    int64_t lastMs = 0;
    bool used = false;
  };
  static constexpr size_t kSlots = 4096;
  // Takes a token from b, refilled at ratePerSecond up to burst; false when
  // there is none.
  static bool Take(Bucket& b, int burst, int ratePerSecond, int64_t nowMs);
  uint32_t seed_;
  Bucket shared_{0, int64_t{kDiscoveryGlobalBurst} * 1000, 0, true};
  std::array<Bucket, kSlots> slots_{};
};

}  // namespace kqs
