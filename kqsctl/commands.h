// The commands of kqsctl: each talks to the server (or edits kqsd.ini),
// prints its result and chooses the exit status.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "kqsctl/options.h"
#include "kqsctl/report.h"

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

// Supplies the administrator password for --login: true with it in
// *password, or false with why not in *error. Called from several threads.
using PasswordSource = std::function<bool(std::string* password, std::string* error)>;

// Runs opts.command (a command that talks to a server) on host alone and
// returns its outcome; list is the parameter list an add sends (see
// BuildQueueParameters), password is asked only with --login.
Result RunOn(const Options& opts, const std::string& host, const std::string& list, const PasswordSource& password);

// The servers a command runs on: -H, --hosts and --discovered together, in
// that order, each once; 127.0.0.1 when none is named. False with a message
// in why; notes on ignored discovery replies go to err.
bool Targets(const Options& opts, std::vector<std::string>* hosts, std::string* why, FILE* err);

}  // namespace kqsctl
