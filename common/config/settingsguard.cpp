// The StrictModes rule for a settings file, applied to its whole path.
#include "common/config/settingsguard.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <string>

#include "common/host/env.h"
#include "common/util/pathnames.h"
#include "common/util/strbuf.h"

namespace {

constexpr int kMaxLinks = 32;

bool OnlyRootWrites(const struct stat& st) { return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0; }

// A directory whose entries no account but root can add, replace or remove;
// in a sticky directory of root's only the owner of an entry may replace it,
// and the entry itself is checked next.
bool SafeDirectory(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == 0 && (OnlyRootWrites(st) || (st.st_mode & S_ISVTX) != 0);
}

std::string Join(const std::string& dir, const std::string& name) { return dir == "/" ? "/" + name : dir + "/" + name; }

std::string Parent(const std::string& dir) {
  const size_t slash = dir.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
}

int Walk(const std::string& path, std::string* offender) {
  kqs::Env* env = kqs::CurrentEnv();
  std::deque<std::string> names;
  std::string start = "/";
  if (path.empty() || path[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return (*offender = path, kSettingsUnsafe);
    kqs::PushPathNames(cwd, &names);
  }
  kqs::PushPathNames(path, &names);
  struct stat st;
  std::string here = start;
  if (env->Lstat("/", &st) != 0 || !SafeDirectory(st)) return (*offender = "/", kSettingsUnsafe);
  int links = 0;
  while (!names.empty()) {
    const std::string name = names.front();
    names.pop_front();
    if (name == ".") continue;
    if (name == "..") {
      here = Parent(here);
      continue;
    }
    const std::string next = Join(here, name);
    *offender = next;
    if (env->Lstat(next.c_str(), &st) != 0) {
      if (errno != ENOENT) return kSettingsUnsafe;
      return names.empty() && links == 0 ? kSettingsAbsent : kSettingsMissing;
    }
    if (S_ISLNK(st.st_mode)) {
      if (st.st_uid != 0 || ++links > kMaxLinks) return kSettingsUnsafe;
      char target[PATH_MAX];
      const ssize_t n = env->Readlink(next.c_str(), target, sizeof target - 1);
      if (n <= 0) return kSettingsUnsafe;
      target[n] = '\0';
      if (target[0] == '/') here = "/";
      kqs::PushPathNames(target, &names);
      continue;
    }
    const bool last = names.empty();
    if (last ? !(S_ISREG(st.st_mode) && OnlyRootWrites(st)) : !SafeDirectory(st)) return kSettingsUnsafe;
    here = next;
  }
  offender->clear();
  return kSettingsSafe;
}

}  // namespace

int CheckRootOwnedSettings(const char* path, char* offender, unsigned size) {
  std::string bad;
  const int verdict = Walk(path != nullptr ? path : "", &bad);
  if (offender != nullptr && size > 0) RelStrCpyIntoBufA(offender, bad.c_str(), size);
  return verdict;
}
