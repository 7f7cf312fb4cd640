// Packets byte for byte: the worked examples, validation of every field, and
// decoding that never reads past what was received.
#include "protocol/packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
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

void SetWord(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

// Decodes from a heap block of exactly `received` bytes, so that ASan reports
// any read beyond what was received.
struct Decoded {
  uint32_t rc = 0, platform = 0, op = 0, type = 0, strSize, dataSize;
  char str[128];
  unsigned char data[512];

  Decoded(const Bytes& b, uint32_t received, uint32_t strCap = 128, uint32_t dataCap = 512)
      : strSize(strCap), dataSize(dataCap) {
    std::memset(str, 'x', sizeof str);
    std::memset(data, 'y', sizeof data);
    auto copy = std::make_unique<unsigned char[]>(received);
    std::memcpy(copy.get(), b.data(), std::min<size_t>(received, b.size()));
    rc = PacketReqDecode(&platform, &op, str, &strSize, &type, data, &dataSize, copy.get(),
                         received);
  }
  explicit Decoded(const Bytes& b) : Decoded(b, static_cast<uint32_t>(b.size())) {}
};

TEST(Packet, WorkedExamplesAreExactBigEndianBytes) {
  const Bytes request = {0, 0, 0, 0x1A, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 5,
                         0, 0, 0, 3,    0, 0, 0, 0, 0, 0xAA};
  EXPECT_EQ(request, Request(KQS_ENUM_CONTAINER, "", TYPE_PRINTQUEUE));
  Decoded d(request);
  ASSERT_EQ(KQS_SUCCESS, d.rc);
  EXPECT_EQ(PRINTSERVER_UNIX, d.platform);
  EXPECT_EQ(KQS_ENUM_CONTAINER, d.op);
  EXPECT_EQ(TYPE_PRINTQUEUE, d.type);
  EXPECT_EQ(1u, d.strSize);
  EXPECT_EQ(0u, d.dataSize);

  const Bytes response = {0, 0, 0, 0x19, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 3,
                          0, 0, 0, 0x0D, 0, 0, 0, 0, 0xAA};
  unsigned char* p = nullptr;
  uint32_t n = 0;
  ASSERT_EQ(KQS_SUCCESS, PacketRespEncode(KQS_UPDATE, TYPE_PRINTQUEUE, KQS_INVALID_OPERATION,
                                          nullptr, 0, &p, &n));
  EXPECT_EQ(response, Take(p, n));
  uint32_t op = 0, type = 0, rc = 0, size = 0;
  ASSERT_EQ(KQS_SUCCESS, PacketRespDecode(&op, &type, &rc, nullptr, &size, response.data(), 25));
  EXPECT_EQ(KQS_UPDATE, op);
  EXPECT_EQ(TYPE_PRINTQUEUE, type);
  EXPECT_EQ(KQS_INVALID_OPERATION, rc);
  EXPECT_EQ(0u, size);
}

TEST(Packet, DecodeCopiesOnlyIntoBuffersThatFit) {
  const char data[] = "Device=/dev/lp0";
  Bytes b = Request(KQS_ADD, "queue1", TYPE_PRINTQUEUE, data, sizeof data);
  ASSERT_EQ(6 + sizeof data + 26, b.size());
  Bytes extra = b;
  extra.insert(extra.end(), {'j', 'u', 'n', 'k'});  // bytes beyond length are ignored
  Decoded d(extra);
  ASSERT_EQ(KQS_SUCCESS, d.rc);
  EXPECT_STREQ("queue1", d.str);
  EXPECT_EQ(7u, d.strSize);
  ASSERT_EQ(sizeof data, d.dataSize);
  EXPECT_EQ(0, std::memcmp(data, d.data, sizeof data));

  Decoded small(b, static_cast<uint32_t>(b.size()), 4, 4);
  ASSERT_EQ(KQS_SUCCESS, small.rc);
  EXPECT_EQ(7u, small.strSize);
  EXPECT_EQ(sizeof data, small.dataSize);
  EXPECT_EQ('x', small.str[0]);
  EXPECT_EQ('y', small.data[0]);
}

TEST(Packet, ValidationRejectsEveryMalformedField) {
  const Bytes good = Request(KQS_UPDATE, "abc", 14);  // 24: "abc\0", 28: 0xAA
  EXPECT_EQ(KQS_SUCCESS, Decoded(good).rc);
  const struct {
    size_t at;
    uint32_t value;
  } bad[] = {{4, PRINTSERVER_NT}, {8, 2}, {12, 0}, {12, 7}, {16, 0}, {16, 15}, {20, 1}};
  for (const auto& f : bad) {
    Bytes b = good;
    SetWord(b, f.at, f.value);
    EXPECT_EQ(KQS_INVALID_PACKET, Decoded(b).rc) << "offset " << f.at << " value " << f.value;
  }

  // One byte too long is refused even when the new last byte is a trailer.
  Bytes longer = good;
  longer.push_back(0xAA);
  SetWord(longer, 0, static_cast<uint32_t>(longer.size()));
  EXPECT_EQ(KQS_INVALID_PACKET, Decoded(longer).rc);

  // Wrong trailer; a tab and a high byte in the string; no NUL before the
  // trailer.
  for (auto [at, byte] : {std::pair<size_t, unsigned char>{28, 0xAB}, {25, '\t'}, {25, 0xE9},
                          {27, 'd'}}) {
    Bytes b = good;
    b[at] = byte;
    EXPECT_EQ(KQS_INVALID_PACKET, Decoded(b).rc) << at;
  }

  // The encoder refuses what the daemon would drop, and allocates nothing.
  unsigned char* p = nullptr;
  uint32_t n = 0;
  EXPECT_EQ(KQS_INVALID_PARAMETER,
            PacketReqEncode(KQS_ADD, "a\tb", TYPE_PRINTQUEUE, nullptr, 0, &p, &n));
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqEncode(7, "", TYPE_PRINTQUEUE, nullptr, 0, &p, &n));
  EXPECT_EQ(nullptr, p);
}

