// Filter registration: every queue the daemon creates gets an LP filter of
// its own name whose command is the queue's interface script, restricted to
// that one printer, described in a file under the filter description folder.
#pragma once

// Writes the filter description of queue name (replacing an older one) and
// registers it with lpfilter. Failures are not reported: a description that
// cannot be written is still handed to lpfilter, whose result is not looked
// at.
void Addfilter(const char* name);

// True when every path and command line Addfilter needs for queue name fits
// its buffer (Addfilter does nothing when one does not).
bool FilterLinesFit(const char* name);
