// What the daemon knows about each console address, shared by every
// listener and serving thread: how many connections it holds, and how many
// of its administrator passwords were refused lately. It keeps one address
// from taking every place and from guessing passwords by reconnecting.
//   - An address holds at most kMaxConnectionsPerAddress connections: a
//     further one takes the place of the address's own connection idle the
//     longest (warning 232 names it), or is closed at once when all of them
//     are in the middle of a request (warning 230).
//   - At most kMaxConnections are served in all. When every place is taken,
//     a newcomer from an address holding fewer connections than the busiest
//     address takes the place of that address's connection idle the longest
//     (warning 232 names it); otherwise it is closed (warning 231).
//   - After kFreeRefusals refused passwords from an address (across its
//     connections), each further check from it waits its turn: the waits
//     grow from 1 s, doubling to at most kMaxRefusalDelayMs (warning 233 when
//     they start). A password accepted from the address, or kForgetMs
//     without a refusal, clears the count.
// An IPv6 address counts as its /64 network, which one host may hold whole.
// Every call is safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace kqs {

class Connection;

inline constexpr int kMaxConnectionsPerAddress = 4;
inline constexpr int kMaxConnections = 64;
inline constexpr int kFreeRefusals = 3;
inline constexpr int64_t kMaxRefusalDelayMs = 60000;
inline constexpr int64_t kForgetMs = 15 * 60 * 1000;

// Milliseconds on the monotonic clock.
int64_t NowMs();

// Registers connection, or returns false (after its warning) when it must be
// closed unserved. The connection stays registered until Release.
bool Admit(Connection* connection);
void Release(Connection* connection);
// Aborts every registered connection and refuses new ones (shutdown).
void AbortAll();

// The wait in milliseconds before a password check from peer may run; the
// check's turn is taken at once, so checks over several connections queue
// behind each other. 0 while the address has had fewer than kFreeRefusals
// refusals, and for a connection without an address.
int64_t TakePasswordTurn(const std::string& peer);
// Records the outcome of a password check from peer.
void NotePasswordCheck(const std::string& peer, bool accepted);

}  // namespace kqs
