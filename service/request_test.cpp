// Request handling in process, with one end of a socket pair as the
// management connection: oversized requests, data blocks without a
// terminator and a response that cannot be sent. The end-to-end tests drive
// the handlers and a send not taken.
#include "service/request.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "common/host/eventlog.h"
#include "common/host/mtsafe.h"
#include "common/host/sysinfo.h"
#include "common/testing/daemon_sandbox.h"
#include "common/testing/scratch_dir.h"
#include "protocol/extension.h"
#include "protocol/kqsids.h"
#include "protocol/packet.h"
#include "pts/ptscore.h"
#include "service/session.h"

namespace {

using kqs::Bytes;

// The administrator password "secret" sits in the kqsd.ini beside the
// registered program.
class RequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(_PTS_startup(), 0);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    connection_ = std::make_unique<kqs::SocketConnection>(pair[0], "");
    session_.connection = connection_.get();
    session_.settings = &settings_;
    console_ = pair[1];
    argv0_ = dir_ / "kqsd";
    argv_[0] = argv0_.data();
    xRegisterArguments(1, argv_);
    kqs::ScratchDir::WriteFile(dir_ / "kqsd.ini",
                               "[ACCESS]\nPasswd=" + std::string(xCrypt("secret", "zQ")) + "\n");
  }
  void TearDown() override {
    connection_.reset();
    if (console_ >= 0) close(console_);
    xRegisterArguments(0, nullptr);
    _PTS_cleanup();
  }

  uint32_t Handle(uint32_t operation, uint32_t objectType, const std::string& parameters,
                  const std::string& data) {
    const Bytes packet = kqs::RequestBytes(operation, objectType, parameters, data);
    return PSRequest(&session_, reinterpret_cast<const char*>(packet.data()),
                     static_cast<uint32_t>(packet.size()));
  }

  // The return code of the one response an admin-access request gets.
  uint32_t AdminAccess(const std::string& parameters, const std::string& data) {
    EXPECT_EQ(Handle(KQS_ADMIN_ACCESS, TYPE_DOMAIN, parameters, data), KQS_SUCCESS);
    Bytes bytes;
    pollfd p{console_, POLLIN, 0};
    while (poll(&p, 1, bytes.empty() ? 200 : 0) == 1) {
      unsigned char buf[4096];
      ssize_t n = recv(console_, buf, sizeof buf, 0);
      if (n <= 0) break;
      bytes.insert(bytes.end(), buf, buf + n);
    }
    EXPECT_EQ(bytes.size(), 25u) << "not exactly one response without result";
    uint32_t operation = 0, objectType = 0, code = ~0u, size = 0;
    PacketRespDecode(&operation, &objectType, &code, nullptr, &size, bytes.data(),
                     static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(operation, KQS_ADMIN_ACCESS);
    return code;
  }

  kqs::ScratchDir dir_;
  std::string argv0_;
  char* argv_[2] = {nullptr, nullptr};
  std::unique_ptr<kqs::SocketConnection> connection_;
  kqs::ServiceSettings settings_;  // the defaults: access not enforced
  kqs::Session session_;
  int console_ = -1;
};

TEST_F(RequestTest, OversizedParametersOrDataAreRefusedBeforeAnyHandlerRuns) {
  // Within the limits the handler runs and refuses the wrong password; one
  // byte beyond them it does not run, even for the right one.
  EXPECT_EQ(AdminAccess(std::string(127, 'p'), "wrong"), KQS_NO_ACCESS);
  EXPECT_EQ(AdminAccess("", std::string(512, 'w')), KQS_NO_ACCESS);
  EXPECT_EQ(AdminAccess(std::string(128, 'p'), "secret"), KQS_INVALID_PARAMETER);
  EXPECT_EQ(AdminAccess("", "secret" + std::string(507, '\0')), KQS_INVALID_PARAMETER);
  // The longest password there is (511 characters and the NUL) arrives whole.
  const std::string longest(511, 'l');
  kqs::ScratchDir::WriteFile(dir_ / "kqsd.ini", "[ACCESS]\nPasswd=" + std::string(xCrypt(longest.c_str(), "$6$kqs$")) + "\n");
  EXPECT_EQ(AdminAccess("", longest + '\0'), KQS_SUCCESS);
}

TEST_F(RequestTest, DataWithoutTerminatorEndsWhereTheBlockEnds) {
  // A longer block first, so that a buffer reused between requests would
  // leave its tail behind the shorter one.
  EXPECT_EQ(AdminAccess("", std::string("secretXYZ\0", 10)), KQS_NO_ACCESS);
  EXPECT_EQ(AdminAccess("", "secret"), KQS_SUCCESS);
  // A full block without NUL stays inside the buffer (ASan watches).
  EXPECT_EQ(AdminAccess("", std::string(512, 's')), KQS_NO_ACCESS);
}

std::vector<unsigned> g_events;
void Observe(unsigned short, unsigned id, unsigned short, const char*) { g_events.push_back(id); }

TEST_F(RequestTest, AResponseThatCannotBeSentIsLoggedAndEndsTheConnection) {
  const EventLogObserver previous = EventLogSetObserverForTesting(Observe);
  close(console_);
  console_ = -1;
  EXPECT_EQ(Handle(KQS_UPDATE, TYPE_PRINTQUEUE, "", ""), KQS_SUCCESS);
  EventLogSetObserverForTesting(previous);
  EXPECT_EQ(g_events, (std::vector<unsigned>{111, 204}));
  EXPECT_TRUE(session_.mustClose);
}

}  // namespace
