// kqsctl: the command-line console of kqsd. Finds servers, lists their
// queues, printer models and monitors, adds and removes queues and ports,
// checks and sets the administrator password.
#include <csignal>
#include <cstdio>
#include <string>

#include "kqsctl/commands.h"
#include "kqsctl/options.h"

int main(int argc, char** argv) {
  // A reader that goes away (kqsctl queues | head) ends output quietly.
  std::signal(SIGPIPE, SIG_DFL);
  // For the bash completion: the words it may offer.
  if ((argc == 2 || argc == 3) && std::string(argv[1]) == "--complete-words") {
    std::fputs(kqsctl::CompletionWords(argc == 3 ? argv[2] : "").c_str(), stdout);
    return kqsctl::kExitOk;
  }
  kqsctl::Options opts;
  std::string error;
  if (!kqsctl::ParseCommandLine(argc, argv, &opts, &error)) {
    std::fprintf(stderr, "kqsctl: %s\nTry 'kqsctl help'.\n", error.c_str());
    return kqsctl::kExitUsage;
  }
  const int status = kqsctl::RunCommand(opts, stdout, stderr);
  if (std::fflush(stdout) != 0 && status == kqsctl::kExitOk) return kqsctl::kExitNoAnswer;
  return status;
}
