// The commands of kqsctl: each talks to the server (or edits kqsd.ini),
// prints its result and chooses the exit status.
#pragma once

#include <cstdio>

#include "kqsctl/options.h"

namespace kqsctl {

// Exit statuses of kqsctl.
constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;   // the server answered with a failure code
constexpr int kExitUsage = 2;     // bad command line
constexpr int kExitNoAnswer = 3;  // no usable answer, or a local failure

// Runs opts.command against opts.server. Results go to out, errors and
// notes to err; passwords are read from standard input. Returns the exit
// status.
int RunCommand(const Options& opts, FILE* out, FILE* err);

}  // namespace kqsctl
