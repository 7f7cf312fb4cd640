// Request handling: one received packet in, one response packet out. The
// packet is decoded and checked, the operation is dispatched by operation and
// object type to its handler on the LP print service, and the handler's
// return code (with an enumeration's result block) goes back to the console
// on the management connection.
#pragma once

#include <cstdint>

// Capacities of the per-request buffers: a parameter string of at most 127
// characters and its NUL, a data block of at most 512 bytes.
inline constexpr uint32_t kRequestParameterSize = 128;
inline constexpr uint32_t kRequestDataSize = 512;

// Handles the `received` bytes at packet as one request and sends the
// response on clientSocket. A malformed packet gets no response and nothing
// is logged (the connection stays open for the next request); a parameter
// string or data block too long for its buffer is answered with
// KQS_INVALID_PARAMETER without running a handler. A data block is always
// NUL-terminated inside the data buffer, so handlers that read it as text
// stay within it. With access enforcement on (service/options.h), KQS_ADD
// and KQS_REMOVE are answered KQS_NO_ACCESS, without running a handler,
// until a KQS_ADMIN_ACCESS on the same connection has succeeded. Every add
// or remove of a queue or port is logged with the console's address (56 done,
// 251 refused), and a refused one carries as its result block, when an LP
// command said why it failed, that reason as one NUL-terminated line (see
// xSystemLastFailure). A failed send logs event 111 (see kqs::ConnectionMustClose). Returns KQS_SUCCESS when a response was built
// (whether or not it could be sent), the decoder's KQS_INVALID_PACKET or
// KQS_INVALID_PARAMETER, or KQS_FAILURE when the response could not be
// built.
uint32_t PSRequest(const char* packet, uint32_t received);

namespace kqs {
// Refused administrator checks after which a connection is closed.
inline constexpr int kMaxRefusedChecks = 5;
// Forgets what the previous connection did: a new one starts without a
// successful administrator check, refused checks or a failed send. Called by
// the listen thread before it serves a connection.
void ResetConnectionAccess();
// True once the connection being served must be closed: a response could
// not be sent whole (events 111 and 204), or the kMaxRefusedChecks-th
// administrator check was refused (warning 208). Every refused check logs
// warning 207. Each of these names the console's address.
bool ConnectionMustClose();
}  // namespace kqs

// Runs one operation. parameters is the NUL-terminated parameter string;
// data the data block (dataSize bytes, handed to the handlers as a text);
// result a buffer of *resultSize bytes, or null with *resultSize 0.
// Enumerations asked with too small a buffer write the size they need to
// *resultSize and return KQS_INSUFFICIENT_BUFFER; operations without a
// result leave *resultSize alone. Returns the handler's code,
// KQS_INVALID_PARAMETER for a null resultSize, KQS_INVALID_OBJECT_TYPE for
// an object type the operation does not handle and KQS_INVALID_OPERATION for
// KQS_QUERY_FILES, KQS_UPDATE and unknown operations.
uint32_t KQSCommand(uint32_t operation, char* parameters, uint32_t objectType, char* data,
                    uint32_t dataSize, unsigned char* result, uint32_t* resultSize);
