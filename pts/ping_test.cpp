// Reachability probes against real peers: the kernel of a peer network
// namespace answering (or ignoring) ICMP echo, a scripted UDP device on
// loopback, and a real SNMP agent whose request a dissector decodes.
#include "pts/ping.h"

#include <arpa/inet.h>
#include <grp.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "common/host/sysinfo.h"
#include "common/testing/netns.h"
#include "common/testing/scratch_dir.h"
#include "gtest/gtest.h"
#include "pts/peer_netns_test.h"
#include "pts/ptscore.h"

namespace {

using kqs::ScratchDir;
using kqs::probetest::PeerNetns;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

int64_t MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int UdpSocket(const char* ip, int port) {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in a = kqs::probetest::Ipv4(ip, port);
  return bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? s : -1;
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

Bytes GetNextRequest(const std::string& community) {
  Bytes b = {0x30, static_cast<uint8_t>(25 + community.size()), 2, 1, 0, 4,
             static_cast<uint8_t>(community.size())};
  for (char c : community) b.push_back(static_cast<uint8_t>(c));
  for (int x : {0xA1, 0x12, 2, 1, 0, 2, 1, 0, 2, 1, 0, 0x30, 7, 0x30, 5, 6, 1, 1, 5, 0}) {
    b.push_back(static_cast<uint8_t>(x));
  }
  return b;
}

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kqs::EnterPrivateNetNamespace()) << "needs root for a private network namespace";
    _PTS_startup();
  }
  void TearDown() override { _PTS_cleanup(); }
};

TEST(InternetChksumTest, MatchesKnownVectorsAndVerifiesToZero) {
  const uint8_t echo[] = {0x08, 0x00}, odd[] = {0x01};
  uint16_t sum = InternetChksum(echo, 2);
  EXPECT_EQ(0, std::memcmp(&sum, "\xF7\xFF", 2));
  sum = InternetChksum(odd, 1);
  EXPECT_EQ(0, std::memcmp(&sum, "\xFE\xFF", 2));
  // A message carrying its own checksum sums to zero, as the receiver checks.
  uint8_t msg[11] = {8, 0, 0, 0, 0x12, 0x34, 0xFF, 0xFE, 0x80, 0x01, 0x7F};
  sum = InternetChksum(msg, sizeof msg);
  std::memcpy(msg + 2, &sum, 2);
  EXPECT_EQ(0, InternetChksum(msg, sizeof msg));
}

TEST_F(ProbeTest, IcmpEchoAnsweredByPeerKernelAndTriedOnSilence) {
  PeerNetns peer;
  ASSERT_TRUE(peer.Create(1));
  const int raw = peer.Socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  ASSERT_GE(raw, 0);
  const std::string addr = peer.PeerAddr();

  nPTSProbeCount = 0;
  const uint32_t before = xGetTickCount();
  unsigned rt = 123456;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(0, PTS_ping(addr.c_str(), nullptr, 1, 2000, &rt));
    EXPECT_LE(rt, 2000u);
  }
  const std::vector<Bytes> seen = EchoRequestsSeen(raw);
  ASSERT_EQ(2u, seen.size());
  for (uint8_t n = 1; n <= 2; ++n) {
    const Bytes& m = seen[n - 1];
    ASSERT_EQ(12u, m.size());
    EXPECT_EQ(0, m[1]);
    EXPECT_EQ(0, InternetChksum(m.data(), 12)) << "checksum of request " << int{n};
    EXPECT_EQ((Bytes{0, n, 0, n}), Bytes(m.begin() + 4, m.begin() + 8)) << "id and sequence";
    uint32_t stamp;
    std::memcpy(&stamp, m.data() + 8, 4);
    EXPECT_LE(stamp - before, 10000u) << "tick count in host order";
  }

  // Silenced, the peer gets every try and the probe waits out each timeout.
  ASSERT_TRUE(peer.Ip({"netns", "exec", peer.name(), "/usr/sbin/sysctl", "-qw",
                       "net.ipv4.icmp_echo_ignore_all=1"}));
  rt = 123456;
  auto start = Clock::now();
  EXPECT_EQ(-1, PTS_ping(addr.c_str(), nullptr, 3, 400, &rt));
  EXPECT_GE(MillisSince(start), 1150);
  EXPECT_LT(MillisSince(start), 4000);
  EXPECT_EQ(123456u, rt) << "no response time without an answer";
  EXPECT_EQ(3u, EchoRequestsSeen(raw).size());
  close(raw);
}

