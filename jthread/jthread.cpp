// JThread over POSIX threads: thread calls map one to one onto pthreads; the
// semaphore and the critical section are a mutex, a condition variable and a
// counter each; TimeoutJoin hands the join to a short-lived joiner thread.
#include "jthread/jthread.h"

#include <errno.h>
#include <sched.h>

#include <atomic>
#include <cstdlib>
#include <new>

struct JThreadSem {
  int nCount;
  pthread_mutex_t mutex;
  pthread_cond_t cond;
};

struct JThreadCritSec {
  // Last thread that entered; a value-initialised pthread_t (0 on this
  // platform) names no thread. Not cleared when the section falls free.
  JThread owner;
  int nCount;
  // Guards owner and nCount; held only inside enter and leave.
  pthread_mutex_t mutex;
  pthread_cond_t cond;
};

namespace {

constexpr int kMaxSemCount = 65535;

// The records carry pthread objects, so they are plain heap blocks that are
// initialised field by field and released with free().
template <typename T>
T* AllocRecord() {
  return static_cast<T*>(std::calloc(1, sizeof(T)));
}

// Both record types pair a mutex with a condition variable; on failure
// nothing stays initialised.
bool InitMutexAndCond(pthread_mutex_t* mutex, pthread_cond_t* cond) {
  if (pthread_mutex_init(mutex, nullptr) != 0) return false;
  if (pthread_cond_init(cond, nullptr) == 0) return true;
  pthread_mutex_destroy(mutex);
  return false;
}

timespec RelativeTime(int ms) {
  timespec t;
  t.tv_sec = ms / 1000;
  t.tv_nsec = long(ms % 1000) * 1000000L;
  return t;
}

}  // namespace

// ---- Threads ---------------------------------------------------------------

int JThreadCreate(JThread* thread, JThreadRoutine routine, void* arg) {
  return JThreadCreateEx(thread, routine, arg);
}

int JThreadCreateEx(JThread* thread, JThreadRoutine routine, void* arg) {
  if (thread == nullptr || routine == nullptr) return -1;
  pthread_t id;
  if (pthread_create(&id, nullptr, routine, arg) != 0) return -1;
  *thread = id;
  return 0;
}

void JThreadExit(void* status) { pthread_exit(status); }

void JThreadYield() { sched_yield(); }

int JThreadJoin(void** status, JThread thread) {
  void* result = nullptr;
  if (pthread_join(thread, &result) != 0) return -1;
  if (status != nullptr) *status = result;
  return 0;
}

int JThreadSetPriority(JThread thread, int level) {
  int wanted;
  switch (level) {
    case 0:
    case 1: wanted = 0; break;
    case 2: wanted = 10; break;
    default: return -1;
  }
  int policy;
  sched_param param;
  if (pthread_getschedparam(thread, &policy, &param) != 0) return -1;
  // The time-sharing policy knows only priority 0; clamp into what the
  // thread's policy accepts so that levels still order the same way.
  int lo = sched_get_priority_min(policy);
  int hi = sched_get_priority_max(policy);
  if (lo < 0 || hi < 0) return -1;
  param.sched_priority = wanted < lo ? lo : (wanted > hi ? hi : wanted);
  return pthread_setschedparam(thread, policy, &param) == 0 ? 0 : -1;
}

// ---- Semaphores ------------------------------------------------------------

int JThreadSemCreate(JThreadSemHandle* sem, int initialCount) {
  if (sem == nullptr) return -1;
  JThreadSem* s = AllocRecord<JThreadSem>();
  if (s == nullptr) return -1;
  if (!InitMutexAndCond(&s->mutex, &s->cond)) {
    std::free(s);
    *sem = nullptr;
    return -1;
  }
  s->nCount = initialCount;
  *sem = s;
  return 0;
}

int JThreadSemDown(JThreadSemHandle sem) {
  if (sem == nullptr || pthread_mutex_lock(&sem->mutex) != 0) return -1;
  while (sem->nCount <= 0) {
    if (pthread_cond_wait(&sem->cond, &sem->mutex) != 0) {
      pthread_mutex_unlock(&sem->mutex);
      return -1;
    }
  }
  --sem->nCount;
  pthread_mutex_unlock(&sem->mutex);
  return 0;
}

int JThreadSemTimeoutDown(JThreadSemHandle sem, int timeoutMs) {
  if (sem == nullptr || timeoutMs < 0) return -1;
  if (pthread_mutex_lock(&sem->mutex) != 0) return -1;
  const timespec relative = RelativeTime(timeoutMs);
  timespec deadline;
  get_expiration_timespec(&relative, &deadline);
  for (;;) {
    if (sem->nCount > 0) {
      --sem->nCount;
      pthread_mutex_unlock(&sem->mutex);
      return 0;
    }
    int rc = pthread_cond_timedwait(&sem->cond, &sem->mutex, &deadline);
    if (rc == 0) continue;
    pthread_mutex_unlock(&sem->mutex);
    return rc == ETIMEDOUT ? 1 : -1;
  }
}

int JThreadSemUp(JThreadSemHandle sem) {
  if (sem == nullptr || pthread_mutex_lock(&sem->mutex) != 0) return -1;
  ++sem->nCount;
  if (sem->nCount > kMaxSemCount) {
    // The unit stays counted, but nobody is woken for it.
    pthread_mutex_unlock(&sem->mutex);
    return -1;
  }
  pthread_cond_signal(&sem->cond);
  pthread_mutex_unlock(&sem->mutex);
  return 0;
}

