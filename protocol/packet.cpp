// Encoding, checking and decoding of request and response packets. Header
// words are assembled byte by byte in big-endian order, so neither the host's
// byte order nor the alignment of the caller's buffer matters.
#include "protocol/packet.h"

#include <cstdlib>
#include <cstring>

#include "common/util/byteorder.h"
#include "protocol/kqsids.h"

namespace {

// Word positions in the request header.
constexpr uint32_t kReqLength = 0;
constexpr uint32_t kReqPlatform = 4;
constexpr uint32_t kReqVersion = 8;
constexpr uint32_t kReqOperation = 12;
constexpr uint32_t kReqObjectType = 16;
constexpr uint32_t kReqDataLength = 20;

// Word positions in the response header.
constexpr uint32_t kRespLength = 0;
constexpr uint32_t kRespVersion = 4;
constexpr uint32_t kRespOperation = 8;
constexpr uint32_t kRespObjectType = 12;
constexpr uint32_t kRespReturnCode = 16;
constexpr uint32_t kRespDataLength = 20;
constexpr uint32_t kRespData = 24;

uint32_t GetWord(const unsigned char* p, uint32_t offset) { return kqs::LoadBE32(p + offset); }

void PutWord(unsigned char* p, uint32_t offset, uint32_t value) {
  kqs::StoreBE32(p + offset, value);
}

constexpr bool IsPrintable(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

constexpr bool ValidOperation(uint32_t op) { return op >= 1 && op <= KQS_MAX_OPERATION; }
constexpr bool ValidObjectType(uint32_t type) { return type >= 1 && type <= KQS_MAX_OBJECT_TYPE; }

// Length of the parameter string of a request whose length has been checked
// against received; -1 when a byte before the trailer is not printable or no
// NUL comes before it. Nothing at or beyond the trailer is read.
long ParameterLength(const unsigned char* p, uint32_t length) {
  const uint32_t trailer = length - 1;
  for (uint32_t i = KQS_REQUEST_HEADER_SIZE; i < trailer; ++i) {
    if (p[i] == '\0') return static_cast<long>(i - KQS_REQUEST_HEADER_SIZE);
    if (!IsPrintable(p[i])) return -1;
  }
  return -1;
}

}  // namespace

uint32_t PacketReqEncode(uint32_t operation, const char* parameters, uint32_t objectType,
                         const void* data, uint32_t dataLength, unsigned char** packet,
                         uint32_t* packetLength) {
  if (packet == nullptr || packetLength == nullptr || parameters == nullptr) {
    return KQS_INVALID_PARAMETER;
  }
  if (!ValidOperation(operation) || !ValidObjectType(objectType)) return KQS_INVALID_PARAMETER;
  if ((data == nullptr) != (dataLength == 0)) return KQS_INVALID_PARAMETER;

  // A string the daemon would reject is refused here rather than sent.
  size_t n = 0;
  for (; parameters[n] != '\0'; ++n) {
    if (!IsPrintable(static_cast<unsigned char>(parameters[n]))) return KQS_INVALID_PARAMETER;
  }
  uint64_t total = uint64_t{n} + KQS_MIN_REQUEST_SIZE + dataLength;
  if (total > UINT32_MAX) return KQS_INVALID_PARAMETER;
  const auto length = static_cast<uint32_t>(total);

  auto* p = static_cast<unsigned char*>(std::malloc(length));
  if (p == nullptr) return KQS_FAILURE;
  PutWord(p, kReqLength, length);
  PutWord(p, kReqPlatform, PRINTSERVER_UNIX);
  PutWord(p, kReqVersion, KQS_PROTOCOL_VERSION);
  PutWord(p, kReqOperation, operation);
  PutWord(p, kReqObjectType, objectType);
  PutWord(p, kReqDataLength, dataLength);
  unsigned char* at = p + KQS_REQUEST_HEADER_SIZE;
  std::memcpy(at, parameters, n + 1);
  at += n + 1;
  if (dataLength > 0) std::memcpy(at, data, dataLength);
  at[dataLength] = KQS_PACKET_TRAILER;

  *packet = p;
  *packetLength = length;
  return KQS_SUCCESS;
}

uint32_t PacketReqValidate(const void* packet, uint32_t received) {
  if (packet == nullptr) return KQS_INVALID_PARAMETER;
  const auto* p = static_cast<const unsigned char*>(packet);
  if (received < KQS_MIN_REQUEST_SIZE) return KQS_INVALID_PACKET;
  const uint32_t length = GetWord(p, kReqLength);
  if (length < KQS_MIN_REQUEST_SIZE || length > received) return KQS_INVALID_PACKET;

  if (GetWord(p, kReqPlatform) != PRINTSERVER_UNIX) return KQS_INVALID_PACKET;
  if (!ValidOperation(GetWord(p, kReqOperation))) return KQS_INVALID_PACKET;
  if (!ValidObjectType(GetWord(p, kReqObjectType))) return KQS_INVALID_PACKET;
  if (GetWord(p, kReqVersion) != KQS_PROTOCOL_VERSION) return KQS_INVALID_PACKET;
  if (p[length - 1] != KQS_PACKET_TRAILER) return KQS_INVALID_PACKET;

  long n = ParameterLength(p, length);
  if (n < 0) return KQS_INVALID_PACKET;
  // The exact length also places the data block's end right at the trailer.
  uint64_t expected = uint64_t(n) + KQS_MIN_REQUEST_SIZE + GetWord(p, kReqDataLength);
  if (expected != length) return KQS_INVALID_PACKET;
  return KQS_SUCCESS;
}

uint32_t PacketReqDecode(uint32_t* platform, uint32_t* operation, char* parameters,
                         uint32_t* parametersSize, uint32_t* objectType, void* data,
                         uint32_t* dataSize, const void* packet, uint32_t received) {
  if (platform == nullptr || operation == nullptr || parameters == nullptr ||
      parametersSize == nullptr || objectType == nullptr || data == nullptr ||
      dataSize == nullptr || packet == nullptr) {
    return KQS_INVALID_PARAMETER;
  }
  if (PacketReqValidate(packet, received) != KQS_SUCCESS) return KQS_INVALID_PACKET;

  const auto* p = static_cast<const unsigned char*>(packet);
  *platform = GetWord(p, kReqPlatform);
  *operation = GetWord(p, kReqOperation);
  *objectType = GetWord(p, kReqObjectType);

  const auto* string = p + KQS_REQUEST_HEADER_SIZE;
  // Validation found the NUL before the trailer, so this stays inside length.
  const auto needed = static_cast<uint32_t>(std::strlen(reinterpret_cast<const char*>(string)) + 1);
  if (needed <= *parametersSize) std::memcpy(parameters, string, needed);
  *parametersSize = needed;

  const uint32_t dataLength = GetWord(p, kReqDataLength);
  if (dataLength > 0 && dataLength <= *dataSize) std::memcpy(data, string + needed, dataLength);
  *dataSize = dataLength;
  return KQS_SUCCESS;
}

uint32_t PacketRespEncode(uint32_t operation, uint32_t objectType, uint32_t returnCode,
                          const void* result, uint32_t resultLength, unsigned char** packet,
                          uint32_t* packetLength) {
  if (packet == nullptr || packetLength == nullptr) return KQS_INVALID_PARAMETER;
  if (result == nullptr && resultLength > 0) return KQS_INVALID_PARAMETER;
  if (resultLength > UINT32_MAX - KQS_MIN_RESPONSE_SIZE) return KQS_INVALID_PARAMETER;
  const uint32_t length = resultLength + KQS_MIN_RESPONSE_SIZE;

  auto* p = static_cast<unsigned char*>(std::malloc(length));
  if (p == nullptr) return KQS_FAILURE;
  PutWord(p, kRespLength, length);
  PutWord(p, kRespVersion, KQS_PROTOCOL_VERSION);
  PutWord(p, kRespOperation, operation);
  PutWord(p, kRespObjectType, objectType);
  PutWord(p, kRespReturnCode, returnCode);
  PutWord(p, kRespDataLength, resultLength);
  if (resultLength > 0) std::memcpy(p + kRespData, result, resultLength);
  p[kRespData + resultLength] = KQS_PACKET_TRAILER;

  *packet = p;
  *packetLength = length;
  return KQS_SUCCESS;
}

uint32_t PacketRespValidate(const void* packet, uint32_t received) {
  if (packet == nullptr) return KQS_INVALID_PARAMETER;
  const auto* p = static_cast<const unsigned char*>(packet);
  if (received < KQS_MIN_RESPONSE_SIZE) return KQS_INVALID_PACKET;
  const uint32_t length = GetWord(p, kRespLength);
  if (length < KQS_MIN_RESPONSE_SIZE || length > received) return KQS_INVALID_PACKET;

  if (GetWord(p, kRespVersion) != KQS_PROTOCOL_VERSION) return KQS_INVALID_PACKET;
  if (p[length - 1] != KQS_PACKET_TRAILER) return KQS_INVALID_PACKET;
  if (uint64_t{GetWord(p, kRespDataLength)} + KQS_MIN_RESPONSE_SIZE != length) {
    return KQS_INVALID_PACKET;
  }
  return KQS_SUCCESS;
}

uint32_t PacketRespDecode(uint32_t* operation, uint32_t* objectType, uint32_t* returnCode,
                          void* result, uint32_t* resultSize, const void* packet,
                          uint32_t received) {
  if (packet == nullptr || operation == nullptr || objectType == nullptr ||
      returnCode == nullptr || resultSize == nullptr) {
    return KQS_INVALID_PARAMETER;
  }
  uint32_t rc = PacketRespValidate(packet, received);
  if (rc != KQS_SUCCESS) return rc;

  const auto* p = static_cast<const unsigned char*>(packet);
  const uint32_t dataLength = GetWord(p, kRespDataLength);
  if (dataLength > 0 && dataLength <= *resultSize && result == nullptr) {
    return KQS_INVALID_PARAMETER;
  }
  *operation = GetWord(p, kRespOperation);
  *objectType = GetWord(p, kRespObjectType);
  *returnCode = GetWord(p, kRespReturnCode);

  rc = KQS_SUCCESS;
  if (*resultSize < dataLength) {
    rc = KQS_INSUFFICIENT_BUFFER;
  } else if (dataLength > 0) {
    std::memcpy(result, p + kRespData, dataLength);
  }
  *resultSize = dataLength;
  return rc;
}
