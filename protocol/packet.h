// Request and response packets of the management protocol: building, checking
// and reading them. Header words are unsigned 32-bit, big-endian on the wire.
//
// Request:  length, platform (8), version (1), operation, objectType,
//           dataLength, parameter string + NUL, data block, trailer 0xAA.
//           length = strlen(string) + dataLength + 26.
// Response: length, version (1), operation, objectType, returnCode,
//           dataLength, result block, trailer 0xAA. length = dataLength + 25.
//
// Every call returns a KQS return code (protocol/kqsids.h): KQS_SUCCESS,
// KQS_INSUFFICIENT_BUFFER, KQS_FAILURE (no memory), KQS_INVALID_PARAMETER (a
// bad argument) or KQS_INVALID_PACKET (malformed bytes). The checkers and
// readers take `received`, the number of bytes at packet, and never read
// beyond it or beyond the packet's own length; bytes after length are
// ignored.
#pragma once

#include <cstdint>

inline constexpr uint32_t KQS_REQUEST_HEADER_SIZE = 24;
inline constexpr uint32_t KQS_MIN_REQUEST_SIZE = 26;   // empty string, no data
inline constexpr uint32_t KQS_MIN_RESPONSE_SIZE = 25;  // no result
inline constexpr unsigned char KQS_PACKET_TRAILER = 0xAA;

// Builds a request. parameters must not be null, may be empty and may hold
// only printable characters (0x20..0x7E); data must be null exactly when
// dataLength is 0. On success *packet is a malloc'ed block the caller frees
// and *packetLength its size. KQS_INVALID_PARAMETER for null outputs, an
// operation outside 1..6, an object type outside 1..14, a data/length
// mismatch, a non-printable parameter character or a packet longer than 32
// bits can count; KQS_FAILURE when memory is exhausted. Outputs are untouched
// on failure.
uint32_t PacketReqEncode(uint32_t operation, const char* parameters, uint32_t objectType,
                         const void* data, uint32_t dataLength, unsigned char** packet,
                         uint32_t* packetLength);

// Checks the `received` bytes at packet as a request: KQS_SUCCESS, or
// KQS_INVALID_PARAMETER for a null packet, or KQS_INVALID_PACKET when length
// is below 26 or above received, the platform is not 8, the version not 1,
// the operation outside 1..6, the object type outside 1..14, the byte at
// length-1 not 0xAA, the parameter string holds a non-printable byte or no
// NUL before the trailer, or length is not exactly string + 26 + dataLength.
uint32_t PacketReqValidate(const void* packet, uint32_t received);

// Checks and reads a request. The string (with its NUL) is copied into
// parameters when *parametersSize can hold it; the data block into data when
// dataLength is above 0 and *dataSize can hold it. Either way the sizes the
// packet holds are written back (string length + 1, dataLength): a short
// buffer is not an error, and a caller sees whether a copy was made only by
// comparing. KQS_INVALID_PARAMETER for any null argument; KQS_INVALID_PACKET
// (nothing written) when the packet fails PacketReqValidate.
uint32_t PacketReqDecode(uint32_t* platform, uint32_t* operation, char* parameters,
                         uint32_t* parametersSize, uint32_t* objectType, void* data,
                         uint32_t* dataSize, const void* packet, uint32_t received);

// Builds a response carrying returnCode and resultLength bytes of result
// (result may be null only when resultLength is 0). On success *packet is a
// malloc'ed block the caller frees. KQS_INVALID_PARAMETER for null outputs, a
// null result with a length, or a length that does not fit the header;
// KQS_FAILURE when memory is exhausted.
uint32_t PacketRespEncode(uint32_t operation, uint32_t objectType, uint32_t returnCode,
                          const void* result, uint32_t resultLength, unsigned char** packet,
                          uint32_t* packetLength);

// Checks the `received` bytes at packet as a response: KQS_SUCCESS,
// KQS_INVALID_PARAMETER for a null packet, KQS_INVALID_PACKET when length is
// below 25 or above received, the version is not 1, the trailer is not 0xAA
// or length is not exactly dataLength + 25.
uint32_t PacketRespValidate(const void* packet, uint32_t received);

// Checks and reads a response. operation, objectType and returnCode are
// written whenever the packet is valid. When *resultSize is below dataLength
// nothing is copied and the result is KQS_INSUFFICIENT_BUFFER; otherwise the
// result block is copied to result. *resultSize is set to dataLength in both
// cases. KQS_INVALID_PARAMETER for a null packet, output or size pointer, or
// a null result that would have to take a non-empty block;
// KQS_INVALID_PACKET when the packet fails PacketRespValidate.
//
// A KQS_QUERY_FILES result block is a 32-bit count followed by that many
// 24-byte records whose second word (record bytes 4..7) is the offset of the
// record's text from the start of the block. A 32-bit word cannot hold an
// address on this host, so the block is copied unchanged: a caller resolves
// a record's text as result + offset, after checking offset < *resultSize.
// The count and offsets keep the byte order the sender wrote them in.
uint32_t PacketRespDecode(uint32_t* operation, uint32_t* objectType, uint32_t* returnCode,
                          void* result, uint32_t* resultSize, const void* packet,
                          uint32_t received);
