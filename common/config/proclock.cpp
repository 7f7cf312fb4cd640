// Locked file opens with retry, lock file names and the process critical
// sections built on them. The opens go through the Env seam; the record lock
// itself is a plain fcntl on the stream's descriptor.
#include "common/config/proclock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/host/env.h"
#include "common/host/fileops.h"
#include "common/host/sysinfo.h"
#include "common/util/pathutil.h"
#include "common/util/strbuf.h"
#include "jthread/jthread.h"

namespace {

constexpr int kRetryStepMs = 100;
constexpr unsigned kPathSize = 255;

struct ProcessLockNode {
  char name[256];
  FILE* stream;
  ProcessLockNode* next;
};

// Head of the list of held process critical sections; its own fields unused.
ProcessLockNode processLockList;
JThreadCritSecHandle csLock = nullptr;
// Makes creating and deleting csLock a one-at-a-time affair.
std::mutex csLockHandleMutex;

// A "w" mode must not empty the file before the lock is held, so such opens
// use "r+" (same binary flag) and truncate once locked. Returns false when
// mode is not a "w" mode.
bool UpdateModeFor(const char* mode, char* out, size_t size) {
  if (mode[0] != 'w') return false;
  std::snprintf(out, size, "r+%s", std::strchr(mode, 'b') != nullptr ? "b" : "");
  return true;
}

// Opens a "w"-mode file without truncating it: an existing file as "r+", a
// missing one created exclusively (so a file made by someone else meanwhile
// is not emptied, but opened as "r+" on the next round).
FILE* OpenForDeferredTruncate(const char* path, const char* mode, const char* updateMode) {
  kqs::Env* env = kqs::CurrentEnv();
  char createMode[8];
  std::snprintf(createMode, sizeof createMode, "%sx", mode);
  for (int round = 0; round < 3; ++round) {
    if (FILE* f = env->FOpen(path, updateMode)) return f;
    if (errno != ENOENT) return nullptr;
    if (FILE* f = env->FOpen(path, createMode)) return f;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

// A lock taken on a lock file that its holder deleted meanwhile protects
// nothing; the holder unlinks before it lets go, so checking that the name
// still leads to the locked file is enough.
constexpr int kStaleLockRounds = 10;

bool StillNamedBy(FILE* f, const char* path) {
  struct stat opened, named;
  if (fstat(fileno(f), &opened) != 0 || kqs::CurrentEnv()->Stat(path, &named) != 0) return false;
  return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace

FILE* _qvfsopen(const char* path, const char* mode, int lockType, int* error) {
  int ignored;
  if (error == nullptr) error = &ignored;
  *error = kOpenFailed;
  if (path == nullptr || mode == nullptr) return nullptr;
  if (lockType != kLockNone && lockType != kLockShared && lockType != kLockExclusive) {
    // Refused before anything is opened, so a "w" mode cannot empty the file.
    *error = kOpenBadLockType;
    return nullptr;
  }

  char updateMode[8];
  const bool deferTruncate = lockType != kLockNone && UpdateModeFor(mode, updateMode, sizeof updateMode);
  FILE* f = deferTruncate ? OpenForDeferredTruncate(path, mode, updateMode) : kqs::CurrentEnv()->FOpen(path, mode);
  if (f == nullptr) return nullptr;
  if (lockType == kLockNone) {
    *error = kOpenOk;
    return f;
  }

  struct flock lock {};
  lock.l_type = lockType == kLockShared ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  if (fcntl(fileno(f), F_SETLK, &lock) != 0) {
    *error = (errno == EACCES || errno == EAGAIN) ? kOpenLockBusy : kOpenLockFailed;
    std::fclose(f);
    return nullptr;
  }
  if (deferTruncate && ftruncate(fileno(f), 0) != 0) {
    *error = kOpenFailed;
    std::fclose(f);
    return nullptr;
  }
  *error = kOpenOk;
  return f;
}

FILE* qvfsopen(const char* path, const char* mode, int lockType, int timeoutMs) {
  int left = timeoutMs;
  for (;;) {
    int error = kOpenFailed;
    if (FILE* f = _qvfsopen(path, mode, lockType, &error)) return f;
    if (error != kOpenLockBusy) return nullptr;
    const int pause = std::min(kRetryStepMs, left);
    if (pause <= 0) return nullptr;
    xSleep(pause);
    left -= pause;
    if (left <= 0) return nullptr;
  }
}

FILE* qvfsopenA(const char* path, const char* mode, int lockType, int timeoutMs) {
  return qvfsopen(path, mode, lockType, timeoutMs);
}

FILE* FSOpenWithTranslate(const char* path, const char* mode, int lockType, int timeoutMs) {
  if (path == nullptr || mode == nullptr) return nullptr;
  char translated[kPathSize];
  RelStrCpyIntoBufA(translated, path, sizeof translated);
  TranslateDirectorySlashes(translated);
  if (FILE* f = qvfsopen(translated, mode, lockType, timeoutMs)) return f;
  if (mode[0] != 'w' && mode[0] != 'a') return nullptr;
  CreateSubDirs(translated);
  return qvfsopen(translated, mode, lockType, timeoutMs);
}

FILE* FSOpenWithTranslateA(const char* path, const char* mode, int lockType, int timeoutMs) {
  return FSOpenWithTranslate(path, mode, lockType, timeoutMs);
}

int BuildLockPath(const char* fileName, char* buffer, unsigned size) {
  if (buffer == nullptr || size == 0) return 1;
  PathComponents parts;
  xSplitPathA(fileName != nullptr ? fileName : "", &parts);
  char* ext = parts.ext;  // with its leading '.', or empty
  if (ext[0] == '\0') {
    RelStrCpyIntoBufA(ext, "._ck", sizeof parts.ext);
  } else if (std::strlen(ext) <= 2) {
    // A one-letter extension keeps its letter after the '_' (a.b.c ->
    // a.b._c), so that x.c and x.d do not share a lock file.
    std::memmove(ext + 2, ext + 1, std::strlen(ext + 1) + 1);
    ext[1] = '_';
  } else {
    ext[1] = '_';
  }
  xMakePathA(buffer, &parts, size);
  return 1;
}

void FileLock_CS_Init() {
  std::lock_guard<std::mutex> guard(csLockHandleMutex);
  if (csLock == nullptr) JThreadCritSecCreate(&csLock);
}

void FileLock_CS_Enter() {
  FileLock_CS_Init();
  JThreadCritSecHandle cs;
  {
    std::lock_guard<std::mutex> guard(csLockHandleMutex);
    cs = csLock;
  }
  if (cs != nullptr) JThreadCritSecEnter(cs);
}

void FileLock_CS_Leave() {
  JThreadCritSecHandle cs;
  {
    std::lock_guard<std::mutex> guard(csLockHandleMutex);
    cs = csLock;
  }
  if (cs != nullptr) JThreadCritSecLeave(cs);
}

void FileLock_CS_DeInit() {
  std::lock_guard<std::mutex> guard(csLockHandleMutex);
  if (csLock != nullptr) {
    JThreadCritSecDelete(csLock);
    csLock = nullptr;
  }
}

int EnterProcessCriticalSection(const char* fileName, int timeoutMs) {
  if (fileName == nullptr) return 0;
  char lockPath[kPathSize];
  BuildLockPath(fileName, lockPath, sizeof lockPath);
  FILE* f = nullptr;
  for (int round = 0; round < kStaleLockRounds && f == nullptr; ++round) {
    f = qvfsopenA(lockPath, "w", kLockExclusive, timeoutMs);
    if (f == nullptr) return 0;
    if (!StillNamedBy(f, lockPath)) {
      std::fclose(f);
      f = nullptr;
    }
  }
  if (f == nullptr) return 0;
  auto* node = static_cast<ProcessLockNode*>(std::calloc(1, sizeof(ProcessLockNode)));
  if (node == nullptr) {
    std::fclose(f);
    return 0;
  }
  RelStrCpyIntoBufA(node->name, fileName, sizeof node->name);
  node->stream = f;
  FileLock_CS_Enter();
  node->next = processLockList.next;
  processLockList.next = node;
  FileLock_CS_Leave();
  return 1;
}

int LeaveProcessCriticalSection(const char* fileName) {
  if (fileName == nullptr) return 0;
  ProcessLockNode* found = nullptr;
  FileLock_CS_Enter();
  for (ProcessLockNode* prev = &processLockList; prev->next != nullptr; prev = prev->next) {
    if (strcasecmp(prev->next->name, fileName) == 0) {
      found = prev->next;
      prev->next = found->next;
      break;
    }
  }
  FileLock_CS_Leave();
  if (found == nullptr) return 0;

  char lockPath[kPathSize];
  BuildLockPath(found->name, lockPath, sizeof lockPath);  // the spelling it was made with
  // Unlinked while still locked, so a process that opened the file and then
  // gets the lock finds the name gone and starts over on a fresh file.
  kqs::CurrentEnv()->Unlink(lockPath);
  std::fclose(found->stream);
  std::free(found);
  return 1;
}
