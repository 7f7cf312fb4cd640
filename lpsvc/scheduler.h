// lpsvc's scheduler in CUPS mode: a process that lpsched leaves running and
// lpshut ends, as the System V scheduler is. It keeps the CUPS client library
// loaded and carries out the tree's changes in CUPS for the commands, which
// hand them over on the tree's socket (var/spool/lp/lpsvc.sock) instead of
// loading the library themselves. A command that finds no scheduler makes its
// change itself, so a stale or missing scheduler never blocks one.
#pragma once

#include <string>

#include "lpsvc/cupsclient.h"
#include "lpsvc/lptree.h"

namespace lpsvc {

// One change for CUPS, as a command asks for it.
struct CupsChange {
  enum class Op { kAddPrinter, kJoinClass, kSetDefault, kDelete, kAccept, kResume, kQuit };
  Op op = Op::kQuit;
  std::string name;   // the printer or class
  std::string value;  // the device URI (kAddPrinter) or the printer (kJoinClass)
  bool is_class = false;
};

// Carries change out with client; false with the reason.
bool Apply(CupsClient& client, const CupsChange& change, std::string* why);

// Starts the scheduler of tree t for the CUPS server, once that answers, and
// records it in SCHEDLOCK. False with the reason when CUPS does not answer or
// the scheduler cannot start.
bool StartScheduler(const LpTree& t, const std::string& server, std::string* why);

// Asks the tree's scheduler, if one answers, to end.
void StopScheduler(const LpTree& t);

// Hands change to the tree's scheduler. kNoScheduler when none answers (the
// caller then applies the change itself).
enum class Handed { kNoScheduler, kDone, kRefused };
Handed HandToScheduler(const LpTree& t, const CupsChange& change, std::string* why);

}  // namespace lpsvc
