// Tests of host name resolution: throttling after resolver failures, the
// 600-second cache and the outer start-up
// that reads its switches from the registry. A fake resolver counts calls and
// a fake clock moves time.
#include "pts/hostcache.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "common/config/registry.h"
#include "common/host/sysinfo.h"
#include "common/testing/fake_env.h"
#include "common/testing/scratch_dir.h"
#include "pts/fake_resolver.h"
#include "pts/ptscore.h"

namespace {

uint32_t Ip(const char* text) { return inet_addr(text); }

class HostLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.UseFakeClock(1'700'000'000'000);
    glbDNSerrorCnt = 0;
    glbBDNSEnabled = 1;
    ASSERT_EQ(_PTS_startup(), 0);
  }
  void TearDown() override {
    while (PTS_cleanup() == 0) {
    }
  }

  hostent* ByName(const char* name) { return PTS_gethostbyname(name, &record_, work_); }
  hostent* ByAddr(uint32_t ip) { return PTS_gethostbyaddr(&ip, 4, AF_INET, &record_, work_); }
  int Cached(const char* name, uint32_t* ip = nullptr) {
    return PTS_HostCacheRetrieval(nullptr, name, nullptr, 0, ip);
  }

  kqs::FakeEnv env_;
  kqs::ScopedEnv scoped_{&env_};
  kqs::ScopedFakeResolver resolver_;
  kqs::FakeDns& dns = kqs::fakeDns;
  hostent record_;
  char work_[PTS_RESOLVER_BUFLEN];
};

TEST_F(HostLookup, OnlyAnUnansweredLookupSuspendsLookupsAndOnlyForSixtySeconds) {
  EXPECT_EQ(ByName("nosuchhost"), nullptr);  // a definite answer
  EXPECT_EQ(ByName("nosuchhost"), nullptr);
  EXPECT_EQ(dns.calls, 2);

  dns.failRc = EAGAIN;  // the name server did not answer
  EXPECT_EQ(ByName("printer1"), nullptr);
  dns.failRc = 0;
  env_.Advance(59'999);
  EXPECT_EQ(ByName("printer1"), nullptr);
  EXPECT_EQ(ByAddr(Ip("10.1.2.3")), nullptr);
  EXPECT_EQ(dns.calls, 3) << "a suspended lookup asked the resolver";
  EXPECT_NE(ByName("127.0.0.1"), nullptr) << "the loopback address is always looked up";

  dns.failRc = EAGAIN;
  EXPECT_EQ(ByName("printer1"), nullptr);
  dns.failRc = 0;
  env_.Advance(60'000);
  ASSERT_NE(ByName("printer1"), nullptr);
  EXPECT_STREQ(record_.h_name, "printer1.lab");
  EXPECT_EQ(dns.calls, 6);
}

TEST_F(HostLookup, CacheAnswersAliasOfficialNameAndAddressForSixHundredSeconds) {
  uint32_t ip = 0;
  char name[8];
  ASSERT_EQ(PTS_HostCacheRetrieval(nullptr, "printer1", name, sizeof name, &ip), 0);
  EXPECT_EQ(ip, Ip("10.1.2.3"));
  EXPECT_STREQ(name, "printer");  // "printer1.lab" cut to the buffer

  env_.Advance(599'000);
  ip = 0;
  EXPECT_EQ(Cached("PRINTER1.LAB", &ip), 0);
  EXPECT_EQ(ip, Ip("10.1.2.3"));
  uint32_t query = Ip("10.1.2.3");
  EXPECT_EQ(PTS_HostCacheRetrieval(&query, nullptr, nullptr, 0, nullptr), 0);
  EXPECT_EQ(dns.calls, 1);
  env_.Advance(1'000);
  EXPECT_EQ(Cached("printer1"), 0);
  EXPECT_EQ(dns.calls, 2);

  // A failure is remembered just as long.
  EXPECT_EQ(Cached("ghost"), -1);
  dns.official["ghost"] = "printer1.lab";
  env_.Advance(599'999);
  EXPECT_EQ(Cached("ghost"), -1);
  env_.Advance(1);
  EXPECT_EQ(Cached("ghost"), 0);
  EXPECT_EQ(dns.calls, 4);
}

class LayerSwitches : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = dir_ / "kqsd";
    argv_[0] = program_.data();
    xRegisterArguments(1, argv_);
  }
  void TearDown() override { xRegisterArguments(0, nullptr); }

  void Store(const char* name, const char* text) {
    ASSERT_EQ(RegSetValueEx(HKEY_LOCAL_MACHINE, name, 0, REG_SZ,
                            reinterpret_cast<const unsigned char*>(text), std::strlen(text) + 1),
              0);
  }
  // Runs a first start-up with both switches preset to !want; true when it
  // set both to want.
  bool StartGives(int want) {
    glbBDNSEnabled = glbBArpRouteEnabled = !want;
    bool ok = PTS_startup() == 0 && PTS_cleanup() == 0;
    return ok && glbBDNSEnabled == want && glbBArpRouteEnabled == want;
  }

  kqs::ScratchDir dir_;
  std::string program_;
  char* argv_[2] = {nullptr, nullptr};
};

TEST_F(LayerSwitches, MissingSwitchesAreStoredAsEnableAndOffWordsInAnyCaseTurnThemOff) {
  EXPECT_TRUE(StartGives(1));
  std::string ini = kqs::ScratchDir::ReadFile(dir_ / "rerar.ini");
  EXPECT_NE(ini.find("DNSLookup=Enable"), std::string::npos) << ini;
  EXPECT_NE(ini.find("ArpRouteExecution=Enable"), std::string::npos) << ini;

  Store("DNSLookup", "oFF");
  Store("ArpRouteExecution", "FALSE");
  EXPECT_TRUE(StartGives(0));
  Store("DNSLookup", "yes");
  Store("ArpRouteExecution", "no");
  EXPECT_TRUE(StartGives(1));
}

}  // namespace
