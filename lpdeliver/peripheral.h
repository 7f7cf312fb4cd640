// Opening a device or file peripheral as lp. The queue's Device was checked
// when the queue was made, but a queue made before that check, or a path
// swapped since, must not let a job be appended to a program: the open
// follows no symbolic link, and what was opened must be a device, a pipe or
// a plain data file outside the LP tree.
#pragma once

#include <string>

namespace lpdeliver {

// Opens path for appending (O_NOFOLLOW) and checks what it opened: a
// character device or a FIFO; or a regular file that no one may execute and
// that lies outside tree_root, the LP tree this lpdeliver belongs to ("" for
// none). Returns the descriptor, or -1 with the reason in *why: with
// *refused set and the next step named when what path names may not be a
// peripheral, else ("cannot open PATH: reason") with errno from open.
int OpenPeripheral(const char* path, const std::string& tree_root, std::string* why, bool* refused);

// The LP tree lpdeliver runs from: ROOT for ROOT/usr/lib/lp/lpdeliver, else "".
std::string OwnTreeRoot();

}  // namespace lpdeliver
