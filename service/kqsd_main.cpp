// kqsd, the print-server management daemon. Its kqsd.ini, kqsd.cat and
// rerar.ini sit beside the program. Alone it detaches and runs until
// SIGTERM; -f keeps it in the foreground for systemd (Type=notify) and for
// debugging. Any other argument is refused before anything starts.
#include <malloc.h>

#include <cstdio>
#include <cstring>

#include "common/config/settingsguard.h"
#include "common/host/eventlog.h"
#include "common/tls/certificate.h"
#include "common/host/servicefw.h"
#include "common/host/sysinfo.h"
#include "common/util/pathutil.h"
#include "common/util/strbuf.h"
#include "service/daemonstate.h"
#include "service/discovery.h"
#include "service/lifecycle.h"
#include "service/options.h"

namespace {

constexpr char kUsage[] =
    "usage: kqsd [-f | --foreground]\n"
    "       kqsd --fingerprint | --version | --help\n"
    "\n"
    "The print-server management daemon. Without an option it detaches and runs\n"
    "until SIGTERM. It reads kqsd.ini, kqsd.cat and rerar.ini in its program's\n"
    "directory, starts as root and runs as lp.\n"
    "  -f, --foreground  stay in the foreground: events also go to standard error,\n"
    "                    readiness goes to $NOTIFY_SOCKET (systemd Type=notify);\n"
    "                    SIGTERM or Ctrl-C stops it\n"
    "  --fingerprint     print the SHA-256 fingerprint of the TLS port's certificate\n"
    "                    (making the default one, as a start would, when missing)\n"
    "  --version         print the version and exit\n"
    "  --help            print this help and exit\n"
    "Exit status: 0 started (detached) or stopped cleanly (-f), 1 start-up failed,\n"
    "2 bad command line, 78 the configuration is wrong (kqsd.ini, the LP root, the\n"
    "account; a restart cannot help). See kqsd(8).\n";

enum class Mode { kBackground, kForeground, kFingerprint, kVersion, kHelp, kBad };

Mode ParseArguments(int argc, char** argv) {
  Mode mode = Mode::kBackground;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    Mode next = Mode::kBad;
    if (std::strcmp(a, "-f") == 0 || std::strcmp(a, "--foreground") == 0) next = Mode::kForeground;
    if (std::strcmp(a, "--version") == 0) next = Mode::kVersion;
    if (std::strcmp(a, "--fingerprint") == 0) next = Mode::kFingerprint;
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) next = Mode::kHelp;
    if (next == Mode::kBad) {
      std::fprintf(stderr, "kqsd: unknown argument '%s'\nTry 'kqsd --help'.\n", a);
      return Mode::kBad;
    }
    if (mode != Mode::kBackground && mode != next) {
      std::fprintf(stderr, "kqsd: '%s' cannot be combined with the option before it\n", a);
      return Mode::kBad;
    }
    mode = next;
  }
  return mode;
}

// Refuses, before detaching and so with a status the caller sees, a kqsd.ini
// that a root start-up must not trust or write, or cannot read (start-up
// checks again, and logs).
bool SettingsFileSafe() {
  char dir[255] = "";
  xGetModuleDirectory(nullptr, dir, sizeof dir);
  char path[255], catalog[255];
  RelStrCpyIntoBufA(path, dir, sizeof path);
  RelStrCpyIntoBufA(catalog, dir, sizeof catalog);
  MergePath(path, "kqsd.ini", sizeof path);
  MergePath(catalog, "kqsd.cat", sizeof catalog);
  char offender[255];
  const int verdict = CheckRootOwnedSettings(path, offender, sizeof offender);
  char problem[255] = "";
  const unsigned id = verdict < 0 ? 0 : CheckSettingsText(path, problem, sizeof problem);
  if (verdict >= 0 && id == 0) return true;
  // The log is opened only now: its thread must not exist when the process
  // forks to detach.
  EventLogOpen("KQSManager", "System", "kqsd", catalog);
  CheckSettingsFile(path);
  EventLogClose();
  if (verdict == kSettingsMissing) {
    std::fprintf(stderr,
                 "kqsd: refusing to start: the settings file %s is missing (%s links to it).\n"
                 "Restore it (for instance from kqsd.ini.sample, root:kqsd, mode 0640) or remove the link\n"
                 "to run on the defaults.\n",
                 offender, path);
  } else if (verdict < 0) {
    std::fprintf(stderr,
                 "kqsd: refusing to start: %s may be changed by a user other than root.\n"
                 "Make every directory from / to kqsd.ini root's alone (not group or world writable), and\n"
                 "kqsd.ini owned by root, mode 0640, group kqsd (a symbolic link on the way must be root's too).\n",
                 offender);
  } else if (id == 140) {
    std::fprintf(stderr,
                 "kqsd: refusing to start: cannot read the settings file %s.\n"
                 "Make it readable by its owner root (chmod 0640), or remove it to run on the built-in defaults.\n",
                 problem);
  } else if (id == 141) {
    std::fprintf(stderr, "kqsd: refusing to start: %s is not a settings line ([section], key=value or ;comment).\n",
                 problem);
  } else if (id == 114) {
    std::fprintf(stderr, "kqsd: refusing to start: %s in %s is longer than that; shorten it.\n", problem, path);
  } else {
    std::fprintf(stderr, "kqsd: refusing to start: %s in %s is not a number of seconds.\n", problem, path);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // Each console is served on a thread of its own; without a cap glibc gives
  // threads new malloc arenas as they overlap, and the daemon's memory grows
  // with the busiest moment it has seen rather than with what it holds.
  mallopt(M_ARENA_MAX, 2);
  xRegisterArguments(argc, argv);
  const Mode mode = ParseArguments(argc, argv);
  if (mode == Mode::kBad) return 2;
  if (mode == Mode::kHelp) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (mode == Mode::kVersion) {
    KQSVersionInfo version{};
    version.size = sizeof version;
    KQSVersion(&version);
    std::printf("kqsd %u.%u.%u (build %u)\n", version.major, version.minor, version.update, version.build);
    return 0;
  }
  if (!SettingsFileSafe()) return kExitBadConfiguration;
  // The one state of the daemon, for the life of the process: the framework
  // leaves with _exit, and threads that outlived their join may still read it.
  static kqs::DaemonState state;
  if (mode == Mode::kFingerprint) {
    char fingerprint[kqs::kFingerprintSize], error[512];
    if (TlsCertificateFingerprint(fingerprint, sizeof fingerprint, error, sizeof error, &state) != 0) {
      std::fprintf(stderr, "kqsd: %s\n", error);
      return 1;
    }
    std::printf("SHA256 Fingerprint=%s\n", fingerprint);
    return 0;
  }
  UseDaemonState(&state);
  ServiceSetRoutines(ServiceBegin, ServiceEnd);
  if (mode == Mode::kForeground) {
    EventLogCopyToStderr();
    ServiceRunForeground(argv, "KQSManager", "VO Riviz Arorid Azavaru");
  }
  ServiceStartBackground(argc, argv, "KQSManager", "VO Riviz Arorid Azavaru", "RPCSS");
}
