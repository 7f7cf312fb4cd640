// Tests of the thread layer: exit statuses, critical-section ownership and
// the timed join (which bounds the daemon's shutdown) after a timeout.
#include "jthread/jthread.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace {

using Clock = std::chrono::steady_clock;

long MillisSince(Clock::time_point start) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

int ThreadsInProcess() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

void* AsStatus(uintptr_t n) { return reinterpret_cast<void*>(n); }

TEST(JThreadTest, JoinsDeliverTheExitStatusAndATimedOutJoinLeavesTheCallerAlone) {
  JThread t;
  void* status = nullptr;
  ASSERT_EQ(0, JThreadCreate(&t, [](void* arg) { return arg; }, AsStatus(41)));
  ASSERT_EQ(0, JThreadJoin(&status, t));
  EXPECT_EQ(AsStatus(41), status);
  ASSERT_EQ(0, JThreadCreateEx(&t, [](void* arg) -> void* { JThreadExit(arg); }, AsStatus(42)));
  JThreadDelay(20);  // already ended when the timed join starts
  EXPECT_EQ(0, TimeoutJoin(&status, t, 4000));
  EXPECT_EQ(AsStatus(42), status);

  JThreadSemHandle release;
  ASSERT_EQ(0, JThreadSemCreate(&release, 0));
  const int baseline = ThreadsInProcess();
  ASSERT_EQ(0, JThreadCreate(&t, [](void* s) {
    JThreadSemDown(static_cast<JThreadSemHandle>(s));
    return AsStatus(0xBAD);
  }, release));
  status = AsStatus(0x5E7);
  auto start = Clock::now();
  EXPECT_EQ(1, TimeoutJoin(&status, t, 300));
  EXPECT_GE(MillisSince(start), 280);
  EXPECT_LT(MillisSince(start), 5000);
  // Let the thread end; the detached joiner joins it and goes away.
  ASSERT_EQ(0, JThreadSemUp(release));
  start = Clock::now();
  while (ThreadsInProcess() > baseline && MillisSince(start) < 10000) JThreadDelay(5);
  EXPECT_EQ(baseline, ThreadsInProcess()) << "thread or joiner still alive";
  EXPECT_EQ(AsStatus(0x5E7), status);
  EXPECT_EQ(0, JThreadSemDelete(release));
}

struct Contender {
  JThreadCritSecHandle cs;
  std::atomic<bool> entered{false};
};

TEST(JThreadCritSecTest, OwnerHoldsUntilLastLeave) {
  Contender c;
  ASSERT_EQ(0, JThreadCritSecCreate(&c.cs));
  for (int i = 0; i < 3; ++i) JThreadCritSecEnter(c.cs);
  JThread contender;
  ASSERT_EQ(0, JThreadCreate(&contender, [](void* arg) -> void* {
    auto* c = static_cast<Contender*>(arg);
    CritSecGuard held(c->cs);
    c->entered = true;
    return nullptr;
  }, &c));
  JThreadCritSecLeave(c.cs);
  JThreadCritSecLeave(c.cs);
  JThreadDelay(100);
  EXPECT_FALSE(c.entered) << "entered while the owner still held one level";

  JThreadCritSecLeave(c.cs);
  ASSERT_EQ(0, JThreadJoin(nullptr, contender));
  EXPECT_TRUE(c.entered);
  // A free section that still names the contender as last owner is entered
  // at once by another thread.
  JThreadCritSecEnter(c.cs);
  JThreadCritSecLeave(c.cs);
  JThreadCritSecDelete(c.cs);
}

}  // namespace
