// The numbers of the management protocol: operations, object types,
// platforms and return codes, with the functions that name them. Every
// protocol function and request handler returns one of these return codes.
#pragma once

#include <cstdint>

// ---- Operations (request `operation`; 1..6 valid on the wire) -------------
inline constexpr uint32_t KQS_ADD = 1;
inline constexpr uint32_t KQS_REMOVE = 2;
inline constexpr uint32_t KQS_QUERY_FILES = 3;
inline constexpr uint32_t KQS_ADMIN_ACCESS = 4;
inline constexpr uint32_t KQS_ENUM_CONTAINER = 5;
inline constexpr uint32_t KQS_UPDATE = 6;

// ---- Object types (request `objectType`; 1..14 valid on the wire, only
// 1..9 have names and handlers) ---------------------------------------------
inline constexpr uint32_t TYPE_PRINTSERVER = 1;
inline constexpr uint32_t TYPE_CONTAINER = 2;
inline constexpr uint32_t TYPE_PRINTQUEUE = 3;
inline constexpr uint32_t TYPE_PRINTDRIVER = 4;
inline constexpr uint32_t TYPE_PHYSICAL_PRINTER = 5;
inline constexpr uint32_t TYPE_PRINTMONITOR = 6;
inline constexpr uint32_t TYPE_DOMAIN = 7;
inline constexpr uint32_t TYPE_UX_SUPERVISOR = 8;
inline constexpr uint32_t TYPE_LOGICAL_PRINTER = 9;

// Highest operation and object type a packet may carry.
inline constexpr uint32_t KQS_MAX_OPERATION = KQS_UPDATE;
inline constexpr uint32_t KQS_MAX_OBJECT_TYPE = 14;

// ---- Platforms (request `platform`; the daemon accepts only UNIX) ----------
inline constexpr uint32_t PRINTSERVER_NT = 1;
inline constexpr uint32_t PRINTSERVER_LAN_SERVER = 2;
inline constexpr uint32_t PRINTSERVER_UNIX = 8;

// The one protocol version, in every packet and in the discovery reply.
inline constexpr uint32_t KQS_PROTOCOL_VERSION = 1;

// ---- Return codes -------------------------------------------------------------
inline constexpr uint32_t KQS_SUCCESS = 0;
inline constexpr uint32_t KQS_INVALID_PATH = 1;
inline constexpr uint32_t KQS_INSUFFICIENT_BUFFER = 2;
inline constexpr uint32_t KQS_INVALID_OBJECT_TYPE = 3;
inline constexpr uint32_t KQS_FAILURE = 4;
inline constexpr uint32_t KQS_CHANNEL_ALREADY_CLOSED = 5;
inline constexpr uint32_t KQS_TIMEOUT = 6;  // ETIMEDOUT
inline constexpr uint32_t KQS_CHANNEL_NOT_OPEN = 7;
inline constexpr uint32_t KQS_NOT_IMPLEMENTED = 8;
inline constexpr uint32_t KQS_INVALID_PARAMETER = 9;
inline constexpr uint32_t KQS_READ_ONLY = 10;
inline constexpr uint32_t KQS_INVALID_PACKET = 11;
inline constexpr uint32_t KQS_INVALID_HOSTNAME = 12;
inline constexpr uint32_t KQS_INVALID_OPERATION = 13;
inline constexpr uint32_t KQS_INVALID_OBJECT_NAME = 14;
inline constexpr uint32_t KQS_NO_ACCESS = 15;
inline constexpr uint32_t KQS_OBJECT_ALREADY_EXISTS = 16;
inline constexpr uint32_t KQS_FILESET_MISSING = 17;
inline constexpr uint32_t KQS_DRIVER_IN_USE = 18;
inline constexpr uint32_t KQS_INVALID_MONITOR = 19;
inline constexpr uint32_t KQS_MONITOR_ALREADY_INSTALLED = 20;
inline constexpr uint32_t KQS_MONITOR_IN_USE = 21;
inline constexpr uint32_t KQS_NOT_VALID_WITH_JOBS_QUEUED = 22;
inline constexpr uint32_t KQS_REBOOT_REQUIRED = 23;
inline constexpr uint32_t KQS_RESTART_REQUIRED = 24;
inline constexpr uint32_t KQS_UNKNOWN_MONITOR = 25;
inline constexpr uint32_t KQS_NETWORK_DOWN = 26;             // ENETDOWN
inline constexpr uint32_t KQS_ADDR_IN_USE = 27;              // EADDRINUSE
inline constexpr uint32_t KQS_ADDR_NOT_AVAIL = 28;           // EADDRNOTAVAIL
inline constexpr uint32_t KQS_NETWORK_UNREACHABLE = 29;      // ENETUNREACH
inline constexpr uint32_t KQS_CONN_MUST_BE_RESET = 30;       // ENETRESET
inline constexpr uint32_t KQS_NOT_CONNECTED = 31;            // ENOTCONN
inline constexpr uint32_t KQS_CONNECTION_REFUSED = 32;       // ECONNREFUSED
inline constexpr uint32_t KQS_SPOOLER_NOT_RUNNING = 33;
inline constexpr uint32_t KQS_SPOOLER_STILL_RUNNING = 34;
inline constexpr uint32_t KQS_QUEUE_EXISTS_AS_QUEUE = 35;
inline constexpr uint32_t KQS_CLASS_EXISTS_AS_QUEUE = 36;
inline constexpr uint32_t KQS_QUEUE_EXISTS_AS_CLASS = 37;
inline constexpr uint32_t KQS_LPADMIN_FAILURE = 38;
inline constexpr uint32_t KQS_ENABLE_FAILURE = 39;
inline constexpr uint32_t KQS_ACCEPT_QUEUE_FAILURE = 40;
inline constexpr uint32_t KQS_ACCEPT_CLASS_FAILURE = 41;
inline constexpr uint32_t KQS_DEFAULT_QUEUE_FAILURE = 42;
inline constexpr uint32_t KQS_QUEUE_SETUP_FAILURE = 43;
inline constexpr uint32_t KQS_OBJECT_OUTOFDATE = 44;
inline constexpr uint32_t KQS_OBJECT_UPTODATE = 45;
inline constexpr uint32_t KQS_OBJECT_LATERVERSION = 46;

// A return code may instead carry a platform error number added to a base.
inline constexpr uint32_t PLATFORM_ERROR_BASE = 0x10000000;
inline constexpr uint32_t PLATFORM_NET_ERROR_BASE = 0x20000000;

// The last name built for a based return code (see ReturnCodeFromID).
extern char glbErrorText[256];

// The name of an operation, object type or platform ("KQS_ADD",
// "TYPE_PRINTQUEUE", "PRINTSERVER_UNIX"), or "Unknown" for any value without
// a name (object types 10..14 included). The texts are constant and owned by
// the library.
const char* OperationFromID(uint32_t operation);
const char* ObjectFromID(uint32_t objectType);
const char* PlatformFromID(uint32_t platform);

// The platform whose name equals name exactly (case-sensitive), or 0 for
// none (also for a null name).
uint32_t IDFromPlatform(const char* name);

// The name of a return code: its table name for 0..46; for a code with bit 28
// set "PLATFORM_ERROR_BASE: <n>", else with bit 29 set
// "PLATFORM_NET_ERROR_BASE: <n>", where n is the code without that bit,
// printed as a signed 32-bit number; "Unknown" for any other code. A based
// name is built in glbErrorText and returned from there, so the next based
// call overwrites it (and two threads naming based codes at once may see
// each other's text).
const char* ReturnCodeFromID(uint32_t code);
const char* KQSReturnCodeFromID(uint32_t code);