int JThreadSemDelete(JThreadSemHandle sem) {
  if (sem == nullptr) return -1;
  int rc = 0;
  if (pthread_mutex_destroy(&sem->mutex) != 0) rc = -1;
  if (pthread_cond_destroy(&sem->cond) != 0) rc = -1;
  std::free(sem);
  return rc;
}

// ---- Critical sections -----------------------------------------------------

int JThreadCritSecCreate(JThreadCritSecHandle* cs) {
  if (cs == nullptr) return -1;
  JThreadCritSec* c = AllocRecord<JThreadCritSec>();
  *cs = c;
  if (c == nullptr) return -1;
  c->owner = JThread{};
  c->nCount = 0;
  if (!InitMutexAndCond(&c->mutex, &c->cond)) {
    std::free(c);
    *cs = nullptr;
    return -1;
  }
  return 0;
}

void JThreadCritSecEnter(JThreadCritSecHandle cs) {
  if (cs == nullptr) return;
  const JThread self = pthread_self();
  pthread_mutex_lock(&cs->mutex);
  // The owner re-enters without waiting. owner may also name a thread that
  // left long ago: only a count above 0 means the section is held.
  if (!pthread_equal(cs->owner, self)) {
    while (cs->nCount > 0) pthread_cond_wait(&cs->cond, &cs->mutex);
    cs->owner = self;
  }
  ++cs->nCount;
  pthread_mutex_unlock(&cs->mutex);
}

void JThreadCritSecLeave(JThreadCritSecHandle cs) {
  if (cs == nullptr) return;
  const JThread self = pthread_self();
  pthread_mutex_lock(&cs->mutex);
  if (pthread_equal(cs->owner, self) && cs->nCount >= 1) --cs->nCount;
  // Wake one waiter in every case; it re-checks the count.
  pthread_cond_signal(&cs->cond);
  pthread_mutex_unlock(&cs->mutex);
}

void JThreadCritSecDelete(JThreadCritSecHandle cs) {
  if (cs == nullptr) return;
  pthread_mutex_destroy(&cs->mutex);
  pthread_cond_destroy(&cs->cond);
  std::free(cs);
}

// ---- Time ------------------------------------------------------------------

int JThreadDelay(int ms) {
  if (ms < 0) return -1;
  const timespec t = RelativeTime(ms);
  return nanosleep(&t, nullptr) == 0 ? 0 : -1;
}

void get_expiration_timespec(const struct timespec* relative, struct timespec* absolute) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  absolute->tv_sec = now.tv_sec + relative->tv_sec;
  absolute->tv_nsec = now.tv_nsec + relative->tv_nsec;
  // Both parts are below one second, so one carry is enough.
  if (absolute->tv_nsec > 999999999L) {
    absolute->tv_nsec -= 1000000000L;
    absolute->tv_sec += 1;
  }
}

// ---- Timed join ------------------------------------------------------------

// Shared by TimeoutJoin and its joiner thread. Whichever of the two lets go
// last frees it, so a joiner that outlives a timed-out TimeoutJoin writes
// only into this record, never into the caller's variables.
struct TimeoutJoinArgs {
  void** pStatus;  // points at status below
  JThread thread;
  JThreadSemHandle sem;
  void* status;
  std::atomic<int> refs;
};

namespace {

TimeoutJoinArgs* NewTimeoutJoinArgs(JThread thread, JThreadSemHandle sem) {
  void* block = std::malloc(sizeof(TimeoutJoinArgs));
  if (block == nullptr) return nullptr;
  auto* args = new (block) TimeoutJoinArgs{nullptr, thread, sem, nullptr, {2}};
  args->pStatus = &args->status;
  return args;
}

// Drops one reference; the last one deletes the semaphore and the record.
// Returns the semaphore deletion's result when this call freed it, else 0.
int ReleaseTimeoutJoinArgs(TimeoutJoinArgs* args) {
  if (args->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return 0;
  int rc = JThreadSemDelete(args->sem);
  args->~TimeoutJoinArgs();
  std::free(args);
  return rc;
}

}  // namespace

void* TimeoutJoinHelper(void* raw) {
  auto* args = static_cast<TimeoutJoinArgs*>(raw);
  // The status arrives even if the join fails; the waiter is raised either way.
  JThreadJoin(args->pStatus, args->thread);
  JThreadSemUp(args->sem);
  ReleaseTimeoutJoinArgs(args);
  return nullptr;
}

int TimeoutJoin(void** status, JThread thread, int ms) {
  JThreadSemHandle sem = nullptr;
  if (int rc = JThreadSemCreate(&sem, 0); rc != 0) return rc;
  TimeoutJoinArgs* args = NewTimeoutJoinArgs(thread, sem);
  if (args == nullptr) {
    JThreadSemDelete(sem);
    return -1;
  }
  JThread joiner;
  if (JThreadCreateEx(&joiner, TimeoutJoinHelper, args) != 0) {
    // No joiner holds a reference; free everything now.
    args->refs.store(1, std::memory_order_relaxed);
    ReleaseTimeoutJoinArgs(args);
    return -1;
  }
  int rc = JThreadSemTimeoutDown(sem, ms);
  if (rc != 0) {
    // Leave the join to the joiner, which frees the record when it is done
    // (or now, if it already is) and is reclaimed by the system on exit.
    pthread_detach(joiner);
    ReleaseTimeoutJoinArgs(args);
    return rc;
  }
  // The joiner has joined the target and raised the semaphore; after its end
  // this call holds the last reference.
  if (JThreadJoin(nullptr, joiner) != 0) {
    pthread_detach(joiner);
    ReleaseTimeoutJoinArgs(args);
    return -1;
  }
  void* result = args->status;
  if (ReleaseTimeoutJoinArgs(args) != 0) return -1;
  if (status != nullptr) *status = result;
  return 0;
}
