// Checks on the names and values a request hands to the queue administration.
// Names become file names and words of LP command lines, values are written
// into shell scripts; text that could escape either use is refused here
// before anything is looked at or changed.
#pragma once

namespace kqs {

// A queue or class name: 1 to 127 characters from A-Z, a-z, 0-9, '_' and
// '-', the first a letter or digit. No dot, so no name can be the interface
// folder's model.orig or a file the queue listing leaves out; no shell
// syntax, no option.
bool IsSafeLpName(const char* name);

// A printer model's file name: 1 to 127 characters, no '/', no blank (it is
// one word of lpadmin's command line), no control character, not beginning
// with '.' or '-'. Only such models are listed, so every listed one can be
// added.
bool IsSafeModelName(const char* name);

// A value written between double quotes into a script: no double quote,
// backquote, dollar sign, backslash or control character. Null is refused.
bool IsSafeScriptValue(const char* value);

// A value written without quotes (the peripheral): a safe script value that
// also holds no blank, no single quote and none of ; & | < > ( ).
bool IsSafeUnquotedValue(const char* value);

}  // namespace kqs
