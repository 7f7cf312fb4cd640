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

// Encodes a request into a vector (the malloc'ed block is freed at once).
Bytes Request(uint32_t op, const char* params, uint32_t type, const void* data = nullptr,
              uint32_t dataLength = 0) {
  unsigned char* p = nullptr;
  uint32_t n = 0;
  EXPECT_EQ(KQS_SUCCESS, PacketReqEncode(op, params, type, data, dataLength, &p, &n));
  Bytes out(p, p + n);
  std::free(p);
  return out;
}

void SetWord(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<unsigned char>(v >> 24);
  b[at + 1] = static_cast<unsigned char>(v >> 16);
  b[at + 2] = static_cast<unsigned char>(v >> 8);
  b[at + 3] = static_cast<unsigned char>(v);
}

uint32_t Validate(const Bytes& b) {
  return PacketReqValidate(b.data(), static_cast<uint32_t>(b.size()));
}

TEST(Packet, SmallestRequestIsExactBigEndianBytes) {
  const Bytes expected = {0, 0, 0, 0x1A, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 5,
                          0, 0, 0, 3,    0, 0, 0, 0, 0, 0xAA};
  Bytes b = Request(KQS_ENUM_CONTAINER, "", TYPE_PRINTQUEUE);
  EXPECT_EQ(expected, b);

  uint32_t platform = 0, op = 0, type = 0, strSize = 8, dataSize = 8;
  char str[8] = "xxxxxxx";
  unsigned char data[8];
  ASSERT_EQ(KQS_SUCCESS, PacketReqDecode(&platform, &op, str, &strSize, &type, data, &dataSize,
                                         expected.data(), 26));
  EXPECT_EQ(PRINTSERVER_UNIX, platform);
  EXPECT_EQ(KQS_ENUM_CONTAINER, op);
  EXPECT_EQ(TYPE_PRINTQUEUE, type);
  EXPECT_EQ(1u, strSize);
  EXPECT_STREQ("", str);
  EXPECT_EQ(0u, dataSize);
}

TEST(Packet, SmallestResponseIsExactBigEndianBytes) {
  const Bytes expected = {0, 0, 0, 0x19, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 3,
                          0, 0, 0, 0x0D, 0, 0, 0, 0, 0xAA};
  unsigned char* p = nullptr;
  uint32_t n = 0;
  ASSERT_EQ(KQS_SUCCESS,
            PacketRespEncode(KQS_UPDATE, TYPE_PRINTQUEUE, KQS_INVALID_OPERATION, nullptr, 0, &p, &n));
  EXPECT_EQ(expected, Bytes(p, p + n));
  std::free(p);

  uint32_t op = 0, type = 0, rc = 0, size = 0;
  ASSERT_EQ(KQS_SUCCESS, PacketRespDecode(&op, &type, &rc, nullptr, &size, expected.data(), 25));
  EXPECT_EQ(KQS_UPDATE, op);
  EXPECT_EQ(TYPE_PRINTQUEUE, type);
  EXPECT_EQ(KQS_INVALID_OPERATION, rc);
  EXPECT_EQ(0u, size);
}

TEST(Packet, RequestRoundTripsStringAndDataAndIgnoresTrailingBytes) {
  const char data[] = "Device=/dev/lp0";
  Bytes b = Request(KQS_ADD, "queue1", TYPE_PRINTQUEUE, data, sizeof data);
  ASSERT_EQ(6 + sizeof data + 26, b.size());
  b.insert(b.end(), {'j', 'u', 'n', 'k'});  // a second read's bytes are not ours

  uint32_t platform, op, type, strSize = 128, dataSize = 512;
  char str[128];
  char buf[512];
  ASSERT_EQ(KQS_SUCCESS, PacketReqDecode(&platform, &op, str, &strSize, &type, buf, &dataSize,
                                         b.data(), static_cast<uint32_t>(b.size())));
  EXPECT_STREQ("queue1", str);
  EXPECT_EQ(7u, strSize);
  ASSERT_EQ(sizeof data, dataSize);
  EXPECT_EQ(0, std::memcmp(data, buf, sizeof data));
}

