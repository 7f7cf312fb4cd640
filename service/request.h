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

namespace kqs {
struct Session;
// Refused administrator checks after which a connection is closed.
inline constexpr int kMaxRefusedChecks = 5;
}  // namespace kqs

// Handles the `received` bytes at packet as one request of the session's
// connection (service/session.h) and sends the response on it. A malformed
// packet gets no response and nothing is logged (the connection stays open
// for the next request); a parameter string or data block too long for its
// buffer is answered with KQS_INVALID_PARAMETER without running a handler. A
// data block is always NUL-terminated inside the data buffer, so handlers
// that read it as text stay within it. With access enforcement on in the
// session's settings, KQS_ADD and KQS_REMOVE are answered KQS_NO_ACCESS,
// without running a handler, until a KQS_ADMIN_ACCESS on the same connection
// has succeeded. Every add or remove of a queue or port is logged with the
// console's address (56 done, 251 refused), and a refused one carries as its
// result block, when an LP command said why it failed, that reason as one
// NUL-terminated line (see xSystemLastFailure). Handlers run one at a time over all connections, in the
// order their requests arrived; the response is sent after the next one may
// start. An administrator check waits first for its address's turn
// (service/admission.h). Every refused check logs warning 207; the
// kMaxRefusedChecks-th on a connection logs 208 and sets session->mustClose,
// as does a response not sent whole (events 111 and 204), each naming the
// console's address. Returns KQS_SUCCESS when a response was built (whether
// or not it could be sent), the decoder's KQS_INVALID_PACKET or
// KQS_INVALID_PARAMETER, or KQS_FAILURE when the response could not be built.
uint32_t PSRequest(kqs::Session* session, const char* packet, uint32_t received);

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
