// Bounded text buffers. Every text in kqsd lives in a fixed buffer whose size
// argument is its whole capacity, terminator included: a copy, append or
// format keeps at most size-1 characters, always terminates and cuts silently.
#pragma once

#include <cstdarg>

// Copies at most size-1 characters of src, fills the rest of dst with NULs up
// to dst[size-2] and sets dst[size-1] to NUL; all size bytes are written.
// size must be at least 1. Returns dst.
char* RelStrCpyIntoBufA(char* dst, const char* src, unsigned size);

// Appends at most size-n-1 characters of src to the n-character text in dst
// (the caller guarantees n < size) and terminates. Returns dst.
char* RelStrCatIntoBufA(char* dst, const char* src, unsigned size);

// printf into buf, keeping at most size-1 characters and always terminating.
// Returns the length of the complete formatted text (larger than size-1 when
// the text was cut).
int sprintfnA(char* buf, unsigned size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int vsprintfnA(char* buf, unsigned size, const char* format, va_list args);