TEST_F(ProbeTest, SnmpProbeIgnoresStaleAndForeignDatagrams) {
  const int device = UdpSocket("127.0.0.1", 161), stranger = UdpSocket("127.0.0.2", 161);
  const int probe = UdpSocket("127.0.0.1", 0);
  ASSERT_TRUE(device >= 0 && stranger >= 0 && probe >= 0);
  sockaddr_in to{};
  socklen_t len = sizeof to;
  getsockname(probe, reinterpret_cast<sockaddr*>(&to), &len);
  auto send_from = [&](int sock, const char* text) {
    sendto(sock, text, std::strlen(text), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  };

  send_from(device, "stale");  // an old answer waits before the probe starts
  std::vector<Bytes> requests;
  std::thread device_side([&] {
    requests.push_back(Receive(device, 3000));  // first try: no answer
    requests.push_back(Receive(device, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    send_from(stranger, "not the device");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    send_from(device, "answer");
  });
  unsigned rt = 0;
  EXPECT_EQ(0, _PTS_snmpping(probe, "public", "127.0.0.1", nullptr, 2, 700, &rt));
  device_side.join();
  EXPECT_GE(rt, 350u) << "measured from the second send, across the foreign datagram";
  EXPECT_LT(rt, 700u);
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ(33u, requests[0].size());
  EXPECT_EQ(GetNextRequest("public"), requests[0]);
  EXPECT_EQ(GetNextRequest("public"), requests[1]);
  for (int s : {device, stranger, probe}) close(s);
}

// A real SNMP agent in the peer. The request on the wire is decoded by a
// protocol dissector; the fallback from ICMP runs in a process without the
// privilege for raw sockets.
TEST_F(ProbeTest, SnmpAgentAnswersGetNextRequest) {
  if (access("/usr/sbin/snmpd", X_OK) != 0) GTEST_SKIP() << "snmpd is not installed";
  ScratchDir dir;
  PeerNetns peer;
  ASSERT_TRUE(peer.Create(3));
  ASSERT_TRUE(ScratchDir::WriteFile(dir / "snmpd.conf", "rocommunity public\nagentaddress udp:161\n"));
  const pid_t agent = peer.Spawn({"/usr/sbin/snmpd", "-f", "-Lo", "-C", "-c", dir / "snmpd.conf",
                                  "-p", dir / "snmpd.pid"},
                                 dir / "snmpd.log");
  ASSERT_GT(agent, 0);
  // Ready once its namespace's UDP table shows port 161 (00A1).
  const std::string udpTable = "/proc/" + std::to_string(agent) + "/net/udp";
  for (int i = 0; i < 100 && ScratchDir::ReadFile(udpTable).find(":00A1 ") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_NE(std::string::npos, ScratchDir::ReadFile(udpTable).find(":00A1 "))
      << ScratchDir::ReadFile(dir / "snmpd.log");

  const bool dissect = access("/usr/bin/dumpcap", X_OK) == 0 && access("/usr/bin/tshark", X_OK) == 0;
  pid_t capture = -1;
  if (dissect) {
    capture = kqs::probetest::SpawnLogged(
        {"/usr/bin/dumpcap", "-q", "-i", peer.LocalIf(), "-f", "udp dst port 161", "-c", "1", "-a",
         "duration:20", "-w", dir / "snmp.pcapng"},
        dir / "dumpcap.log");
    for (int i = 0; i < 100 && ScratchDir::ReadFile(dir / "dumpcap.log").find("Capturing on") ==
                                   std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  unsigned rt = 123456;
  EXPECT_EQ(0, _PTS_snmpping(sock, "public", peer.PeerAddr().c_str(), nullptr, 3, 1000, &rt));
  EXPECT_LE(rt, 1000u);
  close(sock);

  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(7) != 0 || setuid(7) != 0) _exit(10);
    if (socket(AF_INET, SOCK_RAW, IPPROTO_ICMP) >= 0) _exit(11);
    _exit(PTS_ping(peer.PeerAddr().c_str(), nullptr, 3, 1000, nullptr) == 0 ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(0, status) << "exit 10: cannot become lp, 11: lp may open raw sockets";

  if (!dissect) GTEST_SKIP() << "dumpcap/tshark are not installed: request not dissected";
  waitpid(capture, nullptr, 0);
  std::string decoded;
  ASSERT_EQ(0, kqs::probetest::RunCommand({"/usr/bin/tshark", "-r", dir / "snmp.pcapng", "-V"},
                                          &decoded));
  EXPECT_NE(std::string::npos, decoded.find("get-next-request")) << decoded;
  EXPECT_NE(std::string::npos, decoded.find("community: public")) << decoded;
  EXPECT_EQ(std::string::npos, decoded.find("Malformed")) << decoded;
}

}  // namespace
