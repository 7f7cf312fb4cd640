// Path text functions for UNIX paths ('/' is the only separator): joining,
// normalising, splitting and rebuilding paths in fixed 255-byte buffers (a
// path keeps at most 254 characters). Nothing here touches the file system
// except GetSplitPathA (current directory) and the temp-name calls.
#pragma once

#include <cstdio>

// The parts of a split path.
struct PathComponents {
  char drive[3];   // always "" (no drive letters on UNIX)
  char dir[255];   // directory part with its trailing '/', or ""
  char fname[255]; // file name without its extension
  char ext[256];   // extension with its leading '.', or ""
};

// Replaces every backslash by '/' in place. Returns path.
char* TranslateDirectorySlashes(char* path);
char* TranslateDirectorySlashesA(char* path);

// Asks the C library (tempnam) for a fresh file name in the directory
// part1 followed by part2, with the prefix "TMP<pid>" (the A form: "TMP"),
// and copies it into result bounded by size. Returns result, or null when
// no name could be made.
char* GenerateTempFilename(char* result, const char* part1, const char* part2, unsigned size);
char* GenerateTempFilenameA(char* result, const char* part1, const char* part2, unsigned size);

// Splits path (cut to 254 characters) into parts. The directory ends at the
// last '/' that is not the first character, so "/name" gives dir "" and
// fname "/name"; the extension starts at the last '.' that is not the first
// character of the name, so ".profile" has no extension.
void xSplitPathA(const char* path, PathComponents* parts);
// xSplitPathA, but an empty dir is filled with the current working
// directory (no trailing '/'; "" when it cannot be read).
void GetSplitPathA(const char* path, PathComponents* parts);
// Joins dir (adding '/' unless it ends in one), fname and ext (adding '.'
// unless it starts with one) into result bounded by size; drive is ignored.
void xMakePathA(char* result, const PathComponents* parts, unsigned size);

// Binary/text stream modes do not exist on UNIX: these do nothing.
// SetStdioModeBinary returns 0, fsetmode returns 1.
int SetStdioModeBinary();
int fsetmode(FILE* stream, int mode);

// Normalises path (cut to 254 characters) into an absolute path in result,
// bounded by size: empty components and "." vanish, ".." removes the
// component before it and is dropped at the root. A relative path is taken
// as starting at the root ("a/b" gives "/a/b"); no component at all gives
// "/". Always returns 1.
int FixRelative(char* result, const char* path, unsigned size);
int FixPath(char* result, const char* path, unsigned size);
// FixPath through 255-byte copies; result[size-1] is NUL. Returns 1.
int FixPathA(char* result, const char* path, unsigned size);

// Collapses every run of '/' in path into one and stores the outcome in
// result when it fits (length + 1 <= size), returning 1; otherwise result is
// left alone and 0 is returned. result and path may be the same buffer.
int FixSlashes(char* result, const char* path, unsigned size);

// Joins dir and file in place with one '/' between them (an absolute file
// name is appended like any other; an empty dir gives just file) and
// collapses runs of '/'. Returns dir, or null when the outcome does not fit
// in size (dir unchanged). The join is worked out in 254 characters.
char* MergePath(char* dir, const char* file, unsigned size);
// MergePath through 255-byte copies of dir and file; on success dir holds the
// outcome bounded by size. Returns dir, or null (dir unchanged).
char* MergePathA(char* dir, const char* file, unsigned size);
