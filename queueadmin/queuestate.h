// The state of the queues the daemon made, their jobs and their settings,
// and the changes an administrator makes to them without removing them:
// stop and start, refuse and accept jobs, cancel and move jobs, change
// settings in place. The requests and their record formats are in
// protocol/extension.h. Only queues the daemon made are shown or touched: an
// interface script of the queue's name owned by the lp account (as the queue
// listing has it); any other name is KQS_INVALID_OBJECT_NAME.
//
// State and jobs come from the LP service's lpquery, which asks CUPS once
// per listing (lpsvc, see lpsvc.8); where it cannot tell, a queue's state is
// "unknown". Changes run the LP commands disable, reject, enable, accept,
// cancel, lpmove and lpadmin.
#pragma once

#include <cstdint>

// Enumerations, negotiated in two calls as the other enumerations are:
// called with a null buffer they list, keep the result for the next call on
// the same thread and return KQS_INSUFFICIENT_BUFFER with its size (or
// KQS_SUCCESS and size 0 when it is empty); called with a buffer they hand it
// over. name is a queue or "" for every queue (settings: a queue only).
// Results: KQS_INVALID_PARAMETER for a null size, KQS_INVALID_OBJECT_NAME for
// a queue that is not the daemon's, KQS_FAILURE when jobs cannot be listed.
uint32_t QueueStateEnumUX(const char* name, unsigned char* buffer, uint32_t* size);
uint32_t JobEnumUX(const char* name, unsigned char* buffer, uint32_t* size);
uint32_t QueueSettingsEnumUX(const char* name, unsigned char* buffer, uint32_t* size);

// "Action=enable|disable|accept|reject;Reason=TEXT" on queue name (the
// reason goes with disable and reject). KQS_INVALID_PARAMETER for another
// list or an unsafe reason, KQS_SPOOLER_NOT_RUNNING when the scheduler
// cannot be started for enable or accept, KQS_ENABLE_FAILURE or
// KQS_ACCEPT_QUEUE_FAILURE when the command fails.
uint32_t QueueStateChangeUX(const char* name, const char* parameters);

// "Job=ID" (name may be "": any queue of the daemon's) or "Job=*" (every job
// of queue name). KQS_INVALID_PARAMETER for another list,
// KQS_INVALID_OBJECT_NAME for no such job on the daemon's queues, KQS_FAILURE
// when cancel fails.
uint32_t JobCancelUX(const char* name, const char* parameters);

// "Destination=TO": every job of queue name goes to queue TO (also the
// daemon's). KQS_FAILURE when lpmove fails.
uint32_t JobMoveUX(const char* name, const char* parameters);

// Changes the settings of queue name in place: parameters holds any of the
// add-queue keys (queueadd.h), each at most once; the others keep their
// values. The same checks as an add apply to the result. The scripts are
// replaced at once (a job never sees half a script), the queue joins a new
// class and becomes the default when asked; its jobs stay where they are and
// print with the new settings. KQS_INVALID_PARAMETER for an unknown,
// repeated or unsafe value, KQS_FILESET_MISSING for an unknown model,
// KQS_CLASS_EXISTS_AS_QUEUE, KQS_OBJECT_OUTOFDATE for a queue whose settings
// were not recorded (made before this release: remove and add it again),
// KQS_LPADMIN_FAILURE, KQS_DEFAULT_QUEUE_FAILURE, KQS_QUEUE_SETUP_FAILURE.
uint32_t QueueModifyUX(const char* name, const char* parameters);

#include <string>

#include "protocol/params.h"

namespace kqs {

// Records the settings of queue name from a filled add-queue table, as one
// parameter list in the interface backup folder (model.orig/NAME.settings),
// for QueueSettingsEnumUX and QueueModifyUX. False when it cannot be written.
bool SaveQueueSettings(const char* name, const ParameterEntry* table);

// The recorded settings of queue name; false when there are none.
bool LoadQueueSettings(const char* name, std::string* list);

}  // namespace kqs
