// Starting and stopping the LP scheduler and waiting for its lock file.
#include "queueadmin/scheduler.h"

#include <sys/stat.h>

#include "common/host/env.h"
#include "common/host/mtsafe.h"
#include "common/host/sysinfo.h"
#include "queueadmin/lppaths.h"

namespace {

constexpr int kMaxPauses = 30;
constexpr int kPauseMs = 500;

// Runs command and waits until SchedulerOn() says want; the answer at the end.
int RunAndWait(const char* command, int want) {
  if (xSystem(command) != 0) return 0;
  for (int pauses = 0; SchedulerOn() != want && pauses < kMaxPauses; ++pauses) xSleep(kPauseMs);
  return SchedulerOn() == want ? 1 : 0;
}

}  // namespace

int SchedulerOn() {
  struct stat st;
  return kqs::CurrentEnv()->Stat(kqs::LpPaths().schedlock, &st) == 0 ? 1 : 0;
}

int StartSched() {
  if (SchedulerOn()) return 1;
  return RunAndWait(kqs::LpPaths().lpsched, 1);
}

int ShutSched() {
  if (!SchedulerOn()) return 1;
  return RunAndWait(kqs::LpPaths().lpshut, 0);
}
