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

TEST(JThreadTest, JoinDeliversReturnAndExitStatus) {
  JThread t;
  void* status = nullptr;
  ASSERT_EQ(0, JThreadCreate(&t, ReturnArgument, reinterpret_cast<void*>(uintptr_t{41})));
  ASSERT_EQ(0, JThreadJoin(&status, t));
  EXPECT_EQ(41u, reinterpret_cast<uintptr_t>(status));

  ASSERT_EQ(0, JThreadCreateEx(&t, ExitWithArgument, reinterpret_cast<void*>(uintptr_t{42})));
  ASSERT_EQ(0, JThreadJoin(&status, t));
  EXPECT_EQ(42u, reinterpret_cast<uintptr_t>(status));

  ASSERT_EQ(0, JThreadCreate(&t, ReturnArgument, nullptr));
  EXPECT_EQ(0, JThreadJoin(nullptr, t));
}

TEST(JThreadTest, SetPriorityAcceptsOnlyLevelsZeroToTwo) {
  JThread self = pthread_self();
  EXPECT_EQ(-1, JThreadSetPriority(self, 3));
  EXPECT_EQ(-1, JThreadSetPriority(self, -1));
  int policy;
  sched_param p0, p1;
  ASSERT_EQ(0, JThreadSetPriority(self, 0));
  ASSERT_EQ(0, pthread_getschedparam(self, &policy, &p0));
  ASSERT_EQ(0, JThreadSetPriority(self, 1));
  ASSERT_EQ(0, pthread_getschedparam(self, &policy, &p1));
  EXPECT_EQ(p0.sched_priority, p1.sched_priority);
  EXPECT_EQ(0, JThreadSetPriority(self, 2));
}

TEST(JThreadSemTest, TimedDownTakesAvailableUnitsAndNeverBlocksAtZero) {
  JThreadSemHandle sem;
  ASSERT_EQ(0, JThreadSemCreate(&sem, 2));
  EXPECT_EQ(-1, JThreadSemTimeoutDown(sem, -5));  // takes nothing
  EXPECT_EQ(0, JThreadSemTimeoutDown(sem, 0));
  EXPECT_EQ(0, JThreadSemTimeoutDown(sem, 0));
  auto start = Clock::now();
  EXPECT_EQ(1, JThreadSemTimeoutDown(sem, 0));
  EXPECT_LT(MillisSince(start), 1000);

  start = Clock::now();
  EXPECT_EQ(1, JThreadSemTimeoutDown(sem, 150));
  EXPECT_GE(MillisSince(start), 140);
  EXPECT_EQ(0, JThreadSemDelete(sem));
}

TEST(JThreadSemTest, UpWakesBlockedWaiter) {
  JThreadSemHandle sem;
  ASSERT_EQ(0, JThreadSemCreate(&sem, 0));
  JThread t;
  ASSERT_EQ(0, JThreadCreate(&t, [](void* s) -> void* {
    auto* h = static_cast<JThreadSemHandle>(s);
    return reinterpret_cast<void*>(intptr_t(JThreadSemDown(h) + 10 * JThreadSemTimeoutDown(h, 60000)));
  }, sem));
  JThreadDelay(20);
  EXPECT_EQ(0, JThreadSemUp(sem));
  JThreadDelay(20);
  EXPECT_EQ(0, JThreadSemUp(sem));
  void* status = reinterpret_cast<void*>(intptr_t{-1});
  ASSERT_EQ(0, JThreadJoin(&status, t));
  EXPECT_EQ(0, reinterpret_cast<intptr_t>(status));
  EXPECT_EQ(0, JThreadSemDelete(sem));
}

TEST(JThreadSemTest, UpPastLimitFailsButKeepsTheUnit) {
  JThreadSemHandle sem;
  ASSERT_EQ(0, JThreadSemCreate(&sem, 0));
  for (int i = 0; i < 65535; ++i) ASSERT_EQ(0, JThreadSemUp(sem)) << i;
  EXPECT_EQ(-1, JThreadSemUp(sem));
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

TEST(JThreadCritSecTest, RecursiveEntriesStillExcludeOtherThreads) {
  struct Shared {
    JThreadCritSecHandle cs;
    long counter = 0;
  } shared;
  ASSERT_EQ(0, JThreadCritSecCreate(&shared.cs));
  auto work = [](void* arg) -> void* {
    auto* s = static_cast<Shared*>(arg);
    for (int i = 0; i < 20000; ++i) {
      CritSecGuard outer(s->cs);
      CritSecGuard inner(s->cs);
      long v = s->counter;
      if (i % 64 == 0) JThreadYield();
      s->counter = v + 1;
    }
    return nullptr;
  };
  JThread threads[4];
  for (JThread& t : threads) ASSERT_EQ(0, JThreadCreate(&t, work, &shared));
  for (JThread& t : threads) ASSERT_EQ(0, JThreadJoin(nullptr, t));
  EXPECT_EQ(4 * 20000, shared.counter);
  JThreadCritSecDelete(shared.cs);
}

TEST(JThreadTest, DelayAndExpiration) {
  EXPECT_EQ(-1, JThreadDelay(-1));
  auto start = Clock::now();
  EXPECT_EQ(0, JThreadDelay(30));
  EXPECT_GE(MillisSince(start), 29);

  timespec before, after, abs;
  const timespec rel{2, 999999999L};
  clock_gettime(CLOCK_REALTIME, &before);
  get_expiration_timespec(&rel, &abs);
  clock_gettime(CLOCK_REALTIME, &after);
  EXPECT_GE(abs.tv_nsec, 0);
  EXPECT_LE(abs.tv_nsec, 999999999L);
  auto ns = [](const timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; };
  const int64_t relNs = ns(rel);
  EXPECT_GE(ns(abs), ns(before) + relNs);
  EXPECT_LE(ns(abs), ns(after) + relNs);
}

TEST(TimeoutJoinTest, JoinsEndedThreadAndDeliversStatus) {
  JThread t;
  ASSERT_EQ(0, JThreadCreate(&t, ReturnArgument, reinterpret_cast<void*>(uintptr_t{7})));
  JThreadDelay(20);
  void* status = nullptr;
  EXPECT_EQ(0, TimeoutJoin(&status, t, 4000));
  EXPECT_EQ(7u, reinterpret_cast<uintptr_t>(status));
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
