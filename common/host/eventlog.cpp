// Event log over an X/Open message catalog and syslog. The catalog text is
// formatted by the caller, each insertion passed with the type its conversion
// names; the finished line goes into a bounded queue that one thread drains
// into syslog, so a system log that does not read can never stall the daemon.
#include "common/host/eventlog.h"

#include <nl_types.h>
#include <pthread.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace {

// The level (EventLogSetLevel), read by every logging thread.
std::atomic<unsigned short> wLevel{0};
// The open catalog, (nl_catd)-1 when none is open: set by EventLogOpen and
// EventLogClose, which the program calls while no other thread logs.
nl_catd catd = reinterpret_cast<nl_catd>(-1);

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

// Where entries go besides (or instead of) syslog.
enum class Echo { kNone, kTerminal, kJournal };
std::atomic<Echo> g_echo{Echo::kNone};

// True when standard error is the journal stream systemd connected it to.
bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  struct stat st;
  return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
         fstat(STDERR_FILENO, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

// One entry on standard error; a full pipe only delays the log's own thread.
void EchoToStderr(Echo echo, int priority, unsigned id, const std::string& text) {
  static constexpr const char* kWords[8] = {"emergency", "alert", "critical", "error",
                                            "warning",   "notice", "information", "debug"};
  const int level = priority & 7;
  if (echo == Echo::kJournal) {
    std::fprintf(stderr, "<%d>%s\n", level, text.c_str());
  } else {
    std::fprintf(stderr, "%s %u: %s\n", kWords[level], id, text.c_str());
  }
  std::fflush(stderr);
}

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

// Entries waiting for syslog, beyond which new ones are dropped and counted.
constexpr size_t kQueueLimit = 1024;
// How long closing the log waits for the queue to drain.
constexpr auto kCloseWait = std::chrono::milliseconds(250);
// How long the thread lets entries gather after the first wakes it.
constexpr auto kGather = std::chrono::milliseconds(5);
// The most entries handed to syslog in a second (and at once). A flood of
// requests or discovery datagrams would otherwise bury every other log of
// the host (journald itself suppresses more than 10,000 in 30 s); beyond it
// the queue fills and entries are dropped and counted.
constexpr double kEntriesPerSecond = 1000;
// The catalog text that reports dropped entries, with the count (%u).
constexpr unsigned kDroppedId = 211;

// The queue and its thread. openlog and closelog go through it too: they take
// the same lock inside the C library as a syslog call stalled on a full
// socket. Made once per process (a forked child makes its own) and never
// destroyed, so the thread may outlive every other static object.
class Outbox {
 public:
  enum class Kind { kOpen, kMessage, kClose };

  static Outbox& Get() {
    static std::atomic<Outbox*> box{nullptr};
    // The thread of a parent's box does not exist in a forked child.
    static const bool forgotten_on_fork =
        pthread_atfork(nullptr, nullptr, [] { box.store(nullptr, std::memory_order_relaxed); }) == 0;
    (void)forgotten_on_fork;
    Outbox* current = box.load(std::memory_order_acquire);
    if (current != nullptr) return *current;
    Outbox* made = new Outbox;  // never freed: see above
    if (!box.compare_exchange_strong(current, made, std::memory_order_acq_rel)) {
      delete made;  // another thread's came first; this one has no thread yet
      return *current;
    }
    return *made;
  }

  // True when a message now would be dropped; cheap enough to test before
  // formatting one.
  bool Full() const { return messages_.load(std::memory_order_relaxed) >= kQueueLimit; }
  void CountDrop() {
    if (dropped_.fetch_add(1, std::memory_order_relaxed) > 0) return;
    // The notice's text is taken at the first drop, while the catalog is
    // surely open.
    const char* notice =
        CatalogOpen() ? catgets(catd, kTypes[EVENTLOG_WARNING_TYPE].set, int(kDroppedId), nullptr) : nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    if (notice != nullptr) dropFormat_ = notice;
  }

  // Queues an entry; a message is dropped and counted when kQueueLimit are
  // waiting.
  void Put(Kind kind, int priority, const char* text, unsigned id = 0) {
    if (kind == Kind::kMessage && Full()) return CountDrop();
    std::lock_guard<std::mutex> lock(mu_);
    if (kind == Kind::kMessage) ++messages_;
    queue_.push_back({kind, priority, id, text});
    if (!started_) {
      started_ = true;
      std::thread([this] { Drain(); }).detach();
    }
    if (waiting_) wake_.notify_one();
  }

  // Waits at most limit for everything queued so far to be handed over.
  void Flush(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mu_);
    idle_.wait_for(lock, limit, [this] { return queue_.empty() && !busy_; });
  }

 private:
  struct Entry {
    Kind kind;
    int priority;
    unsigned id;
    std::string text;
  };

  void Drain() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      waiting_ = true;
      wake_.wait(lock, [this] { return !queue_.empty(); });
      waiting_ = false;
      busy_ = true;
      // A busy daemon then wakes this thread once per batch rather than once
      // per entry: the request and discovery threads only queue.
      lock.unlock();
      std::this_thread::sleep_for(kGather);
      lock.lock();
      std::deque<Entry> batch;
      batch.swap(queue_);
      messages_.store(0, std::memory_order_relaxed);
      lock.unlock();
      for (const Entry& e : batch) {
        if (e.kind == Kind::kMessage) Throttle();
        Deliver(e);
      }
      lock.lock();
      busy_ = false;
      if (queue_.empty() && dropped_.load(std::memory_order_relaxed) > 0) {
        const uintptr_t count = dropped_.exchange(0, std::memory_order_relaxed);
        Line notice;
        FormatMessage(&notice, dropFormat_.c_str(), 1, &count);
        queue_.push_back({Kind::kMessage, LOG_DAEMON | LOG_WARNING, kDroppedId, notice.c_str()});
        ++messages_;
        continue;
      }
      if (queue_.empty()) idle_.notify_all();
    }
  }

  // Waits, when need be, until one more entry may go out: a bucket that
  // fills at kEntriesPerSecond and holds as many.
  void Throttle() {
    const auto now = std::chrono::steady_clock::now();
    tokens_ = std::min(kEntriesPerSecond,
                       tokens_ + std::chrono::duration<double>(now - refilled_).count() * kEntriesPerSecond);
    refilled_ = now;
    if (tokens_ < 1) {
      std::this_thread::sleep_for(std::chrono::duration<double>((1 - tokens_) / kEntriesPerSecond));
      tokens_ = 1;
      refilled_ = std::chrono::steady_clock::now();
    }
    tokens_ -= 1;
  }

  // Only this thread calls the system log; ident_ stays valid for openlog.
  void Deliver(const Entry& e) {
    switch (e.kind) {
      case Kind::kOpen:
        closelog();
        ident_ = e.text;
        openlog(ident_.c_str(), 0, LOG_DAEMON);
        break;
      case Kind::kMessage: {
        const Echo echo = g_echo.load(std::memory_order_relaxed);
        if (echo != Echo::kNone) EchoToStderr(echo, e.priority, e.id, e.text);
        if (echo != Echo::kJournal) syslog(e.priority, "%s", e.text.c_str());
        break;
      }
      case Kind::kClose:
        closelog();
        break;
    }
  }

  std::mutex mu_;
  std::condition_variable wake_, idle_;
  std::deque<Entry> queue_;
  std::atomic<size_t> messages_{0};    // written under mu_
  std::atomic<uintptr_t> dropped_{0};
  std::string dropFormat_ = "%u events were dropped.";
  bool started_ = false;
  bool waiting_ = false;  // the thread waits for an entry
  double tokens_ = kEntriesPerSecond;  // Throttle's bucket, the thread's own
  std::chrono::steady_clock::time_point refilled_ = std::chrono::steady_clock::now();
  bool busy_ = false;     // the thread holds entries not yet handed over
  std::string ident_;
};

}  // namespace

