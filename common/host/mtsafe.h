// Reentrant forms of the C library calls that would otherwise hand back
// static storage, and xSystem, the daemon's only way to run a program.
// Results go into the caller's buffers; nothing here allocates memory that
// the caller must free, and a failure never leaves stale data behind.
#pragma once

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <time.h>

#include "jthread/jthread.h"

// Serialises xRexec; created by its first call, deleted by MtSafeCleanup.
extern JThreadCritSecHandle mtSafeCS;

// asctime/ctime text ("Wed Jun 30 21:49:08 1993\n") into buf, cut to
// buflen-1 characters. Returns buf ("" when the time cannot be formatted).
char* xAsctime(const struct tm* tm, char* buf, int buflen);
char* xAsctimeA(const struct tm* tm, char* buf, int buflen);
char* xCtime(const time_t* t, char* buf, int buflen);
char* xCtimeA(const time_t* t, char* buf, int buflen);

// Broken-down UTC / local time into result. Returns result always; when the
// conversion fails every field of result is 0.
struct tm* xGmtime(const time_t* t, struct tm* result);
struct tm* xLocaltime(const time_t* t, struct tm* result);

// Reads the next entry of dir into entry (room for one struct dirent, which
// holds any file name on this platform). Returns entry, or null at the end
// of the directory or on error, with entry then all zero bytes.
struct dirent* xReaddir(DIR* dir, struct dirent* entry);

// strtok_r with the caller's save pointer.
char* xStrtok(char* str, const char* delim, char** save);
char* xStrtokA(char* str, const char* delim, char** save);

// The system's text for errnum into buf, cut to buflen-1 characters. When
// the system has no text for errnum, buf is all zero bytes. Returns buf.
char* xStrerror(int errnum, char* buf, int buflen);

// getpwnam_r / getgrnam_r into the caller's record and string buffer.
// Returns the record, or null when there is no such entry or the lookup
// failed; record and buffer are then all zero bytes.
struct passwd* xGetpwnam(const char* name, struct passwd* pwd, char* buf, int buflen);
struct group* xGetgrnam(const char* name, struct group* grp, char* buf, int buflen);

// The C library's crypt (not serialised: one caller, the request thread).
// Returns its static text, or null.
char* xCrypt(const char* key, const char* salt);

// rexec under mtSafeCS. Returns the socket from rexec, or -1.
int xRexec(char** host, int port, const char* user, const char* password,
           const char* command, int* errorFd);

// Deletes mtSafeCS if it exists and sets it back to null.
void MtSafeCleanup();

// Longest an xSystem program may run, in milliseconds; 0 (the default) for
// no limit. A program still running then is killed with its process group,
// xSystem returns -1 and warning 212 names the program. Set at start-up.
extern int nCommandTimeoutMs;

// Runs a program and waits for it. commandLine is cut to 1023 characters and
// split at spaces (runs of spaces count as one; tabs are ordinary
// characters; no shell, quoting or PATH search): the first word is the
// program's path and also its argument 0. The child leads a process group of
// its own and has stdio on /dev/null, none of the daemon's descriptors 3..59,
// SIGHUP and SIGCHLD ignored, no signal blocked and umask 022 (see
// kqs::Env::RunProgram), but its standard error captured: a program that
// fails is logged with warning 250 (program, status, its standard error as
// one line of at most 511 characters), one that succeeds but wrote there with
// information 55 (program and text). Returns the program's exit code, or -1 when there is no word or
// more than 49 words (nothing is run then), the child could not be started
// or waited for, or it was ended by a signal. A program that cannot be
// executed ends with a nonzero code.
int xSystem(const char* commandLine);

// The standard error (one line, as logged) of the first program that failed
// on this thread since xSystemForgetFailure; "" when none failed or it said
// nothing. A request handler's caller forgets before and reads after.
const char* xSystemLastFailure();
void xSystemForgetFailure();
