// Opening a file together with an advisory record lock, so that readers and
// writers in different processes do not meet, and named process-wide locks
// ("process critical sections") held by keeping a locked lock file open.
//
// Record locks belong to the process: they exclude other processes, never
// other threads of the same process, and closing any descriptor of a file
// drops every lock the process holds on it.
#pragma once

#include <cstdio>

// Lock types for the opens below.
constexpr int kLockNone = 0;
constexpr int kLockShared = 2;     // shared read lock
constexpr int kLockExclusive = 3;  // exclusive write lock (the stream must be writable)

// Error codes of _qvfsopen.
constexpr int kOpenOk = 0;
constexpr int kOpenFailed = 1;       // fopen failed
constexpr int kOpenBadLockType = 3;  // lock type other than 0, 2 or 3
constexpr int kOpenLockBusy = 4;     // another process holds a conflicting lock
constexpr int kOpenLockFailed = 5;   // the lock request failed otherwise

// Opens path with the fopen mode and takes the lock (on byte 0, length 1,
// without waiting). Returns the stream, or null with the reason in *error
// (error may be null). The caller closes the stream, which drops the lock.
// A "w" mode empties the file only once the lock is held, so a refused lock
// leaves the file's content alone. A refused lock never leaves a stream open.
FILE* _qvfsopen(const char* path, const char* mode, int lockType, int* error);

// _qvfsopen, retried while another process holds a conflicting lock: one try,
// then a pause of 100 ms (less when less time is left) before each further
// try until timeoutMs is used up; no try follows the last pause. Any other
// failure returns null at once. A time-out of 0 means exactly one try.
FILE* qvfsopen(const char* path, const char* mode, int lockType, int timeoutMs);
FILE* qvfsopenA(const char* path, const char* mode, int lockType, int timeoutMs);

// qvfsopen after turning backslashes into slashes (path cut to 254
// characters); for a "w" or "a" mode a failed open creates the missing
// directories of the path and tries once more.
FILE* FSOpenWithTranslate(const char* path, const char* mode, int lockType, int timeoutMs);
FILE* FSOpenWithTranslateA(const char* path, const char* mode, int lockType, int timeoutMs);

// The lock file path of fileName: the same directory and base name with the
// first character after the extension's dot turned into '_' (kqsd.ini ->
// kqsd._ni); a one-letter extension gets the '_' before its letter (a.b.c ->
// a.b._c), a trailing dot gets "_" after it, and a name without extension
// gets "._ck" (data -> data._ck). Bounded by size. Always returns 1.
int BuildLockPath(const char* fileName, char* buffer, unsigned size);

// Takes the process-wide lock named by fileName by opening its lock file with
// an exclusive lock, waiting up to timeoutMs for another process to let go.
// Returns 1 when held, 0 when not.
int EnterProcessCriticalSection(const char* fileName, int timeoutMs);
// Releases the lock taken under fileName (compared without regard to case)
// and deletes its lock file. Returns 1 when a held lock was released, 0 when
// none of that name was held.
int LeaveProcessCriticalSection(const char* fileName);

// The critical section that guards the list of held process locks; Enter
// creates it on first use, DeInit deletes it.
void FileLock_CS_Init();
void FileLock_CS_Enter();
void FileLock_CS_Leave();
void FileLock_CS_DeInit();
