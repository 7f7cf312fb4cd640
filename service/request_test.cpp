// Request handling in process, with one end of a socket pair as the
// management connection: what a console receives for requests no handler
// takes, oversized requests, data blocks without a terminator and a failed
// send. The end-to-end tests drive the handlers themselves.
#include "service/request.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/host/eventlog.h"
#include "common/host/mtsafe.h"
#include "common/host/sysinfo.h"
#include "common/testing/scratch_dir.h"
#include "protocol/kqsids.h"
#include "protocol/packet.h"
#include "pts/ptscore.h"
#include "service/connection.h"
#include "service/options.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::vector<unsigned> g_events;
void Observe(unsigned short, unsigned id, unsigned short, const char*) { g_events.push_back(id); }

struct Response {
  uint32_t operation = 0, objectType = 0, returnCode = 0;
  Bytes result;
};

class RequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(_PTS_startup(), 0);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    clientSocket = pair[0];
    console_ = pair[1];
    // kqsd.ini (the administrator password) is found beside the program.
    argv0_ = dir_ / "kqsd";
    argv_[0] = argv0_.data();
    xRegisterArguments(1, argv_);
    g_events.clear();
    previous_ = EventLogSetObserverForTesting(Observe);
  }
  void TearDown() override {
    EventLogSetObserverForTesting(previous_);
    kqs::ClientClose();
    if (console_ >= 0) close(console_);
    xRegisterArguments(0, nullptr);
    _PTS_cleanup();
  }

  static Bytes Request(uint32_t operation, uint32_t objectType, const std::string& parameters = "",
                       const std::string& data = "") {
    unsigned char* packet = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(PacketReqEncode(operation, parameters.c_str(), objectType,
                              data.empty() ? nullptr : data.data(),
                              static_cast<uint32_t>(data.size()), &packet, &length),
              KQS_SUCCESS);
    Bytes bytes(packet, packet + length);
    std::free(packet);
    return bytes;
  }

  uint32_t Handle(const Bytes& packet) {
    return PSRequest(reinterpret_cast<const char*>(packet.data()),
                     static_cast<uint32_t>(packet.size()));
  }

  // Everything the console has been sent, waiting at most ms for the first byte.
  Bytes Sent(int ms = 200) {
    Bytes out;
    pollfd p{console_, POLLIN, 0};
    while (poll(&p, 1, out.empty() ? ms : 0) == 1) {
      unsigned char buf[65536];
      ssize_t n = recv(console_, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }

  Response Answer(const Bytes& packet) {
    EXPECT_EQ(Handle(packet), KQS_SUCCESS);
    Bytes bytes = Sent();
    Response r;
    uint32_t size = 0;
    if (PacketRespDecode(&r.operation, &r.objectType, &r.returnCode, nullptr, &size, bytes.data(),
                         static_cast<uint32_t>(bytes.size())) == KQS_INSUFFICIENT_BUFFER) {
      r.result.resize(size);
      PacketRespDecode(&r.operation, &r.objectType, &r.returnCode, r.result.data(), &size,
                       bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    EXPECT_EQ(bytes.size(), 25 + r.result.size()) << "not exactly one response";
    return r;
  }

  void StorePassword(const char* password) {
    std::string encrypted = xCrypt(password, "zQ");
    kqs::ScratchDir::WriteFile(dir_ / "kqsd.ini", "[ACCESS]\nPasswd=" + encrypted + "\n");
  }

  kqs::ScratchDir dir_;
  std::string argv0_;
  char* argv_[2] = {nullptr, nullptr};
  int console_ = -1;
  EventLogObserver previous_ = nullptr;
};

TEST_F(RequestTest, UnsupportedRequestsAreAnsweredWithTheirCodeAndNoResult) {
  // The exact bytes of the answer to an update of a print queue.
  ASSERT_EQ(Handle(Request(KQS_UPDATE, TYPE_PRINTQUEUE)), KQS_SUCCESS);
  EXPECT_EQ(Sent(), (Bytes{0, 0, 0, 0x19, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 3, 0, 0, 0, 0x0D,
                           0, 0, 0, 0, 0xAA}));

  struct Case {
    uint32_t operation, objectType, code;
  };
  for (const Case& c : {Case{KQS_QUERY_FILES, TYPE_PRINTQUEUE, KQS_INVALID_OPERATION},
                        Case{KQS_QUERY_FILES, TYPE_PRINTDRIVER, KQS_INVALID_OPERATION},
                        Case{KQS_ADD, TYPE_PRINTDRIVER, KQS_INVALID_OBJECT_TYPE},
                        Case{KQS_REMOVE, TYPE_PRINTMONITOR, KQS_INVALID_OBJECT_TYPE},
                        Case{KQS_ENUM_CONTAINER, TYPE_DOMAIN, KQS_INVALID_OBJECT_TYPE},
                        Case{KQS_ENUM_CONTAINER, 14, KQS_INVALID_OBJECT_TYPE}}) {
    Response r = Answer(Request(c.operation, c.objectType));
    EXPECT_EQ(r.returnCode, c.code) << c.operation << "/" << c.objectType;
    EXPECT_EQ(r.operation, c.operation);
    EXPECT_EQ(r.objectType, c.objectType);
    EXPECT_TRUE(r.result.empty());
  }
  EXPECT_TRUE(g_events.empty());
}

TEST_F(RequestTest, OversizedParametersOrDataAreRefusedBeforeAnyHandlerRuns) {
  StorePassword("secret");
  // Within the limits the handler runs and refuses the wrong password...
  EXPECT_EQ(Answer(Request(KQS_ADMIN_ACCESS, TYPE_DOMAIN, std::string(127, 'p'), "wrong")).returnCode,
            KQS_NO_ACCESS);
  EXPECT_EQ(Answer(Request(KQS_ADMIN_ACCESS, TYPE_DOMAIN, "", std::string(512, 'w'))).returnCode,
            KQS_NO_ACCESS);
  // ...one byte beyond them it does not.
  Response r = Answer(Request(KQS_ADMIN_ACCESS, TYPE_DOMAIN, std::string(128, 'p'), "secret"));
  EXPECT_EQ(r.returnCode, KQS_INVALID_PARAMETER);
  EXPECT_EQ(r.operation, KQS_ADMIN_ACCESS);
  EXPECT_EQ(Answer(Request(KQS_ADMIN_ACCESS, TYPE_DOMAIN, "", std::string(513, 'w'))).returnCode,
            KQS_INVALID_PARAMETER);
}

TEST_F(RequestTest, DataWithoutTerminatorEndsWhereTheBlockEnds) {
  StorePassword("secret");
  // A longer block first, so that a buffer reused between requests would
  // leave its tail behind the shorter one.
  EXPECT_EQ(Answer(Request(KQS_ADMIN_ACCESS, TYPE_PRINTSERVER, "", std::string("secretXYZ\0", 10)))
                .returnCode,
            KQS_NO_ACCESS);
  EXPECT_EQ(Answer(Request(KQS_ADMIN_ACCESS, TYPE_PRINTSERVER, "", "secret")).returnCode,
            KQS_SUCCESS);
  // A full block without NUL stays inside the buffer (ASan watches).
  EXPECT_EQ(Answer(Request(KQS_ADMIN_ACCESS, TYPE_PRINTSERVER, "", std::string(512, 's')))
                .returnCode,
            KQS_NO_ACCESS);
}

TEST_F(RequestTest, FailedSendIsLoggedAndTheResultStillReported) {
  close(console_);
  console_ = -1;
  EXPECT_EQ(Handle(Request(KQS_UPDATE, TYPE_PRINTQUEUE)), KQS_SUCCESS);
  EXPECT_EQ(g_events, std::vector<unsigned>{111});

  kqs::ClientClose();  // no connection at all
  g_events.clear();
  EXPECT_EQ(Handle(Request(KQS_UPDATE, TYPE_PRINTQUEUE)), KQS_SUCCESS);
  EXPECT_EQ(g_events, std::vector<unsigned>{111});
}

TEST_F(RequestTest, EnforcedAccessGatesAddsAndRemovesUntilTheConnectionLoggedIn) {
  StorePassword("secret");
  const std::string port = std::string("HostName=p1;IPAddress=10.0.0.9;HWAddress=0;Port=9100") + '\0';
  // Off, as by default: no check needed.
  EXPECT_EQ(Answer(Request(KQS_REMOVE, TYPE_PHYSICAL_PRINTER, "p1")).returnCode, KQS_SUCCESS);

  bEnforceAccess = 1;
  kqs::ResetConnectionAccess();
  g_events.clear();
  Response r = Answer(Request(KQS_ADD, TYPE_PHYSICAL_PRINTER, "p1", port));
  EXPECT_EQ(r.returnCode, KQS_NO_ACCESS);
  EXPECT_EQ(r.operation, KQS_ADD);
  EXPECT_TRUE(g_events.empty()) << "the handler ran";
  EXPECT_EQ(Answer(Request(KQS_REMOVE, TYPE_PRINTQUEUE, "q")).returnCode, KQS_NO_ACCESS);
  EXPECT_EQ(Answer(Request(KQS_ADD, TYPE_PRINTDRIVER)).returnCode, KQS_NO_ACCESS);
  // Other operations are not gated, and a refused check grants nothing.
  EXPECT_EQ(Answer(Request(KQS_UPDATE, TYPE_PRINTQUEUE)).returnCode, KQS_INVALID_OPERATION);
  EXPECT_EQ(Answer(Request(KQS_ADMIN_ACCESS, TYPE_DOMAIN, "", "guess")).returnCode, KQS_NO_ACCESS);
  EXPECT_EQ(Answer(Request(KQS_REMOVE, TYPE_PHYSICAL_PRINTER, "p1")).returnCode, KQS_NO_ACCESS);

  EXPECT_EQ(Answer(Request(KQS_ADMIN_ACCESS, TYPE_DOMAIN, "", "secret")).returnCode, KQS_SUCCESS);
  EXPECT_EQ(Answer(Request(KQS_ADD, TYPE_PHYSICAL_PRINTER, "p1", port)).returnCode, KQS_SUCCESS);
  EXPECT_EQ(g_events, std::vector<unsigned>{200});
  EXPECT_EQ(Answer(Request(KQS_ADD, TYPE_PRINTDRIVER)).returnCode, KQS_INVALID_OBJECT_TYPE);
  // A later wrong password on the same connection does not take it back...
  EXPECT_EQ(Answer(Request(KQS_ADMIN_ACCESS, TYPE_DOMAIN, "", "guess")).returnCode, KQS_NO_ACCESS);
  EXPECT_EQ(Answer(Request(KQS_REMOVE, TYPE_PHYSICAL_PRINTER, "p1")).returnCode, KQS_SUCCESS);
  // ...but the next connection starts without it.
  kqs::ResetConnectionAccess();
  EXPECT_EQ(Answer(Request(KQS_REMOVE, TYPE_PHYSICAL_PRINTER, "p1")).returnCode, KQS_NO_ACCESS);
  bEnforceAccess = 0;
}

TEST(KQSCommandTest, RefusesAMissingResultSize) {
  char empty[1] = "";
  EXPECT_EQ(KQSCommand(KQS_UPDATE, empty, TYPE_PRINTQUEUE, empty, 0, nullptr, nullptr),
            KQS_INVALID_PARAMETER);
}

}  // namespace
