// Failures on demand: the file lpsvc.faults in the tree's root tells a command
// to fail with a chosen exit status, or to succeed without doing anything, so
// that clients' error paths can be exercised against a real tree.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace lpsvc {

// What an injected fault makes a command do.
struct Fault {
  bool noop = false;  // exit 0 without touching the tree ("nolock")
  int status = 0;     // otherwise exit with this status, touching nothing
};

// True when the test harness asked for injected faults (LPSVC_TEST_FAULTS=1 in
// the environment): an installed tree never fails on purpose by default.
bool FaultsHonoured();

// Looks the command up in the fault file (lines "COMMAND[ WORD]=ACTION"; see
// the usage text). A line with a WORD applies only when one of args equals it,
// or, for a WORD beginning with '-', begins with it. The first matching line
// wins; no file or no match gives nothing.
std::optional<Fault> FindFault(const std::string& fault_file, const std::string& command,
                               const std::vector<std::string>& args);

}  // namespace lpsvc
