// Sends to unconfigured printers: when the ARP program runs and with what,
// what is refused, and the real
// rododiz pointing 192.0.0.192 at a printer in a peer network namespace.
#include "pts/arp.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <array>
#include <cstring>

#include "common/host/sysinfo.h"
#include "common/testing/fake_env.h"
#include "common/testing/netns.h"
#include "common/testing/scratch_dir.h"
#include "gtest/gtest.h"
#include "pts/peer_netns_test.h"
#include "pts/ping.h"
#include "pts/ptscore.h"

namespace {

using kqs::probetest::PeerNetns;
using kqs::probetest::Receive;
using kqs::probetest::RunCommand;

constexpr unsigned char kMacA[6] = {0x08, 0x00, 0x09, 0x1A, 0x2B, 0x3C};
constexpr unsigned char kMacB[6] = {0x08, 0x00, 0x09, 0x1A, 0x2B, 0x3D};
constexpr unsigned char kZeroMac[6] = {};
constexpr int kPort = 40123;

sockaddr_in Addr(const char* ip) { return kqs::probetest::Ipv4(ip, kPort); }

int Send(int sock, const char* text, const char* ip, const unsigned char* mac) {
  sockaddr_in to = Addr(ip);  // fresh each time: a 0.0.0.0 record is rewritten
  return PTS_sendto_addrORmac(sock, text, static_cast<int>(std::strlen(text)), 0,
                              reinterpret_cast<sockaddr*>(&to), sizeof to, mac);
}

void ForgetArpState() {
  szLastArpIP[0] = '\0';
  std::memset(abLastArpMac, 0, sizeof abLastArpMac);
  bNeedLocalAddr = 1;
  szLocalIP[0] = '\0';
}

// The send needs the host's own address, found through its name.
bool OwnNameResolves() {
  char name[64] = "";
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (gethostname(name, sizeof name) != 0 || getaddrinfo(name, nullptr, &hints, &found) != 0) {
    return false;
  }
  freeaddrinfo(found);
  return true;
}

// The daemon's directory is a scratch directory holding a stand-in "rododiz"
// (the fake Env answers for it), and 192.0.0.192 is an address of this
// private namespace, so a datagram "to the printer" can be received here.
class ArpSendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kqs::EnterPrivateNetNamespace()) << "needs root for a private network namespace";
    ASSERT_EQ(0, RunCommand({kqs::probetest::IpProgram(), "addr", "add", "192.0.0.192/32", "dev",
                             "lo"}));
    _PTS_startup();
    glbBArpRouteEnabled = 1;
    ForgetArpState();
    if (!OwnNameResolves()) GTEST_SKIP() << "this host's own name does not resolve";

    program_ = dir_ / "rododiz";
    ASSERT_TRUE(kqs::ScratchDir::WriteFile(program_, "#!/bin/sh\n"));
    argv0_ = dir_ / "kqsd";
    argv_ = {argv0_.data(), nullptr};
    xRegisterArguments(1, argv_.data());
    env_.run_hook = [this](const kqs::FakeEnv::Argv&) { return exit_status_; };

    printer_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at = Addr("192.0.0.192");
    ASSERT_EQ(0, bind(printer_, reinterpret_cast<sockaddr*>(&at), sizeof at));
    sender_ = socket(AF_INET, SOCK_DGRAM, 0);
  }

  void TearDown() override {
    xRegisterArguments(0, nullptr);
    _PTS_cleanup();
    if (printer_ >= 0) close(printer_);
    if (sender_ >= 0) close(sender_);
  }

  kqs::FakeEnv::Argv ArpRun(const char* arpText) { return {program_, arpText}; }

  kqs::ScratchDir dir_;
  std::string program_, argv0_;
  std::array<char*, 2> argv_{};
  kqs::FakeEnv env_;
  kqs::ScopedEnv scoped_{&env_};
  int exit_status_ = 0;
  int printer_ = -1, sender_ = -1;
};

TEST_F(ArpSendTest, RunsArpProgramOncePerPrinterAndSendsTo192_0_0_192) {
  sockaddr_in to = Addr("0.0.0.0");
  ASSERT_EQ(3, PTS_sendto_addrORmac(sender_, "one", 3, 0, reinterpret_cast<sockaddr*>(&to),
                                    sizeof to, kMacA));
  EXPECT_EQ(htonl(0xC00000C0), to.sin_addr.s_addr) << "the caller's record now says 192.0.0.192";
  EXPECT_EQ("one", Receive(printer_, 1000));
  ASSERT_EQ(std::vector<kqs::FakeEnv::Argv>{ArpRun("08:00:09:1A:2B:3C")}, env_.Commands());

  env_.ClearCommands();
  EXPECT_EQ(3, Send(sender_, "two", "0.0.0.0", kMacA));
  EXPECT_EQ("two", Receive(printer_, 1000));
  EXPECT_TRUE(env_.Commands().empty()) << "same printer: entries already in place";

  EXPECT_EQ(5, Send(sender_, "three", "0.0.0.0", kMacB));
  EXPECT_EQ("three", Receive(printer_, 1000));
  EXPECT_EQ(std::vector<kqs::FakeEnv::Argv>{ArpRun("08:00:09:1A:2B:3D")}, env_.Commands());

  // Configured addresses go out as they are, MAC or not; a caller holding
  // the layer lock may send too.
  env_.ClearCommands();
  const int local = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at = Addr("127.0.0.1");
  ASSERT_EQ(0, bind(local, reinterpret_cast<sockaddr*>(&at), sizeof at));
  {
    CritSecGuard held(glbCS);
    EXPECT_EQ(4, Send(sender_, "four", "127.0.0.1", kMacA));
  }
  EXPECT_EQ("four", Receive(local, 1000));
  EXPECT_TRUE(env_.Commands().empty());
  close(local);
}

