// Container enumeration: the printer models (drivers) a queue can be made
// from, the queues the daemon made, and the installed print-monitor product,
// listed into a caller's buffer in one layout with two-call size negotiation.
//
// Buffer of S bytes, every integer 32-bit big-endian:
//   bytes 0..3  number of records
//   from 4      the records, each beginning with its own size
//   the end     the strings with their NULs, packed downward from byte S in
//               the order the records are built; a string field holds the
//               string's offset counted from byte 4.
// DriverRecord (20 bytes): size, offset of the model's file name, 0, 0, 0.
// QueueRecord (24 bytes): size, offset of the queue name, 0, 0, offset of the
//   interface directory's path, 0.
// MonitorRecord (20 bytes): size, offset of "QVNX", offset of
//   "QV Tarlomin for UNIX", revision letter code (signed) * 100 + first
//   number, second number (both 0 when the version line is not of the form
//   "Revision X.N.N").
//
// Each call takes a buffer (may be null) and its size in *size. Items are
// written while everything so far fits; once one does not, no later one is.
// Returns KQS_SUCCESS with *size unchanged, or KQS_INSUFFICIENT_BUFFER with
// the size the whole result needs in *size (at least 4), or KQS_FAILURE when
// a directory cannot be opened (or, for the monitor, the version file cannot
// be read while its record is written), or KQS_INVALID_PARAMETER for a null
// size. Nothing is allocated.
#pragma once

#include <cstdint>

// Regular files of the product's script folder other than the wrapper
// template, then those of the LP model folder, in directory order; only
// names a queue can be made from (kqs::IsSafeModelName).
uint32_t DriverEnumUX(unsigned char* buffer, uint32_t* size);

// Regular files of the interface folder whose names are queue names
// (kqs::IsSafeLpName: no '.', so not model.orig) and that the lp account
// (lpid) owns.
uint32_t QueueEnumUX(unsigned char* buffer, uint32_t* size);

// One record when the product's version file is a regular file, else none.
uint32_t MonitorEnumUX(unsigned char* buffer, uint32_t* size);