TEST(Packet, DecodeIntoShortBuffersCopiesNothingAndReportsSizes) {
  const char data[] = "0123456789";
  Bytes b = Request(KQS_ADD, "abcdefghij", TYPE_PRINTQUEUE, data, sizeof data);
  uint32_t platform, op, type, strSize = 4, dataSize = 4;
  char str[4] = {'x', 'x', 'x', 'x'};
  unsigned char buf[4] = {'y', 'y', 'y', 'y'};
  ASSERT_EQ(KQS_SUCCESS, PacketReqDecode(&platform, &op, str, &strSize, &type, buf, &dataSize,
                                         b.data(), static_cast<uint32_t>(b.size())));
  EXPECT_EQ(11u, strSize);
  EXPECT_EQ(11u, dataSize);
  EXPECT_EQ(0, std::memcmp(str, "xxxx", 4));
  EXPECT_EQ(0, std::memcmp(buf, "yyyy", 4));
}

TEST(Packet, ValidationRejectsEveryMalformedHeaderField) {
  const Bytes good = Request(KQS_UPDATE, "ab", 14);
  EXPECT_EQ(KQS_SUCCESS, Validate(good));

  const struct {
    size_t at;
    uint32_t value;
  } bad[] = {
      {4, PRINTSERVER_NT},  // platform
      {8, 2},               // version
      {12, 0},              // operation
      {12, 7},
      {16, 0},  // object type
      {16, 15},
      {20, 1},  // data length disagrees with length
  };
  for (const auto& f : bad) {
    Bytes b = good;
    SetWord(b, f.at, f.value);
    EXPECT_EQ(KQS_INVALID_PACKET, Validate(b)) << "offset " << f.at << " value " << f.value;
  }

  // Header words in little-endian order fail the platform test.
  Bytes swapped = good;
  for (size_t w = 0; w < 24; w += 4) std::reverse(swapped.begin() + w, swapped.begin() + w + 4);
  EXPECT_EQ(KQS_INVALID_PACKET, Validate(swapped));

  Bytes trailer = good;
  trailer.back() = 0xAB;
  EXPECT_EQ(KQS_INVALID_PACKET, Validate(trailer));

  // One byte too long is refused even when the new last byte is a trailer.
  Bytes longer = good;
  longer.push_back(0xAA);
  SetWord(longer, 0, static_cast<uint32_t>(longer.size()));
  EXPECT_EQ(KQS_INVALID_PACKET, Validate(longer));

  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqValidate(nullptr, 26));
}

TEST(Packet, ValidationRejectsBadParameterStrings) {
  Bytes b = Request(KQS_ADD, "abc", TYPE_PRINTQUEUE);  // 24: "abc\0" 28: AA
  Bytes tab = b;
  tab[25] = '\t';
  EXPECT_EQ(KQS_INVALID_PACKET, Validate(tab));
  Bytes high = b;
  high[25] = 0xE9;
  EXPECT_EQ(KQS_INVALID_PACKET, Validate(high));

  // The string runs into the trailer without a NUL.
  Bytes unterminated = b;
  unterminated[27] = 'd';
  EXPECT_EQ(KQS_INVALID_PACKET, Validate(unterminated));

  // The encoder refuses what the daemon would drop.
  unsigned char* p = nullptr;
  uint32_t n = 0;
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqEncode(KQS_ADD, "a\tb", TYPE_PRINTQUEUE, nullptr, 0, &p, &n));
  EXPECT_EQ(nullptr, p);
}

TEST(Packet, DecoderNeverReadsPastBytesReceived) {
  // Each packet lives in a heap block of exactly `received` bytes, so ASan
  // reports any read beyond it.
  auto check = [](const Bytes& b, uint32_t received, uint32_t want) {
    auto copy = std::make_unique<unsigned char[]>(received);
    std::memcpy(copy.get(), b.data(), received);
    uint32_t platform, op, type, strSize = 128, dataSize = 512;
    char str[128];
    char buf[512];
    EXPECT_EQ(want, PacketReqDecode(&platform, &op, str, &strSize, &type, buf, &dataSize,
                                    copy.get(), received))
        << "received " << received;
  };
  Bytes b = Request(KQS_ADD, "abcdef", TYPE_PRINTQUEUE);
  for (uint32_t r = 1; r < b.size(); ++r) check(b, r, KQS_INVALID_PACKET);
  check(b, static_cast<uint32_t>(b.size()), KQS_SUCCESS);

  // A length below the smallest packet, and a claimed length beyond the bytes.
  Bytes tiny = b;
  SetWord(tiny, 0, 25);
  check(tiny, static_cast<uint32_t>(tiny.size()), KQS_INVALID_PACKET);
  Bytes huge = b;
  SetWord(huge, 0, 0xFFFFFFFF);
  check(huge, static_cast<uint32_t>(huge.size()), KQS_INVALID_PACKET);

  // A string with no NUL anywhere in what was received.
  Bytes noNul(40, 'a');
  SetWord(noNul, 0, 40);
  SetWord(noNul, 4, PRINTSERVER_UNIX);
  SetWord(noNul, 8, 1);
  SetWord(noNul, 12, KQS_ADD);
  SetWord(noNul, 16, TYPE_PRINTQUEUE);
  SetWord(noNul, 20, 0);
  noNul.back() = 0xAA;
  check(noNul, 40, KQS_INVALID_PACKET);
}

