// The listen and connect set-ups on real loopback sockets.
#include "pts/methods.h"

#include <arpa/inet.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "pts/ptscore.h"

namespace {

int BoundPort(int sock) {
  sockaddr_in in = {};
  socklen_t len = sizeof in;
  if (PTS_getsockname(sock, reinterpret_cast<sockaddr*>(&in), &len) != 0) return -1;
  return ntohs(in.sin_port);
}

TEST(Methods, TcpListenerAcceptsAndASecondListenerOnItsPortFails) {
  ASSERT_EQ(_PTS_startup(), 0);
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
  _PTS_cleanup();
}

}  // namespace
