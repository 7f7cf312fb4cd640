// Tests of the thread layer: exit statuses, semaphore limits and timeouts,
// critical-section ownership and the timed join's behaviour after a timeout.
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

void* ReturnArgument(void* arg) { return arg; }

void* ExitWithArgument(void* arg) {
  JThreadExit(arg);
}

TEST(JThreadTest, PlainAndTimedJoinDeliverExitStatus) {
  JThread t;
  void* status = nullptr;
  ASSERT_EQ(0, JThreadCreate(&t, ReturnArgument, reinterpret_cast<void*>(uintptr_t{41})));
  ASSERT_EQ(0, JThreadJoin(&status, t));
  EXPECT_EQ(41u, reinterpret_cast<uintptr_t>(status));

  ASSERT_EQ(0, JThreadCreateEx(&t, ExitWithArgument, reinterpret_cast<void*>(uintptr_t{42})));
  JThreadDelay(20);  // already ended when the timed join starts
  EXPECT_EQ(0, TimeoutJoin(&status, t, 4000));
  EXPECT_EQ(42u, reinterpret_cast<uintptr_t>(status));
}

TEST(JThreadSemTest, TimedDownNeverBlocksAtZeroAndUpPastLimitKeepsTheUnit) {
  JThreadSemHandle sem;
  ASSERT_EQ(0, JThreadSemCreate(&sem, 0));
  auto start = Clock::now();
  EXPECT_EQ(1, JThreadSemTimeoutDown(sem, 0));
  EXPECT_LT(MillisSince(start), 1000);
  start = Clock::now();
  EXPECT_EQ(1, JThreadSemTimeoutDown(sem, 150));
  EXPECT_GE(MillisSince(start), 140);

  for (int i = 0; i < 65535; ++i) ASSERT_EQ(0, JThreadSemUp(sem)) << i;
  EXPECT_EQ(-1, JThreadSemUp(sem));
  EXPECT_EQ(-1, JThreadSemTimeoutDown(sem, -5));  // takes nothing
  for (int i = 0; i < 65536; ++i) ASSERT_EQ(0, JThreadSemTimeoutDown(sem, 0)) << i;
  EXPECT_EQ(1, JThreadSemTimeoutDown(sem, 0));
  EXPECT_EQ(0, JThreadSemDelete(sem));
}

struct Contender {
  JThreadCritSecHandle cs;
  std::atomic<bool> entered{false};
};

void* EnterAndLeave(void* arg) {
  auto* c = static_cast<Contender*>(arg);
  JThreadCritSecEnter(c->cs);
  c->entered = true;
  JThreadCritSecLeave(c->cs);
  return nullptr;
}

void* LeaveWithoutOwning(void* arg) {
  JThreadCritSecLeave(static_cast<Contender*>(arg)->cs);
  JThreadCritSecLeave(static_cast<Contender*>(arg)->cs);
  return nullptr;
}

TEST(JThreadCritSecTest, OwnerHoldsUntilLastLeaveAndStrangersCannotLeave) {
  Contender c;
  ASSERT_EQ(0, JThreadCritSecCreate(&c.cs));
  JThreadCritSecEnter(c.cs);
  JThreadCritSecEnter(c.cs);
  JThreadCritSecEnter(c.cs);

  JThread contender, stranger;
  ASSERT_EQ(0, JThreadCreate(&contender, EnterAndLeave, &c));
  JThreadCritSecLeave(c.cs);
  JThreadCritSecLeave(c.cs);
  ASSERT_EQ(0, JThreadCreate(&stranger, LeaveWithoutOwning, &c));
  ASSERT_EQ(0, JThreadJoin(nullptr, stranger));
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

TEST(TimeoutJoinTest, TimedOutJoinLeavesCallerStatusAloneWhenThreadEndsLater) {
  JThreadSemHandle release;
  ASSERT_EQ(0, JThreadSemCreate(&release, 0));
  const int baseline = ThreadsInProcess();
  JThread t;
  ASSERT_EQ(0, JThreadCreate(&t, [](void* s) -> void* {
    JThreadSemDown(static_cast<JThreadSemHandle>(s));
    return reinterpret_cast<void*>(uintptr_t{0xBAD});
  }, release));

  void* sentinel = reinterpret_cast<void*>(uintptr_t{0x5E7});
  void* status = sentinel;
  auto start = Clock::now();
  EXPECT_EQ(1, TimeoutJoin(&status, t, 300));
  long waited = MillisSince(start);
  EXPECT_GE(waited, 280);
  EXPECT_LT(waited, 5000);

  // Let the thread end; the detached joiner joins it and goes away.
  ASSERT_EQ(0, JThreadSemUp(release));
  start = Clock::now();
  while (ThreadsInProcess() > baseline && MillisSince(start) < 10000) JThreadDelay(5);
  EXPECT_EQ(baseline, ThreadsInProcess()) << "thread or joiner still alive";
  EXPECT_EQ(sentinel, status);
  EXPECT_EQ(0, JThreadSemDelete(release));
}

}  // namespace
