// Reading the result buffers of the queue, driver and monitor enumerations:
// a big-endian record count, records that each begin with their own size, and
// NUL-terminated strings addressed by offsets counted from byte 4. The buffer
// comes from the network, so every size and offset is checked before use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kqsctl {

struct DriverEntry {
  std::string model;  // file name of the printer model
};

struct QueueEntry {
  std::string name;
  std::string interface_dir;  // directory that holds the queue's interface script
};

struct MonitorEntry {
  std::string short_name;
  std::string product;
  uint32_t revision = 0;        // revision letter's code * 100 + first number
  uint32_t revision_minor = 0;  // second number
};

// Each decoder fills out with every record of the buffer and returns true, or
// returns false with a one-line reason in error when the buffer is malformed
// (too short, a record or string outside the buffer, a record smaller than
// its kind). out is left empty on failure.
bool DecodeDrivers(const uint8_t* buf, size_t size, std::vector<DriverEntry>* out, std::string* error);
bool DecodeQueues(const uint8_t* buf, size_t size, std::vector<QueueEntry>* out, std::string* error);
bool DecodeMonitors(const uint8_t* buf, size_t size, std::vector<MonitorEntry>* out, std::string* error);

// The revision as the version file writes it ("C.02.15"), or the two raw
// numbers ("6702/15") when they do not spell a letter and a number below 100.
std::string FormatRevision(uint32_t revision, uint32_t revision_minor);

}  // namespace kqsctl
