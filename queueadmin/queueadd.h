// Queue creation: defines a print queue in the LP service with lpadmin from a
// printer model, installs the product's wrapper as its interface program with
// the queue's settings written in, keeps the model-based script (with its own
// settings written in) in the interface folder's model.orig backup folder,
// sets default and class, lets the queue accept and print, and registers its
// filter. The LP scheduler is left as it was found when all goes well.
#pragma once

#include <cstdint>

#include "protocol/params.h"

namespace kqs {

// Positions of the keys in QueueParameterTable.
enum QueueParameter : unsigned {
  kQueueDevice,      // PERIPH of the wrapper, unquoted
  kQueueEXPort,      // required, not used
  kQueueIPPort,      // xPORT of the wrapper, as "-p <value>"
  kQueueClass,       // class to join; empty for none
  kQueueDefault,     // exactly "ON" makes the queue the default destination
  kQueueModel,       // file name of the printer model
  kQueueType,        // PRINTMODEL of the backup script
  kQueueDEVTYPE,     // DEVTYPE of the wrapper
  kQueueTEOJ,        // flag: backup TEOJ on/off, wrapper TEOJ -w/empty
  kQueueJRECOV,      // flag: wrapper JRECOV yes/no
  kQueuePSLEVEL,     // PSLEVEL of the backup script
  kQueueBANNER,      // flag: backup BANNER yes/empty
  kQueuePERSONALTY,  // PERSONALTY of the backup script
  kQueueParameterCount
};

}  // namespace kqs

// The keys of a queue-creation request, all required, in QueueParameter
// order, with empty values. Each request parses into a fresh copy.
inline constexpr ParameterEntry QueueParameterTable[kqs::kQueueParameterCount] = {
    {"Device", nullptr},  {"EXPort", nullptr}, {"IPPort", nullptr},  {"Class", nullptr},
    {"Default", nullptr}, {"Model", nullptr},  {"Type", nullptr},    {"DEVTYPE", nullptr},
    {"TEOJ", nullptr},    {"JRECOV", nullptr}, {"PSLEVEL", nullptr}, {"BANNER", nullptr},
    {"PERSONALTY", nullptr},
};

// Creates queue name from the parameter list parameters. Checks, in order,
// and stops at the first failure:
//   name not a safe LP name (namecheck.h)        KQS_INVALID_OBJECT_NAME
//   a queue of that name exists                  KQS_QUEUE_EXISTS_AS_QUEUE
//   a class of that name exists                  KQS_QUEUE_EXISTS_AS_CLASS
//   list malformed, a key missing, repeated or
//   unknown, or a class, model or script value
//   not safe                                     KQS_INVALID_PARAMETER
//   Device is not a host, a character device or
//   a path in DeviceDirs (devicecheck.h; warning
//   221 gives the reason)                        KQS_INVALID_PARAMETER
//   the class is the name of a queue             KQS_CLASS_EXISTS_AS_QUEUE
//   the model is in neither model folder         KQS_FILESET_MISSING
//   a command line or path the creation needs
//   does not fit its buffer (nothing is run,
//   the scheduler is not started)                KQS_INVALID_PARAMETER
//   the scheduler cannot be started              KQS_SPOOLER_NOT_RUNNING
//   lpadmin finds the name held behind it by a
//   queue or class it did not make (lpsvc in
//   front of CUPS: exit 10 / 11), or the class
//   held by such a queue (12)                    KQS_QUEUE_EXISTS_AS_QUEUE /
//                                                _AS_CLASS / KQS_CLASS_EXISTS_AS_QUEUE
//   lpadmin cannot define the queue              KQS_LPADMIN_FAILURE
//   the scripts cannot be written                KQS_QUEUE_SETUP_FAILURE
//   accept refuses the queue                     KQS_ACCEPT_QUEUE_FAILURE
//   enable refuses the queue                     KQS_ENABLE_FAILURE
//   accept refuses a class made here             KQS_ACCEPT_CLASS_FAILURE
//   lpadmin cannot make it the default           KQS_DEFAULT_QUEUE_FAILURE
//   a scheduler started here does not stop       KQS_SPOOLER_STILL_RUNNING
// then registers the queue's filter (its outcome does not matter) and returns
// KQS_SUCCESS. All or nothing: after a failure from the definition on, the
// queue is removed again (lpadmin -x, and its backup script) and a scheduler
// started here is stopped again, so the LP service is as it was.
uint32_t QueueAddUX(const char* name, const char* parameters);

// 1 when name exists in the interface folder (any kind of file), else 0.
int QueueExistsUX(const char* name);

// 1 when name exists in the class folder, else 0.
int ClassExists(const char* name);

// Writes the two scripts of queue name from a filled table: the interface
// script lpadmin installed is rewritten into model.orig/<name> (created with
// mode 0755 when missing), both get mode 0755, and the interface script is
// replaced by the wrapper template. In each, a line that begins with one of
// the known variable names is replaced by the variable with the request's
// value; every other line is copied. Returns KQS_SUCCESS or KQS_FAILURE.
uint32_t CreateScripts(const char* name, const ParameterEntry* table);

namespace kqs {

// True when every value of a filled table may go where an add puts it (the
// checks QueueAddUX makes before it runs anything).
bool QueueValuesAreSafe(const ParameterEntry* table);

// The path of printer model model: in the product's folder, else in the LP
// model folder. False when it is in neither (or the path does not fit size).
bool FindModel(const char* model, char* path, unsigned size);

// As CreateScripts, for a queue that exists: the model-based script comes
// from modelPath, and each script is written beside its place and then put
// there at once, so a job never runs half a script. Returns KQS_SUCCESS or
// KQS_FAILURE (the old scripts then stay, or the backup alone is new).
uint32_t ReplaceScripts(const char* name, const ParameterEntry* table, const char* modelPath);

}  // namespace kqs
