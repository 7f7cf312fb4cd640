// Queue state, jobs and settings, and the changes made to queues in place:
// lpquery's records merged with what the daemon knows of its own queues, and
// the LP commands that stop, start, cancel, move and redefine.
#include "queueadmin/queuestate.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "common/host/env.h"
#include "common/host/mtsafe.h"
#include "protocol/extension.h"
#include "protocol/kqsids.h"
#include "queueadmin/lppaths.h"
#include "queueadmin/namecheck.h"
#include "queueadmin/queueadd.h"
#include "queueadmin/scheduler.h"

namespace {

using kqs::FormatLine;
using kqs::LpPaths;
using Table = std::array<ParameterEntry, kqs::kQueueParameterCount>;

// More than lpquery writes for thousands of queues or jobs.
constexpr size_t kMaxQueryOutput = 8 << 20;
// A reason becomes CUPS's state message.
constexpr size_t kMaxReason = 255;

struct ParseCopyFree {
  void operator()(char* copy) const { ParseFree(copy); }
};
using ParseCopy = std::unique_ptr<char, ParseCopyFree>;

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

// A queue the daemon made: a safe name whose interface script is a regular
// file of the lp account's (as the queue listing has it).
bool IsOwnQueue(const std::string& name) {
  char path[255];
  struct stat st;
  return kqs::IsSafeLpName(name.c_str()) &&
         FormatLine(path, sizeof path, "%s/%s", LpPaths().interfaces, name.c_str()) &&
         kqs::CurrentEnv()->Lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == lpid;
}

// The daemon's queues, in name order.
std::vector<std::string> OwnQueues() {
  std::vector<std::string> names;
  std::unique_ptr<DIR, DirCloser> d(opendir(LpPaths().interfaces));
  if (!d) return names;
  struct dirent entry;
  while (xReaddir(d.get(), &entry) != nullptr) {
    if (IsOwnQueue(entry.d_name)) names.emplace_back(entry.d_name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Runs an LP command with these words (no shell: a reason may hold blanks);
// its standard output goes to output when one is given. Returns its exit
// code, or -1.
int Run(std::vector<std::string> words, std::string* output = nullptr) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  kqs::Env* env = kqs::CurrentEnv();
  return output != nullptr ? env->RunProgramOutput(argv.data(), nCommandTimeoutMs, output, kMaxQueryOutput)
                           : env->RunProgram(argv.data(), nCommandTimeoutMs, nullptr, 0);
}

// A listing kept from the first call of an enumeration for its second, so
// that the print service is asked once per listing.
struct Pending {
  uint32_t type = 0;
  std::string name;
  std::string text;
  bool valid = false;
};
thread_local Pending g_pending;

uint32_t Negotiate(uint32_t type, const char* name, unsigned char* buffer, uint32_t* size,
                   const std::function<uint32_t(std::string*)>& produce) {
  if (size == nullptr || name == nullptr) return KQS_INVALID_PARAMETER;
  std::string text;
  if (buffer != nullptr && g_pending.valid && g_pending.type == type && g_pending.name == name) {
    text = std::move(g_pending.text);
  } else if (uint32_t rc = produce(&text); rc != KQS_SUCCESS) {
    return rc;
  }
  g_pending.valid = false;
  if (text.empty()) {
    *size = 0;
    return KQS_SUCCESS;
  }
  if (buffer == nullptr || text.size() > *size) {
    *size = static_cast<uint32_t>(text.size());
    g_pending = Pending{type, name, std::move(text), true};
    return KQS_INSUFFICIENT_BUFFER;
  }
  std::memcpy(buffer, text.data(), text.size());
  *size = static_cast<uint32_t>(text.size());
  return KQS_SUCCESS;
}

// The first line of a small file, or "".
std::string FirstLine(const char* path) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(kqs::CurrentEnv()->FOpen(path, "r"), std::fclose);
  char line[4096];
  if (!f || std::fgets(line, sizeof line, f.get()) == nullptr) return "";
  line[std::strcspn(line, "\n")] = '\0';
  return line;
}

// The path of the settings record of queue name; false when it does not fit.
bool SettingsPath(const char* name, char* path, unsigned size) {
  return FormatLine(path, size, "%s/model.orig/%s.settings", LpPaths().interfaces, name);
}

// Fills a fresh add-queue table from a complete parameter list.
bool ParseComplete(char* copy, Table* table) {
  std::copy(std::begin(QueueParameterTable), std::end(QueueParameterTable), table->begin());
  return ParseParameters(copy, table->data(), table->size()) == KQS_SUCCESS;
}

std::string Value(const Table& t, kqs::QueueParameter p) { return t[p].value != nullptr ? t[p].value : ""; }

uint32_t ListStates(const std::string& only, std::string* text) {
  // The print service is asked while the daemon reads its own records of the
  // queues: with a thousand queues each takes about as long as the other.
  std::string output;
  int rc = -1;
  std::thread query([&output, &rc] { rc = Run({LpPaths().lpquery, "printers"}, &output); });
  const std::string default_dest = FirstLine(LpPaths().defaultDest);
  std::vector<std::vector<std::string>> rows;
  for (const std::string& name : only.empty() ? OwnQueues() : std::vector<std::string>{only}) {
    std::vector<std::string>& f = rows.emplace_back(kqs::kStateFieldCount);
    f[kqs::kStateName] = name;
    std::string list;
    Table t;
    ParseCopy copy(kqs::LoadQueueSettings(name.c_str(), &list) ? ParseAlloc(list.c_str()) : nullptr);
    if (copy && ParseComplete(copy.get(), &t)) {
      f[kqs::kStateDevice] = Value(t, kqs::kQueueDevice);
      f[kqs::kStateModel] = Value(t, kqs::kQueueModel);
      f[kqs::kStateClass] = Value(t, kqs::kQueueClass);
    }
    f[kqs::kStateDefault] = name == default_dest ? "yes" : "no";
  }
  query.join();
  std::map<std::string, std::vector<std::string>> service;
  if (rc == 0) {
    for (auto& r : kqs::ParseRecords(output, 6)) service[r[0]] = std::move(r);
  }
  for (std::vector<std::string>& f : rows) {
    if (auto it = service.find(f[kqs::kStateName]); it != service.end()) {
      const auto& s = it->second;
      f[kqs::kStateState] = s[1];
      f[kqs::kStateAccepting] = s[2];
      f[kqs::kStateJobs] = s[3];
      f[kqs::kStateMessage] = s[4];
      f[kqs::kStateReasons] = s[5];
    } else {
      f[kqs::kStateState] = "unknown";
      f[kqs::kStateAccepting] = f[kqs::kStateJobs] = "-";
      f[kqs::kStateMessage] = rc == 0 ? "the print service does not know the queue" : "the print service cannot be asked";
    }
    *text += kqs::RecordLine(f);
  }
  return KQS_SUCCESS;
}

// The unfinished jobs of queue only (or of every queue of the daemon's).
bool ListJobs(const std::string& only, std::vector<std::vector<std::string>>* jobs) {
  std::vector<std::string> words{LpPaths().lpquery, "jobs"};
  if (!only.empty()) words.push_back(only);
  std::string output;
  if (Run(words, &output) != 0) return false;
  std::map<std::string, bool> own;
  for (auto& r : kqs::ParseRecords(output, kqs::kJobFieldCount)) {
    const std::string& queue = r[kqs::kJobQueue];
    auto it = own.find(queue);
    if (it == own.end()) it = own.emplace(queue, IsOwnQueue(queue)).first;
    if (it->second && (only.empty() || queue == only)) jobs->push_back(std::move(r));
  }
  return true;
}

// A reason is one line of text.
bool IsSafeReason(const char* reason) {
  const size_t n = std::strlen(reason);
  return n <= kMaxReason && std::none_of(reason, reason + n, [](char c) {
           return static_cast<unsigned char>(c) < ' ' || c == 0x7f;
         });
}

// Runs command on name with the scheduler running, as accept and enable
// need; a scheduler started here is stopped again.
uint32_t WithScheduler(const std::vector<std::string>& words, uint32_t failure) {
  bool started = false;
  if (!SchedulerOn()) {
    if (!StartSched()) return KQS_SPOOLER_NOT_RUNNING;
    started = true;
  }
  const uint32_t rc = Run(words) == 0 ? KQS_SUCCESS : failure;
  if (started && !ShutSched() && rc == KQS_SUCCESS) return KQS_SPOOLER_STILL_RUNNING;
  return rc;
}

// Parses list against the entries of table, all of them required.
template <size_t N>
bool ParseRequired(const char* list, ParseCopy* copy, std::array<ParameterEntry, N>* table) {
  copy->reset(ParseAlloc(list));
  return ParseParameters(copy->get(), table->data(), N) == KQS_SUCCESS;
}

}  // namespace

bool kqs::SaveQueueSettings(const char* name, const ParameterEntry* table) {
  std::string list;
  for (unsigned i = 0; i < kQueueParameterCount; ++i) {
    if (i > 0) list += ';';
    list += std::string(QueueParameterTable[i].name) + "=" + (table[i].value != nullptr ? table[i].value : "");
  }
  char path[255];
  char fresh[255];
  if (!SettingsPath(name, path, sizeof path) || !FormatLine(fresh, sizeof fresh, "%s.new", path)) return false;
  Env* env = CurrentEnv();
  std::unique_ptr<FILE, int (*)(FILE*)> f(env->FOpen(fresh, "w"), std::fclose);
  if (!f) return false;
  const bool written = std::fputs((list + "\n").c_str(), f.get()) >= 0 && env->FClose(f.release()) == 0;
  if (written && env->Rename(fresh, path) == 0) return true;
  env->Unlink(fresh);
  return false;
}

bool kqs::LoadQueueSettings(const char* name, std::string* list) {
  char path[255];
  if (!SettingsPath(name, path, sizeof path)) return false;
  *list = FirstLine(path);
  return !list->empty();
}

uint32_t QueueStateEnumUX(const char* name, unsigned char* buffer, uint32_t* size) {
  if (name != nullptr && name[0] != '\0' && !IsOwnQueue(name)) return KQS_INVALID_OBJECT_NAME;
  return Negotiate(TYPE_KQS_QUEUE_STATE, name, buffer, size,
                   [&](std::string* text) { return ListStates(name, text); });
}

uint32_t JobEnumUX(const char* name, unsigned char* buffer, uint32_t* size) {
  if (name != nullptr && name[0] != '\0' && !IsOwnQueue(name)) return KQS_INVALID_OBJECT_NAME;
  return Negotiate(TYPE_KQS_JOB, name, buffer, size, [&](std::string* text) {
    std::vector<std::vector<std::string>> jobs;
    if (!ListJobs(name, &jobs)) return KQS_FAILURE;
    for (auto& j : jobs) {
      j.resize(kqs::kJobFieldCount);
      *text += kqs::RecordLine(j);
    }
    return KQS_SUCCESS;
  });
}

uint32_t QueueSettingsEnumUX(const char* name, unsigned char* buffer, uint32_t* size) {
  if (name == nullptr || !IsOwnQueue(name)) return KQS_INVALID_OBJECT_NAME;
  return Negotiate(TYPE_KQS_QUEUE_SETTINGS, name, buffer, size, [&](std::string* text) {
    if (!kqs::LoadQueueSettings(name, text)) return KQS_OBJECT_OUTOFDATE;
    text->push_back('\0');
    return KQS_SUCCESS;
  });
}

uint32_t QueueStateChangeUX(const char* name, const char* parameters) {
  if (name == nullptr || !IsOwnQueue(name)) return KQS_INVALID_OBJECT_NAME;
  std::array<ParameterEntry, 2> table{{{"Action", nullptr}, {"Reason", nullptr}}};
  ParseCopy copy;
  if (!ParseRequired(parameters, &copy, &table) || !IsSafeReason(table[1].value)) return KQS_INVALID_PARAMETER;
  const std::string action = table[0].value;
  const std::string reason = table[1].value;
  const kqs::LpPathSet& lp = LpPaths();
  if (action == "enable") return WithScheduler({lp.enable, name}, KQS_ENABLE_FAILURE);
  if (action == "accept") return WithScheduler({lp.accept, name}, KQS_ACCEPT_QUEUE_FAILURE);
  if (action != "disable" && action != "reject") return KQS_INVALID_PARAMETER;
  std::vector<std::string> words{action == "disable" ? lp.disable : lp.reject};
  if (!reason.empty()) words.insert(words.end(), {"-r", reason});
  words.emplace_back(name);
  return Run(words) == 0 ? KQS_SUCCESS : KQS_FAILURE;
}

uint32_t JobCancelUX(const char* name, const char* parameters) {
  if (name == nullptr || (name[0] != '\0' && !IsOwnQueue(name))) return KQS_INVALID_OBJECT_NAME;
  std::array<ParameterEntry, 1> table{{{"Job", nullptr}}};
  ParseCopy copy;
  if (!ParseRequired(parameters, &copy, &table)) return KQS_INVALID_PARAMETER;
  const std::string job = table[0].value;
  const kqs::LpPathSet& lp = LpPaths();
  if (job == "*") {
    if (name[0] == '\0') return KQS_INVALID_OBJECT_NAME;
    return Run({lp.cancel, "-a", name}) == 0 ? KQS_SUCCESS : KQS_FAILURE;
  }
  if (job.empty() || job.size() > 9 || !std::all_of(job.begin(), job.end(), ::isdigit)) return KQS_INVALID_PARAMETER;
  // Only a job that is on one of the daemon's queues is cancelled.
  std::vector<std::vector<std::string>> jobs;
  if (!ListJobs(name, &jobs)) return KQS_FAILURE;
  auto it = std::find_if(jobs.begin(), jobs.end(), [&](const auto& j) { return j[kqs::kJobId] == job; });
  if (it == jobs.end()) return KQS_INVALID_OBJECT_NAME;
  return Run({lp.cancel, (*it)[kqs::kJobQueue] + "-" + job}) == 0 ? KQS_SUCCESS : KQS_FAILURE;
}

uint32_t JobMoveUX(const char* name, const char* parameters) {
  if (name == nullptr || !IsOwnQueue(name)) return KQS_INVALID_OBJECT_NAME;
  std::array<ParameterEntry, 1> table{{{"Destination", nullptr}}};
  ParseCopy copy;
  if (!ParseRequired(parameters, &copy, &table)) return KQS_INVALID_PARAMETER;
  if (!IsOwnQueue(table[0].value)) return KQS_INVALID_OBJECT_NAME;
  return Run({LpPaths().lpmove, name, table[0].value}) == 0 ? KQS_SUCCESS : KQS_FAILURE;
}

uint32_t QueueModifyUX(const char* name, const char* parameters) {
  if (name == nullptr || !IsOwnQueue(name)) return KQS_INVALID_OBJECT_NAME;
  std::string recorded;
  if (!kqs::LoadQueueSettings(name, &recorded)) return KQS_OBJECT_OUTOFDATE;
  ParseCopy old_copy(ParseAlloc(recorded.c_str()));
  Table table;
  if (!old_copy || !ParseComplete(old_copy.get(), &table)) return KQS_OBJECT_OUTOFDATE;
  const std::string old_class = Value(table, kqs::kQueueClass);

  // The request names any of the keys, each once.
  ParseCopy copy(ParseAlloc(parameters));
  if (!copy) return KQS_FAILURE;
  std::set<unsigned> seen;
  char* cursor = copy.get();
  char* key = nullptr;
  char* value = nullptr;
  while (cursor != nullptr && ParseNextParameter(&cursor, &key, &value) == 1) {
    unsigned i = 0;
    while (i < table.size() && strcasecmp(key, QueueParameterTable[i].name) != 0) ++i;
    if (i == table.size() || !seen.insert(i).second) return KQS_INVALID_PARAMETER;
    table[i].value = value;
  }
  if (!kqs::QueueValuesAreSafe(table.data())) return KQS_INVALID_PARAMETER;
  const std::string cls = Value(table, kqs::kQueueClass);
  if (cls != old_class && !cls.empty() && QueueExistsUX(cls.c_str())) return KQS_CLASS_EXISTS_AS_QUEUE;
  char model_path[255];
  if (!kqs::FindModel(table[kqs::kQueueModel].value, model_path, sizeof model_path)) return KQS_FILESET_MISSING;

  const kqs::LpPathSet& lp = LpPaths();
  if (kqs::ReplaceScripts(name, table.data(), model_path) != KQS_SUCCESS) return KQS_QUEUE_SETUP_FAILURE;
  if (cls != old_class) {
    if (!old_class.empty() && Run({lp.lpadmin, std::string("-p") + name, "-r" + old_class}) != 0)
      return KQS_LPADMIN_FAILURE;
    if (!cls.empty()) {
      const bool new_class = !ClassExists(cls.c_str());
      if (Run({lp.lpadmin, std::string("-p") + name, "-c" + cls}) != 0) return KQS_LPADMIN_FAILURE;
      if (new_class) {
        if (const uint32_t rc = WithScheduler({lp.accept, cls}, KQS_ACCEPT_CLASS_FAILURE); rc != KQS_SUCCESS) return rc;
      }
    }
  }
  if (Value(table, kqs::kQueueDefault) == "ON" && Run({lp.lpadmin, std::string("-d") + name}) != 0)
    return KQS_DEFAULT_QUEUE_FAILURE;
  return kqs::SaveQueueSettings(name, table.data()) ? KQS_SUCCESS : KQS_QUEUE_SETUP_FAILURE;
}
