// Creating a print queue: the checks, the LP commands in their order, and the
// rewriting of the interface and backup scripts.
#include "queueadmin/queueadd.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/host/env.h"
#include "common/host/eventlog.h"
#include "common/host/mtsafe.h"
#include "protocol/kqsids.h"
#include "queueadmin/devicecheck.h"
#include "queueadmin/filter.h"
#include "queueadmin/lppaths.h"
#include "queueadmin/namecheck.h"
#include "queueadmin/queuestate.h"
#include "queueadmin/scheduler.h"

namespace {

using kqs::FormatLine;
using kqs::LpPaths;
using Table = std::array<ParameterEntry, kqs::kQueueParameterCount>;

constexpr mode_t kScriptMode = 0755;
// Warning: a new queue's Device was refused (queueadmin/devicecheck.h).
constexpr unsigned kDeviceRefusedEvent = 221;
constexpr char kLibraryPath[] = "/usr/dt/lib:/opt/SUNWmotif/lib/:/usr/openwin/lib";

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct ParseCopyFree {
  void operator()(char* copy) const { ParseFree(copy); }
};

bool Exists(const char* path) {
  struct stat st;
  return kqs::CurrentEnv()->Stat(path, &st) == 0;
}

// 1 when dir/name exists; a path that does not fit counts as missing.
int ExistsIn(const char* dir, const char* name) {
  char path[255];
  return name != nullptr && FormatLine(path, sizeof path, "%s/%s", dir, name) && Exists(path) ? 1 : 0;
}

// A flag is true when its leading decimal integer is not 0 ("1", "2");
// "0", "", "yes" and "on" are false.
bool Flag(const char* value) { return std::strtol(value, nullptr, 10) != 0; }

// Class and model become words of command lines and file names; every value
// that goes into a script must not be able to leave its place there.
bool ValuesAreSafe(const Table& t) {
  const char* cls = t[kqs::kQueueClass].value;
  if (cls[0] != '\0' && !kqs::IsSafeLpName(cls)) return false;
  if (!kqs::IsSafeModelName(t[kqs::kQueueModel].value)) return false;
  if (!kqs::IsSafeUnquotedValue(t[kqs::kQueueDevice].value)) return false;
  static constexpr kqs::QueueParameter kScriptValues[] = {
      kqs::kQueueIPPort, kqs::kQueueType, kqs::kQueueDEVTYPE, kqs::kQueuePSLEVEL, kqs::kQueuePERSONALTY};
  for (kqs::QueueParameter p : kScriptValues) {
    if (!kqs::IsSafeScriptValue(t[p].value)) return false;
  }
  return true;
}

// One variable line of a script: a line beginning with prefix is replaced by
// variable=value (the value in double quotes unless quoted is false).
struct LineRule {
  const char* prefix;
  const char* variable;
  const char* value;
  bool quoted;
};

// Copies in to out line by line (lines of at most 4095 characters; a longer
// line goes in pieces, each taken as a line), replacing variable lines by the
// first rule whose prefix they begin with. False on a read or write error.
template <size_t N>
bool RewriteScript(FILE* in, FILE* out, const std::array<LineRule, N>& rules) {
  char line[4096];
  while (std::fgets(line, sizeof line, in) != nullptr) {
    const LineRule* rule = nullptr;
    for (const LineRule& r : rules) {
      if (std::strncmp(line, r.prefix, std::strlen(r.prefix)) == 0) {
        rule = &r;
        break;
      }
    }
    if (rule == nullptr) {
      std::fputs(line, out);
    } else {
      std::fprintf(out, rule->quoted ? "%s=\"%s\"\n" : "%s=%s\n", rule->variable, rule->value);
    }
  }
  return !std::ferror(in) && !std::ferror(out);
}

// Closes a written file; false when anything written was lost.
bool CloseWritten(File& f) { return kqs::CurrentEnv()->FClose(f.release()) == 0; }

// The files CreateScripts reads and writes for queue name; false when a
// path does not fit its buffer.
struct ScriptPaths {
  char backupDir[255];
  char script[255];
  char backup[255];
  char wrapper[255];
  bool Build(const char* name) {
    const kqs::LpPathSet& lp = LpPaths();
    return FormatLine(backupDir, sizeof backupDir, "%s/model.orig", lp.interfaces) &&
           FormatLine(script, sizeof script, "%s/%s", lp.interfaces, name) &&
           FormatLine(backup, sizeof backup, "%s/%s", backupDir, name) &&
           FormatLine(wrapper, sizeof wrapper, "%s/%s", lp.product, kqs::kWrapperTemplateName);
  }
};

// The LP command lines of one creation, all built before any runs.
struct Commands {
  char define[255];
  char makeDefault[255];
  char accept[255];
  char enable[255];
  char acceptClass[255];
  char remove[255];
  bool Build(const char* name, const char* classOption, const char* modelPath, const char* cls) {
    const kqs::LpPathSet& lp = LpPaths();
    return FormatLine(define, sizeof define, "%s -p%s -v/dev/null %s %s -i%s", lp.lpadmin, name, "", classOption,
                      modelPath) &&
           FormatLine(remove, sizeof remove, "%s -x%s", lp.lpadmin, name) &&
           FormatLine(makeDefault, sizeof makeDefault, "%s -d%s", lp.lpadmin, name) &&
           FormatLine(accept, sizeof accept, "%s %s", lp.accept, name) &&
           FormatLine(enable, sizeof enable, "%s %s", lp.enable, name) &&
           FormatLine(acceptClass, sizeof acceptClass, "%s %s", lp.accept, cls);
  }
};

// lpadmin's exit statuses when the print service already holds the name as
// what it will not give up (lpsvc in front of CUPS: a queue or class that
// kqsd did not make); every other failure is a plain refusal.
uint32_t DefineFailure(int status) {
  switch (status) {
    case 10:
      return KQS_QUEUE_EXISTS_AS_QUEUE;
    case 11:
      return KQS_QUEUE_EXISTS_AS_CLASS;
    case 12:
      return KQS_CLASS_EXISTS_AS_QUEUE;
    default:
      return KQS_LPADMIN_FAILURE;
  }
}

// The steps after the queue is defined, each stopping the creation with its
// code. The default comes last, so that a failed creation never has to give
// the old default back.
uint32_t Complete(const char* name, const ParameterEntry* table, const Commands& commands, bool acceptClass) {
  if (CreateScripts(name, table) != KQS_SUCCESS) {
    xSystem(LpPaths().lpsched);
    return KQS_QUEUE_SETUP_FAILURE;
  }
  if (xSystem(commands.accept) != 0) return KQS_ACCEPT_QUEUE_FAILURE;
  if (xSystem(commands.enable) != 0) return KQS_ENABLE_FAILURE;
  if (acceptClass && xSystem(commands.acceptClass) != 0) return KQS_ACCEPT_CLASS_FAILURE;
  if (std::strcmp(table[kqs::kQueueDefault].value, "ON") == 0 && xSystem(commands.makeDefault) != 0) {
    return KQS_DEFAULT_QUEUE_FAILURE;
  }
  return KQS_SUCCESS;
}

}  // namespace

