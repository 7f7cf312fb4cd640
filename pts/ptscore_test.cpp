// Tests of the socket core: start-up counting, the refusal to work before
// start-up, the whole-buffer send, the exceptional-condition refusal and the
// descriptor-set layout.
#include "pts/ptscore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "pts/methods.h"

namespace {

void StopLayer() {
  while (_PTS_cleanup() == 0) {
  }
}

TEST(SocketCore, NothingWorksBeforeStartAndTheLastCleanupEndsTheLayer) {
  StopLayer();
  EXPECT_EQ(PTS_socket(AF_INET, SOCK_STREAM, 0), -1);
  EXPECT_EQ(PTS_getlasterror(), -1);

  EXPECT_EQ(_PTS_startup(), 0);
  EXPECT_EQ(_PTS_startup(), 0);
  EXPECT_EQ(_PTS_cleanup(), 0);
  int sock = PTS_socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_GE(sock, 0) << "one cleanup after two starts must leave the layer started";
  EXPECT_EQ(PTS_closesocket(sock), 0);
  EXPECT_EQ(_PTS_cleanup(), 0);
  EXPECT_EQ(glbCS, nullptr);
  EXPECT_EQ(_PTS_cleanup(), -1);
}

TEST(SocketCore, SendGivesUpWithTheCountThatWentOutAndRefusesNothingToSend) {
  ASSERT_EQ(_PTS_startup(), 0);
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ASSERT_EQ(fcntl(sv[0], F_SETFL, O_NONBLOCK), 0);
  std::vector<char> big(4 << 20, 'a');
  EXPECT_EQ(PTS_send(sv[0], big.data(), 0, 0), -1);
  int sent = PTS_send(sv[0], big.data(), static_cast<int>(big.size()), 0);
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, static_cast<int>(big.size()));
  EXPECT_EQ(PTS_send(sv[0], big.data(), 100, 0), -1) << "nothing fits any more";
  EXPECT_EQ(PTS_getlasterror(), EAGAIN);

  char got[4];
  EXPECT_EQ(PTS_recv(sv[1], got, -1, 0), -1);
  close(sv[0]);
  close(sv[1]);
  StopLayer();
}

TEST(SocketCore, PendingOutOfBandDataRefusesSendAndRecv) {
  ASSERT_EQ(_PTS_startup(), 0);
  int listener = PTS_SetupTCPListenSocket(0, 0);
  sockaddr_in addr = {};
  socklen_t len = sizeof addr;
  ASSERT_EQ(PTS_getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  int client = PTS_SetupTCPConnectSocket(nullptr, ntohs(addr.sin_port));
  int server = PTS_accept(listener, nullptr, nullptr);
  ASSERT_GE(server, 0);
  ASSERT_EQ(send(client, "!", 1, MSG_OOB), 1);
  fd_set except;
  PTS_FD_ZERO(&except);
  PTS_FD_SET(server, &except);
  struct timeval wait = {5, 0};
  ASSERT_EQ(PTS_select(server + 1, nullptr, nullptr, &except, &wait), 1);

  char buf[4];
  EXPECT_EQ(PTS_recv(server, buf, sizeof buf, 0), -1);
  EXPECT_EQ(PTS_send(server, "reply", 5, 0), -1);
  EXPECT_EQ(recv(client, buf, sizeof buf, MSG_DONTWAIT), -1) << "the refused send sent";
  for (int s : {client, server, listener}) PTS_closesocket(s);
  StopLayer();
}

TEST(SocketCore, SetBitsFollowThirtyTwoBitWordsAndMatchTheCLibrary) {
  fd_set sets[3];
  std::memset(sets, 0xFF, sizeof sets);
  fd_set& set = sets[1];
  PTS_FD_ZERO(&set);
  for (int fd : {31, 33, 1023}) PTS_FD_SET(fd, &set);
  EXPECT_EQ(PTS_FD_ISSET(33, &set), 2u);
  EXPECT_EQ(PTS_FD_ISSET(31, &set), 0x80000000u);
  for (int fd : {31, 33, 1023}) EXPECT_TRUE(FD_ISSET(fd, &set)) << fd;
  EXPECT_FALSE(FD_ISSET(32, &set));
  PTS_FD_CLR(33, &set);
  EXPECT_EQ(PTS_FD_ISSET(33, &set), 0u);

  // Descriptors outside the set are ignored, not written past it.
  PTS_FD_ZERO(&set);
  PTS_FD_SET(1024, &set);
  PTS_FD_SET(-1, &set);
  EXPECT_EQ(PTS_FD_ISSET(1024, &set), 0u);
  const auto* bytes = reinterpret_cast<const unsigned char*>(sets);
  for (size_t i = 0; i < sizeof sets; ++i)
    ASSERT_EQ(bytes[i], i < sizeof set || i >= 2 * sizeof set ? 0xFF : 0) << i;
}

}  // namespace
