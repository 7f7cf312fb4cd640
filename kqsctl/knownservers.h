// The servers kqsctl has met over TLS, as ssh keeps known hosts: the first
// contact with a server records its certificate's fingerprint, and a later
// contact must find the same one. One line a server, "HOST:PORT FINGERPRINT",
// in $XDG_CONFIG_HOME/kqsctl/known_servers (~/.config/kqsctl/ without it).
#pragma once

#include <cstdio>
#include <string>

namespace kqsctl {

// The file's path from the environment, "" when neither XDG_CONFIG_HOME nor
// HOME (nor the account's home) is known.
std::string KnownServersPath();

// Checks fingerprint for server ("host:port" as kqsctl names it) against
// the file at path. Unknown: appends the line (making the directory, 0700,
// when missing), says so on notes with the fingerprint, and returns true.
// Known with the same fingerprint: true. Known with another: false, with a
// message giving both fingerprints and the line to remove. Also false with a
// message when the file cannot be read or written. Safe to call from several
// threads at once.
bool CheckKnownServer(const std::string& path, const std::string& server, const std::string& fingerprint,
                      std::FILE* notes, std::string* error);

}  // namespace kqsctl
