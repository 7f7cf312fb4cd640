// JThread: a small Windows-shaped thread layer over POSIX threads. Threads,
// counting semaphores with a timed wait, recursive owner-tracking critical
// sections, a millisecond delay and a join with a time limit. Every lock in
// kqsd is a critical section of this module.
//
// All calls with a result return 0 on success and -1 on failure, except the
// timed waits, which return 1 on timeout. Handles come back through the first
// argument.
#pragma once

#include <pthread.h>
#include <time.h>

// The platform's thread identifier; 0 stands for no thread.
typedef pthread_t JThread;
typedef void* (*JThreadRoutine)(void*);

struct JThreadSem;
typedef JThreadSem* JThreadSemHandle;
struct JThreadCritSec;
typedef JThreadCritSec* JThreadCritSecHandle;

// Threads. Created joinable with the default stack; each must be joined once.
int JThreadCreate(JThread* thread, JThreadRoutine routine, void* arg);
int JThreadCreateEx(JThread* thread, JThreadRoutine routine, void* arg);
[[noreturn]] void JThreadExit(void* status);
void JThreadYield();
// Waits for the thread to end; stores its exit status when status is given.
int JThreadJoin(void** status, JThread thread);
// Level 0 or 1: priority 0; level 2: priority 10; other levels: -1.
int JThreadSetPriority(JThread thread, int level);

// Counting semaphores, at most 65535 units.
int JThreadSemCreate(JThreadSemHandle* sem, int initialCount);
int JThreadSemDown(JThreadSemHandle sem);
// 0 = unit taken, 1 = timed out (a timeout of 0 never blocks), -1 = failure
// (also for a negative timeout).
int JThreadSemTimeoutDown(JThreadSemHandle sem, int timeoutMs);
// Adds a unit and wakes one waiter; -1 once the count passes 65535 (the unit
// stays counted).
int JThreadSemUp(JThreadSemHandle sem);
int JThreadSemDelete(JThreadSemHandle sem);

// Recursive critical sections: the owner may enter again without waiting and
// must leave as often as it entered; a leave by another thread changes nothing.
int JThreadCritSecCreate(JThreadCritSecHandle* cs);
void JThreadCritSecEnter(JThreadCritSecHandle cs);
void JThreadCritSecLeave(JThreadCritSecHandle cs);
void JThreadCritSecDelete(JThreadCritSecHandle cs);

// Sleeps ms milliseconds; -1 for a negative time or an interrupted sleep.
int JThreadDelay(int ms);

// absolute = now on CLOCK_REALTIME + relative, normalised.
void get_expiration_timespec(const struct timespec* relative, struct timespec* absolute);

// Joins thread if it ends within ms: 0 = joined (status delivered), 1 = timed
// out, -1 = failure. On timeout nothing of the caller's is touched later: a
// late exit status is dropped and the target is still joined once, by a
// joiner thread that frees its own state.
int TimeoutJoin(void** status, JThread thread, int ms);
void* TimeoutJoinHelper(void* args);

// Holds a critical section for the lifetime of the guard.
class CritSecGuard {
 public:
  explicit CritSecGuard(JThreadCritSecHandle cs) : cs_(cs) { JThreadCritSecEnter(cs_); }
  ~CritSecGuard() { JThreadCritSecLeave(cs_); }
  CritSecGuard(const CritSecGuard&) = delete;
  CritSecGuard& operator=(const CritSecGuard&) = delete;

 private:
  JThreadCritSecHandle cs_;
};
