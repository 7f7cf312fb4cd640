// INI profile files: read and write strings, integers, yes/no flags and
// coordinate pairs stored under a section and a key of a named INI file, the
// way a Windows-style host's profile calls do. kqsd keeps kqsd.ini and the
// emulated registry (rerar.ini) through these calls.
//
// Files are parsed once into a process-wide cache and read again as soon as
// their modification time (to the nanosecond) or size differs from what was
// recorded at the last load or write. Every effective change rewrites the
// whole file at once: the new content goes to a temporary file in the same
// directory, made with the final permissions from the start, which then
// replaces the file by rename, so another process always finds either the old
// or the new file whole, never a truncated one. Where the writer may change
// the file but not create files in its directory, the file is rewritten in
// place instead. Either way the writer holds the exclusive record lock on the
// file (the one a reader takes its shared lock on), waiting up to 10 s for
// readers to finish. A write that fails (no lock in time, file not writable,
// disk full) leaves the old file as it was, removes the temporary file and
// keeps the change in memory; the next change or flush of that file writes it
// all. A replaced file keeps its permission bits (and, where the process may,
// its owner); a new one gets 0644 less the process's umask.
//
// Names of files, sections and keys compare without regard to case and keep
// the spelling they were first stored with. Comments, blank lines, keys
// outside sections, repeated sections and repeated keys are dropped from the
// file at its next write. Every call is safe from any thread.
#pragma once

// A coordinate pair, x then y.
struct ProfileCoord {
  int x;
  int y;
};

// Reads a value, or a list of names, into buffer (size bytes in all):
// - section and key given: the key's value, or defaultValue when the section
//   or key is missing, cut to size-1 characters; the rest of the buffer is
//   NUL-filled. Returns the length now in the buffer.
// - section null: the file's section names; key null: the section's key names.
//   Each name is followed by a NUL and the list by one more NUL; a name that
//   does not fit is cut and ends the list. Returns the count of bytes of the
//   names and their NULs, not counting the final NUL ("alpha","beta" into 10
//   bytes: "alpha\0be\0\0", 9). An empty list yields defaultValue as a single
//   text. A size below 3 returns 0 and leaves the buffer untouched.
// Returns 0 with the buffer untouched when fileName is null or empty,
// defaultValue or buffer is null, size is 0 or memory runs out while loading.
// A missing or unreadable file reads as empty.
unsigned xGetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue,
                                   char* buffer, unsigned size, const char* fileName);
// As the A form, but the names and the default are first copied into bounded
// buffers (255 characters each, 254 for the file name) and the result goes
// through a temporary buffer; the caller's buffer always ends up terminated
// (empty when nothing was read). Returns 0 when size is 0 or the temporary
// buffer cannot be allocated.
unsigned xGetPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                  char* buffer, unsigned size, const char* fileName);

// Stores value under section/key and writes the file:
// - value null: deletes the key (an emptied section stays);
// - key null: deletes the section with all its keys;
// - section, key and value all null: writes the file back if it holds an
//   unwritten change (flush).
// Leading blanks of section and key are skipped; a blank or null section, or
// a blank key, does nothing. Writing the value a key already holds (compared
// with regard to case) leaves the file untouched. Failures are not reported;
// see the top of this file for what a failed write keeps.
void xWritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                 const char* fileName);
// As the A form after cutting section, key and value to 255 characters and the
// file name to 254.
void xWritePrivateProfileString(const char* section, const char* key, const char* value,
                                const char* fileName);

// Integers. The A form reads decimal only ("-7" is -7, "+5" and "x" give the
// default, "0x10" gives 0); the other form also takes a '+' sign and a "0x"
// prefix for hexadecimal ("+5" is 5, "0x10" is 16) from at most 9 characters.
// A missing or empty value gives defaultValue. Writes store "%d".
int xGetPrivateProfileIntA(const char* section, const char* key, int defaultValue, const char* fileName);
int xGetPrivateProfileInt(const char* section, const char* key, int defaultValue, const char* fileName);
void xWritePrivateProfileIntA(const char* section, const char* key, int value, const char* fileName);
void xWritePrivateProfileInt(const char* section, const char* key, int value, const char* fileName);

// Flags: 1 when the value is "1" or begins with "True", "On" or "Yes" in any
// letter case, else 0. A null or empty key, or an empty value, gives
// defaultValue unchanged; a missing key gives 1 for a non-zero default, else 0.
// Writes store "Yes" for non-zero and "No" for zero.
int xGetPrivateProfileBoolA(const char* section, const char* key, int defaultValue, const char* fileName);
int xGetPrivateProfileBool(const char* section, const char* key, int defaultValue, const char* fileName);
void xWritePrivateProfileBoolA(const char* section, const char* key, int value, const char* fileName);
void xWritePrivateProfileBool(const char* section, const char* key, int value, const char* fileName);

// Coordinate pairs stored as "x,y" (blanks allowed before each number). Both
// numbers must start with a digit and come out non-negative, else *result gets
// a copy of *defaultValue. The A form converts with atoi, the other like
// xGetPrivateProfileInt. Writes store "%u,%u".
void xGetPrivateProfileCoordA(const char* section, const char* key, const ProfileCoord* defaultValue,
                              ProfileCoord* result, const char* fileName);
void xGetPrivateProfileCoord(const char* section, const char* key, const ProfileCoord* defaultValue,
                             ProfileCoord* result, const char* fileName);
void xWritePrivateProfileCoordA(const char* section, const char* key, const ProfileCoord* value,
                                const char* fileName);
void xWritePrivateProfileCoord(const char* section, const char* key, const ProfileCoord* value,
                               const char* fileName);

// The host-wide profile file. This host has none: the name is "", so the calls
// below read their defaults (string reads return 0, buffer untouched) and
// their writes do nothing.
const char* GetWinIniFileNameA();
const char* GetWinIniFileName();
unsigned xGetProfileStringA(const char* section, const char* key, const char* defaultValue, char* buffer,
                            unsigned size);
unsigned xGetProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                           unsigned size);
void xWriteProfileStringA(const char* section, const char* key, const char* value);
void xWriteProfileString(const char* section, const char* key, const char* value);
int xGetProfileIntA(const char* section, const char* key, int defaultValue);
void xWriteProfileIntA(const char* section, const char* key, int value);
int xGetProfileBoolA(const char* section, const char* key, int defaultValue);
void xWriteProfileBoolA(const char* section, const char* key, int value);
void xGetProfileCoordA(const char* section, const char* key, const ProfileCoord* defaultValue,
                       ProfileCoord* result);
void xWriteProfileCoordA(const char* section, const char* key, const ProfileCoord* value);

// The file's modification time in whole seconds, or 0 when it cannot be
// examined (missing file included).
int GetTimestamp(const char* fileName);

// Writes back every file that holds an unwritten change, empties the cache and
// releases the store's lock; the next call starts afresh. Safe while other
// threads use the store: they wait and then go on with the fresh store.
void IniCleanup();
