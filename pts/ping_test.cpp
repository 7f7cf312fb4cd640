// Reachability probes against a real peer: a network namespace whose kernel
// answers (or ignores) ICMP echo and where a real SNMP agent answers, its
// request decoded by a dissector.
#include "pts/ping.h"

#include <grp.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "common/testing/run.h"
#include "common/testing/scratch_dir.h"
#include "gtest/gtest.h"
#include "pts/peer_netns_test.h"
#include "pts/ptscore.h"

namespace {

using kqs::ScratchDir;
using kqs::probetest::Sh;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

int64_t MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Bytes Receive(int sock, int ms) { return kqs::probetest::Receive<Bytes>(sock, ms); }

// The echo requests a raw socket in the peer has received, IP header removed.
std::vector<Bytes> EchoRequestsSeen(int rawSock) {
  std::vector<Bytes> seen;
  for (Bytes b; !(b = Receive(rawSock, 50)).empty();) {
    const size_t ihl = (b[0] & 0x0F) * 4u;
    if (b.size() > ihl && b[ihl] == 8) seen.emplace_back(b.begin() + ihl, b.end());
  }
  return seen;
}

// One peer: its kernel answers echo requests until told to ignore them, and
// a real SNMP agent answers a process that may not open raw sockets.
TEST(ProbeTest, PeerAnswersEchoThenSnmpAndIsTriedOnSilence) {
  ASSERT_TRUE(kqs::EnterPrivateNetNamespace()) << "needs root for a private network namespace";
  _PTS_startup();
  ScratchDir dir;  // outlives the agent that logs into it
  kqs::probetest::PeerNetns peer;
  ASSERT_TRUE(peer.Create(1));
  const int raw = peer.Socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  ASSERT_GE(raw, 0);
  const std::string addr = peer.PeerAddr();

  unsigned rt = 123456;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(0, PTS_ping(addr.c_str(), nullptr, 1, 2000, &rt)) << "the peer kernel checks the checksum";
    EXPECT_LE(rt, 2000u);
  }
  EXPECT_EQ(2u, EchoRequestsSeen(raw).size());

  // Silenced, the peer gets every try and the probe waits out each timeout;
  // an echo reply from another host meanwhile is not the peer's.
  ASSERT_EQ(0, Sh(peer.Inside("sysctl -qw net.ipv4.icmp_echo_ignore_all=1")));
  rt = 123456;
  std::thread stranger([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const uint8_t echo[8] = {8, 0, 0xF7, 0xFF};  // an echo request with its checksum
    const sockaddr_in loopback{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    const int s = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    sendto(s, echo, sizeof echo, 0, reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback);
    close(s);
  });
  auto start = Clock::now();
  EXPECT_EQ(-1, PTS_ping(addr.c_str(), nullptr, 3, 400, &rt));
  stranger.join();
  EXPECT_GE(MillisSince(start), 1150);
  EXPECT_LT(MillisSince(start), 4000);
  EXPECT_EQ(123456u, rt) << "no response time without an answer";
  EXPECT_EQ(3u, EchoRequestsSeen(raw).size());
  close(raw);

  if (access("/usr/sbin/snmpd", X_OK) != 0) GTEST_SKIP() << "snmpd is not installed";
  ASSERT_TRUE(ScratchDir::WriteFile(dir / "snmpd.conf", "rocommunity public\nagentaddress udp:161\n"));
  ASSERT_EQ(0, Sh(peer.Inside("snmpd -f -Lo -C -c " + dir / "snmpd.conf" + " >" + dir / "log 2>&1 &")));
  std::string udp;  // ready once the peer's UDP table shows port 161 (00A1)
  for (int i = 0; i < 100 && udp.find(":00A1 ") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    udp.clear();
    Sh(peer.Inside("cat /proc/net/udp"), &udp);
  }
  ASSERT_NE(std::string::npos, udp.find(":00A1 ")) << ScratchDir::ReadFile(dir / "log");

  // ICMP is not to be had without privilege: lp's probe falls back to SNMP.
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(7) != 0 || setuid(7) != 0) _exit(10);
    if (socket(AF_INET, SOCK_RAW, IPPROTO_ICMP) >= 0) _exit(11);
    _exit(PTS_ping(addr.c_str(), nullptr, 3, 1000, nullptr) == 0 ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(0, status) << "exit 10: cannot become lp, 11: lp may open raw sockets";

  if (access("/usr/bin/dumpcap", X_OK) != 0 || access("/usr/bin/tshark", X_OK) != 0) {
    GTEST_SKIP() << "dumpcap/tshark are not installed: request not dissected";
  }
  // Requests go out until the capture, which stops at its first packet, has
  // ended: one sent before it listened is simply not seen.
  FILE* capture = popen(("exec dumpcap -q -i kqlocal -f 'udp dst port 161' -c 1 -a duration:20 -w " +
                         dir / "snmp.pcapng" + " 2>&1").c_str(), "r");
  ASSERT_NE(nullptr, capture);
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  bool ended = false;
  for (int i = 0; i < 50 && !ended; ++i) {
    EXPECT_EQ(0, _PTS_snmpping(sock, "public", addr.c_str(), nullptr, 3, 1000, &rt));
    EXPECT_LE(rt, 1000u);
    char out[256];
    pollfd p{fileno(capture), POLLIN, 0};
    while (!ended && poll(&p, 1, 100) == 1) ended = read(p.fd, out, sizeof out) <= 0;
  }
  close(sock);
  pclose(capture);
  std::string decoded;
  ASSERT_EQ(0, Sh("tshark -r " + dir / "snmp.pcapng" + " -V", &decoded));
  EXPECT_NE(std::string::npos, decoded.find("get-next-request")) << decoded;
  EXPECT_NE(std::string::npos, decoded.find("community: public")) << decoded;
  EXPECT_EQ(std::string::npos, decoded.find("Malformed")) << decoded;
}

}  // namespace
