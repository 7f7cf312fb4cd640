// Removing a print queue with its filter and backup script.
#include "queueadmin/queueremove.h"

#include <sys/stat.h>

#include "common/host/env.h"
#include "common/host/mtsafe.h"
#include "protocol/kqsids.h"
#include "queueadmin/lppaths.h"
#include "queueadmin/namecheck.h"
#include "queueadmin/queueadd.h"

namespace {

// Deletes path if it exists; failures are of no concern to the caller.
void RemoveIfPresent(const char* path) {
  struct stat st;
  kqs::Env* env = kqs::CurrentEnv();
  if (env->Stat(path, &st) == 0) env->Unlink(path);
}

}  // namespace

uint32_t QueueRemoveUX(const char* name) {
  if (!kqs::IsSafeLpName(name) || !QueueExistsUX(name)) return KQS_INVALID_OBJECT_NAME;
  const kqs::LpPathSet& lp = kqs::LpPaths();
  char command[256];
  char path[255];

  // The queue goes from the LP service (and CUPS behind it) first: when that
  // fails, nothing of it has gone, and a remove once CUPS is back finds it
  // whole.
  if (!kqs::FormatLine(command, sizeof command, "%s -x%s", lp.lpadmin, name) || xSystem(command) != 0)
    return KQS_LPADMIN_FAILURE;

  if (kqs::FormatLine(command, sizeof command, "%s -f %s -x", lp.lpfilter, name)) xSystem(command);
  if (kqs::FormatLine(path, sizeof path, "%s/%s", lp.fd, name)) RemoveIfPresent(path);
  if (kqs::FormatLine(path, sizeof path, "%s/model.orig/%s", lp.interfaces, name)) RemoveIfPresent(path);
  if (kqs::FormatLine(path, sizeof path, "%s/model.orig/%s.settings", lp.interfaces, name)) RemoveIfPresent(path);
  return KQS_SUCCESS;
}
