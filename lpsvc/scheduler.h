// lpsvc's scheduler in CUPS mode: a process that lpsched starts, as the
// System V scheduler is. It keeps the CUPS client library loaded and carries
// out the tree's changes in CUPS for the commands, which hand them over on
// the tree's socket (var/spool/lp/lpsvc-2.sock, named for the version of
// what travels on it) instead of loading the library
// themselves. lpshut ends the scheduler for the LP service (SCHEDLOCK goes);
// the process stays a few minutes more, still serving the commands, and the
// next lpsched takes it back, so that a client that starts and stops the
// scheduler around every change does not load the library every time. A
// command that finds no scheduler makes its change itself, so a stale or
// missing scheduler never blocks one.
#pragma once

#include <optional>
#include <string>

#include "lpsvc/cupsclient.h"
#include "lpsvc/lptree.h"

namespace lpsvc {

// One change for CUPS, as a command asks for it.
struct CupsChange {
  enum class Op {
    kAddPrinter, kJoinClass, kSetDefault, kDelete, kAccept, kResume, kAdopt,
    kPause, kReject, kCancelJob, kCancelAll, kMoveJobs, kLeaveClass,
    kLast = kLeaveClass
  };
  Op op = Op::kAdopt;
  std::string name;   // the printer or class
  // The device URI (kAddPrinter), the printer (kJoinClass, kLeaveClass), the reason
  // (kPause, kReject), the job id (kCancelJob) or the destination (kMoveJobs).
  std::string value;
  bool is_class = false;
  std::string mark;   // what makes the destination this tree's (see CupsClient)
};

// Carries change out with client: the verdict, and the reason when not kDone.
Verdict Apply(CupsClient& client, const CupsChange& change, std::string* why);

// Starts the scheduler of tree t for the CUPS server, once that answers, and
// records it in SCHEDLOCK; a scheduler process still there since the last
// lpshut is taken back rather than a new one started. False with the reason
// when CUPS does not answer or the scheduler cannot start.
bool StartScheduler(const LpTree& t, const std::string& server, std::string* why);

// Hands change to the tree's scheduler: its verdict (with the reason when not
// kDone), or nothing when no scheduler answers (the caller then makes the
// change itself).
std::optional<Verdict> HandToScheduler(const LpTree& t, const CupsChange& change, std::string* why);

}  // namespace lpsvc
