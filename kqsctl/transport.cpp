// Request/response over a management connection (kqsctl/channel.h) and UDP
// discovery, with deadlines.
#include "kqsctl/transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "protocol/kqsids.h"
#include "protocol/packet.h"
#include "common/util/byteorder.h"

namespace kqsctl {
namespace {

// The largest response accepted; enumerations are far smaller.
constexpr uint32_t kMaxResponse = 64u << 20;
constexpr uint32_t kMinResponse = 25;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

bool Resolve(const std::string& host, unsigned short port, struct sockaddr_in* addr, std::string* error) {
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    *error = "cannot resolve " + host + ": " + (rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc));
    return false;
  }
  std::memcpy(addr, found->ai_addr, sizeof *addr);
  addr->sin_port = htons(port);
  freeaddrinfo(found);
  return true;
}

std::string Where(const Endpoint& server) { return server.Name(); }

uint32_t Be32(const uint8_t* p) { return kqs::LoadBE32(p); }

// Reads one whole response packet (its announced length) into packet.
bool ReceiveResponse(Channel& channel, const Deadline& deadline, const Endpoint& server, int timeout_ms,
                     std::vector<uint8_t>* packet, std::string* error) {
  packet->clear();
  size_t want = 4;  // the length word first, then the announced length
  uint8_t chunk[16384];
  while (packet->size() < want) {
    const long n = channel.Receive(chunk, sizeof chunk, deadline, error);
    if (n == -2) {
      // kqsd runs requests one at a time, and delays password checks from
      // an address after refusals.
      *error = packet->empty() ? "no answer from " + Where(server) + " within " + std::to_string(timeout_ms) +
                                     " ms: the server may be busy or slowing password checks; try a longer --timeout"
                               : Where(server) + " sent only part of its answer within " +
                                     std::to_string(timeout_ms) + " ms";
      return false;
    }
    if (n < 0) return false;
    if (n == 0) {
      *error = packet->empty() ? Where(server) +
                                     " closed the connection without answering (it limits connections per address"
                                     " and may refuse this one: see [ACCESS] Allow)"
                               : Where(server) + " closed the connection in the middle of its answer";
      return false;
    }
    packet->insert(packet->end(), chunk, chunk + n);
    if (want == 4 && packet->size() >= 4) {
      const uint32_t length = Be32(packet->data());
      if (length < kMinResponse || length > kMaxResponse) {
        *error = Where(server) + " sent an invalid response (announced length " + std::to_string(length) + ")";
        return false;
      }
      want = length;
    }
  }
  packet->resize(want);  // anything behind the packet is not ours
  return true;
}

}  // namespace

Session::Session(const Endpoint& server, int timeout_ms) : server_(server), timeout_ms_(timeout_ms) {}

Session::~Session() { Drop(); }

bool Session::Open(std::string* error) { return channel_.is_open() || OpenBy(Deadline(timeout_ms_), error); }

bool Session::OpenBy(const Deadline& deadline, std::string* error) {
  return channel_.Open(server_, deadline, timeout_ms_, error);
}

