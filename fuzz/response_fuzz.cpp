// Fuzz target for the response decoder, the console's reader of whatever the
// daemon (or an impostor on its port) sends back. A response the decoder
// accepts must be rebuilt byte for byte from what was decoded, and a buffer
// too small for the result must be reported, never overrun.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/kqsids.h"
#include "protocol/packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  std::vector<uint8_t> packet(bytes, bytes + size);
  const auto received = static_cast<uint32_t>(size);

  uint32_t operation = 0, objectType = 0, returnCode = 0;
  // First a deliberately small buffer, as a console does to learn the size.
  unsigned char small[8];
  uint32_t resultSize = sizeof small;
  uint32_t rc = PacketRespDecode(&operation, &objectType, &returnCode, small, &resultSize,
                                 packet.data(), received);
  if (rc != KQS_SUCCESS && rc != KQS_INSUFFICIENT_BUFFER) {
    if (rc != PacketRespValidate(packet.data(), received)) std::abort();
    return 0;
  }
  if (rc == KQS_INSUFFICIENT_BUFFER && resultSize <= sizeof small) std::abort();
  if (resultSize > received) std::abort();

  std::vector<unsigned char> result(resultSize);
  uint32_t fullSize = resultSize;
  rc = PacketRespDecode(&operation, &objectType, &returnCode, result.data(), &fullSize,
                        packet.data(), received);
  if (rc != KQS_SUCCESS || fullSize != resultSize) std::abort();

  unsigned char* again = nullptr;
  uint32_t againLength = 0;
  if (PacketRespEncode(operation, objectType, returnCode, fullSize ? result.data() : nullptr,
                       fullSize, &again, &againLength) != KQS_SUCCESS) {
    std::abort();
  }
  if (againLength > received || std::memcmp(again, packet.data(), againLength) != 0) std::abort();
  std::free(again);
  return 0;
}
