// Packets byte for byte: the worked examples, copies into the caller's
// buffers only where they fit, and the encoder's refusals.
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

Bytes Take(unsigned char* p, uint32_t n) {
  Bytes out(p, p + n);
  std::free(p);
  return out;
}

Bytes Request(uint32_t op, const char* params, uint32_t type, const void* data = nullptr,
              uint32_t dataLength = 0) {
  unsigned char* p = nullptr;
  uint32_t n = 0;
  EXPECT_EQ(KQS_SUCCESS, PacketReqEncode(op, params, type, data, dataLength, &p, &n));
  return Take(p, n);
}

// Decodes from a heap block of exactly the packet's size, so that ASan
// reports any read beyond what was received.
struct Decoded {
  uint32_t rc = 0, platform = 0, op = 0, type = 0, strSize, dataSize;
  char str[128];
  unsigned char data[512];

  explicit Decoded(const Bytes& b, uint32_t strCap = 128, uint32_t dataCap = 512)
      : strSize(strCap), dataSize(dataCap) {
    std::memset(str, 'x', sizeof str);
    std::memset(data, 'y', sizeof data);
    auto copy = std::make_unique<unsigned char[]>(b.size());
    std::memcpy(copy.get(), b.data(), b.size());
    rc = PacketReqDecode(&platform, &op, str, &strSize, &type, data, &dataSize, copy.get(),
                         static_cast<uint32_t>(b.size()));
  }
};

TEST(Packet, WorkedExamplesAreExactBigEndianBytes) {
  const Bytes request = {0, 0, 0, 0x1A, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 5,
                         0, 0, 0, 3,    0, 0, 0, 0, 0, 0xAA};
  EXPECT_EQ(request, Request(KQS_ENUM_CONTAINER, "", TYPE_PRINTQUEUE));
  Decoded d(request);
  EXPECT_EQ(std::tuple(KQS_SUCCESS, PRINTSERVER_UNIX, KQS_ENUM_CONTAINER, TYPE_PRINTQUEUE, 1u, 0u),
            std::tie(d.rc, d.platform, d.op, d.type, d.strSize, d.dataSize));

  const Bytes response = {0, 0, 0, 0x19, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 3,
                          0, 0, 0, 0x0D, 0, 0, 0, 0, 0xAA};
  unsigned char* p = nullptr;
  uint32_t n = 0;
  ASSERT_EQ(KQS_SUCCESS, PacketRespEncode(KQS_UPDATE, TYPE_PRINTQUEUE, KQS_INVALID_OPERATION,
                                          nullptr, 0, &p, &n));
  EXPECT_EQ(response, Take(p, n));
  uint32_t op = 0, type = 0, rc = 0, size = 0;
  EXPECT_EQ(KQS_SUCCESS, PacketRespDecode(&op, &type, &rc, nullptr, &size, response.data(), 25));
  EXPECT_EQ(std::tuple(KQS_UPDATE, TYPE_PRINTQUEUE, KQS_INVALID_OPERATION, 0u), std::tie(op, type, rc, size));
}

TEST(Packet, DecodeCopiesOnlyIntoBuffersThatFit) {
  const char data[] = "Device=/dev/lp0";
  Bytes b = Request(KQS_ADD, "queue1", TYPE_PRINTQUEUE, data, sizeof data);
  Bytes extra = b;
  extra.insert(extra.end(), {'j', 'u', 'n', 'k'});  // bytes beyond length are ignored
  Decoded d(extra);
  ASSERT_EQ(KQS_SUCCESS, d.rc);
  EXPECT_STREQ("queue1", d.str);
  EXPECT_EQ(std::tuple(7u, sizeof data), std::tuple(d.strSize, d.dataSize));
  EXPECT_EQ(0, std::memcmp(data, d.data, sizeof data));

  Decoded small(b, 4, 4);
  EXPECT_EQ(std::tuple(KQS_SUCCESS, 7u, sizeof data, 'x', 'y'),
            std::tuple(small.rc, small.strSize, size_t{small.dataSize}, small.str[0], char(small.data[0])));
}

// Validation field by field is left to request_fuzz and response_fuzz: every
// packet the decoder accepts must be rebuilt byte for byte from what it
// decoded, from an exactly sized copy under ASan.
TEST(Packet, EncoderRefusesWhatTheDaemonWouldDrop) {
  unsigned char* p = nullptr;
  uint32_t n = 0;
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqEncode(KQS_ADD, "a\tb", TYPE_PRINTQUEUE, nullptr, 0, &p, &n));
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqEncode(7, "", TYPE_PRINTQUEUE, nullptr, 0, &p, &n));
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqEncode(KQS_ADD, "", 15, nullptr, 0, &p, &n));
  EXPECT_EQ(nullptr, p);
}

TEST(Packet, ResponseDecodeNegotiatesBufferSize) {
  Bytes result(300);
  for (size_t i = 0; i < result.size(); ++i) result[i] = static_cast<unsigned char>(i);
  unsigned char* p = nullptr;
  uint32_t n = 0;
  ASSERT_EQ(KQS_SUCCESS, PacketRespEncode(KQS_ENUM_CONTAINER, TYPE_PRINTDRIVER, KQS_SUCCESS,
                                          result.data(), 300, &p, &n));
  const Bytes packet = Take(p, n);
  uint32_t op = 0, type = 0, rc = 99, size = 100;
  Bytes small(100, 0xEE);
  EXPECT_EQ(KQS_INSUFFICIENT_BUFFER, PacketRespDecode(&op, &type, &rc, small.data(), &size, packet.data(), n));
  EXPECT_EQ(std::tuple(300u, KQS_SUCCESS), std::tuple(size, rc));
  EXPECT_EQ(Bytes(100, 0xEE), small);
  Bytes big(size);
  EXPECT_EQ(KQS_SUCCESS, PacketRespDecode(&op, &type, &rc, big.data(), &size, packet.data(), n));
  EXPECT_EQ(result, big);
}

}  // namespace
