// kqsd, the print-server management daemon. Reads no argument but argv[0]:
// its kqsd.ini, kqsd.cat and rerar.ini sit beside the program. Detaches and
// runs until SIGTERM.
#include <cstdio>

#include "common/config/settingsguard.h"
#include "common/host/eventlog.h"
#include "common/host/servicefw.h"
#include "common/host/sysinfo.h"
#include "common/util/pathutil.h"
#include "common/util/strbuf.h"
#include "service/lifecycle.h"

namespace {

// Refuses, before detaching and so with a status the caller sees, a kqsd.ini
// that a root start-up must not write (start-up checks again, and logs).
bool SettingsFileSafe() {
  char dir[255] = "";
  xGetModuleDirectory(nullptr, dir, sizeof dir);
  char path[255], catalog[255];
  RelStrCpyIntoBufA(path, dir, sizeof path);
  RelStrCpyIntoBufA(catalog, dir, sizeof catalog);
  MergePath(path, "kqsd.ini", sizeof path);
  MergePath(catalog, "kqsd.cat", sizeof catalog);
  char offender[255];
  if (CheckRootOwnedSettings(path, offender, sizeof offender) == 0) return true;
  // The log is opened only now: its thread must not exist when the process
  // forks to detach.
  EventLogOpen("KQSManager", "System", "kqsd", catalog);
  CheckSettingsFile(path);
  EventLogClose();
  std::fprintf(stderr,
               "kqsd: refusing to start: %s may be changed by a user other than root.\n"
               "Make the daemon's directory root's alone (not group or world writable) and kqsd.ini\n"
               "owned by root, mode 0640, group lp (a symbolic link to it must be root's too).\n",
               offender);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  xRegisterArguments(argc, argv);
  if (!SettingsFileSafe()) return 1;
  ServiceSetRoutines(ServiceBegin, ServiceEnd);
  ServiceStartBackground(argc, argv, "KQSManager", "VO Riviz Arorid Azavaru", "RPCSS");
}
