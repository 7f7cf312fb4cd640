// Tests of the method table, address texts and records, and the listen and
// connect set-ups on real loopback sockets.
#include "pts/methods.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "pts/fake_resolver.h"
#include "pts/hostcache.h"
#include "pts/ptscore.h"

namespace {

class Methods : public ::testing::Test {
 protected:
  void SetUp() override {
    glbBDNSEnabled = 1;
    glbDNSerrorCnt = 0;
    ASSERT_EQ(_PTS_startup(), 0);
  }
  void TearDown() override {
    while (PTS_cleanup() == 0) {
    }
  }
  kqs::ScopedFakeResolver resolver_;
};

struct Row {
  int family = -7, type = -7, protocol = -7, port = -7;
  int Get(const char* method, int index) {
    return PTS_GetSocketInfoByMethod(method, index, &family, &type, &protocol, &port);
  }
};

TEST_F(Methods, LookupIgnoresCaseAndPortIndexesSelectPrinterPorts) {
  Row r;
  ASSERT_EQ(r.Get("KQSTCP", 9), 0);
  EXPECT_EQ(r.type, SOCK_STREAM);
  EXPECT_EQ(r.port, 55554);
  EXPECT_EQ(r.Get("PrintTcp", 3), 0);
  EXPECT_EQ(r.port, 9102);
  r = Row();
  EXPECT_EQ(r.Get("printtcp", 4), -1);
  EXPECT_EQ(r.family, AF_INET);  // the row was written before the index was refused
  EXPECT_EQ(r.port, 0);
  EXPECT_EQ(r.Get("printspx", -1), -1);
  EXPECT_EQ(r.Get("pserver", 7), 0);
  EXPECT_EQ(r.port, 0x8060);

  r = Row();
  EXPECT_EQ(r.Get("gopher", 0), -1);
  EXPECT_EQ(r.family, -7);
}

TEST(MethodTokens, ClassifiesAddressTexts) {
  EXPECT_EQ(PTS_GetTokenType("..."), PTS_TOKEN_IPV4);
  EXPECT_EQ(PTS_GetTokenType("1.2.3:4"), PTS_TOKEN_OTHER);
  EXPECT_EQ(PTS_GetTokenType("0800091A2B3C"), PTS_TOKEN_MAC);
  EXPECT_EQ(PTS_GetTokenType("0000ABCD:0800091A2B3C"), PTS_TOKEN_IPX);
  EXPECT_EQ(PTS_GetTokenType("0000ABCD0:800091A2B3C"), PTS_TOKEN_OTHER);
  EXPECT_EQ(PTS_GetTokenType("printer1"), PTS_TOKEN_HOSTNAME);
  EXPECT_EQ(PTS_GetTokenType("1printer"), PTS_TOKEN_OTHER);
}

TEST_F(Methods, FillAddrBuildsInternetAndIpxRecords) {
  sockaddr_in in;
  auto* a = reinterpret_cast<sockaddr*>(&in);
  ASSERT_EQ(PTS_FillAddr("255.255.255.255", AF_INET, 161, a), 0);
  EXPECT_EQ(in.sin_addr.s_addr, htonl(INADDR_BROADCAST));
  EXPECT_EQ(in.sin_port, htons(161));
  ASSERT_EQ(PTS_FillAddr("LocalHost", AF_INET, 1, a), 0);
  EXPECT_EQ(in.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(kqs::fakeDns.calls, 0);
  ASSERT_EQ(PTS_FillAddr("printer1", AF_INET, 9100, a), 0);
  EXPECT_EQ(in.sin_addr.s_addr, inet_addr("10.1.2.3"));
  EXPECT_EQ(PTS_FillAddr("printer1", AF_INET, 9100, a), 0);
  EXPECT_EQ(kqs::fakeDns.calls, 1) << "the second fill must come from the host cache";
  EXPECT_EQ(PTS_FillAddr("300.1.1.1", AF_INET, 0, a), -1);
  EXPECT_EQ(PTS_FillAddr("10.1.2.3", AF_INET, 65536, a), -1);

  ASSERT_EQ(PTS_FillAddr("0000ABCD:0800091a2B3C", PTS_AF_IPX, 0x0456, a), 0);
  unsigned char want[16] = {0, 0, 0, 0, 0xAB, 0xCD, 0x08, 0x00, 0x09, 0x1A, 0x2B, 0x3C, 0x04, 0x56};
  uint16_t family = PTS_AF_IPX;  // host order
  std::memcpy(want, &family, 2);
  EXPECT_EQ(std::memcmp(&in, want, 16), 0);
  EXPECT_EQ(PTS_FillAddr("0000ABCD:0800091A2B3G", PTS_AF_IPX, 0, a), -1);
}

int BoundPort(int sock) {
  sockaddr_in in = {};
  socklen_t len = sizeof in;
  if (PTS_getsockname(sock, reinterpret_cast<sockaddr*>(&in), &len) != 0) return -1;
  return ntohs(in.sin_port);
}

TEST_F(Methods, TcpListenerAcceptsAndASecondListenerOnItsPortFails) {
  int listener = PTS_SetupTCPListenSocket(0, 0);
  ASSERT_GE(listener, 0);
  int port = BoundPort(listener);
  EXPECT_EQ(PTS_SetupTCPListenSocket(port, 0), -1);
  EXPECT_EQ(PTS_getlasterror(), EADDRINUSE);
  // The caller's port is bound, not the row's own (23).
  PTS_closesocket(listener);
  int telnet = PTS_SetupListenSocket("telnet", port, 0);
  EXPECT_EQ(BoundPort(telnet), port);
  PTS_closesocket(telnet);

  listener = PTS_SetupTCPListenSocket(port, 0);
  ASSERT_GE(listener, 0);
  int client = PTS_SetupTCPConnectSocket(nullptr, port);
  ASSERT_GE(client, 0);
  int server = PTS_accept(listener, nullptr, nullptr);
  ASSERT_GE(server, 0);
  EXPECT_EQ(PTS_send(client, "ping", 4, 0), 4);
  char buf[8] = {};
  EXPECT_EQ(PTS_recv(server, buf, sizeof buf, 0), 4);
  EXPECT_STREQ(buf, "ping");
  for (int s : {server, client, listener}) PTS_closesocket(s);

  // Nobody listens any more: refused, and the reason survives the close.
  EXPECT_EQ(PTS_SetupTCPConnectSocket("127.0.0.1", port), -1);
  EXPECT_EQ(PTS_getlasterror(), ECONNREFUSED);
}

TEST_F(Methods, NonBlockingListenerUdpPairAndRowsThatCannotWork) {
  int listener = PTS_SetupTCPListenSocket(0, 1);
  ASSERT_GE(listener, 0);
  EXPECT_EQ(PTS_accept(listener, nullptr, nullptr), -1);
  EXPECT_EQ(PTS_getlasterror(), EAGAIN);
  PTS_closesocket(listener);

  int receiver = PTS_SetupUDPListenSocket(0, 0);
  int sender = PTS_SetupUDPConnectSocket(nullptr, BoundPort(receiver));
  ASSERT_GE(sender, 0);
  EXPECT_EQ(PTS_send(sender, "hello", 5, 0), 5);
  char buf[8] = {};
  sockaddr_in from = {};
  socklen_t len = sizeof from;
  EXPECT_EQ(PTS_recvfrom(receiver, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len),
            5);
  EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  PTS_closesocket(sender);
  PTS_closesocket(receiver);

  EXPECT_EQ(PTS_SetupListenSocket("ipx", 0x4000, 0), -1);
  EXPECT_EQ(PTS_SetupConnectSocket("gopher", nullptr, 70), -1);
  _PTS_cleanup();
  EXPECT_EQ(PTS_SetupTCPListenSocket(0, 0), -1);
}

}  // namespace
