// File calls of the portability layer: existence test, creating the
// directories on the way to a file, opening with directory creation, making a
// file writable and truncating. stat/fopen/mkdir/chmod go through the Env
// seam (common/host/env.h) so tests can fail them.
#pragma once

#include <cstdio>

// 1 when path can be opened for reading ("rb"; the stream is closed again at
// once), else 0. A file that exists but cannot be read gives 0.
int Exist(const char* path);
int ExistA(const char* path);

// Creates every directory on the way to path with mode 0775 (before the
// umask), ignoring failures (they may exist already). The last component,
// the file name, is never created; "a/b/" creates "a" and "a/b". Only the
// first 254 characters of path take part. Returns 0.
int CreateSubDirs(const char* path);
int CreateSubDirsA(const char* path);

// Opens path (backslashes taken as '/', cut to 254 characters) with mode.
// Returns null for an existing directory. When the open fails and mode starts
// with 'w' or 'a', creates the missing directories and tries once more.
// Returns the stream (the caller closes it) or null.
FILE* FOpenWithTranslate(const char* path, const char* mode);
FILE* FOpenWithTranslateA(const char* path, const char* mode);

// Sets path's permission bits to 0666. Returns 1 on success; 0 for a null
// path, a file that Exist does not see, or a failed chmod.
int MakeWritable(const char* path);
int MakeWritableA(const char* path);

// Truncates (or extends) path to length bytes. Returns 1 on success, else 0.
int TruncateFile(const char* path, long length);
