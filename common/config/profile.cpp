// The INI store behind the profile calls: a process-wide cache of parsed files
// (one tree per file: file, section and key nodes in file order), the loader,
// the writer that replaces a file by rename, and the two locked calls that
// every other profile call rests on.
#include "common/config/profile.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "common/config/proclock.h"
#include "common/host/env.h"
#include "common/util/strbuf.h"
#include "common/util/strutil.h"
#include "jthread/jthread.h"

namespace {

constexpr int kLockTimeoutMs = 10000;
constexpr unsigned kLineSize = 4096;
constexpr int kLoadOutOfMemory = 5;

// One node type for the whole tree. value is the file's IniFileState on a
// file node, the value text on a key node and null elsewhere; all malloc'ed.
struct HElemStr {
  char* name;
  void* value;
  HElemStr* children;
  HElemStr* next;
};

// What the file on disk looked like when last loaded or written: a change
// shows in the nanoseconds of its modification time or in its size, so one
// made within the same second (a revoked password) is still noticed.
struct FileStamp {
  int64_t seconds;
  long nanoseconds;
  int64_t size;
  bool operator==(const FileStamp&) const = default;
};

struct IniFileState {
  int32_t dirty;
  FileStamp stamp;
};

// The stamp of fileName; all zero when it cannot be examined.
FileStamp StampOf(const char* fileName) {
  struct stat st;
  if (fileName == nullptr || kqs::CurrentEnv()->Stat(fileName, &st) != 0) return {0, 0, 0};
  return {static_cast<int64_t>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec, static_cast<int64_t>(st.st_size)};
}

char dbListHeadName[] = "(dbListHead)";
HElemStr dbListHead = {dbListHeadName, nullptr, nullptr, nullptr};

IniFileState* State(HElemStr* fileNode) { return static_cast<IniFileState*>(fileNode->value); }
const char* Text(const HElemStr* keyNode) { return static_cast<const char*>(keyNode->value); }

// ---- Tree primitives --------------------------------------------------------

HElemStr* FindChild(HElemStr* parent, const char* name) {
  for (HElemStr* c = parent->children; c != nullptr; c = c->next) {
    if (strcasecmp(c->name, name) == 0) return c;
  }
  return nullptr;
}

HElemStr* AddChild(HElemStr* parent, const char* name) {
  auto* node = static_cast<HElemStr*>(std::calloc(1, sizeof(HElemStr)));
  if (node == nullptr) return nullptr;
  node->name = strdup(name);
  if (node->name == nullptr) {
    std::free(node);
    return nullptr;
  }
  HElemStr** link = &parent->children;
  while (*link != nullptr) link = &(*link)->next;
  *link = node;
  return node;
}

void FreeChildren(HElemStr* node);

void DeleteChild(HElemStr* parent, HElemStr* child) {
  for (HElemStr** link = &parent->children; *link != nullptr; link = &(*link)->next) {
    if (*link == child) {
      *link = child->next;
      break;
    }
  }
  FreeChildren(child);
  std::free(child->name);
  std::free(child->value);
  std::free(child);
}

void FreeChildren(HElemStr* node) {
  while (node->children != nullptr) DeleteChild(node, node->children);
}

// ---- The store's lock -------------------------------------------------------
//
// csIni is made on first use and dropped by IniCleanup. A caller that was
// already waiting for a dropped one must not go on under it while newer
// callers hold its successor, so after entering, a caller checks that its
// lock is still the current one and otherwise starts over. The handle itself
// is deleted only when its last user has left.

struct CritSecBox {
  JThreadCritSecHandle cs = nullptr;
  ~CritSecBox() {
    if (cs != nullptr) JThreadCritSecDelete(cs);
  }
};

JThreadCritSecHandle csIni = nullptr;
std::shared_ptr<CritSecBox> currentIniLock;  // owns csIni
std::mutex iniLockHandleMutex;               // guards csIni and currentIniLock

std::shared_ptr<CritSecBox> CurrentIniLock() {
  std::lock_guard<std::mutex> guard(iniLockHandleMutex);
  if (!currentIniLock) {
    try {
      auto box = std::make_shared<CritSecBox>();
      if (JThreadCritSecCreate(&box->cs) != 0) return nullptr;
      currentIniLock = std::move(box);
      csIni = currentIniLock->cs;
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  return currentIniLock;
}

class IniLock {
 public:
  IniLock() {
    for (;;) {
      box_ = CurrentIniLock();
      if (!box_) return;
      JThreadCritSecEnter(box_->cs);
      {
        std::lock_guard<std::mutex> guard(iniLockHandleMutex);
        if (currentIniLock == box_) return;
      }
      JThreadCritSecLeave(box_->cs);
    }
  }
  ~IniLock() {
    if (box_) JThreadCritSecLeave(box_->cs);
  }
  IniLock(const IniLock&) = delete;
  IniLock& operator=(const IniLock&) = delete;

  explicit operator bool() const { return static_cast<bool>(box_); }

  // Makes the next caller create a fresh lock; this one goes when its last
  // user leaves.
  void Retire() {
    std::lock_guard<std::mutex> guard(iniLockHandleMutex);
    currentIniLock.reset();
    csIni = nullptr;
  }

 private:
  std::shared_ptr<CritSecBox> box_;
};

// ---- Loading ----------------------------------------------------------------

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

bool IsCommentMark(char c) { return c == ';' || c == '#' || c == ':'; }

// Parses one line (already cut at CR/LF, trailing blanks gone) into the tree.
// Returns false when memory runs out.
bool ParseLine(HElemStr* fileNode, char* line, HElemStr*& section, bool& acceptKeys) {
  char* p = NonwhiteA(line);
  if (*p == '\0' || IsCommentMark(*p)) return true;

  if (*p == '[') {
    char* name = NonwhiteA(p + 1);
    char* close = std::strchr(name, ']');
    if (close == nullptr) return true;
    *close = '\0';
    StripcrA(name);
    if (*name == '\0') return true;
    if (HElemStr* seen = FindChild(fileNode, name)) {
      // A repeated header: its keys are dropped, the first block wins.
      section = seen;
      acceptKeys = false;
      return true;
    }
    section = AddChild(fileNode, name);
    acceptKeys = section != nullptr;
    return section != nullptr;
  }

  if (!acceptKeys) return true;
  char* eq = std::strchr(p, '=');
  if (eq == nullptr) return true;
  *eq = '\0';
  StripcrA(p);
  if (*p == '\0' || FindChild(section, p) != nullptr) return true;
  HElemStr* key = AddChild(section, p);
  if (key == nullptr) return false;
  key->value = strdup(NonwhiteA(eq + 1));
  if (key->value == nullptr) {
    DeleteChild(section, key);
    return false;
  }
  return true;
}

int LoadIniFile(const char* fileName, HElemStr** fileNode) {
  auto* state = static_cast<IniFileState*>(std::calloc(1, sizeof(IniFileState)));
  if (state == nullptr) return kLoadOutOfMemory;
  state->stamp = StampOf(fileName);
  HElemStr* node = AddChild(&dbListHead, fileName);
  if (node == nullptr) {
    std::free(state);
    return kLoadOutOfMemory;
  }
  node->value = state;
  *fileNode = node;

  UniqueFile f(qvfsopenA(fileName, "r", kLockShared, kLockTimeoutMs));
  if (!f) return 0;  // missing, unreadable or locked too long: an empty file
  char line[kLineSize];
  HElemStr* section = nullptr;
  bool acceptKeys = false;
  while (std::fgets(line, sizeof line, f.get()) != nullptr) {
    StripcrA(line);
    if (!ParseLine(node, line, section, acceptKeys)) return kLoadOutOfMemory;
  }
  return 0;
}

// ---- Writing ----------------------------------------------------------------

bool WriteTree(FILE* out, const HElemStr* fileNode) {
  for (const HElemStr* s = fileNode->children; s != nullptr; s = s->next) {
    if (std::fprintf(out, "[%s]\n", s->name) < 0) return false;
    for (const HElemStr* k = s->children; k != nullptr; k = k->next) {
      if (std::fprintf(out, "%s=%s\n", k->name, Text(k)) < 0) return false;
    }
  }
  return true;
}

// Writes the tree into a fresh temporary file, created with the permissions
// of the file it replaces (0644 less the umask for a new one) so that no
// wider copy ever exists, then given that file's exact mode and, where the
// process may, its owner. Returns 1 on success, 0 on failure, and -1 (errno
// EACCES or EPERM) when the process may not create files in the directory.
int WriteTempFile(const char* tempPath, const HElemStr* fileNode, const struct stat* old) {
  kqs::Env* env = kqs::CurrentEnv();
  env->Unlink(tempPath);  // a leftover of a crashed writer with our pid
  const mode_t mode = old != nullptr ? old->st_mode & 0777 : 0644;
  const int fd = env->Open(tempPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return errno == EACCES || errno == EPERM ? -1 : 0;
  FILE* out = fdopen(fd, "w");
  if (out == nullptr) {
    close(fd);
    env->Unlink(tempPath);
    return 0;
  }
  bool ok = WriteTree(out, fileNode) && std::fflush(out) == 0;
  if (ok && old != nullptr) {
    struct stat mine;
    if (fstat(fd, &mine) == 0 && (mine.st_uid != old->st_uid || mine.st_gid != old->st_gid)) {
      if (fchown(fd, old->st_uid, old->st_gid) != 0) {
        // Only a privileged process may give the file away; keep ours.
      }
    }
    // After the owner: a change of owner clears the set-id bits.
    ok = fchmod(fd, old->st_mode & 07777) == 0;
  }
  ok = ok && env->Fsync(fd) == 0;
  ok = env->FClose(out) == 0 && ok;
  // A copy that did not reach the disk whole goes.
  if (!ok) env->Unlink(tempPath);
  return ok ? 1 : 0;
}

// Rewrites the file through out, the open stream that holds its exclusive
// lock: for a writer that may change the file but not create files beside
// it (lp keeping its rerar.ini in a directory that root owns). A reader
// waits for the lock, so it never sees the file half written.
bool RewriteInPlace(FILE* out, const HElemStr* fileNode) {
  if (std::fseek(out, 0, SEEK_SET) != 0 || !WriteTree(out, fileNode) || std::fflush(out) != 0) return false;
  const long length = std::ftell(out);
  return length >= 0 && ftruncate(fileno(out), length) == 0 && kqs::CurrentEnv()->Fsync(fileno(out)) == 0;
}

// Writes a dirty file back: takes the exclusive lock on the file to be
// replaced (a new file needs none: there is nothing to exclude readers from),
// writes the temporary file and renames it over; where the directory takes
// no new file, rewrites the file in place under that lock instead. Returns
// 0, also when there was nothing to write, or 1 with the file on disk
// untouched.
int WriteIniFile(HElemStr* fileNode) {
  IniFileState* state = State(fileNode);
  if (state->dirty == 0) return 0;
  kqs::Env* env = kqs::CurrentEnv();
  // Through a symbolic link the file it names is replaced, not the link.
  char resolved[PATH_MAX];
  const char* fileName = realpath(fileNode->name, resolved) != nullptr ? resolved : fileNode->name;

  char tempPath[PATH_MAX + 32];
  const int n = std::snprintf(tempPath, sizeof tempPath, "%s.%d.tmp", fileName, static_cast<int>(getpid()));
  if (n < 0 || static_cast<size_t>(n) >= sizeof tempPath) return 1;

  struct stat old;
  bool exists = env->Stat(fileName, &old) == 0;
  UniqueFile lock;
  if (exists) {
    lock.reset(qvfsopenA(fileName, "r+", kLockExclusive, kLockTimeoutMs));
    if (!lock) {
      // Gone meanwhile: write it as a new file. Otherwise not writable or
      // still in use.
      if (env->Stat(fileName, &old) == 0 || errno != ENOENT) return 1;
      exists = false;
    }
  }

  const int made = WriteTempFile(tempPath, fileNode, exists ? &old : nullptr);
  bool written = false;
  if (made == 1) {
    written = env->Rename(tempPath, fileName) == 0;
    // A sticky directory can let us create but not replace.
    const bool mayNotReplace = !written && (errno == EACCES || errno == EPERM);
    if (!written) env->Unlink(tempPath);
    if (mayNotReplace && lock) written = RewriteInPlace(lock.get(), fileNode);
  } else if (made == -1 && lock) {
    written = RewriteInPlace(lock.get(), fileNode);
  }
  lock.reset();
  if (!written) return 1;
  state->dirty = 0;
  state->stamp = StampOf(fileNode->name);
  return 0;
}

// ---- Cache lookup, the two workers -------------------------------------------

// The cached tree of fileName, loaded or reloaded as needed; null when the
// load ran out of memory.
HElemStr* LookupFile(const char* fileName) {
  HElemStr* node = FindChild(&dbListHead, fileName);
  // The cached file's own name: one passed in other letter case shares it.
  if (node != nullptr && !(StampOf(node->name) == State(node)->stamp)) {
    DeleteChild(&dbListHead, node);  // changed on disk: unwritten changes are lost
    node = nullptr;
  }
  if (node == nullptr && LoadIniFile(fileName, &node) != 0) return nullptr;
  return node;
}

unsigned CopyText(char* buffer, const char* text, unsigned size) {
  if (size <= 1) {
    buffer[0] = '\0';
    return 0;
  }
  RelStrCpyIntoBufA(buffer, text, size);
  return static_cast<unsigned>(std::strlen(buffer));
}

// Names of first and its siblings, each with its NUL, then one more NUL.
unsigned FillList(const HElemStr* first, char* buffer, unsigned size) {
  unsigned remaining = size - 1;
  char* pos = buffer;
  unsigned total = 0;
  for (const HElemStr* n = first; n != nullptr && remaining > 0; n = n->next) {
    RelStrCpyIntoBufA(pos, n->name, remaining);
    const unsigned len = static_cast<unsigned>(std::strlen(pos));
    total += len + 1;
    remaining -= len + 1;
    pos += len + 1;
  }
  *pos = '\0';
  return total;
}

unsigned _xGetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue,
                                    char* buffer, unsigned size, const char* fileName) {
  if (fileName == nullptr || *fileName == '\0' || defaultValue == nullptr || buffer == nullptr || size == 0) {
    return 0;
  }
  HElemStr* file = LookupFile(fileName);
  if (file == nullptr) return 0;

  if (section == nullptr) {
    if (size < 3) return 0;
    if (file->children == nullptr) return CopyText(buffer, defaultValue, size);
    return FillList(file->children, buffer, size);
  }
  HElemStr* sec = FindChild(file, section);
  if (key == nullptr) {
    if (size < 3) return 0;
    if (sec == nullptr || sec->children == nullptr) return CopyText(buffer, defaultValue, size);
    return FillList(sec->children, buffer, size);
  }
  const HElemStr* k = sec != nullptr ? FindChild(sec, key) : nullptr;
  return CopyText(buffer, k != nullptr ? Text(k) : defaultValue, size);
}

void MarkAndWrite(HElemStr* file) {
  State(file)->dirty = 1;
  WriteIniFile(file);
}

void _xWritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                  const char* fileName) {
  if (fileName == nullptr || *fileName == '\0') return;
  HElemStr* file = LookupFile(fileName);
  if (file == nullptr) return;
  if (section == nullptr && key == nullptr && value == nullptr) {
    WriteIniFile(file);
    return;
  }
  if (section == nullptr) return;
  section = NonwhiteA(section);
  if (*section == '\0') return;
  HElemStr* sec = FindChild(file, section);

  if (key == nullptr) {
    if (sec != nullptr) {
      DeleteChild(file, sec);
      MarkAndWrite(file);
    }
    return;
  }
  key = NonwhiteA(key);
  if (*key == '\0') return;

  if (value == nullptr) {
    HElemStr* k = sec != nullptr ? FindChild(sec, key) : nullptr;
    if (k != nullptr) {
      DeleteChild(sec, k);
      MarkAndWrite(file);
    }
    return;
  }

  const bool newSection = sec == nullptr;
  if (newSection && (sec = AddChild(file, section)) == nullptr) return;
  HElemStr* k = FindChild(sec, key);
  if (k != nullptr && std::strcmp(Text(k), value) == 0) return;
  char* copy = strdup(value);
  if (copy != nullptr && k == nullptr) k = AddChild(sec, key);
  if (copy == nullptr || k == nullptr) {
    std::free(copy);
    if (newSection) DeleteChild(file, sec);
    return;
  }
  std::free(k->value);
  k->value = copy;
  MarkAndWrite(file);
}

}  // namespace

// ---- Public calls -----------------------------------------------------------

int GetTimestamp(const char* fileName) {
  struct stat st;
  if (fileName == nullptr || kqs::CurrentEnv()->Stat(fileName, &st) != 0) return 0;
  return static_cast<int>(st.st_mtime);
}

unsigned xGetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue,
                                   char* buffer, unsigned size, const char* fileName) {
  IniLock lock;
  if (!lock) return 0;
  return _xGetPrivateProfileStringA(section, key, defaultValue, buffer, size, fileName);
}

void xWritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                 const char* fileName) {
  IniLock lock;
  if (!lock) return;
  _xWritePrivateProfileStringA(section, key, value, fileName);
}

void IniCleanup() {
  IniLock lock;
  if (!lock) return;
  for (HElemStr* file = dbListHead.children; file != nullptr; file = file->next) WriteIniFile(file);
  FreeChildren(&dbListHead);
  lock.Retire();
}
