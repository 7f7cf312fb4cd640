// Listing models, queues and the monitor product into enumeration buffers.
#include "queueadmin/enumerate.h"

#include <dirent.h>
#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "common/host/env.h"
#include "common/util/byteorder.h"
#include "common/host/mtsafe.h"
#include "protocol/kqsids.h"
#include "queueadmin/lppaths.h"
#include "queueadmin/namecheck.h"

namespace {

constexpr uint32_t kDriverRecordSize = 20;
constexpr uint32_t kQueueRecordSize = 24;
constexpr uint32_t kMonitorRecordSize = 20;
constexpr uint32_t kHeaderSize = 4;

constexpr char kMonitorShortName[] = "QVNX";
constexpr char kMonitorName[] = "QV Tarlomin for UNIX";

void PutBE32(unsigned char* p, uint32_t v) { kqs::StoreBE32(p, v); }

// One 32-bit field of a record: a number, or a string stored as its offset.
struct Field {
  const char* text;
  uint32_t number;
};
constexpr Field Num(uint32_t n) { return {nullptr, n}; }
constexpr Field Text(const char* s) { return {s, 0}; }

// Fills a result buffer: records upward from byte 4, strings downward from
// the end, and keeps count of the size the whole result needs.
class EnumBuffer {
 public:
  EnumBuffer(unsigned char* buffer, uint32_t capacity) : buf_(buffer), capacity_(capacity) {
    if (buf_ != nullptr && capacity_ >= kHeaderSize) PutBE32(buf_, 0);
    record_end_ = kHeaderSize;
    string_start_ = capacity_;
  }

  // Counts an item; true when it is to be written (Write must follow, with
  // the same strings).
  bool Reserve(std::initializer_list<Field> fields) {
    uint64_t bytes = 4 * fields.size();
    for (const Field& f : fields) {
      if (f.text != nullptr) bytes += std::strlen(f.text) + 1;
    }
    needed_ += bytes;
    return buf_ != nullptr && needed_ <= capacity_;
  }

  void Write(std::initializer_list<Field> fields) {
    unsigned char* record = buf_ + record_end_;
    for (const Field& f : fields) {
      uint32_t value = f.number;
      if (f.text != nullptr) {
        size_t len = std::strlen(f.text) + 1;
        string_start_ -= static_cast<uint32_t>(len);
        std::memcpy(buf_ + string_start_, f.text, len);
        value = string_start_ - kHeaderSize;
      }
      PutBE32(record, value);
      record += 4;
    }
    record_end_ += static_cast<uint32_t>(4 * fields.size());
    PutBE32(buf_, ++count_);
  }

  // Reserve and Write in one.
  void Add(std::initializer_list<Field> fields) {
    if (Reserve(fields)) Write(fields);
  }

  uint32_t Finish(uint32_t* size) const {
    if (*size < needed_) {
      *size = static_cast<uint32_t>(needed_);
      return KQS_INSUFFICIENT_BUFFER;
    }
    return KQS_SUCCESS;
  }

