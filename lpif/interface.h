// The interface program a queue's device URI names, as lpif will run it: the
// URI is lpif:// and an absolute path, and only a program that the print
// service installed for a queue qualifies.
#pragma once

#include <sys/types.h>

#include <string>

namespace lpif {

// Resolves uri (lpif:// followed by an absolute path, %-escapes allowed) to
// the real path of the file, without symbolic links or "..", into *path, and
// opens that file for reading without following a link. The file must be a
// regular file whose directory is named etc/lp/interfaces, writable by
// neither group nor others and owned by the directory's owner; the directory
// must be owned by root, lp_uid or service_uid (the account that administers
// the tree, kqsd once installed) and writable by no one else. Returns the
// open descriptor, or -1 with a one-line reason and the next step in *why.
int OpenInterface(const char* uri, uid_t lp_uid, uid_t service_uid, std::string* path, std::string* why);

// True when the program read from fd sets JRECOV to yes (JRECOV="yes" or
// JRECOV=yes at the start of a line; the first such line counts): the queue
// wants a failed job tried again rather than given up.
bool JobRecoveryOn(int fd);

}  // namespace lpif
