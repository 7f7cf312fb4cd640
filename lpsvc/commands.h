// The LP commands lpsvc plays: lpsched, lpshut, lpadmin, accept, enable and
// lpfilter, each doing to an LpTree what the print service's command does.
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
int RunCommand(const LpTree& tree, const std::string& command, const std::vector<std::string>& args);

}  // namespace lpsvc
