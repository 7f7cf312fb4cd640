// kqsd's own requests beyond the management protocol's table: queue state,
// jobs, state changes and in-place changes of a queue's settings. They use
// object types 10 to 12, which every server accepts on the wire but none
// handles unless it knows them: an older server answers them with
// KQS_INVALID_OBJECT_TYPE (enumerations, removals) or KQS_INVALID_OPERATION
// (updates), so a console can tell it apart. A console that never sends
// these types sees no change at all.
//
//   type 10 queue state   KQS_ENUM_CONTAINER  parameter string: a queue, or
//                                             "" for every queue; result:
//                                             one record a queue (kStateFields)
//                         KQS_UPDATE          the queue; data "Action=enable|
//                                             disable|accept|reject;Reason=TEXT"
//   type 11 jobs          KQS_ENUM_CONTAINER  a queue or ""; one record a job
//                                             (kJobFields)
//                         KQS_REMOVE          the queue ("" for a job named by
//                                             id alone); data "Job=ID" or "Job=*"
//                                             (every job of the queue)
//                         KQS_UPDATE          the queue; data "Destination=TO":
//                                             its jobs move to queue TO
//   type 12 settings      KQS_ENUM_CONTAINER  the queue; result: its settings
//                                             as one parameter list of the
//                                             add-queue keys, NUL-terminated
//                         KQS_UPDATE          the queue; data: the keys to
//                                             change (any of the add-queue keys)
//
// Changes need access as adds and removes do; enumerations do not, and
// negotiate their size in two calls as the other enumerations do. A record
// result is text: one line a record, fields separated by tabs, with tab,
// newline and backslash inside a field written as \t, \n and \\.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr uint32_t TYPE_KQS_QUEUE_STATE = 10;
inline constexpr uint32_t TYPE_KQS_JOB = 11;
inline constexpr uint32_t TYPE_KQS_QUEUE_SETTINGS = 12;

namespace kqs {

// True for the object types above.
constexpr bool IsExtensionType(uint32_t objectType) {
  return objectType >= TYPE_KQS_QUEUE_STATE && objectType <= TYPE_KQS_QUEUE_SETTINGS;
}

// The fields of a queue-state record, in order. state: idle, processing,
// stopped or unknown (the print service cannot be asked); accepting: yes, no
// or "-"; jobs: a count or "-"; default: yes or no; reasons: comma-separated.
enum StateField : unsigned {
  kStateName, kStateState, kStateAccepting, kStateJobs, kStateDevice, kStateModel, kStateClass,
  kStateDefault, kStateMessage, kStateReasons, kStateFieldCount
};

// The fields of a job record, in order; size in bytes, time in seconds since
// the epoch; state: pending, held, processing, stopped, canceled, aborted or
// completed.
enum JobField : unsigned {
  kJobId, kJobQueue, kJobUser, kJobTitle, kJobSize, kJobState, kJobTime, kJobFieldCount
};

// One record as a line (with its newline); fields escaped as above.
std::string RecordLine(const std::vector<std::string>& fields);

// Splits text into records, each into its fields, unescaped. Records with
// fewer than minFields fields are dropped (a newer server may add fields at
// the end; an older reader ignores those).
std::vector<std::vector<std::string>> ParseRecords(std::string_view text, size_t minFields);

}  // namespace kqs
