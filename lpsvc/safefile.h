// File operations for LP commands and set-up that may run as root in a tree
// that another account (lp, the service account) can write: a directory is
// reached name by name without following a symbolic link that anyone but
// root made, and a file is replaced by a new one renamed over it, never
// written through a link (symbolic or hard) that was planted in its place.
#pragma once

#include <sys/types.h>

#include <string>

namespace lpsvc {

// Opens the directory at the absolute path, one name at a time from '/',
// following only symbolic links that root owns; with create, missing
// directories on the way are made (mode 0755 less the umask). Returns a
// descriptor (O_DIRECTORY, close-on-exec) or -1 with errno: ELOOP when a link
// on the way belongs to another account, ENOTDIR when a name is no directory.
int OpenDirNoFollow(const std::string& path, bool create);

// Replaces the file at path by one holding content with mode: a new file
// beside it (created exclusively, never through a link), then renamed over
// path inside the directory OpenDirNoFollow opened. With owner/group other
// than -1 the new file is given to them first. False when a step failed;
// path is then as it was.
bool ReplaceFileNoFollow(const std::string& path, const std::string& content, mode_t mode, uid_t owner = -1,
                         gid_t group = -1);

// Makes the directory at path (and any missing one on the way), then sets
// its owner (when owner is not -1) and its mode through the opened
// directory, so a link planted in its place is refused, not followed.
bool MakeDirNoFollow(const std::string& path, mode_t mode, uid_t owner = -1, gid_t group = -1);

}  // namespace lpsvc
