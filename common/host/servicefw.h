// Service framework: runs a program as a detached UNIX daemon in the manner of
// a Windows service, or in the foreground under a supervisor such as systemd.
// The program supplies a start routine and a stop routine; the framework
// detaches (or not), runs the start routine on a thread of its own, waits for
// SIGTERM, raises the shutdown flag that every loop of the program watches
// and runs the stop routine. Also a few service-side logging and exit calls.
#pragma once

#include <cstdint>

// The program's start routine returns 0 when the service runs, -1 when
// start-up failed and kServiceBadConfiguration when it failed on the
// configuration (settings, accounts, paths), which a restart cannot mend;
// the stop routine is called once the shutdown flag is set.
typedef int (*ServiceBeginRoutine)();
typedef void (*ServiceEndRoutine)();
inline constexpr int kServiceBadConfiguration = -2;
// The exit status in the foreground after kServiceBadConfiguration
// (sysexits' EX_CONFIG): the systemd unit does not restart on it.
inline constexpr int kExitBadConfiguration = 78;

// Installs the program's start and stop routines (ServiceBegin and ServiceEnd
// of the daemon). Call before ServiceStart or ServiceStartBackground; without
// them ServiceStart returns at once.
void ServiceSetRoutines(ServiceBeginRoutine begin, ServiceEndRoutine end);

// Records the names, detaches (fork, new session without a controlling
// terminal, SIGHUP and SIGPIPE ignored, fork again, standard streams on
// /dev/null, umask 022) and runs ServiceStart in the grandchild, which exits
// with status 0 when it returns. The starting process and the intermediate
// child exit with status 0; a failed fork or session change exits with 1.
// Reads no argument but argv[0]; dependencies is accepted and not used.
[[noreturn]] void ServiceStartBackground(int argc, char** argv, const char* serviceName,
                                         const char* displayName, const char* dependencies);

// Records the names as ServiceStartBackground does and runs ServiceStart
// without detaching: the process keeps its standard streams, session and
// working directory and its file creation mask (a supervisor's, such as the
// unit's UMask=); SIGHUP and SIGPIPE are ignored, and SIGINT stops the
// service as SIGTERM does. Exits with status 0 after an orderly stop,
// kExitBadConfiguration when the start routine failed on the configuration,
// 1 when the service did not start otherwise.
[[noreturn]] void ServiceRunForeground(char** argv, const char* serviceName, const char* displayName);

// Runs the service in the current process and returns once it has stopped:
// blocks SIGTERM (so that only the waiting thread receives it), runs the start
// routine on a thread and waits for its result; when it returned 0, tells a
// supervisor "READY=1" (ServiceNotify), waits for SIGTERM, tells it
// "STOPPING=1", sets the shutdown flag and runs the stop routine while a
// progress thread ticks (it ends as soon as the stop routine returned).
// Returns 0 then; returns -1 at once when the semaphore or the start thread
// cannot be created, or the start routine's failure (-1 or
// kServiceBadConfiguration). A failed join ends the process (_exit(-1)).
int ServiceStart();

// Sends state ("READY=1", "STOPPING=1") to the supervisor's notification
// socket named by $NOTIFY_SOCKET (a path, or "@name" for an abstract
// socket), as systemd's sd_notify does. Does nothing without the variable;
// a failed send is not reported (the supervisor's own time-out tells).
void ServiceNotify(const char* state);

// 1 in a process that ServiceStartBackground detached, 0 otherwise.
int ServiceIsDetached();

// Checks a switch away from root, as OpenSSH does after it drops
// privileges: 1 when the process could still take root's rights back (its
// real or effective user is root, or setuid(0), seteuid(0), setgid(0) or
// setegid(0) succeeds: a saved id of root, or a capability kept), else 0.
// A group check is skipped where the group is root's own. Call only after
// the switch, and stop when it says 1: a probe that succeeded has left the
// process with root's id back.
int ServiceCanRegainRoot();

// The shutdown flag: set once, never cleared; read without a lock.
void ServiceSetShutdown();
int ServiceIsShutdown();

// Raises the framework's semaphore by one while ServiceStart runs. Nothing
// waits on it.
void ServiceStop();
// Progress thread body: wakes every 500 ms until ServiceStart's stop routine
// has returned, and ends at once then. Returns 0.
void* ServiceProdSCM(void* arg);
// Does nothing.
void ServiceBreak();
// Ends the process at once with status 255, without clean-up.
[[noreturn]] void ServiceKill();

// Write one event (type 0 error, 1 information, 2 warning) under the service's
// name and catalog, opening and closing the event log around it; the level is
// set to the entry's type so the entry is never filtered out. ServiceLog1
// passes one insertion.
void ServiceLog(unsigned short type, unsigned id);
void ServiceLog1(unsigned short type, unsigned id, uintptr_t insertion);
// Logs id as an error, then ServiceKill.
[[noreturn]] void ServiceLogExit(unsigned id);