TEST(Packet, EncoderArgumentChecks) {
  unsigned char* p = nullptr;
  uint32_t n = 0;
  const char d[] = "x";
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqEncode(KQS_ADD, "", TYPE_PRINTQUEUE, nullptr, 0, nullptr, &n));
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqEncode(0, "", TYPE_PRINTQUEUE, nullptr, 0, &p, &n));
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqEncode(7, "", TYPE_PRINTQUEUE, nullptr, 0, &p, &n));
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqEncode(KQS_ADD, "", 15, nullptr, 0, &p, &n));
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqEncode(KQS_ADD, "", TYPE_PRINTQUEUE, d, 0, &p, &n));
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqEncode(KQS_ADD, "", TYPE_PRINTQUEUE, nullptr, 1, &p, &n));
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketReqEncode(KQS_ADD, nullptr, TYPE_PRINTQUEUE, nullptr, 0, &p, &n));
  EXPECT_EQ(nullptr, p);
  EXPECT_EQ(0u, n);
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketRespEncode(KQS_ADD, TYPE_PRINTQUEUE, 0, nullptr, 3, &p, &n));
  EXPECT_EQ(KQS_INVALID_PARAMETER, PacketRespEncode(KQS_ADD, TYPE_PRINTQUEUE, 0, nullptr, 0, &p, nullptr));
  EXPECT_EQ(nullptr, p);
}

TEST(Packet, ResponseDecodeNegotiatesBufferSize) {
  Bytes result(300);
  for (size_t i = 0; i < result.size(); ++i) result[i] = static_cast<unsigned char>(i);
  unsigned char* p = nullptr;
  uint32_t n = 0;
  ASSERT_EQ(KQS_SUCCESS, PacketRespEncode(KQS_ENUM_CONTAINER, TYPE_PRINTDRIVER, KQS_SUCCESS,
                                          result.data(), 300, &p, &n));
  std::unique_ptr<unsigned char, decltype(&std::free)> packet(p, &std::free);
  ASSERT_EQ(325u, n);

  uint32_t op = 0, type = 0, rc = 99, size = 100;
  Bytes small(100, 0xEE);
  EXPECT_EQ(KQS_INSUFFICIENT_BUFFER, PacketRespDecode(&op, &type, &rc, small.data(), &size, p, n));
  EXPECT_EQ(300u, size);
  EXPECT_EQ(KQS_ENUM_CONTAINER, op);
  EXPECT_EQ(TYPE_PRINTDRIVER, type);
  EXPECT_EQ(KQS_SUCCESS, rc);
  EXPECT_EQ(Bytes(100, 0xEE), small);

  Bytes big(size);
  EXPECT_EQ(KQS_SUCCESS, PacketRespDecode(&op, &type, &rc, big.data(), &size, p, n));
  EXPECT_EQ(result, big);

  // Validation: truncated receive, wrong version, wrong trailer.
  EXPECT_EQ(KQS_INVALID_PACKET, PacketRespValidate(p, n - 1));
  Bytes bad(p, p + n);
  SetWord(bad, 4, 2);
  EXPECT_EQ(KQS_INVALID_PACKET, PacketRespValidate(bad.data(), n));
  bad = Bytes(p, p + n);
  bad.back() = 0;
  EXPECT_EQ(KQS_INVALID_PACKET, PacketRespValidate(bad.data(), n));
  bad = Bytes(p, p + n);
  SetWord(bad, 20, 299);
  EXPECT_EQ(KQS_INVALID_PACKET, PacketRespValidate(bad.data(), n));
}

}  // namespace
