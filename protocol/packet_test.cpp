// Packets byte for byte, as any console sends and reads them:
// the worked examples. Every malformed field, truncation and length rule is
// left to request_fuzz and response_fuzz: from an exactly sized copy under
// ASan, every packet a decoder accepts must be rebuilt byte for byte from
// what it decoded. Oversized parts are refused by the daemon (request_test).
#include "protocol/packet.h"

#include <gtest/gtest.h>

#include <cstdlib>
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

  // A parameter string with a control character (a port name that would
  // forge a log line) makes no request.
  for (const unsigned char c : {'1', '\n', '\x1b', '\x7f'}) {
    const Bytes named = {0, 0, 0, 0x1C, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 5, 0, 0, 0, 3, 0, 0, 0, 0, 'p', c, 0, 0xAA};
    EXPECT_EQ(c == '1' ? KQS_SUCCESS : KQS_INVALID_PACKET, PacketReqValidate(named.data(), 28)) << int(c);
  }
}

}  // namespace
