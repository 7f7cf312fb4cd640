// lpdeliver against a printer that this test plays on a loopback port: the
// bytes arrive exactly, -w holds the job until the printer closes, a refused
// connection is tried again only with -r, and a file peripheral is appended to.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/testing/scratch_dir.h"

namespace kqs {
namespace {

// A loopback port that refuses connections until Listen().
class Printer {
 public:
  Printer() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd_, reinterpret_cast<sockaddr*>(&a), len);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Printer() { close(fd_); }
  std::string port() const { return std::to_string(port_); }
  void Listen() { listen(fd_, 4); }

  // Takes one job: accepts within 10 s and reads until the data ends or
  // upto bytes came. The connection stays open in *conn; "" and -1 when
  // nobody connected.
  std::string TakeJob(int* conn, size_t upto = SIZE_MAX) {
    pollfd p{fd_, POLLIN, 0};
    *conn = poll(&p, 1, 10'000) == 1 ? accept(fd_, nullptr, nullptr) : -1;
    std::string job;
    char buf[65536];
    for (ssize_t n; *conn >= 0 && job.size() < upto && (n = read(*conn, buf, sizeof buf)) > 0;)
      job.append(buf, size_t(n));
    return job;
  }
  static void Reset(int conn) {
    linger now{1, 0};
    setsockopt(conn, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(conn);
  }

 private:
  int fd_;
  int port_ = 0;
};

// lpdeliver's exit status, with everything it said in *said.
int Finish(FILE* run, std::string* said) {
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, run)) > 0;) said->append(buf, n);
  int status = pclose(run);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

FILE* Start(const std::string& command) { return popen((command + " 2>&1").c_str(), "r"); }

TEST(Lpdeliver, DeliversTheWholeJobAndResendsARefusedOneOnlyWhenAsked) {
  ScratchDir d;
  std::string job;
  for (int i = 0; i < 400'000; ++i) job += char(i * 7 % 251);
  ASSERT_TRUE(ScratchDir::WriteFile(d / "job", job));
  Printer printer;
  const std::string to_printer = std::string(LPDELIVER_PATH) + " -p " + printer.port() + " ";

  std::string said;
  EXPECT_EQ(Finish(Start(to_printer + "127.0.0.1 < " + d / "job"), &said), 1);
  EXPECT_TRUE(said.starts_with("ERROR: lpdeliver: cannot connect to 127.0.0.1 port " + printer.port())) << said;

  // Piped in, refused at first, then reset halfway: sent again from the
  // start, and done without waiting for the printer to close.
  FILE* run = Start("cat " + d / "job" + " | " + to_printer + "-r 127.0.0.1");
  char line[512] = "";
  ASSERT_NE(std::fgets(line, sizeof line, run), nullptr);
  EXPECT_TRUE(std::string(line).starts_with("INFO: lpdeliver: cannot connect")) << line;
  printer.Listen();
  int conn = -1;
  EXPECT_FALSE(printer.TakeJob(&conn, 1000).empty());
  Printer::Reset(conn);
  EXPECT_TRUE(printer.TakeJob(&conn) == job);
  said.clear();
  EXPECT_EQ(Finish(run, &said), 0) << said;
  close(conn);

  // -w: the job ends only when the printer closes.
  run = Start(to_printer + "-w localhost < " + d / "job");
  EXPECT_TRUE(printer.TakeJob(&conn) == job);
  pollfd still{fileno(run), POLLIN, 0};
  EXPECT_EQ(poll(&still, 1, 500), 0) << "lpdeliver ended before the printer closed";
  close(conn);
  said.clear();
  EXPECT_EQ(Finish(run, &said), 0) << said;

  ASSERT_TRUE(ScratchDir::WriteFile(d / "lp0", "before\n"));
  said.clear();
  EXPECT_EQ(Finish(Start(std::string(LPDELIVER_PATH) + " -w " + d / "lp0" + " < " + d / "job"), &said), 0) << said;
  EXPECT_TRUE(ScratchDir::ReadFile(d / "lp0") == "before\n" + job);
}

}  // namespace
}  // namespace kqs
