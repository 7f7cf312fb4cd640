// The StrictModes rule for a settings file written as root.
#include "common/config/settingsguard.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "common/host/env.h"
#include "common/util/strbuf.h"

namespace {

bool OnlyRootWrites(const struct stat& st) { return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0; }

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool DirectorySafe(const std::string& dir, std::string* offender) {
  struct stat st;
  if (kqs::CurrentEnv()->Stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && OnlyRootWrites(st)) return true;
  *offender = dir;
  return false;
}

// The directory rule, then the file rule when the file exists.
bool FileAndDirectorySafe(const std::string& file, std::string* offender) {
  if (!DirectorySafe(DirectoryOf(file), offender)) return false;
  struct stat st;
  if (kqs::CurrentEnv()->Lstat(file.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
  } else if (S_ISREG(st.st_mode) && OnlyRootWrites(st)) {
    return true;
  }
  *offender = file;
  return false;
}

}  // namespace

int CheckRootOwnedSettings(const char* path, char* offender, unsigned size) {
  std::string bad;
  struct stat st;
  bool safe;
  if (kqs::CurrentEnv()->Lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
    // A link root made (to /etc/kqsd/kqsd.ini, say): the link's own directory
    // and the file it names must both be root's alone.
    char target[PATH_MAX];
    safe = st.st_uid == 0 && DirectorySafe(DirectoryOf(path), &bad) && realpath(path, target) != nullptr &&
           FileAndDirectorySafe(target, &bad);
    if (!safe && bad.empty()) bad = path;
  } else {
    safe = FileAndDirectorySafe(path, &bad);
  }
  if (safe) return 0;
  if (offender != nullptr && size > 0) RelStrCpyIntoBufA(offender, bad.c_str(), size);
  return -1;
}
