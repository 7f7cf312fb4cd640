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

using Answer = std::function<void(int conn, const std::vector<uint8_t>& request)>;

// Accepts one connection on 127.0.0.1 at a free port, reads one request and
// hands both to answer; then runs Transact against it.
bool TransactWith(const Answer& answer, uint32_t op, const std::string& params, const std::string& data,
                  Reply* reply, std::string* error) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  listen(listener, 4);
  std::thread server([&] {
    const int conn = accept(listener, nullptr, nullptr);
    std::vector<uint8_t> request(4096);
    const ssize_t n = recv(conn, request.data(), request.size(), 0);
    request.resize(n > 0 ? static_cast<size_t>(n) : 0);
    answer(conn, request);
    close(conn);
  });
  Endpoint target{"127.0.0.1", ntohs(a.sin_port), {}};
  target.security.plain = true;
  const bool ok = Transact(target, 5000, op, TYPE_PRINTQUEUE, params, data,
                           reply, error);
  server.join();
  close(listener);
  return ok;
}

std::vector<uint8_t> Response(uint32_t op, uint32_t code, const std::string& result) {
  unsigned char* packet = nullptr;
  uint32_t length = 0;
  PacketRespEncode(op, TYPE_PRINTQUEUE, code, result.empty() ? nullptr : result.data(),
                   static_cast<uint32_t>(result.size()), &packet, &length);
  std::vector<uint8_t> bytes(packet, packet + length);
  std::free(packet);
  return bytes;
}

TEST(TransportTest, SendsTheRequestAndReassemblesAResponseSentInPieces) {
  std::string seen_params, seen_data;
  Reply reply;
  std::string error;
  const std::string data("Device=x", 9);  // with its NUL
  ASSERT_TRUE(TransactWith(
      [&](int conn, const std::vector<uint8_t>& request) {
        uint32_t platform, op, type, params_size = 128, data_size = 512;
        char params[128], data[512];
        if (PacketReqDecode(&platform, &op, params, &params_size, &type, data, &data_size, request.data(),
                            static_cast<uint32_t>(request.size())) != KQS_SUCCESS) {
          return;
        }
        seen_params = params;
        seen_data.assign(data, data_size);
        const auto bytes = Response(op, KQS_QUEUE_EXISTS_AS_QUEUE, "result!");
        // Header split inside the length word, then the rest in two parts.
        for (auto [at, end] : {std::pair<size_t, size_t>{0, 2}, {2, 10}, {10, bytes.size()}}) {
          send(conn, bytes.data() + at, end - at, MSG_NOSIGNAL);
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
      },
      KQS_ADD, "lab", data, &reply, &error))
      << error;
  EXPECT_EQ("lab", seen_params);
  EXPECT_EQ(data, seen_data);
  EXPECT_EQ(KQS_QUEUE_EXISTS_AS_QUEUE, reply.return_code);
  EXPECT_EQ(std::string("result!"), std::string(reply.data.begin(), reply.data.end()));
}

TEST(TransportTest, ReportsEachWayAServerFailsToAnswer) {
  auto sending = [](std::vector<uint8_t> bytes, size_t cut) {
    return [bytes, cut](int conn, const std::vector<uint8_t>&) {
      send(conn, bytes.data(), bytes.size() - cut, MSG_NOSIGNAL);
    };
  };
  const std::vector<std::pair<Answer, const char*>> cases = {
      {[](int, const std::vector<uint8_t>&) {}, "closed the connection without answering"},
      {sending({0x7f, 0, 0, 0, 0, 0, 0, 0}, 0), "announced length"},
      {sending(Response(KQS_REMOVE, 0, "abcdef"), 3), "in the middle of its answer"},
      {sending(Response(KQS_ADD, 0, ""), 0), "answered another request (KQS_ADD on TYPE_PRINTQUEUE)"},
  };
  for (const auto& [answer, expected] : cases) {
    Reply reply;
    std::string error;
    EXPECT_FALSE(TransactWith(answer, KQS_REMOVE, "q", "", &reply, &error)) << expected;
    EXPECT_NE(std::string::npos, error.find(expected)) << error;
  }
}

}  // namespace
}  // namespace kqsctl
