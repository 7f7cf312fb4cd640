// Shell-style wildcard matching of a whole text: '*' matches any run of
// characters (none included), '?' exactly one. A single or double quote opens
// a run that ends at the same quote; the quotes are removed and the
// characters between are taken over, but '*' and '?' stay wildcards there
// too. There is no escape character. A pattern holds at most 80 characters
// after quote removal.
#pragma once

// 1 when the whole text matches pattern, else 0 (also for a pattern that is
// too long or has an unterminated quote, and for null arguments).
// caseSensitive 0 compares the upper-case forms (C library toupper); any
// other value compares exactly.
int wcmatchstringsA(const char* pattern, const char* text, int caseSensitive);

// Removes the quotes of pattern into out (at least 81 bytes) and returns 0,
// or -1 when the outcome would exceed 80 characters or a quote is not closed.
int parse_patternA(char* out, const char* pattern);

// Matches text against a prepared (quote-free) pattern; with caseSensitive 0
// the pattern must already be upper case. Returns 1 or 0. The work is bounded
// by the text length times the pattern length, however many stars there are.
int wildcardsA(const char* pattern, const char* text, int caseSensitive);

// Compares n positions of pattern and text ('?' matches any character but
// the terminator; with caseSensitive 0 the text side is upper-cased).
// Terminators take part when n reaches them; once both end the rest counts as
// matched. Returns 1 or 0.
int fixed_matchA(const char* pattern, const char* text, int n, int caseSensitive);

// The number of characters of pattern that are not '*' (the fewest text
// characters it can consume).
int fixed_sizeA(const char* pattern);

// The index of the first '*' in pattern, or -1.
int find_starA(const char* pattern);
