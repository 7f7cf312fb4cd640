// Event log over an X/Open message catalog and syslog. The catalog text is
// formatted here, each insertion passed with the type its conversion names,
// and the finished line goes to syslog as a plain argument.
#include "common/host/eventlog.h"

#include <syslog.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

unsigned short wLevel = 0;
nl_catd catd = reinterpret_cast<nl_catd>(-1);

namespace {

constexpr unsigned short kMaxInsertions = 4;
constexpr size_t kMessageSize = 2048;

struct TypeInfo {
  int priority;
  int set;
};
static constexpr std::array<TypeInfo, 3> kTypes = {{
    {LOG_DAEMON | LOG_ERR, 1},
    {LOG_DAEMON | LOG_INFO, 2},
    {LOG_DAEMON | LOG_WARNING, 3},
}};

std::atomic<EventLogObserver> g_observer{nullptr};

bool CatalogOpen() { return catd != reinterpret_cast<nl_catd>(-1); }

void Notify(unsigned short type, unsigned id, unsigned short count, const char* text) {
  if (EventLogObserver observer = g_observer.load(std::memory_order_acquire)) {
    observer(type, id, count, text);
  }
}

// Appends to a fixed buffer, cutting silently at its end.
class Line {
 public:
  void Append(std::string_view text) {
    size_t n = std::min(text.size(), room());
    std::memcpy(buf_.data() + len_, text.data(), n);
    len_ += n;
    buf_[len_] = '\0';
  }
  template <typename T>
  void Format(const char* spec, T value) {
    int n = std::snprintf(buf_.data() + len_, room() + 1, spec, value);
    if (n > 0) len_ += std::min(size_t(n), room());
    buf_[len_] = '\0';
  }
  const char* c_str() const { return buf_.data(); }

 private:
  size_t room() const { return buf_.size() - 1 - len_; }
  std::array<char, kMessageSize> buf_{};
  size_t len_ = 0;
};

// Formats one conversion (spec is its whole text, e.g. "%-10s") with an
// insertion. Returns false for a conversion that insertions cannot feed.
bool FormatConversion(Line* line, const char* spec, std::string_view length, char conversion,
                      uintptr_t value) {
  const bool isLong = length == "l";
  const bool isLongLong = length == "ll" || length == "j" || length == "q";
  const bool isSize = length == "z" || length == "t";
  switch (conversion) {
    case 'd':
    case 'i':
      if (isLong) line->Format(spec, long(value));
      else if (isLongLong) line->Format(spec, (long long)(value));
      else if (isSize) line->Format(spec, ptrdiff_t(value));
      else line->Format(spec, int(value));
      return true;
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      if (isLong) line->Format(spec, (unsigned long)(value));
      else if (isLongLong) line->Format(spec, (unsigned long long)(value));
      else if (isSize) line->Format(spec, size_t(value));
      else line->Format(spec, unsigned(value));
      return true;
    case 'c':
      line->Format(spec, int(value));
      return true;
    case 's': {
      const char* text = reinterpret_cast<const char*>(value);
      line->Format(spec, text != nullptr ? text : "(null)");
      return true;
    }
    case 'p':
      line->Format(spec, reinterpret_cast<void*>(value));
      return true;
    default:
      return false;
  }
}

// printf for catalog texts whose arguments are count insertions. Missing
// insertions count as 0. Conversions that insertions cannot feed (floating
// point, %n, '*' widths) are copied as they stand.
void FormatMessage(Line* line, const char* format, unsigned short count, const uintptr_t* insertions) {
  static constexpr std::string_view kFlags = "-+ #0'";
  static constexpr std::string_view kLengths[] = {"hh", "ll", "h", "l", "j", "q", "z", "t"};
  unsigned next = 0;
  const char* p = format;
  while (*p != '\0') {
    const char* percent = std::strchr(p, '%');
    if (percent == nullptr) {
      line->Append(p);
      return;
    }
    line->Append(std::string_view(p, size_t(percent - p)));
    const char* q = percent + 1;
    if (*q == '%') {
      line->Append("%");
      p = q + 1;
      continue;
    }
    while (*q != '\0' && kFlags.find(*q) != std::string_view::npos) ++q;
    while (*q >= '0' && *q <= '9') ++q;
    if (*q == '.') {
      ++q;
      while (*q >= '0' && *q <= '9') ++q;
    }
    std::string_view length;
    for (std::string_view l : kLengths) {
      if (std::strncmp(q, l.data(), l.size()) == 0) {
        length = l;
        q += l.size();
        break;
      }
    }
    if (*q == '\0') {
      line->Append(percent);
      return;
    }
    const char conversion = *q;
    std::string_view whole(percent, size_t(q + 1 - percent));
    std::array<char, 32> spec{};
    bool done = false;
    if (whole.size() < spec.size()) {
      std::memcpy(spec.data(), whole.data(), whole.size());
      uintptr_t value = next < count && insertions != nullptr ? insertions[next] : 0;
      done = FormatConversion(line, spec.data(), length, conversion, value);
      if (done) ++next;
    }
    if (!done) line->Append(whole);
    p = q + 1;
  }
}

}  // namespace

int EventLogOpen(const char* source, const char* /*logName*/, const char* /*messageFile*/,
                 const char* catalogPath) {
  // A catalog left open by an earlier open is not leaked.
  if (CatalogOpen()) catclose(catd);
  catd = catalogPath != nullptr ? catopen(catalogPath, 0) : reinterpret_cast<nl_catd>(-1);
  if (!CatalogOpen()) return 0;
  openlog(source, 0, LOG_DAEMON);
  return 1;
}

int EventLogSetLevel(unsigned short level) {
  if (level > 2) return 0;
  wLevel = level;
  return 1;
}

int EventLogAddMessage(unsigned short type, unsigned id, unsigned short count,
                       const uintptr_t* insertions) {
  if (type >= kTypes.size()) return 0;
  if (wLevel == 2 && type == EVENTLOG_INFORMATION_TYPE) return 1;

  const char* format = nullptr;
  if (CatalogOpen() && id <= unsigned(INT_MAX)) {
    format = catgets(catd, kTypes[type].set, int(id), nullptr);
  }
  if (format == nullptr) {
    Notify(type, id, count, nullptr);
    return 0;
  }
  if (count > kMaxInsertions) {
    Notify(type, id, count, nullptr);
    return 1;
  }
  Line line;
  FormatMessage(&line, format, count, insertions);
  Notify(type, id, count, line.c_str());
  syslog(kTypes[type].priority, "%s", line.c_str());
  return 1;
}

void EventLogClose() {
  if (CatalogOpen()) catclose(catd);
  catd = reinterpret_cast<nl_catd>(-1);
  closelog();
}

EventLogObserver EventLogSetObserverForTesting(EventLogObserver observer) {
  return g_observer.exchange(observer, std::memory_order_acq_rel);
}
