// Reentrant C library wrappers and xSystem. The wrappers format into a work
// buffer of the library's own size and copy the outcome bounded into the
// caller's; xSystem splits the command line and hands it to the Env seam,
// which starts, limits and waits for the program.
#include "common/host/mtsafe.h"

#include <crypt.h>
#include <netdb.h>

#include <array>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/host/env.h"
#include "common/host/eventlog.h"
#include "common/util/strbuf.h"

JThreadCritSecHandle mtSafeCS = nullptr;
int nCommandTimeoutMs = 0;

namespace {

// asctime_r and ctime_r need 26 bytes; leave room to spare.
constexpr size_t kTimeTextSize = 64;
constexpr size_t kCommandLineSize = 1024;
constexpr int kMaxWords = 49;

char* CopyOut(char* buf, int buflen, const char* text) {
  if (buf == nullptr || buflen <= 0) return buf;
  RelStrCpyIntoBufA(buf, text != nullptr ? text : "", unsigned(buflen));
  return buf;
}

// Guards the creation of mtSafeCS; the section itself does the real work.
std::mutex& MtSafeCreateLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

char* xAsctime(const struct tm* tm, char* buf, int buflen) {
  std::array<char, kTimeTextSize> text{};
  const char* out = tm != nullptr ? asctime_r(tm, text.data()) : nullptr;
  return CopyOut(buf, buflen, out);
}

char* xAsctimeA(const struct tm* tm, char* buf, int buflen) { return xAsctime(tm, buf, buflen); }

char* xCtime(const time_t* t, char* buf, int buflen) {
  std::array<char, kTimeTextSize> text{};
  const char* out = t != nullptr ? ctime_r(t, text.data()) : nullptr;
  return CopyOut(buf, buflen, out);
}

char* xCtimeA(const time_t* t, char* buf, int buflen) { return xCtime(t, buf, buflen); }

struct tm* xGmtime(const time_t* t, struct tm* result) {
  if (result == nullptr) return nullptr;
  if (t == nullptr || gmtime_r(t, result) == nullptr) std::memset(result, 0, sizeof *result);
  return result;
}

struct tm* xLocaltime(const time_t* t, struct tm* result) {
  if (result == nullptr) return nullptr;
  if (t == nullptr || localtime_r(t, result) == nullptr) std::memset(result, 0, sizeof *result);
  return result;
}

struct dirent* xReaddir(DIR* dir, struct dirent* entry) {
  if (entry == nullptr) return nullptr;
  std::memset(entry, 0, sizeof *entry);
  if (dir == nullptr) return nullptr;
  // readdir keeps its state in the stream, so distinct streams are safe to
  // read from distinct threads. The record the library returns may be
  // shorter than struct dirent: copy field by field, never past its name.
  errno = 0;
  const struct dirent* found = readdir(dir);
  if (found == nullptr) return nullptr;
  entry->d_ino = found->d_ino;
  entry->d_off = found->d_off;
  entry->d_reclen = found->d_reclen;
  entry->d_type = found->d_type;
  RelStrCpyIntoBufA(entry->d_name, found->d_name, sizeof entry->d_name);
  return entry;
}

char* xStrtok(char* str, const char* delim, char** save) { return strtok_r(str, delim, save); }

char* xStrtokA(char* str, const char* delim, char** save) { return strtok_r(str, delim, save); }

char* xStrerror(int errnum, char* buf, int buflen) {
  if (buf == nullptr || buflen <= 0) return buf;
  const char* text = strerrordesc_np(errnum);
  if (text == nullptr) {
    std::memset(buf, 0, size_t(buflen));
    return buf;
  }
  return CopyOut(buf, buflen, text);
}

namespace {

// getpwnam_r and getgrnam_r share one shape; on any failure both the record
// and the caller's buffer are left all zero, so no stale data survives.
template <typename Record>
Record* LookupAccount(int (*lookup)(const char*, Record*, char*, size_t, Record**), const char* name,
                      Record* record, char* buf, int buflen) {
  if (record == nullptr) return nullptr;
  Record* found = nullptr;
  if (name != nullptr && buf != nullptr && buflen > 0 &&
      lookup(name, record, buf, size_t(buflen), &found) == 0 && found != nullptr) {
    return found;
  }
  std::memset(record, 0, sizeof *record);
  if (buf != nullptr && buflen > 0) std::memset(buf, 0, size_t(buflen));
  return nullptr;
}

}  // namespace

struct passwd* xGetpwnam(const char* name, struct passwd* pwd, char* buf, int buflen) {
  return LookupAccount(&getpwnam_r, name, pwd, buf, buflen);
}

struct group* xGetgrnam(const char* name, struct group* grp, char* buf, int buflen) {
  return LookupAccount(&getgrnam_r, name, grp, buf, buflen);
}

char* xCrypt(const char* key, const char* salt) {
  if (key == nullptr || salt == nullptr) return nullptr;
  return crypt(key, salt);
}

int xRexec(char** host, int port, const char* user, const char* password, const char* command,
           int* errorFd) {
  {
    std::lock_guard<std::mutex> lock(MtSafeCreateLock());
    if (mtSafeCS == nullptr && JThreadCritSecCreate(&mtSafeCS) != 0) {
      mtSafeCS = nullptr;
      return -1;
    }
  }
  CritSecGuard guard(mtSafeCS);
  return rexec(host, port, user, password, command, errorFd);
}

void MtSafeCleanup() {
  std::lock_guard<std::mutex> lock(MtSafeCreateLock());
  if (mtSafeCS != nullptr) {
    JThreadCritSecDelete(mtSafeCS);
    mtSafeCS = nullptr;
  }
}

namespace {

constexpr size_t kErrorsSize = 1024;   // what a program's stderr may fill
constexpr size_t kReasonSize = 512;    // one line of it, for the console

// The first failure's reason since xSystemForgetFailure, per thread: each
// request runs on one thread from start to end.
thread_local std::array<char, kReasonSize> tReason{};

// A program's standard error as one printable line: line breaks become "; ",
// other control bytes and bytes above 126 "?", the last break dropped.
void OneLine(const char* text, char* out, size_t size) {
  size_t n = 0;
  for (const char* p = text; *p != '\0' && n + 3 < size; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\n') {
      if (p[1] == '\0') break;
      out[n++] = ';';
      out[n++] = ' ';
    } else {
      out[n++] = c >= 32 && c < 127 ? char(c) : '?';
    }
  }
  out[n] = '\0';
}

// Event 55 (done, and said something) or 250 (failed): the program, its
// status and what it said.
void LogOutcome(const char* program, int rc, const char* said) {
  char status[16];
  std::snprintf(status, sizeof status, "%d", rc);
  const uintptr_t insertions[] = {reinterpret_cast<uintptr_t>(program), reinterpret_cast<uintptr_t>(status),
                                  reinterpret_cast<uintptr_t>(said[0] != '\0' ? said : "nothing")};
  if (rc == 0) {
    const uintptr_t note[] = {insertions[0], insertions[2]};
    EventLogAddMessage(EVENTLOG_INFORMATION_TYPE, 55, 2, note);
  } else {
    EventLogAddMessage(EVENTLOG_WARNING_TYPE, 250, 3, insertions);
  }
}

}  // namespace

