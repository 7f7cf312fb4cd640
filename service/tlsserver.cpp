// Server context and handshake for the TLS management port.
#include "service/tlsserver.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>

#include <string>

#include "common/tls/certificate.h"
#include "common/util/strbuf.h"

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

SSL* TlsServerHandshake(int s, int timeoutMs, bool* clientVerified) {
  *clientVerified = false;
  if (g_context == nullptr) return nullptr;
  struct timeval limit{timeoutMs / 1000, static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  SSL* ssl = SSL_new(g_context);
  if (ssl == nullptr || SSL_set_fd(ssl, s) != 1 || SSL_accept(ssl) != 1) {
    ERR_clear_error();
    SSL_free(ssl);
    return nullptr;
  }
  X509* peer = SSL_get0_peer_certificate(ssl);
  *clientVerified = peer != nullptr && SSL_get_verify_result(ssl) == X509_V_OK;
  return ssl;
}

}  // namespace kqs
