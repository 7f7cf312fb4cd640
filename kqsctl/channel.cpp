// TCP (IPv4 or IPv6) with TLS 1.3 through OpenSSL, on a non-blocking socket
// polled against the caller's deadline.
#include "kqsctl/channel.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/tls/certificate.h"
#include "kqsctl/knownservers.h"

namespace kqsctl {
namespace {

bool IsAddress(const std::string& host) {
  unsigned char buf[sizeof(struct in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// OpenSSL writes to the socket with write(), which raises SIGPIPE on a
// connection the server closed; kqsctl keeps SIGPIPE's default (death) for
// its output. While one lives, the calling thread takes the signal as
// pending and drops it.
class NoSigpipe {
 public:
  NoSigpipe() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~NoSigpipe() {
    struct timespec none = {0, 0};
    while (sigtimedwait(&pipe_, nullptr, &none) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }

 private:
  sigset_t pipe_, old_;
};

std::string OpenSslReason() {
  char why[256];
  kqs::TlsLastError(why, sizeof why);
  return why[0] != '\0' ? why : std::strerror(errno);
}

}  // namespace

int WaitFor(int fd, short events, const Deadline& deadline) {
  for (;;) {
    struct pollfd p = {fd, events, 0};
    const int n = poll(&p, 1, deadline.Left());
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : (n == 0 ? 0 : 1);
  }
}

int Deadline::Left() const {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

std::string Endpoint::Name() const {
  const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return shown + ":" + std::to_string(port);
}

bool ParseTarget(const std::string& target, const Security& security, Endpoint* out, std::string* error) {
  out->security = security;
  out->port = security.plain ? kPlainPort : kTlsPort;
  std::string port;
  if (!target.empty() && target[0] == '[') {
    const size_t close = target.find(']');
    if (close == std::string::npos || (close + 1 < target.size() && target[close + 1] != ':')) {
      *error = "'" + target + "' is not [IPv6-ADDRESS] or [IPv6-ADDRESS]:PORT";
      return false;
    }
    out->host = target.substr(1, close - 1);
    if (close + 1 < target.size()) port = target.substr(close + 2);
  } else if (const size_t colon = target.find(':'); colon != std::string::npos && target.rfind(':') == colon) {
    out->host = target.substr(0, colon);
    port = target.substr(colon + 1);
  } else {
    out->host = target;  // a name, an IPv4 address, or an IPv6 one without a port
  }
  if (!port.empty() || (target.size() > 0 && target.back() == ':' && target[0] != '[')) {
    char* end = nullptr;
    const long number = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || number < 1 || number > 65535) {
      *error = "'" + target + "': the port must be 1-65535";
      return false;
    }
    out->port = static_cast<unsigned short>(number);
  }
  if (out->host.empty()) {
    *error = "'" + target + "' names no host";
    return false;
  }
  return true;
}

bool Channel::Open(const Endpoint& server, const Deadline& deadline, int timeout_ms, std::string* error) {
  Close();
  name_ = server.Name();
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  struct addrinfo* found = nullptr;
  const std::string port = std::to_string(server.port);
  int rc = getaddrinfo(server.host.c_str(), port.c_str(), &hints, &found);
  // Without a configured address of a family, a literal of it is still worth a try (::1 on loopback).
  if (rc != 0) hints.ai_flags = 0, rc = getaddrinfo(server.host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    *error = "cannot resolve " + server.host + ": " + (rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc));
    return false;
  }
  std::unique_ptr<struct addrinfo, decltype(&freeaddrinfo)> owner(found, &freeaddrinfo);
  int err = 0;
  bool timed_out = false;
  for (const struct addrinfo* a = found; a != nullptr && fd_ < 0 && !timed_out; a = a->ai_next) {
    const int fd = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      err = errno;
      continue;
    }
    err = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
      const int ready = WaitFor(fd, POLLOUT, deadline);
      socklen_t len = sizeof err;
      timed_out = ready == 0;
      if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (timed_out) err = ETIMEDOUT;
    }
    if (err == 0) {
      fd_ = fd;
    } else {
      close(fd);
    }
  }
  if (fd_ < 0) {
    *error = "cannot connect to " + name_ + ": " +
             (timed_out             ? "no answer within " + std::to_string(timeout_ms) + " ms"
              : err == ECONNREFUSED ? std::string("connection refused (is kqsd running there?") +
                                          (server.security.plain ? ")" : " Its TLS port may be off: --plain)")
                                    : std::string(std::strerror(err)));
    return false;
  }
  if (server.security.plain) return true;
  // The handshake's last flight and the first request are separate writes:
  // with Nagle's algorithm the request would wait for the server's delayed
  // acknowledgement (40 ms).
  const int on = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (Handshake(server, deadline, timeout_ms, error)) return true;
  Close();
  return false;
}

bool Channel::Handshake(const Endpoint& server, const Deadline& deadline, int timeout_ms, std::string* error) {
  const Security& security = server.security;
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (ctx_ == nullptr) return *error = "cannot set up TLS: " + OpenSslReason(), false;
  SSL_CTX_set_min_proto_version(ctx_, TLS1_3_VERSION);
  SSL_CTX_set_options(ctx_, SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (!security.cacert.empty()) {
    if (SSL_CTX_load_verify_locations(ctx_, security.cacert.c_str(), nullptr) != 1) {
      return *error = "cannot read --cacert " + security.cacert + ": " + OpenSslReason(), false;
    }
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  }
  if (!security.cert.empty() &&
      (SSL_CTX_use_certificate_chain_file(ctx_, security.cert.c_str()) != 1 ||
       SSL_CTX_use_PrivateKey_file(ctx_, security.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
       SSL_CTX_check_private_key(ctx_) != 1)) {
    return *error = "cannot use --cert " + security.cert + " with --key " + security.key + ": " + OpenSslReason(),
           false;
  }
  ssl_ = SSL_new(ctx_);
  if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1) return *error = "cannot set up TLS: " + OpenSslReason(), false;
  const bool address = IsAddress(server.host);
  if (!address) SSL_set_tlsext_host_name(ssl_, server.host.c_str());
  if (!security.cacert.empty()) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
    if (address ? X509_VERIFY_PARAM_set1_ip_asc(param, server.host.c_str()) != 1
                : SSL_set1_host(ssl_, server.host.c_str()) != 1) {
      return *error = "cannot verify " + name_ + " by its name: " + OpenSslReason(), false;
    }
  }
  NoSigpipe quiet;
  for (;;) {
    const int rc = SSL_connect(ssl_);
    if (rc == 1) break;
    const int why = SSL_get_error(ssl_, rc);
    if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) {
      if (WaitFor(fd_, why == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline) > 0) continue;
      *error = "no TLS handshake with " + name_ + " within " + std::to_string(timeout_ms) +
               " ms: the server may be busy (try a longer --timeout), or this is no TLS port (--plain for the plain one)";
      return false;
    }
    const long verified = SSL_get_verify_result(ssl_);
    if (!security.cacert.empty() && verified != X509_V_OK) {
      ERR_clear_error();
      *error = "refusing " + name_ + ": its certificate does not verify with --cacert " + security.cacert + ": " +
               X509_verify_cert_error_string(verified);
      return false;
    }
    *error = "TLS handshake with " + name_ + " failed (a TLS 1.3 server? --plain for the plain port): " +
             OpenSslReason();
    return false;
  }
  if (!security.cacert.empty()) return true;
  char fingerprint[kqs::kFingerprintSize];
  if (kqs::TlsFingerprint(SSL_get0_peer_certificate(ssl_), fingerprint, sizeof fingerprint) != 0) {
    return *error = name_ + " sent no usable certificate", false;
  }
  const std::string path = security.known_servers.empty() ? KnownServersPath() : security.known_servers;
  return CheckKnownServer(path, name_, fingerprint, security.notes, error);
}

bool Channel::Send(const uint8_t* bytes, size_t size, const Deadline& deadline, std::string* error) {
  NoSigpipe quiet;
  size_t sent = 0;
  while (sent < size) {
    short wait = POLLOUT;
    long n;
    if (ssl_ != nullptr) {
      n = SSL_write(ssl_, bytes + sent, static_cast<int>(size - sent));
      if (n <= 0) {
        const int why = SSL_get_error(ssl_, static_cast<int>(n));
        if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) {
          *error = "cannot send to " + name_ + ": " + OpenSslReason();
          return false;
        }
        if (why == SSL_ERROR_WANT_READ) wait = POLLIN;
        n = -1;
        errno = EAGAIN;
      }
    } else {
      n = send(fd_, bytes + sent, size - sent, MSG_NOSIGNAL);
    }
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      const int ready = WaitFor(fd_, wait, deadline);
      if (ready > 0) continue;
      *error = ready == 0 ? name_ + " took no request in time" : "cannot send to " + name_ + ": " + std::strerror(errno);
      return false;
    }
    *error = "cannot send to " + name_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

long Channel::Receive(uint8_t* bytes, size_t size, const Deadline& deadline, std::string* error) {
  NoSigpipe quiet;
  for (;;) {
    short wait = POLLIN;
    long n;
    if (ssl_ != nullptr) {
      n = SSL_read(ssl_, bytes, static_cast<int>(size));
      const int why = n > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_, static_cast<int>(n));
      if (why == SSL_ERROR_ZERO_RETURN) return 0;
      if (why == SSL_ERROR_WANT_WRITE) wait = POLLOUT;
      if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) {
        errno = EAGAIN;
      } else if (n <= 0) {
        *error = "cannot receive from " + name_ + ": " + OpenSslReason();
        return -1;
      }
    } else {
      n = recv(fd_, bytes, size, 0);
    }
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      *error = "cannot receive from " + name_ + ": " + std::strerror(errno);
      return -1;
    }
    const int ready = WaitFor(fd_, wait, deadline);
    if (ready == 0) return -2;
    if (ready < 0) {
      *error = "cannot receive from " + name_ + ": " + std::strerror(errno);
      return -1;
    }
  }
}

void Channel::Close() {
  SSL_free(ssl_);
  ssl_ = nullptr;
  SSL_CTX_free(ctx_);
  ctx_ = nullptr;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

}  // namespace kqsctl
