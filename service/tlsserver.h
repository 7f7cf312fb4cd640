// The TLS management port's use of OpenSSL: one server context, made at
// start-up while the daemon is still root (the key may be readable by root
// alone), and the connections accepted on that port, which the serving code
// uses as it uses plain ones (service/connection.h).
#pragma once

#include <openssl/ssl.h>

#include <string>

#include "service/connection.h"

namespace kqs {

// Makes the server context: TLS 1.3 only, no session tickets, the
// certificate chain at certPath and its key at keyPath and, when
// clientCaPath is not empty, a request for a console certificate checked
// against the CA certificates in that file (a console without one is still
// served). Returns 0, or -1 with the reason in error (bounded by size).
int TlsServerOpen(const char* certPath, const char* keyPath, const char* clientCaPath, char* error, unsigned size);

// The SHA-256 fingerprint of the context's certificate (see
// common/tls/certificate.h); "" before TlsServerOpen succeeded.
const char* TlsServerFingerprint();

// A management connection over an accepted socket (owned, closed with the
// connection) carried by TLS 1.3 with the context above.
class TlsConnection final : public Connection {
 public:
  TlsConnection(int socket, std::string peer) : Connection(std::move(peer)), socket_(socket) {}
  ~TlsConnection() override;
  // The server side of the handshake, within waitMs. False when the console
  // did not complete it: it spoke no TLS, an older TLS, or gave up.
  bool Open(int waitMs) override;
  // True once Open succeeded with a console certificate that one of the
  // ClientCA certificates signed.
  bool Certified() const override { return certified_; }
  int Receive(void* buf, int len, int waitMs) override;
  int Send(const void* buf, int len) override;
  bool HasUnsentData() const override;
  void Abort() override;

 private:
  int socket_;
  SSL* ssl_ = nullptr;
  bool certified_ = false;
};

}  // namespace kqs
