// Event log: an entry is named by type and id, its text comes from the
// message catalog (set = type + 1, message = id) and it goes to syslog under
// the identity given at open. Logging never fails the caller's work, nor
// blocks it: the caller formats the entry and queues it, and one thread hands
// the queue to syslog. While 1024 entries wait, new ones are dropped and
// counted; once the queue has drained, warning 211 reports the count.
#pragma once

#include <cstdint>

// Event types.
enum : unsigned short {
  EVENTLOG_ERROR_TYPE = 0,        // LOG_DAEMON | LOG_ERR
  EVENTLOG_INFORMATION_TYPE = 1,  // LOG_DAEMON | LOG_INFO
  EVENTLOG_WARNING_TYPE = 2,      // LOG_DAEMON | LOG_WARNING
};

// Opens the catalog at catalogPath and the system log under the identity
// source (copied). logName and
// messageFile are accepted and not used. Returns 1, or 0 when the catalog
// cannot be opened (the system log is then not opened).
int EventLogOpen(const char* source, const char* logName, const char* messageFile,
                 const char* catalogPath);

// Sets the level: at 0 and 1 every type is written; at 2 information entries
// are dropped. Initially 0. Returns 1, or 0 for a level other than 0, 1 or 2
// (the level is then unchanged).
int EventLogSetLevel(unsigned short level);

// Writes the catalog text of event (type, id), with the first count
// insertions as its printf arguments: each a number or the address of a
// text, as the text's conversions expect. Returns 1 when the entry was
// written or filtered out by the level, and also when count is above 4
// (nothing is written then); 0 for a type other than 0, 1 or 2 or when the
// catalog has no such message. An entry dropped because the queue is full
// still counts as written.
int EventLogAddMessage(unsigned short type, unsigned id, unsigned short count,
                       const uintptr_t* insertions);

// Closes the catalog and the system log, after waiting at most 250 ms for
// the queued entries to reach syslog.
void EventLogClose();

// Also writes every entry to standard error (the daemon in the foreground),
// one line each: "error 101: TEXT" and the like on a terminal. When standard
// error is the systemd journal ($JOURNAL_STREAM names it), the line carries
// the entry's priority as "<3>TEXT" instead and syslog is skipped, so the
// journal holds each entry once. Call before the first entry is added.
void EventLogCopyToStderr();

// Tests: observer is called for every entry that passes the type and level
// checks, whether or not the catalog is open, with the formatted text, or
// null when nothing was written (no such message, no catalog, more than 4
// insertions). Pass null to remove it. Returns the previous observer. Set it
// while no other thread logs.
typedef void (*EventLogObserver)(unsigned short type, unsigned id, unsigned short count,
                                 const char* text);
EventLogObserver EventLogSetObserverForTesting(EventLogObserver observer);
