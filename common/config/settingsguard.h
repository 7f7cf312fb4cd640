// The check a process running as root makes before it trusts or writes a
// settings file: only root may be able to have put anything at that path.
// Otherwise a local user (lp, say, owning a directory on the way) could plant
// a symbolic link there and turn the root write into a rewrite of
// /etc/shadow, or swap in settings of their own. The rule is the one sshd's
// StrictModes applies to a user's files, taken for every directory from '/'.
#pragma once

// What CheckRootOwnedSettings found.
enum SettingsPathVerdict {
  kSettingsSafe = 0,      // the file is there and only root can change it
  kSettingsAbsent = 1,    // no file at path itself (no link on the way); its
                          // directory is safe: run on the built-in defaults
  kSettingsUnsafe = -1,   // offender may be changed by another account
  kSettingsMissing = -2,  // a link on the way names something that is not there
};

// Walks path from '/' one name at a time, following symbolic links, and
// returns the verdict, with the offending path (cut to size-1 characters) in
// offender for the two failures. Unsafe when:
// - a directory on the way is not owned by root, or is writable by its group
//   or by others without the sticky bit (root's /tmp passes: no one else may
//   replace root's entries in it);
// - a symbolic link on the way (or path itself) is not owned by root, or more
//   than 32 links are followed;
// - the file is not a regular file owned by root, or is writable by its group
//   or by others.
// A relative path is taken from the working directory. Uses the Env seam
// (common/host/env.h).
int CheckRootOwnedSettings(const char* path, char* offender, unsigned size);
