// Passwords at the console: reading one from the user without echo, and
// storing the administrator password, encrypted, in the daemon's kqsd.ini.
#pragma once

#include <string>

namespace kqsctl {

// Reads one line from fd as a password; the line end (and a "\r" before it)
// is not part of it. When fd is a terminal, prompt goes to standard error and
// echo is off while the user types; the terminal is restored afterwards, also
// when the read is interrupted by a signal. Returns false with a message when
// nothing can be read (end of input before any character), the line holds a
// NUL byte or is longer than max_length.
bool ReadPassword(int fd, const char* prompt, size_t max_length, std::string* password, std::string* error);

// True when fd is a terminal (the caller then asks twice for a new password).
bool IsTerminal(int fd);

// The stored form of a password: yescrypt with a random salt (SHA-512 crypt
// where the C library lacks yescrypt), or with legacy the old form, crypt
// with the salt "zQ" (13 characters, only the first 8 characters count).
// False with a message when the C library's crypt refuses.
bool EncryptPassword(const std::string& password, bool legacy, std::string* stored, std::string* error);

// Writes the stored form as "Passwd" in section "ACCESS" of the INI file at
// path and reads the file back to make sure it landed. Only that line
// changes: comments and every other line stay. The file is replaced whole
// (a new file renamed over it, keeping its owner, group and mode); a missing
// file is created as root's, group lp (the daemon's without a User setting),
// mode 0640. False with a message naming the file when its directory is
// missing, the path is not a regular file, or the value cannot be written.
bool StoreAdminPassword(const std::string& path, const std::string& stored, std::string* error);

}  // namespace kqsctl
