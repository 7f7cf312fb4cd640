// Checks on the names and values a request hands to the queue administration.
// Names become file names and words of LP command lines, values are written
// into shell scripts; text that could escape either use is refused here
// before anything is looked at or changed.
#pragma once

namespace kqs {

// A queue, class or model name: 1 to 127 characters, each a printable
// character allowed in names (IsBindCharA: no blank, '/', ':', ';', quote ...),
// not beginning with '.' or '-' (no "..", no hidden files, no options).
bool IsSafeLpName(const char* name);

// A value written between double quotes into a script: no double quote,
// backquote, dollar sign, backslash or control character. Null is refused.
bool IsSafeScriptValue(const char* value);

// A value written without quotes (the peripheral): a safe script value that
// also holds no blank, no single quote and none of ; & | < > ( ).
bool IsSafeUnquotedValue(const char* value);

}  // namespace kqs
