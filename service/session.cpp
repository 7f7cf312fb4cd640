// The serving threads: one per admitted connection, each taking requests
// from its byte stream under the time limits of the daemon's settings.
#include "service/session.h"

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/host/eventlog.h"
#include "common/host/servicefw.h"
#include "common/util/byteorder.h"
#include "jthread/jthread.h"
#include "protocol/kqsids.h"
#include "protocol/packet.h"
#include "service/admission.h"
#include "service/options.h"
#include "service/request.h"

namespace kqs {
namespace {

constexpr uint32_t kReceiveSize = 32768;

void Log(unsigned short type, unsigned id) { EventLogAddMessage(type, id, 0, nullptr); }

void LogText(unsigned short type, unsigned id, const char* text) {
  const uintptr_t insertion = reinterpret_cast<uintptr_t>(text);
  EventLogAddMessage(type, id, 1, &insertion);
}

// Serving threads still running, for shutdown to wait on.
std::mutex g_threadsLock;
std::condition_variable g_threadsDone;
int g_threads = 0;

// Why a served connection ends.
enum class End {
  kGoing,
  kClosedByConsole,
  kShutdown,
  kIdle,
  kSlowRequest,
  kNotARequest,
  kNotTaken,
  kLost,
  kFailed,
  kRefused,
  kNoHandshake
};

// The request bytes received so far, with the time the first of them came
// (monotonic milliseconds: a step of the wall clock must neither close a busy
// console nor keep a silent one).
struct Pending {
  uint32_t have = 0;
  int64_t firstByteMs = 0;
};

// How long to wait for the next bytes: the rest of the request deadline
// while a request is incomplete, else the rest of the idle limit (measured
// from the last answered request), else without limit (-1). Zero when the
// limit has passed.
int WaitMs(const ServiceSettings& settings, const Pending& pending, int64_t lastAnswerMs) {
  int64_t end;
  if (pending.have > 0) {
    end = pending.firstByteMs + settings.requestTimeoutMs;
  } else if (settings.idleTimeoutMs > 0) {
    end = lastAnswerMs + settings.idleTimeoutMs;
  } else {
    return -1;
  }
  const int64_t left = end - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Answers every whole request at the front of the buffer, in order, and
// keeps the start of an incomplete one. A request's length comes from its
// header; a length no request can have means the stream cannot be followed.
End HandleRequests(Session* session, char* buffer, Pending* pending, int64_t* lastAnswerMs) {
  uint32_t at = 0;
  End end = End::kGoing;
  while (end == End::kGoing && pending->have - at >= 4) {
    const uint32_t length = LoadBE32(reinterpret_cast<const unsigned char*>(buffer + at));
    if (length < KQS_MIN_REQUEST_SIZE || length > kReceiveSize) return End::kNotARequest;
    if (pending->have - at < length) break;
    session->connection->busy = true;
    // A malformed request gets no answer and does not count as activity.
    if (PSRequest(session, buffer + at, length) == KQS_SUCCESS) {
      *lastAnswerMs = NowMs();
      session->connection->lastActiveMs = *lastAnswerMs;
    }
    session->connection->busy = false;
    if (session->mustClose) end = End::kRefused;
    at += length;
  }
  if (at > 0) {
    std::memmove(buffer, buffer + at, pending->have - at);
    pending->have -= at;
    // The next request's bytes are already here: its deadline starts now.
    pending->firstByteMs = NowMs();
  }
  return end;
}

// Waits for and receives the next bytes into the buffer.
End Receive(const Session& session, char* buffer, Pending* pending, int64_t lastAnswerMs) {
  Connection* connection = session.connection;
  const int waitMs = WaitMs(*session.settings, *pending, lastAnswerMs);
  if (waitMs == 0) return pending->have > 0 ? End::kSlowRequest : End::kIdle;
  const int received =
      connection->Receive(buffer + pending->have, static_cast<int>(kReceiveSize - pending->have), waitMs);
  if (ServiceIsShutdown()) return End::kShutdown;
  if (received == Connection::kNoData) return End::kGoing;
  if (received == 0) return End::kClosedByConsole;
  if (received < 0) {
    const int error = errno;
    // Timed out with answers still queued: the console stopped taking them.
    if (error == ETIMEDOUT && connection->HasUnsentData()) return End::kNotTaken;
    return error == ETIMEDOUT || error == ECONNRESET || error == EHOSTUNREACH || error == ENETUNREACH
               ? End::kLost
               : End::kFailed;
  }
  if (pending->have == 0) {
    pending->firstByteMs = NowMs();
    connection->lastActiveMs = pending->firstByteMs;
  }
  pending->have += static_cast<uint32_t>(received);
  Log(EVENTLOG_INFORMATION_TYPE, 8);
  return End::kGoing;
}

// The event that names the console when the daemon ends its connection.
void LogEnd(End end, const char* peer) {
  struct Reason {
    End end;
    unsigned id;
  };
  static constexpr Reason kReasons[] = {
      {End::kIdle, 202}, {End::kSlowRequest, 203}, {End::kNotTaken, 204}, {End::kLost, 205}, {End::kNotARequest, 206},
  };
  if (end == End::kFailed) Log(EVENTLOG_ERROR_TYPE, 110);
  if (end == End::kNoHandshake) LogText(EVENTLOG_WARNING_TYPE, 240, peer);
  for (const Reason& r : kReasons) {
    if (r.end == end) LogText(EVENTLOG_WARNING_TYPE, r.id, peer);
  }
}

// What a serving thread is handed: the connection, which it owns, and the
// settings it is served under.
struct Job {
  std::unique_ptr<Connection> connection;
  const ServiceSettings* settings;
};

// Thread body: serves the connection it is given, then releases, closes and
// forgets it.
void* Serve(void* arg) {
  std::unique_ptr<Job> job(static_cast<Job*>(arg));
  std::unique_ptr<Connection> connection = std::move(job->connection);
  ServeConnection(connection.get(), job->settings);
  Release(connection.get());
  connection.reset();
  Log(EVENTLOG_INFORMATION_TYPE, 10);
  std::lock_guard<std::mutex> hold(g_threadsLock);
  --g_threads;
  g_threadsDone.notify_all();
  return nullptr;
}

}  // namespace

void StartServing(std::unique_ptr<Connection> connection, const ServiceSettings* settings) {
  if (PeerAllowed(settings, connection->peer().c_str()) == 0) {
    LogText(EVENTLOG_WARNING_TYPE, 209, connection->peer().c_str());
  } else if (Admit(connection.get())) {
    std::lock_guard<std::mutex> hold(g_threadsLock);
    auto job = std::make_unique<Job>(Job{std::move(connection), settings});
    JThread thread = 0;
    if (JThreadCreate(&thread, Serve, job.get()) == 0) {
      pthread_detach(thread);
      job.release();
      ++g_threads;
      return;
    }
    // No thread to be had: the console is closed rather than left waiting.
    connection = std::move(job->connection);
    Release(connection.get());
  }
  connection.reset();
  Log(EVENTLOG_INFORMATION_TYPE, 10);
}

void ServeConnection(Connection* connection, const ServiceSettings* settings) {
  std::unique_ptr<char, decltype(&std::free)> buffer(static_cast<char*>(std::malloc(kReceiveSize)), &std::free);
  Session session;
  session.connection = connection;
  session.settings = settings;
  int64_t lastAnswerMs = NowMs();
  Pending pending;
  // Without a buffer the connection is closed at once rather than served.
  End end = buffer != nullptr ? End::kGoing : End::kFailed;
  if (end == End::kGoing && !connection->Open(static_cast<int>(settings->requestTimeoutMs))) end = End::kNoHandshake;
  session.accessGranted = connection->Certified();
  while (end == End::kGoing && !ServiceIsShutdown()) {
    end = Receive(session, buffer.get(), &pending, lastAnswerMs);
    if (end == End::kGoing) end = HandleRequests(&session, buffer.get(), &pending, &lastAnswerMs);
  }
  LogEnd(end, connection->peer().c_str());
}

bool StopServing(int waitMs) {
  AbortAll();
  std::unique_lock<std::mutex> hold(g_threadsLock);
  return g_threadsDone.wait_for(hold, std::chrono::milliseconds(waitMs), [] { return g_threads == 0; });
}

}  // namespace kqs
