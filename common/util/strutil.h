// Text helpers used beside the bounded buffers: trimming, hexadecimal
// encoding of byte data, number/text conversion, character-set tests, URL
// escaping and environment look-ups. Texts are 8-bit and NUL-terminated; a
// size argument is always the target's whole capacity, terminator included.
#pragma once

// ---- Trimming and in-place edits -----------------------------------------

// Returns a pointer to the first character of s that is not a space or tab.
const char* NonwhiteA(const char* s);
inline char* NonwhiteA(char* s) { return const_cast<char*>(NonwhiteA(static_cast<const char*>(s))); }
// Cuts s at its first CR or LF, then removes the spaces and tabs that end
// what is left. Returns s.
char* StripcrA(char* s);
// Cuts s at its first CR or LF; blanks stay. Returns s.
char* StripcrOnly(char* s);
// Replaces each CR by the byte 0xC0 and each LF by 0xC1. Returns s.
char* CRLF2SpecialA(char* s);
// Reverse of CRLF2SpecialA: 0xC0 becomes CR, 0xC1 becomes LF. Returns s.
char* Special2CRLFA(char* s);
// Replaces by a space every byte outside 32..126 and every '<' and '>'.
void RemoveSpecialCharsA(char* s);
// Replaces every `from` in s by `to`.
void ReplaceCharInPlaceA(char* s, char from, char to);
// Lower-/upper-cases each byte in place (C library tolower/toupper).
// Return s.
char* strlwr(char* s);
char* strupr(char* s);
// Reverses s in place. Returns s.
char* strrev(char* s);
// Bounded copy of src into dst (no character conversion happens; both names
// share one implementation). dst[size-1] is NUL. Return dst.
char* UnicodeToMBCS(char* dst, unsigned size, const char* src);
char* MBCSToUnicode(char* dst, unsigned size, const char* src);

// ---- Search ---------------------------------------------------------------

// Finds pattern in text without regard to case; only the first 2047
// characters of text and 255 of pattern take part. Returns a pointer into
// text at the match, or null.
const char* StrIStrA(const char* text, const char* pattern);
inline char* StrIStrA(char* text, const char* pattern) {
  return const_cast<char*>(StrIStrA(static_cast<const char*>(text), pattern));
}
// Finds the last occurrence of pattern in text (overlapping matches count:
// "aa" in "aaa" is found at offset 1). Returns a pointer into text, or null.
const char* StrRStrA(const char* text, const char* pattern);
inline char* StrRStrA(char* text, const char* pattern) {
  return const_cast<char*>(StrRStrA(static_cast<const char*>(text), pattern));
}
// 1 when all n bytes at p are 0 (also for n == 0), else 0.
int IsMemNulled(const void* p, unsigned n);

// ---- Hexadecimal encodings -------------------------------------------------

// Writes count bytes of in as upper-case hex digit pairs (high half first)
// plus a terminator: out needs 2*count+1 bytes.
void AsciifyA(char* out, const unsigned char* in, int count);
// Reads count hex digits (either case) in pairs into count/2 bytes of out.
// Returns out, or null at the first non-hex character (bytes before it are
// written) or, after all complete pairs, when count is odd.
unsigned char* BinifyA(unsigned char* out, const char* in, int count);
// Converts the two hex digits at in into one byte at *out and returns 1;
// returns 0 when either is not a hex digit.
int TOHEX(const char* in, unsigned char* out);
// '0'..'9' for 0..9, otherwise n + 55 ('A'..'F' for 10..15), as 8 bits.
char TOHEXCHARA(int n);

// ---- Number to text ---------------------------------------------------------
// The caller provides room for the longest result (33 bytes for radix 2).
// Digits above 9 are written as a..z; a radix outside 2..36 writes no digits.

// Writes value in radix into buf; when negative is non-zero, writes '-' and
// the two's-complement negation of value.
void xtoa(unsigned long value, char* buf, unsigned radix, int negative);
// Signed only in radix 10; any other radix writes a negative value as its
// unsigned 32-bit pattern (-255 in radix 16 is "ffffff01"). Returns buf.
char* itoa(int value, char* buf, int radix);
// Unsigned conversion. Returns buf.
char* qvultoa(unsigned long value, char* buf, int radix);

// ---- Text to number ---------------------------------------------------------

// A leading '+' is skipped, a leading '-' negates; otherwise a leading "0x"
// or "0X" selects hexadecimal. After a sign the text is decimal only, so
// "-0x10" gives 0. "0x" with no hex digit after it gives 0.
int Safe_ttoi(const char* s);
long Safe_ttol(const char* s);

// ---- Character tests --------------------------------------------------------

// 1 for '!'..'~' except  " * + , / : ; < = > ? [ \ ] | ~  ; 0 otherwise.
int IsBindCharA(char c);
// 0 for null or empty s; 1 when every character passes IsBindCharA.
int IsBindStringA(const char* s);

// ---- URL texts --------------------------------------------------------------

// Copies in into out, escaping as "%XX" every byte outside 32..127 and each
// of  space & ^ < > { } [ ] / \ tab " ' | ~ . Stops at the first item that
// does not fit in size (one byte stays for the terminator); no escape at all
// is written when size is 3 or less. Returns out.
char* URLizeStringA(char* out, const char* in, unsigned size);
// Prefixes a URL scheme to text, leading blanks skipped: "file://" for a
// text that starts with two backslashes, none when it holds ':', "mailto:"
// when it holds '@', else "http://". The result is cut at its first CR/LF,
// trailing blanks are removed and backslashes become '/'. A text of blanks
// alone gives "". Returns out.
char* AddUrlMethod(char* out, const char* text, unsigned size);

// ---- Environment ------------------------------------------------------------

// Copies the process environment's value of name (or defaultValue when it is
// not set; "" when that is null) into out. Returns the length of out.
unsigned _GetEnvironmentString(const char* name, const char* defaultValue, char* out,
                               unsigned size);
// Scans the null-terminated array of "name=value" entries for the first one
// that starts with name and '=' (case-sensitive). Returns a pointer to its
// value, or null for an empty name, a null array or no match.
char* mygetenv(const char* name, char** environment);
// As _GetEnvironmentString, looking name up in environment with mygetenv.
unsigned GetEnvironmentString(const char* name, const char* defaultValue, char* out,
                              unsigned size, char** environment);

// ---- Buffer packing ---------------------------------------------------------

// Copies s with its terminator so that it ends just before end, and returns
// the new end (the copy's start). Used to fill a result buffer from its end
// downwards; the caller checks that strlen(s)+1 bytes are free.
char* AddStrToBuffer(char* end, const char* s);
