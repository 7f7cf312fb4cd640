// Sends to an unconfigured printer: the real rododiz, run from the daemon's
// directory, points 192.0.0.192 at a printer in a peer network namespace;
// when it runs, with what, and which sends are refused.
#include "pts/arp.h"

#include <netdb.h>

#include <cstring>

#include "common/host/sysinfo.h"
#include "common/testing/fake_env.h"
#include "common/testing/run.h"
#include "common/testing/scratch_dir.h"
#include "gtest/gtest.h"
#include "pts/peer_netns_test.h"
#include "pts/ping.h"
#include "pts/ptscore.h"

namespace {

using kqs::probetest::Receive;
using kqs::probetest::Sh;
using Commands = std::vector<kqs::FakeEnv::Argv>;

constexpr int kPort = 40123;

int Send(int sock, const char* text, const char* ip, const unsigned char* mac) {
  sockaddr_in to = kqs::probetest::Ipv4(ip, kPort);
  return PTS_sendto_addrORmac(sock, text, static_cast<int>(std::strlen(text)), 0,
                              reinterpret_cast<sockaddr*>(&to), sizeof to, mac);
}

TEST(ArpSend, RododizPointsThePrinterAddressAtItsMacOncePerPrinter) {
  ASSERT_TRUE(kqs::EnterPrivateNetNamespace()) << "needs root for a private network namespace";
  char host[64] = "";
  addrinfo hints{}, *found = nullptr;  // the send needs this host's IPv4 address, by its name
  hints.ai_family = AF_INET;
  if (gethostname(host, sizeof host) != 0 || getaddrinfo(host, nullptr, &hints, &found) != 0) {
    GTEST_SKIP() << "this host's own name does not resolve";
  }
  freeaddrinfo(found);
  const std::string rododiz = KQS_RODODIZ_PATH;
  kqs::probetest::PeerNetns peer;
  const char* mac = "02:77:00:00:00:02";
  const unsigned char macA[6] = {0x02, 0x77, 0, 0, 0, 0x02};
  const unsigned char macB[6] = {0x08, 0x00, 0x09, 0x1A, 0x2B, 0x3D};
  const unsigned char zeroMac[6] = {};
  ASSERT_TRUE(peer.Create(4, mac));
  std::string out;
  EXPECT_EQ(1, Sh(rododiz + " " + mac, &out)) << "no route towards the printer yet";
  EXPECT_NE(std::string::npos, out.find("no route towards 192.0.0.192")) << out;
  ASSERT_EQ(0, Sh("ip route add default dev kqlocal && " +
                  peer.Inside("ip addr add 192.0.0.192/32 dev kqpeer")));

  kqs::ScratchDir dir;
  ASSERT_EQ(0, symlink(rododiz.c_str(), (dir / "rododiz").c_str()));
  std::string argv0 = dir / "kqsd";
  char* argv[] = {argv0.data(), nullptr};
  xRegisterArguments(1, argv);
  kqs::FakeEnv env;  // records, and runs the real program unless run_hook answers
  _PTS_startup();
  glbBArpRouteEnabled = 1;

  const int printer = kqs::probetest::Bind(peer.Socket(AF_INET, SOCK_DGRAM, 0), "192.0.0.192", kPort);
  const int local = kqs::probetest::Bind(socket(AF_INET, SOCK_DGRAM, 0), "127.0.0.1", kPort);
  const int sender = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_TRUE(printer >= 0 && local >= 0);
  sockaddr_in to = kqs::probetest::Ipv4("0.0.0.0", kPort);
  ASSERT_EQ(5, PTS_sendto_addrORmac(sender, "hello", 5, 0, reinterpret_cast<sockaddr*>(&to),
                                    sizeof to, macA));
  EXPECT_EQ(htonl(0xC00000C0), to.sin_addr.s_addr) << "the caller's record now says 192.0.0.192";
  EXPECT_EQ("hello", Receive(printer, 2000));
  EXPECT_EQ((Commands{{dir / "rododiz", mac}}), env.Commands());
  out.clear();
  Sh("ip neigh show 192.0.0.192", &out);
  EXPECT_NE(std::string::npos, out.find("lladdr 02:77:00:00:00:02")) << out;
  EXPECT_NE(std::string::npos, out.find("PERMANENT")) << out;

  // The same printer again: the entries are in place, nothing runs.
  env.ClearCommands();
  EXPECT_EQ(3, Send(sender, "two", "0.0.0.0", macA));
  EXPECT_EQ("two", Receive(printer, 2000));
  // Configured addresses go out as they are, MAC or not; a caller holding
  // the layer lock may send too.
  {
    CritSecGuard held(glbCS);
    EXPECT_EQ(4, Send(sender, "four", "127.0.0.1", macA));
  }
  EXPECT_EQ("four", Receive(local, 1000));
  // Refused: no MAC, an all-zero one, and any MAC with the switch off.
  EXPECT_EQ(-1, Send(sender, "x", "0.0.0.0", nullptr));
  EXPECT_EQ(-1, Send(sender, "x", "192.0.0.192", zeroMac));
  glbBArpRouteEnabled = 0;
  EXPECT_EQ(-1, Send(sender, "x", "0.0.0.0", macB));
  EXPECT_TRUE(env.Commands().empty());

  // Another printer whose program run fails: nothing goes to the old one.
  glbBArpRouteEnabled = 1;
  szLastArpIP[0] = '\0';  // the refused target above was remembered
  env.run_hook = [](const kqs::FakeEnv::Argv&) { return 3; };
  EXPECT_EQ(-1, Send(sender, "x", "0.0.0.0", macB));
  EXPECT_EQ((Commands{{dir / "rododiz", "08:00:09:1A:2B:3D"}}), env.Commands());
  EXPECT_EQ("", Receive(printer, 200));

  // The printer's kernel answers an echo sent to it by its MAC.
  env.run_hook = nullptr;
  unsigned rt = 123456;
  EXPECT_EQ(0, PTS_ping("0.0.0.0", macA, 2, 1000, &rt));
  EXPECT_LE(rt, 1000u);

  for (int s : {printer, local, sender}) close(s);
  _PTS_cleanup();
  xRegisterArguments(0, nullptr);
}

}  // namespace
