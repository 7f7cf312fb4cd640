// Minimal echo servers and a bare directory listing: what the daemon's
// request round trip, discovery reply and queue enumeration are compared to.
#include "bench/floors.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace kqs {
namespace {

int Bound(int type, int port) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<uint16_t>(port));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      (type == SOCK_STREAM && listen(fd, 5) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

[[noreturn]] void ServeStream(int listener) {
  static char buffer[32768];
  for (;;) {
    const int c = accept(listener, nullptr, nullptr);
    if (c < 0) continue;
    ssize_t n;
    while ((n = recv(c, buffer, sizeof buffer, 0)) > 0) {
      if (send(c, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
    }
    close(c);
  }
}

[[noreturn]] void ServeDatagrams(int fd) {
  static char buffer[32768];
  for (;;) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    auto* peer = reinterpret_cast<sockaddr*>(&from);
    const ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, peer, &len);
    if (n > 0) sendto(fd, buffer, static_cast<size_t>(n), 0, peer, len);
  }
}

}  // namespace

FloorServer::~FloorServer() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool FloorServer::Launch(int fd, bool stream) {
  if (fd < 0) return false;
  pid_ = fork();
  if (pid_ == 0) {
    if (stream) ServeStream(fd);
    ServeDatagrams(fd);
  }
  close(fd);
  return pid_ > 0;
}

bool FloorServer::StartTcpEcho(int port) { return Launch(Bound(SOCK_STREAM, port), true); }
bool FloorServer::StartUdpEcho(int port) { return Launch(Bound(SOCK_DGRAM, port), false); }

long ReaddirAndStat(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  long files = 0;
  std::string path(dir);
  path += '/';
  const size_t base = path.size();
  while (const dirent* e = readdir(d)) {
    path.resize(base);
    path += e->d_name;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ++files;
  }
  closedir(d);
  return files;
}

}  // namespace kqs
