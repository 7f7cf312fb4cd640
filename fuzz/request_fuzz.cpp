// Fuzz target for the request decoder: any bytes a console (or anyone else)
// sends to the management port. A request the decoder accepts must come out
// byte for byte the same when built again from what was decoded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/kqsids.h"
#include "protocol/packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  // An exactly sized copy, so that a read past the received bytes is caught.
  std::vector<uint8_t> packet(bytes, bytes + size);
  const auto received = static_cast<uint32_t>(size);

  // The daemon's own buffers: 128 bytes of parameters, 512 of data.
  uint32_t platform = 0, operation = 0, objectType = 0;
  char parameters[128];
  unsigned char data[512];
  uint32_t parametersSize = sizeof parameters;
  uint32_t dataSize = sizeof data;
  const uint32_t rc = PacketReqDecode(&platform, &operation, parameters, &parametersSize,
                                      &objectType, data, &dataSize, packet.data(), received);
  if (rc != PacketReqValidate(packet.data(), received)) std::abort();
  if (rc != KQS_SUCCESS) return 0;
  if (platform != PRINTSERVER_UNIX || operation < 1 || operation > KQS_MAX_OPERATION ||
      objectType < 1 || objectType > KQS_MAX_OBJECT_TYPE) {
    std::abort();
  }
  if (parametersSize > sizeof parameters || dataSize > sizeof data) return 0;  // not copied

  unsigned char* again = nullptr;
  uint32_t againLength = 0;
  if (PacketReqEncode(operation, parameters, objectType, dataSize ? data : nullptr, dataSize,
                      &again, &againLength) != KQS_SUCCESS) {
    std::abort();
  }
  if (againLength > received || std::memcmp(again, packet.data(), againLength) != 0) std::abort();
  std::free(again);
  return 0;
}
