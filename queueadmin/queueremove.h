// Queue removal: unregisters a queue's filter and deletes its description,
// removes the queue from the LP service with lpadmin, and deletes the
// queue's backup script. The scheduler is not looked at.
#pragma once

#include <cstdint>

// Returns KQS_INVALID_OBJECT_NAME when name is not a safe LP name or no queue
// of that name exists, KQS_LPADMIN_FAILURE when lpadmin refuses (the filter
// is then already gone, the backup script stays), else KQS_SUCCESS. A missing
// filter, description or backup script is no failure.
uint32_t QueueRemoveUX(const char* name);
