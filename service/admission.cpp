// The table of console addresses behind the connection limits and the
// password delays, under one lock.
#include "service/admission.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "common/host/eventlog.h"
#include "service/connection.h"

namespace kqs {
namespace {

struct Source {
  int connections = 0;
  int refusals = 0;
  int64_t lastRefusalMs = 0;
  int64_t nextCheckMs = 0;  // when the next password check may run
};

// Addresses remembered at most; beyond it those without a connection are
// dropped, oldest refusal first.
constexpr size_t kMaxSources = 4096;

std::mutex g_lock;
std::unordered_map<std::string, Source> g_sources;
std::vector<Connection*> g_live;
bool g_closing = false;

void LogPeer(unsigned id, const std::string& peer) {
  const uintptr_t insertion = reinterpret_cast<uintptr_t>(peer.c_str());
  EventLogAddMessage(EVENTLOG_WARNING_TYPE, id, 1, &insertion);
}

// The key an address is counted under: the address itself, but for IPv6
// its /64 network, since one host may hold every address of it.
std::string SourceKey(const std::string& peer) {
  in6_addr address;
  if (inet_pton(AF_INET6, peer.c_str(), &address) != 1) return peer;
  std::memset(&address.s6_addr[8], 0, 8);
  char text[INET6_ADDRSTRLEN] = "";
  inet_ntop(AF_INET6, &address, text, sizeof text);
  return std::string(text) + "/64";
}

// A source with nothing to remember goes; so does an old refusal count.
Source& Counted(const Connection* connection) { return g_sources[SourceKey(connection->peer())]; }

void Tidy(const std::string& peer, int64_t now) {
  auto it = g_sources.find(SourceKey(peer));
  if (it == g_sources.end()) return;
  Source& s = it->second;
  if (s.refusals > 0 && now - s.lastRefusalMs > kForgetMs) s.refusals = 0;
  if (s.connections == 0 && s.refusals == 0) g_sources.erase(it);
}

Source& SourceOf(const std::string& peer, int64_t now) {
  Tidy(peer, now);
  if (g_sources.size() >= kMaxSources && g_sources.find(SourceKey(peer)) == g_sources.end()) {
    std::vector<std::pair<int64_t, std::string>> idle;
    for (const auto& [address, s] : g_sources)
      if (s.connections == 0) idle.emplace_back(s.lastRefusalMs, address);
    std::sort(idle.begin(), idle.end());
    for (size_t i = 0; i < idle.size() && i <= kMaxSources / 8; ++i) g_sources.erase(idle[i].second);
  }
  return g_sources[SourceKey(peer)];
}

// The connection counted under key (when null: of any source holding
// `holding`) idle the longest, not in the middle of a request; null when
// there is none.
Connection* LongestIdle(const std::string* key, int holding) {
  Connection* oldest = nullptr;
  for (Connection* c : g_live) {
    if (c->busy || (key != nullptr ? SourceKey(c->peer()) != *key : Counted(c).connections != holding)) continue;
    if (oldest == nullptr || c->lastActiveMs < oldest->lastActiveMs) oldest = c;
  }
  return oldest;
}

// When every place is taken: the connection to close for a newcomer whose
// address holds `holding`, taken from the address holding the most, when
// that is more than the newcomer's address would hold.
Connection* Displaceable(int holding) {
  int most = 0;
  for (Connection* c : g_live) most = std::max(most, Counted(c).connections);
  return most > holding + 1 ? LongestIdle(nullptr, most) : nullptr;
}

// Closes a connection to make room; its thread releases it shortly, but it
// no longer counts.
void Displace(Connection* connection) {
  LogPeer(232, connection->peer());
  connection->Abort();
  g_live.erase(std::find(g_live.begin(), g_live.end(), connection));
  --Counted(connection).connections;
}

int64_t DelayAfter(int refusals) {
  const int doublings = std::min(refusals - kFreeRefusals, 16);
  return std::min<int64_t>(kMaxRefusalDelayMs, int64_t{1000} << doublings);
}

}  // namespace

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool Admit(Connection* connection) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_closing) return false;
  const std::string& peer = connection->peer();
  Source& source = SourceOf(peer, NowMs());
  if (source.connections >= kMaxConnectionsPerAddress) {
    // The address's newest connection wins over its own idle ones.
    const std::string key = SourceKey(peer);
    Connection* idle = LongestIdle(&key, 0);
    if (idle == nullptr) {
      LogPeer(230, peer);
      return false;
    }
    Displace(idle);
  } else if (g_live.size() >= static_cast<size_t>(kMaxConnections)) {
    Connection* displaced = Displaceable(source.connections);
    if (displaced == nullptr) {
      LogPeer(231, peer);
      return false;
    }
    Displace(displaced);
  }
  ++source.connections;
  connection->lastActiveMs = NowMs();
  g_live.push_back(connection);
  return true;
}

void Release(Connection* connection) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto it = std::find(g_live.begin(), g_live.end(), connection);
  if (it == g_live.end()) return;  // displaced: no longer counted
  g_live.erase(it);
  --Counted(connection).connections;
  Tidy(connection->peer(), NowMs());
}

void AbortAll() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_closing = true;
  for (Connection* c : g_live) c->Abort();
}

int64_t TakePasswordTurn(const std::string& peer) {
  if (peer.empty()) return 0;
  std::lock_guard<std::mutex> hold(g_lock);
  const int64_t now = NowMs();
  Source& source = SourceOf(peer, now);
  if (source.refusals < kFreeRefusals) return 0;
  const int64_t turn = std::max(now, source.nextCheckMs);
  source.nextCheckMs = turn + DelayAfter(source.refusals);
  return turn - now;
}

void NotePasswordCheck(const std::string& peer, bool accepted) {
  if (peer.empty()) return;
  std::lock_guard<std::mutex> hold(g_lock);
  const int64_t now = NowMs();
  Source& source = SourceOf(peer, now);
  if (accepted) {
    source.refusals = 0;
    source.nextCheckMs = 0;
    return;
  }
  source.lastRefusalMs = now;
  if (++source.refusals < kFreeRefusals) return;
  if (source.refusals == kFreeRefusals) LogPeer(233, peer);
  source.nextCheckMs = std::max(source.nextCheckMs, now + DelayAfter(source.refusals));
}

}  // namespace kqs