int QueueExistsUX(const char* name) { return ExistsIn(LpPaths().interfaces, name); }

int ClassExists(const char* name) { return ExistsIn(LpPaths().classes, name); }

namespace {

// The lines of the model-based script that take the queue's settings.
std::array<LineRule, 6> BackupRules(const ParameterEntry* table) {
  return {{
      {"OS=", "OS", "solaris", true},
      {"PERSONALTY=", "PERSONALTY", table[kqs::kQueuePERSONALTY].value, true},
      {"PRINTMODEL=", "PRINTMODEL", table[kqs::kQueueType].value, true},
      {"BANNER=", "BANNER", Flag(table[kqs::kQueueBANNER].value) ? "yes" : "", true},
      {"TEOJ=", "TEOJ", Flag(table[kqs::kQueueTEOJ].value) ? "on" : "off", true},
      {"PSLEVEL=", "PSLEVEL", table[kqs::kQueuePSLEVEL].value, true},
  }};
}

// The lines of the wrapper that take the queue's settings; xport holds the
// text of xPORT while the rules are used.
std::array<LineRule, 7> WrapperRules(const ParameterEntry* table, std::string* xport) {
  *xport = std::string("-p ") + table[kqs::kQueueIPPort].value;
  return {{
      {"PERIPH=", "PERIPH", table[kqs::kQueueDevice].value, false},
      {"TEOJ=", "TEOJ", Flag(table[kqs::kQueueTEOJ].value) ? "-w" : "", true},
      {"JRECOV=", "JRECOV", Flag(table[kqs::kQueueJRECOV].value) ? "yes" : "no", true},
      {"xPORT=", "xPORT", xport->c_str(), true},
      {"DEVTYPE=", "DEVTYPE", table[kqs::kQueueDEVTYPE].value, true},
      {"jobm=", "jobm", "no", true},
      {"templiary=", "LD_LIBRARY_PATH", kLibraryPath, true},
  }};
}

// Writes out_path from in_path by rules; false when either cannot be opened
// or anything written was lost.
template <size_t N>
bool RewriteFile(const char* in_path, const char* out_path, const std::array<LineRule, N>& rules) {
  kqs::Env* env = kqs::CurrentEnv();
  File in(env->FOpen(in_path, "r"));
  if (!in) return false;
  File out(env->FOpen(out_path, "w"));
  if (!out) return false;
  return RewriteScript(in.get(), out.get(), rules) && CloseWritten(out);
}

bool MakeBackupDir(const char* dir) {
  kqs::Env* env = kqs::CurrentEnv();
  return Exists(dir) || (env->Mkdir(dir, kScriptMode) == 0 && env->Chmod(dir, kScriptMode) == 0);
}

// Writes path from in_path by rules into a new file beside it and puts that
// in its place at once, with mode 0755.
template <size_t N>
bool ReplaceFile(const char* in_path, const char* dir, const char* name, const std::array<LineRule, N>& rules) {
  char path[255];
  char fresh[255];
  if (!FormatLine(path, sizeof path, "%s/%s", dir, name) || !FormatLine(fresh, sizeof fresh, "%s/.%s.new", dir, name))
    return false;
  kqs::Env* env = kqs::CurrentEnv();
  if (RewriteFile(in_path, fresh, rules) && env->Chmod(fresh, kScriptMode) == 0 && env->Rename(fresh, path) == 0)
    return true;
  env->Unlink(fresh);
  return false;
}

}  // namespace