 private:
  unsigned char* buf_;
  uint32_t capacity_;
  uint64_t needed_ = kHeaderSize;
  uint32_t record_end_;
  uint32_t string_start_;
  uint32_t count_ = 0;
};

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Calls visit(name, status) for every entry of dir whose status can be
// queried. False when the directory cannot be opened.
template <typename Visit>
bool ForEachEntry(const char* dir, Visit visit) {
  Dir d(opendir(dir));
  if (!d) return false;
  struct dirent entry;
  while (xReaddir(d.get(), &entry) != nullptr) {
    char path[255];
    struct stat st;
    if (!kqs::FormatLine(path, sizeof path, "%s/%s", dir, entry.d_name)) continue;
    if (kqs::CurrentEnv()->Stat(path, &st) != 0) continue;
    visit(entry.d_name, st);
  }
  return true;
}

// Reads a decimal integer the way %d does (blanks, an optional sign).
const char* ReadInt(const char* p, const char* end, int* out) {
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  if (p < end && *p == '+') ++p;
  auto [next, ec] = std::from_chars(p, end, *out);
  return ec == std::errc() ? next : nullptr;
}

// "Revision %c.%d.%d" into the two revision fields; false when the line has
// another form.
bool ParseRevision(const char* line, uint32_t* major, uint32_t* minor) {
  constexpr char kWord[] = "Revision";
  const char* end = line + std::strlen(line);
  if (std::strncmp(line, kWord, sizeof kWord - 1) != 0) return false;
  const char* p = line + sizeof kWord - 1;
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
  if (p >= end) return false;
  signed char letter = static_cast<signed char>(*p++);
  int first = 0;
  int second = 0;
  if (p >= end || *p++ != '.' || (p = ReadInt(p, end, &first)) == nullptr) return false;
  if (p >= end || *p++ != '.' || ReadInt(p, end, &second) == nullptr) return false;
  *major = static_cast<uint32_t>(int64_t{letter} * 100 + first);
  *minor = static_cast<uint32_t>(second);
  return true;
}

}  // namespace

uint32_t DriverEnumUX(unsigned char* buffer, uint32_t* size) {
  if (size == nullptr) return KQS_INVALID_PARAMETER;
  EnumBuffer out(buffer, *size);
  auto add = [&out](const char* name, const struct stat& st, bool skip_template) {
    if (!S_ISREG(st.st_mode)) return;
    if (skip_template && std::strcmp(name, kqs::kWrapperTemplateName) == 0) return;
    // A model that could not be added is not offered.
    if (!kqs::IsSafeModelName(name)) return;
    out.Add({Num(kDriverRecordSize), Text(name), Num(0), Num(0), Num(0)});
  };
  const kqs::LpPathSet& lp = kqs::LpPaths();
  if (!ForEachEntry(lp.product, [&](const char* n, const struct stat& st) { add(n, st, true); }))
    return KQS_FAILURE;
  if (!ForEachEntry(lp.models, [&](const char* n, const struct stat& st) { add(n, st, false); }))
    return KQS_FAILURE;
  return out.Finish(size);
}

uint32_t QueueEnumUX(unsigned char* buffer, uint32_t* size) {
  if (size == nullptr) return KQS_INVALID_PARAMETER;
  EnumBuffer out(buffer, *size);
  const char* dir = kqs::LpPaths().interfaces;
  bool opened = ForEachEntry(dir, [&](const char* name, const struct stat& st) {
    if (!kqs::IsSafeLpName(name) || !S_ISREG(st.st_mode) || st.st_uid != lpid) return;
    out.Add({Num(kQueueRecordSize), Text(name), Num(0), Num(0), Text(dir), Num(0)});
  });
  if (!opened) return KQS_FAILURE;
  return out.Finish(size);
}

uint32_t MonitorEnumUX(unsigned char* buffer, uint32_t* size) {
  if (size == nullptr) return KQS_INVALID_PARAMETER;
  EnumBuffer out(buffer, *size);
  const char* version = kqs::LpPaths().version;
  struct stat st;
  if (kqs::CurrentEnv()->Stat(version, &st) == 0 && S_ISREG(st.st_mode)) {
    if (out.Reserve({Num(kMonitorRecordSize), Text(kMonitorShortName), Text(kMonitorName), Num(0), Num(0)})) {
      File f(kqs::CurrentEnv()->FOpen(version, "r"));
      char line[4096];
      if (!f || std::fgets(line, sizeof line, f.get()) == nullptr) return KQS_FAILURE;
      uint32_t major = 0;
      uint32_t minor = 0;
      ParseRevision(line, &major, &minor);
      out.Write({Num(kMonitorRecordSize), Text(kMonitorShortName), Text(kMonitorName), Num(major), Num(minor)});
    }
  }
  return out.Finish(size);
}
