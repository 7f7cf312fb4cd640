// Tests of the socket core: the refusal to work outside start-up and the
// descriptor-set layout.
#include "pts/ptscore.h"

#include <cstring>
#include <tuple>

#include <gtest/gtest.h>

namespace {

TEST(SocketCore, NothingWorksBeforeStartOrAfterTheLastCleanup) {
  while (_PTS_cleanup() == 0) {
  }
  EXPECT_EQ(PTS_socket(AF_INET, SOCK_STREAM, 0), -1);
  EXPECT_EQ(PTS_getlasterror(), -1);
  EXPECT_EQ(_PTS_startup(), 0);
  const int sock = PTS_socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_GE(sock, 0);
  EXPECT_EQ(PTS_closesocket(sock), 0);
  EXPECT_EQ(_PTS_cleanup(), 0);
  EXPECT_EQ(glbCS, nullptr);
  EXPECT_EQ(_PTS_cleanup(), -1);
}

// Bits follow 32-bit words, as the C library lays them out; descriptors
// outside the set are ignored, not written past it.
TEST(SocketCore, SetBitsMatchTheCLibraryAndStayInsideTheSet) {
  fd_set sets[3];
  std::memset(sets, 0xFF, sizeof sets);
  fd_set& set = sets[1];
  PTS_FD_ZERO(&set);
  for (int fd : {31, 33, 1023}) PTS_FD_SET(fd, &set);
  EXPECT_EQ(std::tuple(0x80000000u, 2u), std::tuple(PTS_FD_ISSET(31, &set), PTS_FD_ISSET(33, &set)));
  for (int fd : {31, 33, 1023}) EXPECT_TRUE(FD_ISSET(fd, &set)) << fd;
  EXPECT_FALSE(FD_ISSET(32, &set));
  PTS_FD_CLR(33, &set);
  EXPECT_EQ(PTS_FD_ISSET(33, &set), 0u);
  PTS_FD_ZERO(&set);
  PTS_FD_SET(1024, &set);
  PTS_FD_SET(-1, &set);
  EXPECT_EQ(PTS_FD_ISSET(1024, &set), 0u);
  const auto* bytes = reinterpret_cast<const unsigned char*>(sets);
  for (size_t i = 0; i < sizeof sets; ++i)
    ASSERT_EQ(bytes[i], i < sizeof set || i >= 2 * sizeof set ? 0xFF : 0) << i;
}

}  // namespace
