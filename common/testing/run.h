// Runs a program for a test and collects what it printed: the one place
// where tests spawn and wait for the programs they drive (kqsctl, lpsvc's
// commands, CUPS's lp and lpstat).
#pragma once

#include <string>
#include <vector>

namespace kqs {

struct RunResult {
  int status = -1;  // exit status; -1 when the program did not exit normally
  std::string out, err;
  std::string all() const { return out + err; }
};

// Runs argv[0] (no shell, no PATH search unless it has no '/': then PATH is
// searched) with stdin_text on its standard input and env entries
// ("NAME=value") added to this process's environment, and waits for it.
RunResult Run(const std::vector<std::string>& argv, const std::string& stdin_text = "",
              const std::vector<std::string>& env = {});

}  // namespace kqs
