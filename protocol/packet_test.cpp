// Packets byte for byte: the worked examples, copies only into buffers that
// fit, and the encoder's refusals. Every malformed field, truncation and
// length rule is left to request_fuzz and response_fuzz: from an exactly
// sized copy under ASan, every packet a decoder accepts must be rebuilt byte
// for byte from what it decoded.
#include "protocol/packet.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "protocol/kqsids.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(Packet, WorkedExamplesAreExactBigEndianBytes) {
  unsigned char* p = nullptr;
  uint32_t n = 0;
  ASSERT_EQ(KQS_SUCCESS, PacketReqEncode(KQS_ENUM_CONTAINER, "", TYPE_PRINTQUEUE, nullptr, 0, &p, &n));
  const Bytes request = {0, 0, 0, 0x1A, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 5,
                         0, 0, 0, 3,    0, 0, 0, 0, 0, 0xAA};
  EXPECT_EQ(request, Bytes(p, p + n));
  std::free(p);
  uint32_t platform = 0, op = 0, type = 0, strSize = 8, dataSize = 8;
  char str[8], data[8];
  EXPECT_EQ(KQS_SUCCESS, PacketReqDecode(&platform, &op, str, &strSize, &type, data, &dataSize,
                                         request.data(), 26));
  EXPECT_EQ(std::tuple(PRINTSERVER_UNIX, KQS_ENUM_CONTAINER, TYPE_PRINTQUEUE, 1u, 0u),
            std::tie(platform, op, type, strSize, dataSize));

  ASSERT_EQ(KQS_SUCCESS, PacketRespEncode(KQS_UPDATE, TYPE_PRINTQUEUE, KQS_INVALID_OPERATION, nullptr, 0, &p, &n));
  const Bytes response = {0, 0, 0, 0x19, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 3,
                          0, 0, 0, 0x0D, 0, 0, 0, 0, 0xAA};
  EXPECT_EQ(response, Bytes(p, p + n));
  std::free(p);
  uint32_t rc = 0, size = 0;
  EXPECT_EQ(KQS_SUCCESS, PacketRespDecode(&op, &type, &rc, nullptr, &size, response.data(), 25));
  EXPECT_EQ(std::tuple(KQS_UPDATE, TYPE_PRINTQUEUE, KQS_INVALID_OPERATION, 0u), std::tie(op, type, rc, size));
}

// A buffer too small for its part is left alone and the size reported, not
// a failure; bytes after the packet's length are ignored. (The fuzzer only
// ever decodes into the daemon's own buffers, which a packet rarely outgrows.)
TEST(Packet, DecodeCopiesOnlyIntoBuffersThatFit) {
  unsigned char* p = nullptr;
  uint32_t n = 0;
  const char data[] = "Device=/dev/lp0";
  ASSERT_EQ(KQS_SUCCESS, PacketReqEncode(KQS_ADD, "queue1", 14, data, sizeof data, &p, &n));
  Bytes packet(p, p + n);
  std::free(p);
  packet.insert(packet.end(), {'j', 'u', 'n', 'k'});
  const auto copy = std::make_unique<unsigned char[]>(packet.size());  // exactly sized for ASan
  std::memcpy(copy.get(), packet.data(), packet.size());
  uint32_t platform, op, type, strSize = 4, dataSize = 4;
  char str[4] = {'x'}, small[4] = {'y'};
  EXPECT_EQ(KQS_SUCCESS, PacketReqDecode(&platform, &op, str, &strSize, &type, small, &dataSize, copy.get(),
                                         static_cast<uint32_t>(packet.size())));
  EXPECT_EQ(std::tuple(14u, 7u, sizeof data, 'x', 'y'), std::tuple(type, strSize, size_t{dataSize}, str[0], small[0]));
}

TEST(Packet, EncoderRefusesWhatTheDaemonWouldDrop) {
  unsigned char* p = nullptr;
  uint32_t n = 0;
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqEncode(KQS_ADD, "a\tb", TYPE_PRINTQUEUE, nullptr, 0, &p, &n));
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqEncode(7, "", TYPE_PRINTQUEUE, nullptr, 0, &p, &n));
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqEncode(KQS_ADD, "", 15, nullptr, 0, &p, &n));
  EXPECT_EQ(nullptr, p);
}

}  // namespace