uint32_t CreateScripts(const char* name, const ParameterEntry* table) {
  ScriptPaths paths;
  if (!paths.Build(name) || !MakeBackupDir(paths.backupDir)) return KQS_FAILURE;
  kqs::Env* env = kqs::CurrentEnv();
  // The model-based script lpadmin installed, with its settings, goes to the
  // backup folder; the wrapper becomes the queue's interface program.
  if (!RewriteFile(paths.script, paths.backup, BackupRules(table))) return KQS_FAILURE;
  if (env->Chmod(paths.script, kScriptMode) != 0 || env->Chmod(paths.backup, kScriptMode) != 0) return KQS_FAILURE;
  std::string xport;
  if (!RewriteFile(paths.wrapper, paths.script, WrapperRules(table, &xport))) return KQS_FAILURE;
  return KQS_SUCCESS;
}

uint32_t kqs::ReplaceScripts(const char* name, const ParameterEntry* table, const char* modelPath) {
  ScriptPaths paths;
  if (!paths.Build(name) || !MakeBackupDir(paths.backupDir)) return KQS_FAILURE;
  std::string xport;
  if (!ReplaceFile(modelPath, paths.backupDir, name, BackupRules(table)) ||
      !ReplaceFile(paths.wrapper, LpPaths().interfaces, name, WrapperRules(table, &xport))) {
    return KQS_FAILURE;
  }
  return KQS_SUCCESS;
}

