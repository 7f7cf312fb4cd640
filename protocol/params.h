// Parameter lists: "name=value" pairs separated by ';', taken apart in place
// against a table of expected names. Blanks (spaces, tabs) before a name and
// before a value are skipped; nothing is trimmed at their ends. A name cannot
// hold '=' and a value cannot hold ';' (but may hold '='). There is no
// quoting.
#pragma once

#include <cstdint>

// One expected name and, after parsing, its value inside the working copy.
struct ParameterEntry {
  char name[32];  // the expected name, matched without regard to case
  char* value;    // null before parsing
};

// Returns a malloc'ed working copy of text for the parser (the caller frees
// it with ParseFree), or null when memory is exhausted or text is null.
char* ParseAlloc(const char* text);

// Releases a copy made by ParseAlloc (null is allowed). Values taken from it
// become invalid.
void ParseFree(char* copy);

// Takes the next pair from *cursor: cuts the text at the '=' and the ';',
// points *name and *value into it and moves *cursor behind the ';' (null
// after the last pair). Returns 1, or 0 when no '=' remains (then only *name
// is set, to the text after the skipped blanks).
int ParseNextParameter(char** cursor, char** name, char** value);

// Fills the values of the count entries of table from the pairs of copy, in
// place. Every entry is mandatory. Returns KQS_SUCCESS, or
// KQS_INVALID_PARAMETER when a name is not in the table, comes twice (the
// first value stays) or an entry is left without a value; the table then
// holds the values set so far. Text after the last pair that holds no '=' is
// ignored. A null copy reads as an empty list.
uint32_t ParseParameters(char* copy, ParameterEntry* table, unsigned count);