TEST_F(ArpSendTest, RefusedSendsLeaveNothingOnTheWire) {
  // Without a MAC, with the switch off, or when the program fails.
  EXPECT_EQ(-1, Send(sender_, "x", "0.0.0.0", nullptr));
  EXPECT_EQ(-1, Send(sender_, "x", "192.0.0.192", kZeroMac));
  glbBArpRouteEnabled = 0;
  EXPECT_EQ(-1, Send(sender_, "x", "0.0.0.0", kMacA));
  EXPECT_TRUE(env_.Commands().empty()) << "nothing is run without a MAC or with the switch off";
  glbBArpRouteEnabled = 1;
  exit_status_ = 3;
  EXPECT_EQ(-1, Send(sender_, "x", "0.0.0.0", kMacB));
  EXPECT_EQ(1u, env_.Commands().size());
  EXPECT_EQ("", Receive(printer_, 200));
}

// The real rododiz, run from the daemon's directory, binds 192.0.0.192 to the
// printer's MAC on the interface towards it; the printer is a peer namespace
// that owns 192.0.0.192 and that MAC.
TEST(RododizTest, PointsPrinterAddressAtMacThroughVeth) {
  ASSERT_TRUE(kqs::EnterPrivateNetNamespace()) << "needs root for a private network namespace";
  if (!OwnNameResolves()) GTEST_SKIP() << "this host's own name does not resolve";
  const std::string rododiz = KQS_RODODIZ_PATH;
  PeerNetns peer;
  const char* mac = "02:77:00:00:00:02";
  ASSERT_TRUE(peer.Create(4, mac));
  std::string out;
  EXPECT_EQ(1, RunCommand({rododiz, mac}, &out)) << "no route towards the printer yet";
  EXPECT_NE(std::string::npos, out.find("no route towards 192.0.0.192")) << out;
  ASSERT_TRUE(peer.Ip({"route", "add", "default", "dev", peer.LocalIf()}));
  ASSERT_TRUE(peer.Ip({"-n", peer.name(), "addr", "add", "192.0.0.192/32", "dev", "kqpeer"}));

  kqs::ScratchDir dir;
  ASSERT_EQ(0, symlink(rododiz.c_str(), (dir / "rododiz").c_str()));
  std::string argv0 = dir / "kqsd";
  char* argv[] = {argv0.data(), nullptr};
  xRegisterArguments(1, argv);
  kqs::FakeEnv env;  // records, and runs the real program
  kqs::ScopedEnv scoped(&env);
  _PTS_startup();
  glbBArpRouteEnabled = 1;
  ForgetArpState();

  const int printer = peer.Socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at = Addr("192.0.0.192");
  ASSERT_EQ(0, bind(printer, reinterpret_cast<sockaddr*>(&at), sizeof at));
  const int sender = socket(AF_INET, SOCK_DGRAM, 0);
  const unsigned char bytes[6] = {0x02, 0x77, 0, 0, 0, 0x02};
  EXPECT_EQ(5, Send(sender, "hello", "0.0.0.0", bytes));
  EXPECT_EQ("hello", Receive(printer, 2000));
  EXPECT_EQ((std::vector<kqs::FakeEnv::Argv>{{dir / "rododiz", mac}}), env.Commands());
  out.clear();
  RunCommand({kqs::probetest::IpProgram(), "neigh", "show", "192.0.0.192"}, &out);
  EXPECT_NE(std::string::npos, out.find("lladdr 02:77:00:00:00:02")) << out;
  EXPECT_NE(std::string::npos, out.find("PERMANENT")) << out;

  // The printer's kernel answers an echo sent to it by its MAC.
  unsigned rt = 123456;
  EXPECT_EQ(0, PTS_ping("0.0.0.0", bytes, 2, 1000, &rt));
  EXPECT_LE(rt, 1000u);

  close(printer);
  close(sender);
  _PTS_cleanup();
  xRegisterArguments(0, nullptr);
}

}  // namespace
