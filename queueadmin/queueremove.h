// Queue removal: removes the queue from the LP service with lpadmin, then
// unregisters its filter and deletes its description and backup script. The
// scheduler is not looked at.
#pragma once

#include <cstdint>

// Returns KQS_INVALID_OBJECT_NAME when name is not a safe LP name or no queue
// of that name exists, KQS_LPADMIN_FAILURE when lpadmin refuses (nothing of
// the queue has gone then), else KQS_SUCCESS. A missing
// filter, description or backup script is no failure.
uint32_t QueueRemoveUX(const char* name);
