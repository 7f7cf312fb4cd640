// The method table row by row, against the family, type, protocol and port
// each method name stands for: a wrong row would send a probe or a print job
// to the wrong port or kind of socket.
#include "pts/methods.h"

#include <cctype>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "pts/ptscore.h"

namespace {

TEST(Methods, EveryMethodGivesTheFamilyTypeProtocolAndPortItStandsFor) {
  constexpr int I = AF_INET, X = PTS_AF_IPX;
  constexpr int S = SOCK_STREAM, D = SOCK_DGRAM, R = SOCK_RAW, P = SOCK_SEQPACKET;
  const PtsMethod expected[] = {
      {"http", I, S, 0, 80},          {"arp", I, R, 0, 0},           {"comcheck", X, D, 1000, 32776},
      {"diag", X, D, 1000, 1110},     {"dns", I, D, 0, 53},          {"ftp", I, S, 0, 21},
      {"ipx", X, D, 1000, 0},         {"ipx0", X, D, 1000, 0},       {"ipx1", X, D, 1001, 0},
      {"ipx4", X, D, 1004, 0},        {"raw", I, R, 255, 0},         {"icmp", I, R, 1, 0},
      {"ping", I, R, 1, 0},           {"printspx", X, S, 1256, 16396}, {"printtcp", I, S, 0, 9100},
      {"proxy", I, S, 0, 8088},       {"pserver", X, S, 1256, 32864}, {"rcfg", X, S, 1256, 16396},
      {"diagconn", X, S, 1256, 0},    {"rip", X, D, 1001, 1107},     {"smtp", I, S, 0, 25},
      {"snmpipx", X, D, 1004, 36879}, {"snmpudp", I, D, 0, 161},     {"slp", I, D, 0, 427},
      {"spxstream", X, S, 1256, 0},   {"spxpacket", X, P, 1256, 0},  {"spx2stream", X, S, 1257, 0},
      {"spx2packet", X, P, 1257, 0},  {"sqry", X, D, 1000, 1106},    {"tcp", I, S, 0, 0},
      {"telnet", I, S, 0, 23},        {"tftp", I, D, 0, 69},         {"udp", I, D, 0, 0},
      {"bootps", I, D, 0, 67},        {"kqsudp", I, D, 0, 55554},    {"kqstcp", I, S, 0, 55554},
  };
  size_t rows = 0;
  while (methodList[rows].pszMethod != nullptr) ++rows;
  EXPECT_EQ(std::size(expected), rows);

  ASSERT_EQ(_PTS_startup(), 0);
  for (const PtsMethod& want : expected) {
    std::string name = want.pszMethod;  // found in capitals too
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    PtsMethod got{};
    ASSERT_EQ(0, PTS_GetSocketInfoByMethod(name.c_str(), 0, &got.nFamily, &got.nType,
                                           &got.nProtocol, &got.nPort)) << name;
    EXPECT_EQ(want.nFamily, got.nFamily) << name;
    EXPECT_EQ(want.nType, got.nType) << name;
    EXPECT_EQ(want.nProtocol, got.nProtocol) << name;
    EXPECT_EQ(want.nPort, got.nPort) << name;
  }
  // The printing methods choose their port by index (0 and 1 the first);
  // any other index fails.
  const struct {
    const char* method;
    int first, step;
  } indexed[] = {{"printtcp", 9100, 1}, {"printspx", 0x400C, 0x10}, {"rcfg", 0x400C, 0x10}};
  for (const auto& m : indexed) {
    for (int index = 1; index <= 4; ++index) {
      int port = -7;
      EXPECT_EQ(index < 4 ? 0 : -1, PTS_GetSocketInfoByMethod(m.method, index, nullptr, nullptr, nullptr, &port));
      EXPECT_EQ(index < 4 ? m.first + (index - 1) * m.step : 0, port) << m.method << " index " << index;
    }
  }
  EXPECT_EQ(-1, PTS_GetSocketInfoByMethod("printtcp", -1, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(0, PTS_GetSocketInfoByMethod("pserver", 7, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(-1, PTS_GetSocketInfoByMethod("kqs", 0, nullptr, nullptr, nullptr, nullptr));
  _PTS_cleanup();
}

}  // namespace