TEST(Packet, DecoderNeverReadsPastBytesReceived) {
  Bytes b = Request(KQS_ADD, "abcdef", TYPE_PRINTQUEUE);
  for (uint32_t r = 1; r < b.size(); ++r) EXPECT_EQ(KQS_INVALID_PACKET, Decoded(b, r).rc) << r;

  for (uint32_t length : {25u, 0xFFFFFFFFu}) {  // below the smallest packet, beyond what came
    Bytes bad = b;
    SetWord(bad, 0, length);
    EXPECT_EQ(KQS_INVALID_PACKET, Decoded(bad).rc) << length;
  }
  Bytes noNul = b;  // no NUL anywhere in what was received
  std::fill(noNul.begin() + 24, noNul.end() - 1, 'a');
  EXPECT_EQ(KQS_INVALID_PACKET, Decoded(noNul).rc);
}

TEST(Packet, ResponseDecodeNegotiatesBufferSize) {
  Bytes result(300);
  for (size_t i = 0; i < result.size(); ++i) result[i] = static_cast<unsigned char>(i);
  unsigned char* p = nullptr;
  uint32_t n = 0;
  ASSERT_EQ(KQS_SUCCESS, PacketRespEncode(KQS_ENUM_CONTAINER, TYPE_PRINTDRIVER, KQS_SUCCESS,
                                          result.data(), 300, &p, &n));
  const Bytes packet = Take(p, n);
  ASSERT_EQ(325u, n);

  uint32_t op = 0, type = 0, rc = 99, size = 100;
  Bytes small(100, 0xEE);
  EXPECT_EQ(KQS_INSUFFICIENT_BUFFER,
            PacketRespDecode(&op, &type, &rc, small.data(), &size, packet.data(), n));
  EXPECT_EQ(300u, size);
  EXPECT_EQ(KQS_SUCCESS, rc);
  EXPECT_EQ(Bytes(100, 0xEE), small);

  Bytes big(size);
  EXPECT_EQ(KQS_SUCCESS, PacketRespDecode(&op, &type, &rc, big.data(), &size, packet.data(), n));
  EXPECT_EQ(result, big);

  // Truncated receive, wrong version, data length disagreeing with length.
  EXPECT_EQ(KQS_INVALID_PACKET, PacketRespValidate(packet.data(), n - 1));
  for (auto [at, value] : {std::pair<size_t, uint32_t>{4, 2}, {20, 299}}) {
    Bytes bad = packet;
    SetWord(bad, at, value);
    EXPECT_EQ(KQS_INVALID_PACKET, PacketRespValidate(bad.data(), n)) << at;
  }
}

}  // namespace
