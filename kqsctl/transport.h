// kqsctl's network side: one request and its response over the management
// connection (TLS or plain, see kqsctl/channel.h), and the discovery datagram with the replies it draws. Every
// wait is bounded by the caller's time-out; nothing here blocks longer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kqsctl/channel.h"

namespace kqsctl {

struct Reply {
  uint32_t operation = 0;
  uint32_t object_type = 0;
  uint32_t return_code = 0;
  std::vector<uint8_t> data;  // the result block, possibly empty
};

// Connects to server, sends one request (the parameter string, and the data
// block when data is not empty; the caller includes any terminating NUL in
// data) and reads the whole response, all within timeout_ms. Returns true with
// the decoded response in reply. Returns false with a one-line message that
// names the server when it cannot be resolved or reached, refuses the
// connection, fails the TLS handshake or verification (kqsctl/channel.h), does not answer in time (connected, it may be serving another
// console: the message says so), closes without answering, or sends a
// response that is malformed or answers another operation.
bool Transact(const Endpoint& server, int timeout_ms, uint32_t operation, uint32_t object_type,
              const std::string& params, std::string_view data, Reply* reply, std::string* error);

// One management connection for several requests in turn, as the server
// keeps what a connection was granted (a successful password check) for the
// rest of that connection. Connects on the first request; each request,
// connecting included, gets timeout_ms. After any failure the connection is
// closed and the next request connects afresh. On a plain connection an
// administrator check first warns on the endpoint's notes that the password
// goes in clear.
class Session {
 public:
  Session(const Endpoint& server, int timeout_ms);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Resolves the server and connects within timeout_ms, unless connected
  // already; false with a message as Transact gives one.
  bool Open(std::string* error);
  // As Transact below, on this session's connection.
  bool Transact(uint32_t operation, uint32_t object_type, const std::string& params, std::string_view data,
                Reply* reply, std::string* error);

 private:
  void Drop();
  bool OpenBy(const Deadline& deadline, std::string* error);

  Endpoint server_;
  int timeout_ms_;
  Channel channel_;
};

struct DiscoveryAnswer {
  std::string address;  // the sender's dotted address
  std::string text;     // the reply as received
};

// Sends one discovery datagram to each of targets (names, addresses or
// broadcast addresses) or, when there are none, to the broadcast address,
// and collects the replies for timeout_ms; it stops early when every target
// has answered from its own address. Duplicate replies are dropped. Returns
// false with a message only when a datagram cannot be sent; no reply at all
// is not an error here.
bool Discover(const std::vector<std::string>& targets, unsigned short port, int timeout_ms,
              std::vector<DiscoveryAnswer>* answers, std::string* error);

}  // namespace kqsctl
