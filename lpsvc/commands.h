// The LP commands lpsvc plays: lpsched, lpshut, lpadmin, accept, enable,
// lpfilter, disable, reject, cancel and lpmove, each doing to an LpTree what
// the print service's command does; and lpquery, which reports the state of
// the tree's printers and their jobs for kqsd (see RunCommand).
#pragma once

#include <string>
#include <vector>

#include "lpsvc/cupsclient.h"
#include "lpsvc/lptree.h"

namespace lpsvc {

// Exit statuses of the commands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;  // unknown destination, missing file, ...
inline constexpr int kExitUsage = 2;    // malformed command line
// lpadmin -p in CUPS mode, when CUPS holds the name as what this tree did not
// make (CUPS is left unchanged): kNameIsOthers, kNameIsClass and
// kClassIsPrinter (cupsclient.h).

// Runs command (one of kCommands) with its arguments (argv[1..]) on the tree
// and returns its exit status. An entry of the tree's fault file for the
// command takes precedence.
//
// lpquery printers: one record a printer of the tree (protocol/extension.h
// record lines): name, state (idle, processing, stopped, or unknown when
// CUPS cannot be asked or has no such queue of this tree), accepting (yes,
// no, "-"), jobs (a count, "-" without CUPS), state message, reasons.
// lpquery jobs [NAME]: one record an unfinished job of the tree's printers
// (or of NAME): id, printer, user, title, size, state, time. Each asks CUPS
// once; in plain mode the state comes from the tree (the state message from
// the reasons given to disable and reject) and there are no jobs.
int RunCommand(const LpTree& tree, const std::string& command, const std::vector<std::string>& args);

}  // namespace lpsvc
