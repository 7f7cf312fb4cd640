// kqsctl web: the console in a browser. A small HTTP server on a loopback
// address serves the page (its files are built into kqsctl) and a JSON API
// that runs kqsctl's own commands on the servers named by TARGETS.
// Every request needs the access token printed at start-up, or the session
// cookie it is exchanged for; every change also needs the session's CSRF
// token. Passwords typed into the page live in this process's memory, per
// session, and nowhere else.
#pragma once

#include <cstdio>

#include "kqsctl/options.h"

namespace kqsctl {

// The address the console listens on when --listen is not given.
constexpr const char* kDefaultWebListen = "127.0.0.1:8631";

// Serves the console until SIGINT or SIGTERM. The URL with the access token
// goes to out; errors to err. Returns kqsctl's exit status.
int RunWeb(const Options& opts, FILE* out, FILE* err);

}  // namespace kqsctl
