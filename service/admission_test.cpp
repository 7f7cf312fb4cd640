// Admission of connections: no address takes every place, none keeps a
// newcomer from another address out, and a connection in the middle of a
// request is never the one displaced.
#include "service/admission.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "service/connection.h"

namespace {

class Fake final : public kqs::Connection {
 public:
  using Connection::Connection;
  int Receive(void*, int, int) override { return 0; }
  int Send(const void*, int len) override { return len; }
  bool HasUnsentData() const override { return false; }
  void Abort() override { aborted = true; }
  bool aborted = false;
};

TEST(Admission, NoAddressTakesEveryPlaceAndRequestsInProgressAreNeverDisplaced) {
  std::vector<std::unique_ptr<Fake>> live;
  auto admit = [&](const std::string& peer) {
    live.push_back(std::make_unique<Fake>(peer));
    return kqs::Admit(live.back().get());
  };
  auto setBusy = [&](const std::string& peer, bool busy) {
    for (auto& c : live)
      if (c->peer() == peer) c->busy = busy;
  };
  // One address: its newest connection takes the place of its oldest idle
  // one, but not of one in a request.
  for (int i = 0; i < kqs::kMaxConnectionsPerAddress; ++i) ASSERT_TRUE(admit("10.0.0.1"));
  live[0]->busy = true;
  EXPECT_TRUE(admit("10.0.0.1"));
  EXPECT_TRUE(live[1]->aborted && !live[0]->aborted);
  setBusy("10.0.0.1", true);
  EXPECT_FALSE(admit("10.0.0.1"));

  // Every other place taken by one connection each.
  for (int i = 0; i < kqs::kMaxConnections - kqs::kMaxConnectionsPerAddress; ++i)
    ASSERT_TRUE(admit("10.1.0." + std::to_string(i)));
  EXPECT_FALSE(admit("10.2.0.1")) << "displaced a request in progress";
  // Once idle, the busiest address gives up places until it holds no more
  // than a newcomer would.
  setBusy("10.0.0.1", false);
  for (const char* newcomer : {"10.2.0.1", "10.2.0.2", "10.2.0.3"}) EXPECT_TRUE(admit(newcomer)) << newcomer;
  EXPECT_FALSE(admit("10.2.0.4"));
  int aborted = 0;
  for (auto& c : live) aborted += c->aborted;
  EXPECT_EQ(aborted, 4);
  for (auto& c : live) kqs::Release(c.get());
  live.clear();

  // An IPv6 host holds its whole /64: new addresses of it are one source.
  for (int i = 1; i <= kqs::kMaxConnectionsPerAddress + 1; ++i) ASSERT_TRUE(admit("2001:db8::" + std::to_string(i)));
  EXPECT_TRUE(live[0]->aborted);
  for (auto& c : live) kqs::Release(c.get());
}

}  // namespace