int EventLogOpen(const char* source, const char* /*logName*/, const char* /*messageFile*/,
                 const char* catalogPath) {
  // A catalog left open by an earlier open is not leaked.
  if (CatalogOpen()) catclose(catd);
  catd = catalogPath != nullptr ? catopen(catalogPath, 0) : reinterpret_cast<nl_catd>(-1);
  if (!CatalogOpen()) return 0;
  Outbox::Get().Put(Outbox::Kind::kOpen, 0, source != nullptr ? source : "");
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
  Outbox& box = Outbox::Get();
  // Under a flood most entries are dropped: spare them the formatting.
  if (box.Full() && g_observer.load(std::memory_order_relaxed) == nullptr) {
    box.CountDrop();
    return 1;
  }
  Line line;
  FormatMessage(&line, format, count, insertions);
  Notify(type, id, count, line.c_str());
  box.Put(Outbox::Kind::kMessage, kTypes[type].priority, line.c_str(), id);
  return 1;
}

void EventLogClose() {
  if (CatalogOpen()) catclose(catd);
  catd = reinterpret_cast<nl_catd>(-1);
  Outbox& box = Outbox::Get();
  box.Put(Outbox::Kind::kClose, 0, "");
  box.Flush(kCloseWait);
}

void EventLogCopyToStderr() { g_echo = StderrIsJournal() ? Echo::kJournal : Echo::kTerminal; }

EventLogObserver EventLogSetObserverForTesting(EventLogObserver observer) {
  return g_observer.exchange(observer, std::memory_order_acq_rel);
}
