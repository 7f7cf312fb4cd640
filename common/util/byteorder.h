// Big-endian 32-bit words in byte buffers: the wire order of packet headers
// and enumeration buffers, whatever the host's own order. Byte by byte, so
// no alignment is assumed.
#pragma once

#include <cstdint>

namespace kqs {

inline uint32_t LoadBE32(const void* at) {
  const auto* p = static_cast<const unsigned char*>(at);
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

inline void StoreBE32(void* at, uint32_t value) {
  auto* p = static_cast<unsigned char*>(at);
  p[0] = static_cast<unsigned char>(value >> 24);
  p[1] = static_cast<unsigned char>(value >> 16);
  p[2] = static_cast<unsigned char>(value >> 8);
  p[3] = static_cast<unsigned char>(value);
}

}  // namespace kqs
