// Tests of host name resolution (how kqsd finds a ListenAddress given by
// name): throttling after resolver failures and the 600-second cache. A fake
// resolver counts calls and a fake clock moves time.
#include "pts/hostcache.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "common/testing/fake_env.h"
#include "pts/ptscore.h"

namespace {

uint32_t Ip(const char* text) { return inet_addr(text); }

// The fake resolver: names, aliases and dotted addresses with the official
// name and address they stand for; counts calls and fails like a name server
// that does not answer when failRc is EAGAIN.
struct Host {
  std::string official;
  uint32_t ip;
};
std::map<std::string, Host> hosts;
int failRc = 0, calls = 0;

// Lays the answer out in the caller's buffer, as the C library does.
int ByName(const char* name, hostent* ret, char* buf, size_t, hostent** result, int* herr) {
  ++calls;
  *result = nullptr;
  *herr = failRc != 0 ? TRY_AGAIN : HOST_NOT_FOUND;
  const auto h = hosts.find(name);
  if (failRc != 0 || h == hosts.end()) return failRc;
  auto** list = reinterpret_cast<char**>(buf);
  char* text = buf + 2 * sizeof(char*);
  std::memcpy(text, &h->second.ip, 4);
  std::strcpy(text + 4, h->second.official.c_str());
  list[0] = text;
  list[1] = nullptr;
  *ret = {text + 4, list + 1, AF_INET, 4, list};
  *result = ret;
  return 0;
}

int ByAddr(const void* addr, socklen_t, int, hostent* ret, char* buf, size_t size, hostent** result,
           int* herr) {
  char dotted[INET_ADDRSTRLEN];
  return ByName(inet_ntop(AF_INET, addr, dotted, sizeof dotted), ret, buf, size, result, herr);
}

constexpr kqs::PtsResolver kFakeResolver = {ByName, ByAddr};

class HostLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    const Host printer{"printer1.lab", Ip("10.1.2.3")};
    hosts = {{"printer1", printer}, {"printer1.lab", printer}, {"10.1.2.3", printer},
             {"127.0.0.1", {"localhost", Ip("127.0.0.1")}}};
    calls = 0;
    env_.UseFakeClock(1'700'000'000'000);
    glbDNSerrorCnt = 0;
    glbBDNSEnabled = 1;
    ASSERT_EQ(_PTS_startup(), 0);
  }
  void TearDown() override {
    while (PTS_cleanup() == 0) {
    }
    kqs::SetPtsResolverForTesting(previous_);
  }

  hostent* ByName(const char* name) { return PTS_gethostbyname(name, &record_, work_); }
  int Cached(const char* name, uint32_t* ip = nullptr) {
    return PTS_HostCacheRetrieval(nullptr, name, nullptr, 0, ip);
  }

  kqs::FakeEnv env_;
  const kqs::PtsResolver* previous_ = kqs::SetPtsResolverForTesting(&kFakeResolver);
  hostent record_;
  char work_[PTS_RESOLVER_BUFLEN];
};

TEST_F(HostLookup, OnlyAnUnansweredLookupSuspendsLookupsAndOnlyForSixtySeconds) {
  EXPECT_EQ(ByName("nosuchhost"), nullptr);  // a definite answer
  EXPECT_EQ(ByName("nosuchhost"), nullptr);
  EXPECT_EQ(calls, 2);

  failRc = EAGAIN;
  EXPECT_EQ(ByName("printer1"), nullptr);
  failRc = 0;
  env_.Advance(59'999);
  EXPECT_EQ(ByName("printer1"), nullptr);
  const uint32_t ip = Ip("10.1.2.3");
  EXPECT_EQ(PTS_gethostbyaddr(&ip, 4, AF_INET, &record_, work_), nullptr);
  EXPECT_EQ(calls, 3) << "a suspended lookup asked the resolver";
  EXPECT_NE(ByName("127.0.0.1"), nullptr) << "the loopback address is always looked up";

  failRc = EAGAIN;
  EXPECT_EQ(ByName("printer1"), nullptr);
  failRc = 0;
  env_.Advance(60'000);
  ASSERT_NE(ByName("printer1"), nullptr);
  EXPECT_STREQ(record_.h_name, "printer1.lab");
  EXPECT_EQ(calls, 6);
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
  const uint32_t query = Ip("10.1.2.3");
  EXPECT_EQ(PTS_HostCacheRetrieval(&query, nullptr, nullptr, 0, nullptr), 0);
  EXPECT_EQ(calls, 1);
  env_.Advance(1'000);
  EXPECT_EQ(Cached("printer1"), 0);
  EXPECT_EQ(calls, 2);
}

}  // namespace