bool Session::Transact(uint32_t operation, uint32_t object_type, const std::string& params, std::string_view data,
                       Reply* reply, std::string* error) {
  const Deadline deadline(timeout_ms_);
  const Endpoint& server = server_;
  const int timeout_ms = timeout_ms_;

  unsigned char* request = nullptr;
  uint32_t request_length = 0;
  const uint32_t rc = PacketReqEncode(operation, params.c_str(), object_type, data.empty() ? nullptr : data.data(),
                                      static_cast<uint32_t>(data.size()), &request, &request_length);
  if (rc != KQS_SUCCESS) {
    *error = std::string("cannot build the request: ") + KQSReturnCodeFromID(rc);
    return false;
  }
  std::unique_ptr<unsigned char, decltype(&std::free)> request_owner(request, &std::free);
  if (!channel_.is_open() && !OpenBy(deadline, error)) return false;
  if (operation == KQS_ADMIN_ACCESS && server.security.plain) {
    std::fprintf(server.security.notes,
                 "kqsctl: warning: sending the password to %s in clear (--plain): anyone on the network "
                 "path can read it\n",
                 Where(server).c_str());
  }
  // After any failure the connection's state is unknown: it is not used again.
  std::vector<uint8_t> packet;
  if (!channel_.Send(reinterpret_cast<const uint8_t*>(request), request_length, deadline, error) ||
      !ReceiveResponse(channel_, deadline, server, timeout_ms, &packet, error)) {
    Drop();
    return false;
  }
  const auto length = static_cast<uint32_t>(packet.size());
  if (PacketRespValidate(packet.data(), length) != KQS_SUCCESS) {
    *error = Where(server) + " sent an invalid response";
    Drop();
    return false;
  }
  reply->data.assign(length, 0);
  uint32_t size = length;
  if (PacketRespDecode(&reply->operation, &reply->object_type, &reply->return_code, reply->data.data(), &size,
                       packet.data(), length) != KQS_SUCCESS) {
    *error = Where(server) + " sent a response that cannot be decoded";
    Drop();
    return false;
  }
  reply->data.resize(size);
  if (reply->operation != operation || reply->object_type != object_type) {
    *error = Where(server) + " answered another request (" + OperationFromID(reply->operation) + " on " +
             ObjectFromID(reply->object_type) + ")";
    Drop();
    return false;
  }
  return true;
}

void Session::Drop() { channel_.Close(); }

bool Transact(const Endpoint& server, int timeout_ms, uint32_t operation, uint32_t object_type,
              const std::string& params, std::string_view data, Reply* reply, std::string* error) {
  Session session(server, timeout_ms);
  return session.Transact(operation, object_type, params, data, reply, error);
}

bool Discover(const std::vector<std::string>& targets, unsigned short port, int timeout_ms,
              std::vector<DiscoveryAnswer>* answers, std::string* error) {
  answers->clear();
  const Deadline deadline(timeout_ms);
  std::vector<struct sockaddr_in> to(targets.empty() ? 1 : targets.size());
  for (size_t i = 0; i < to.size(); ++i) {
    std::memset(&to[i], 0, sizeof to[i]);
    to[i].sin_family = AF_INET;
    to[i].sin_port = htons(port);
    if (targets.empty()) {
      to[i].sin_addr.s_addr = htonl(INADDR_BROADCAST);
    } else if (!Resolve(targets[i], port, &to[i], error)) {
      return false;
    }
  }

  Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) {
    *error = std::string("cannot open a socket: ") + std::strerror(errno);
    return false;
  }
  const int on = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  static constexpr char kProbe[] = "?";
  for (size_t i = 0; i < to.size(); ++i) {
    if (sendto(fd.get(), kProbe, 1, 0, reinterpret_cast<struct sockaddr*>(&to[i]), sizeof to[i]) != 1) {
      const std::string where = targets.empty() ? "the broadcast address" : targets[i];
      *error = "cannot send the discovery datagram to " + where + ": " + std::strerror(errno);
      return false;
    }
  }

  // A server asked directly answers from the address it was asked at; once
  // every target has, no other answer will come.
  std::vector<bool> answered(targets.size(), false);
  size_t waiting = targets.size();
  std::vector<char> buf(65536);
  while ((targets.empty() || waiting > 0) && WaitFor(fd.get(), POLLIN, deadline) > 0) {
    struct sockaddr_in from;
    socklen_t from_len = sizeof from;
    const ssize_t n = recvfrom(fd.get(), buf.data(), buf.size(), 0, reinterpret_cast<struct sockaddr*>(&from), &from_len);
    if (n <= 0) continue;
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
    DiscoveryAnswer answer{address, std::string(buf.data(), static_cast<size_t>(n))};
    bool seen = false;
    for (const auto& a : *answers) seen = seen || (a.address == answer.address && a.text == answer.text);
    if (!seen) answers->push_back(std::move(answer));
    for (size_t i = 0; i < targets.size(); ++i) {
      if (!answered[i] && from.sin_addr.s_addr == to[i].sin_addr.s_addr) answered[i] = true, --waiting;
    }
  }
  return true;
}

}  // namespace kqsctl
