// Bounds-checked decoding of enumeration result buffers.
#include "kqsctl/enumbuf.h"
#include "common/util/byteorder.h"

#include <cstdio>

namespace kqsctl {
namespace {

// Records start at this byte; string offsets are counted from here too.
constexpr size_t kRecordBase = 4;

uint32_t Be32(const uint8_t* p) { return kqs::LoadBE32(p); }

class Reader {
 public:
  Reader(const uint8_t* buf, size_t size, std::string* error) : buf_(buf), size_(size), error_(error) {}

  // Calls visit(record, record_size) for each record of at least min_size
  // bytes. Returns false at the first malformed record.
  template <typename Visit>
  bool ForEachRecord(size_t min_size, Visit visit) {
    if (buf_ == nullptr || size_ < kRecordBase) return Fail("result is shorter than its 4-byte record count");
    const uint32_t count = Be32(buf_);
    size_t at = kRecordBase;
    for (uint32_t i = 0; i < count; ++i) {
      if (size_ - at < 4) return Fail("record " + std::to_string(i + 1) + " lies beyond the end of the result");
      const uint32_t rec_size = Be32(buf_ + at);
      if (rec_size < min_size) {
        return Fail("record " + std::to_string(i + 1) + " is " + std::to_string(rec_size) +
                    " bytes, expected at least " + std::to_string(min_size));
      }
      if (rec_size > size_ - at) return Fail("record " + std::to_string(i + 1) + " runs past the end of the result");
      if (!visit(buf_ + at)) return false;
      at += rec_size;
    }
    return true;
  }

  // The string whose offset is in word `field` (1-based) of the record.
  bool String(const uint8_t* record, int field, std::string* out) {
    const uint32_t offset = Be32(record + 4 * (field - 1));
    if (offset >= size_ - kRecordBase) return Fail("string offset " + std::to_string(offset) + " lies outside the result");
    const size_t start = kRecordBase + offset;
    size_t end = start;
    while (end < size_ && buf_[end] != 0) ++end;
    if (end == size_) return Fail("string at offset " + std::to_string(offset) + " is not terminated");
    out->assign(reinterpret_cast<const char*>(buf_ + start), end - start);
    return true;
  }

  static uint32_t Word(const uint8_t* record, int field) { return Be32(record + 4 * (field - 1)); }

 private:
  bool Fail(const std::string& why) {
    if (error_ != nullptr) *error_ = why;
    return false;
  }

  const uint8_t* buf_;
  size_t size_;
  std::string* error_;
};

template <typename Entry, typename Fill>
bool Decode(const uint8_t* buf, size_t size, size_t record_size, std::vector<Entry>* out, std::string* error,
            Fill fill) {
  out->clear();
  Reader reader(buf, size, error);
  const bool ok = reader.ForEachRecord(record_size, [&](const uint8_t* rec) {
    Entry entry;
    if (!fill(reader, rec, &entry)) return false;
    out->push_back(std::move(entry));
    return true;
  });
  if (!ok) out->clear();
  return ok;
}

}  // namespace

bool DecodeDrivers(const uint8_t* buf, size_t size, std::vector<DriverEntry>* out, std::string* error) {
  return Decode(buf, size, 20, out, error,
                [](Reader& r, const uint8_t* rec, DriverEntry* e) { return r.String(rec, 2, &e->model); });
}

bool DecodeQueues(const uint8_t* buf, size_t size, std::vector<QueueEntry>* out, std::string* error) {
  return Decode(buf, size, 24, out, error, [](Reader& r, const uint8_t* rec, QueueEntry* e) {
    return r.String(rec, 2, &e->name) && r.String(rec, 5, &e->interface_dir);
  });
}

bool DecodeMonitors(const uint8_t* buf, size_t size, std::vector<MonitorEntry>* out, std::string* error) {
  return Decode(buf, size, 20, out, error, [](Reader& r, const uint8_t* rec, MonitorEntry* e) {
    if (!r.String(rec, 2, &e->short_name) || !r.String(rec, 3, &e->product)) return false;
    e->revision = Reader::Word(rec, 4);
    e->revision_minor = Reader::Word(rec, 5);
    return true;
  });
}

std::string FormatRevision(uint32_t revision, uint32_t revision_minor) {
  // The server builds the word from a signed letter code, so read it signed.
  const int32_t value = static_cast<int32_t>(revision);
  const int32_t letter = value / 100;
  const int32_t first = value % 100;
  char text[48];
  const bool is_letter = (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
  if (is_letter && first >= 0 && revision_minor < 100000) {
    std::snprintf(text, sizeof text, "%c.%02d.%02u", static_cast<char>(letter), first, revision_minor);
  } else {
    std::snprintf(text, sizeof text, "%u/%u", revision, revision_minor);
  }
  return text;
}

}  // namespace kqsctl