const char* xSystemLastFailure() { return tReason.data(); }

void xSystemForgetFailure() { tReason[0] = '\0'; }

int xSystem(const char* commandLine) {
  if (commandLine == nullptr) return -1;
  std::array<char, kCommandLineSize> line;
  RelStrCpyIntoBufA(line.data(), commandLine, unsigned(line.size()));

  // The words stay in line; argv points into it until the child has ended.
  std::array<char*, kMaxWords + 1> argv{};
  int words = 0;
  char* save = nullptr;
  for (char* word = strtok_r(line.data(), " ", &save); word != nullptr;
       word = strtok_r(nullptr, " ", &save)) {
    if (words == kMaxWords) {
      // Running the program with arguments silently dropped could do
      // something other than asked; refuse instead.
      errno = E2BIG;
      return -1;
    }
    argv[words++] = word;
  }
  if (words == 0) return -1;
  const int limit = nCommandTimeoutMs;
  const auto start = std::chrono::steady_clock::now();
  std::array<char, kErrorsSize> errors;
  const int rc = kqs::CurrentEnv()->RunProgram(argv.data(), limit, errors.data(), errors.size());
  if (rc == -1 && limit > 0 && std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(limit)) {
    const uintptr_t program = reinterpret_cast<uintptr_t>(argv[0]);
    EventLogAddMessage(EVENTLOG_WARNING_TYPE, 212, 1, &program);
  }
  // Why a command failed reaches the log, and the first reason of a request
  // its console.
  std::array<char, kReasonSize> said;
  OneLine(errors.data(), said.data(), said.size());
  if (rc != 0 || said[0] != '\0') LogOutcome(argv[0], rc, said.data());
  if (rc != 0 && tReason[0] == '\0') RelStrCpyIntoBufA(tReason.data(), said.data(), unsigned(tReason.size()));
  return rc;
}
