// Discovery responder, in process: the reply line, no answer once shutdown
// has begun, and a taken port. Each test runs in a private network namespace
// because it binds port 55554.
#include "service/discovery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/host/eventlog.h"
#include "common/host/servicefw.h"
#include "common/testing/netns.h"
#include "common/util/strbuf.h"
#include "pts/ptscore.h"
#include "service/lifecycle.h"

namespace {

std::mutex g_mu;
std::vector<unsigned> g_events;
void Observe(unsigned short, unsigned id, unsigned short, const char*) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_events.push_back(id);
}
std::vector<unsigned> Events() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_events;
}

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Waits up to ms for one datagram on s; "" when none came.
std::string Receive(int s, int ms) {
  pollfd p{s, POLLIN, 0};
  if (poll(&p, 1, ms) != 1) return "";
  char buf[2048];
  ssize_t n = recv(s, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, n) : std::string();
}

// Sends payload to the discovery port until an answer comes (the thread opens
// its socket asynchronously), at most about 5 s.
std::string Ask(int s, const std::string& payload) {
  sockaddr_in to = Loopback(kqs::kServicePort);
  for (int attempt = 0; attempt < 50; ++attempt) {
    sendto(s, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::string reply = Receive(s, 100);
    if (!reply.empty()) return reply;
  }
  return "";
}

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kqs::EnterPrivateNetNamespace());
    ASSERT_EQ(_PTS_startup(), 0);
    bShutdown = 0;
    g_events.clear();
    previous_ = EventLogSetObserverForTesting(Observe);
    client_ = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(client_, 0);
  }
  void TearDown() override {
    EventLogSetObserverForTesting(previous_);
    if (client_ >= 0) close(client_);
    bShutdown = 0;
    _PTS_cleanup();
  }
  EventLogObserver previous_ = nullptr;
  int client_ = -1;
};

TEST_F(DiscoveryTest, AnswersEveryDatagramWithTheServerLineAndStopsAnsweringAtShutdown) {
  RelStrCpyIntoBufA(tInstalldir, "/opt/kqs/bin/", sizeof tInstalldir);
  JThread thread = 0;
  ASSERT_EQ(JThreadCreate(&thread, DiscoveryThread, nullptr), 0);

  // The line itself is checked end to end; here: every datagram is answered,
  // whatever it holds.
  const std::string reply = Ask(client_, "?");
  EXPECT_TRUE(reply.starts_with("Platform=PRINTSERVER_UNIX;Uname=")) << reply;
  EXPECT_TRUE(reply.ends_with(";Install=/opt/kqs/bin/")) << reply;
  EXPECT_EQ(Ask(client_, std::string("\0\xff\x01", 3)), reply);
  while (!Receive(client_, 100).empty()) {
  }  // late answers to retried datagrams

  ServiceSetShutdown();
  sockaddr_in to = Loopback(kqs::kServicePort);
  sendto(client_, "*", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  void* status = nullptr;
  ASSERT_EQ(TimeoutJoin(&status, thread, 4000), 0) << "the thread did not end at shutdown";
  EXPECT_EQ(Receive(client_, 200), "") << "answered after shutdown";
  EXPECT_EQ(UDPSocket, -1);
  auto events = Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), 10u);
  // Every answer was logged as event 8, and nothing was logged for the last
  // datagram (the count of 8s depends on retries before the socket opened).
  size_t eights = 0;
  for (unsigned id : events) eights += id == 8;
  EXPECT_EQ(eights + 1, events.size());
  EXPECT_GE(eights, 2u);
}

TEST_F(DiscoveryTest, TakenPortEndsTheThreadWithEvent101) {
  sockaddr_in any = Loopback(kqs::kServicePort);
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(client_, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  JThread thread = 0;
  ASSERT_EQ(JThreadCreate(&thread, DiscoveryThread, nullptr), 0);
  void* status = nullptr;
  ASSERT_EQ(TimeoutJoin(&status, thread, 4000), 0);
  EXPECT_EQ(Events(), std::vector<unsigned>{101});
  EXPECT_EQ(UDPSocket, -1);
}

}  // namespace
