// The console's side of the wire against small in-process servers: a
// response in pieces, and the ways a server can answer wrongly. Absent and
// silent servers are covered against the real daemon's port.
#include "kqsctl/transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "protocol/kqsids.h"
#include "protocol/packet.h"

namespace kqsctl {
namespace {

// Listens on 127.0.0.1 at a free port, accepts one connection, reads one
// request and hands both to answer.
class OneShotServer {
 public:
  using Answer = std::function<void(int conn, const std::vector<uint8_t>& request)>;
  explicit OneShotServer(Answer answer) : listener_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(listener_, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
    getsockname(listener_, reinterpret_cast<struct sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    listen(listener_, 4);
    thread_ = std::thread([this, answer] {
      const int conn = accept(listener_, nullptr, nullptr);
      if (conn < 0) return;
      std::vector<uint8_t> request(4096);
      const ssize_t n = recv(conn, request.data(), request.size(), 0);
      request.resize(n > 0 ? static_cast<size_t>(n) : 0);
      answer(conn, request);
      close(conn);
    });
  }
  ~OneShotServer() {
    thread_.join();
    close(listener_);
  }
  Endpoint endpoint() const { return Endpoint{"127.0.0.1", port_}; }

 private:
  int listener_;
  unsigned short port_ = 0;
  std::thread thread_;
};

std::vector<uint8_t> Response(uint32_t op, uint32_t type, uint32_t code, const std::string& result) {
  unsigned char* packet = nullptr;
  uint32_t length = 0;
  PacketRespEncode(op, type, code, result.empty() ? nullptr : result.data(), static_cast<uint32_t>(result.size()),
                   &packet, &length);
  std::vector<uint8_t> bytes(packet, packet + length);
  std::free(packet);
  return bytes;
}

TEST(TransportTest, SendsTheRequestAndReassemblesAResponseSentInPieces) {
  std::string seen_params;
  std::string seen_data;
  OneShotServer server([&](int conn, const std::vector<uint8_t>& request) {
    uint32_t platform, op, type;
    char params[128];
    uint32_t params_size = sizeof params;
    char data[512];
    uint32_t data_size = sizeof data;
    if (PacketReqDecode(&platform, &op, params, &params_size, &type, data, &data_size, request.data(),
                        static_cast<uint32_t>(request.size())) != KQS_SUCCESS) {
      return;
    }
    seen_params = params;
    seen_data.assign(data, data_size);
    const auto bytes = Response(op, type, KQS_QUEUE_EXISTS_AS_QUEUE, "result!");
    // Header split inside the length word, then the rest in two parts.
    for (size_t at : {size_t{0}, size_t{2}, size_t{10}}) {
      const size_t end = at == 10 ? bytes.size() : (at == 0 ? 2 : 10);
      send(conn, bytes.data() + at, end - at, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  Reply reply;
  std::string error;
  const std::string data("Device=x", 9);  // with its NUL
  ASSERT_TRUE(Transact(server.endpoint(), 5000, KQS_ADD, TYPE_PRINTQUEUE, "lab", data, &reply, &error)) << error;
  EXPECT_EQ("lab", seen_params);
  EXPECT_EQ(data, seen_data);
  EXPECT_EQ(KQS_QUEUE_EXISTS_AS_QUEUE, reply.return_code);
  EXPECT_EQ(std::string("result!"), std::string(reply.data.begin(), reply.data.end()));
}

TEST(TransportTest, ReportsEachWayAServerFailsToAnswer) {
  struct Case {
    const char* what;
    OneShotServer::Answer answer;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"closes", [](int, const std::vector<uint8_t>&) {}, "closed the connection without answering"},
      {"absurd length",
       [](int conn, const std::vector<uint8_t>&) { send(conn, "\x7f\0\0\0\0\0\0\0", 8, MSG_NOSIGNAL); },
       "announced length"},
      {"half an answer",
       [](int conn, const std::vector<uint8_t>&) {
         const auto bytes = Response(KQS_REMOVE, TYPE_PRINTQUEUE, 0, "abcdef");
         send(conn, bytes.data(), bytes.size() - 3, MSG_NOSIGNAL);
       },
       "in the middle of its answer"},
      {"another request",
       [](int conn, const std::vector<uint8_t>&) {
         const auto bytes = Response(KQS_ADD, TYPE_PRINTQUEUE, 0, "");
         send(conn, bytes.data(), bytes.size(), MSG_NOSIGNAL);
       },
       "answered another request"},
  };
  for (const auto& c : cases) {
    Reply reply;
    std::string error;
    {
      OneShotServer server(c.answer);
      EXPECT_FALSE(Transact(server.endpoint(), 5000, KQS_REMOVE, TYPE_PRINTQUEUE, "q", {}, &reply, &error)) << c.what;
    }
    EXPECT_NE(std::string::npos, error.find(c.expected)) << c.what << ": " << error;
  }
}

}  // namespace
}  // namespace kqsctl
