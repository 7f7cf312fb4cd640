// Server context and connections of the TLS management port.
#include "service/tlsserver.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <openssl/err.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "common/tls/certificate.h"
#include "common/util/strbuf.h"
#include "pts/ptscore.h"

namespace kqs {
namespace {

SSL_CTX* g_context = nullptr;
char g_fingerprint[kFingerprintSize] = "";

int Fail(char* error, unsigned size, const std::string& what) {
  char why[256];
  TlsLastError(why, sizeof why);
  sprintfnA(error, size, "%s%s%s", what.c_str(), why[0] != '\0' ? ": " : "", why);
  return -1;
}

// A console certificate that does not verify is not a reason to refuse the
// connection: the console is served as one without a certificate would be,
// and must pass the password check.
int KeepGoing(int, X509_STORE_CTX*) { return 1; }

}  // namespace

int TlsServerOpen(const char* certPath, const char* keyPath, const char* clientCaPath, char* error, unsigned size) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) return Fail(error, size, "cannot make a TLS context");
  SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (SSL_CTX_use_certificate_chain_file(ctx, certPath) != 1) {
    SSL_CTX_free(ctx);
    return Fail(error, size, "cannot read the certificate " + std::string(certPath));
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, keyPath, SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    SSL_CTX_free(ctx);
    return Fail(error, size, "cannot use the key " + std::string(keyPath) + " with " + certPath);
  }
  if (clientCaPath[0] != '\0') {
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(clientCaPath);
    if (names == nullptr || SSL_CTX_load_verify_locations(ctx, clientCaPath, nullptr) != 1) {
      if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
      SSL_CTX_free(ctx);
      return Fail(error, size, "cannot read the ClientCA certificates " + std::string(clientCaPath));
    }
    SSL_CTX_set_client_CA_list(ctx, names);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, KeepGoing);
  }
  if (TlsFingerprint(SSL_CTX_get0_certificate(ctx), g_fingerprint, sizeof g_fingerprint) != 0) {
    SSL_CTX_free(ctx);
    return Fail(error, size, "cannot fingerprint " + std::string(certPath));
  }
  if (g_context != nullptr) SSL_CTX_free(g_context);
  g_context = ctx;
  return 0;
}

const char* TlsServerFingerprint() { return g_fingerprint; }

TlsConnection::~TlsConnection() {
  SSL_free(ssl_);
  if (socket_ != -1) PTS_closesocket(socket_);
}

bool TlsConnection::Open(int waitMs) {
  if (g_context == nullptr || (ssl_ = SSL_new(g_context)) == nullptr || SSL_set_fd(ssl_, socket_) != 1) {
    ERR_clear_error();
    return false;
  }
  // TLS writes records in pieces; none should wait for an acknowledgement.
  const int on = 1;
  setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // Non-blocking while it lasts, so that the whole handshake keeps to waitMs.
  const int flags = fcntl(socket_, F_GETFL);
  fcntl(socket_, F_SETFL, flags | O_NONBLOCK);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  bool done = false;
  for (;;) {
    const int rc = SSL_accept(ssl_);
    if (rc == 1) {
      done = true;
      break;
    }
    const int why = SSL_get_error(ssl_, rc);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if ((why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) || left.count() <= 0) break;
    pollfd p{socket_, static_cast<short>(why == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    if (poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
  }
  ERR_clear_error();
  fcntl(socket_, F_SETFL, flags);
  if (!done) return false;
  certified_ = SSL_get0_peer_certificate(ssl_) != nullptr && SSL_get_verify_result(ssl_) == X509_V_OK;
  return true;
}

int TlsConnection::Receive(void* buf, int len, int waitMs) {
  if (ssl_ == nullptr) return 0;
  // Bytes TLS already took off the socket are not waited for.
  if (SSL_pending(ssl_) == 0) {
    pollfd p{socket_, POLLIN, 0};
    const int ready = poll(&p, 1, waitMs);
    if (ready == 0 || (ready == -1 && errno == EINTR)) return kNoData;
    if (ready == -1) return -1;
  }
  const int n = SSL_read(ssl_, buf, len);
  if (n > 0) return n;
  const int why = SSL_get_error(ssl_, n);
  const int error = errno;
  ERR_clear_error();
  if (why == SSL_ERROR_ZERO_RETURN) return 0;
  // A record begun but not finished within the receive limit: waited on again.
  if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) return kNoData;
  if (why == SSL_ERROR_SYSCALL && error != 0) {
    errno = error == EAGAIN || error == EWOULDBLOCK ? ETIMEDOUT : error;
    return -1;
  }
  // Closed without TLS's close notice, or a record that does not decrypt.
  errno = ECONNRESET;
  return -1;
}

int TlsConnection::Send(const void* buf, int len) {
  if (ssl_ == nullptr) return -1;
  const int n = SSL_write(ssl_, buf, len);
  ERR_clear_error();
  return n > 0 ? n : -1;
}

bool TlsConnection::HasUnsentData() const {
  int queued = 0;
  return PTS_ioctlsocket(socket_, SIOCOUTQ, &queued) == 0 && queued > 0;
}

void TlsConnection::Abort() { PTS_shutdown(socket_, SHUT_RDWR); }

}  // namespace kqs
