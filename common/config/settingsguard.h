// The check a process running as root makes before it writes a settings
// file: only root may be able to have put anything at that path. Otherwise a
// local user (lp, say, owning the daemon's directory) could plant a symbolic
// link there and turn the root write into a rewrite of /etc/shadow. The rule
// is the one sshd's StrictModes applies to a user's files.
#pragma once

// Returns 0 when path may be written as root, or -1 with the offending path
// (cut to size-1 characters) in offender when:
// - the directory holding path is not owned by root or is writable by its
//   group or by others;
// - path is a symbolic link that root does not own;
// - path, or the file a root-owned link names, is not a regular file owned
//   by root, or is writable by its group or by others, or the directory that
//   holds the named file fails the directory rule.
// A path that does not exist yet passes when its directory does. Uses the
// Env seam (common/host/env.h).
int CheckRootOwnedSettings(const char* path, char* offender, unsigned size);