bool kqs::QueueValuesAreSafe(const ParameterEntry* table) {
  Table t;
  std::copy(table, table + t.size(), t.begin());
  return ValuesAreSafe(t);
}

bool kqs::FindModel(const char* model, char* path, unsigned size) {
  const kqs::LpPathSet& lp = LpPaths();
  return (FormatLine(path, size, "%s/%s", lp.product, model) && Exists(path)) ||
         (FormatLine(path, size, "%s/%s", lp.models, model) && Exists(path));
}

uint32_t QueueAddUX(const char* name, const char* parameters) {
  if (!kqs::IsSafeLpName(name)) return KQS_INVALID_OBJECT_NAME;
  if (QueueExistsUX(name)) return KQS_QUEUE_EXISTS_AS_QUEUE;
  if (ClassExists(name)) return KQS_QUEUE_EXISTS_AS_CLASS;

  std::unique_ptr<char, ParseCopyFree> copy(ParseAlloc(parameters));
  Table table;
  std::copy(std::begin(QueueParameterTable), std::end(QueueParameterTable), table.begin());
  if (ParseParameters(copy.get(), table.data(), table.size()) != KQS_SUCCESS) return KQS_INVALID_PARAMETER;
  if (!ValuesAreSafe(table)) return KQS_INVALID_PARAMETER;
  char why[255];
  if (kqs::CheckQueueDevice(table[kqs::kQueueDevice].value, why, sizeof why) != 0) {
    const uintptr_t insertion = reinterpret_cast<uintptr_t>(why);
    EventLogAddMessage(EVENTLOG_WARNING_TYPE, kDeviceRefusedEvent, 1, &insertion);
    return KQS_INVALID_PARAMETER;
  }

  const char* cls = table[kqs::kQueueClass].value;
  char class_option[256] = "";
  bool accept_class = false;
  if (cls[0] != '\0') {
    FormatLine(class_option, sizeof class_option, "-c%s", cls);
    if (QueueExistsUX(cls)) return KQS_CLASS_EXISTS_AS_QUEUE;
    accept_class = !ClassExists(cls);
  }

  char model_path[255];
  if (!kqs::FindModel(table[kqs::kQueueModel].value, model_path, sizeof model_path)) return KQS_FILESET_MISSING;

  // Every line is built before anything runs: a queue half made because its
  // last command did not fit would be worse than none.
  Commands commands;
  ScriptPaths paths;
  if (!commands.Build(name, class_option, model_path, cls) || !paths.Build(name) || !FilterLinesFit(name)) {
    return KQS_INVALID_PARAMETER;
  }

  bool started_scheduler = false;
  if (!SchedulerOn()) {
    if (!StartSched()) return KQS_SPOOLER_NOT_RUNNING;
    started_scheduler = true;
  }

  // All or nothing: a creation that fails takes out again what it made (the
  // queue, in the LP service and in CUPS behind it, and its backup script)
  // and leaves the scheduler as it found it.
  const int defined = xSystem(commands.define);
  const uint32_t code = defined != 0 ? DefineFailure(defined) : Complete(name, table.data(), commands, accept_class);
  if (code != KQS_SUCCESS) {
    if (defined == 0) {
      xSystem(commands.remove);
      struct stat st;
      if (kqs::CurrentEnv()->Lstat(paths.backup, &st) == 0) kqs::CurrentEnv()->Unlink(paths.backup);
    }
    if (started_scheduler) ShutSched();
    return code;
  }
  kqs::SaveQueueSettings(name, table.data());
  if (started_scheduler && !ShutSched()) return KQS_SPOOLER_STILL_RUNNING;
  Addfilter(name);
  return KQS_SUCCESS;
}
