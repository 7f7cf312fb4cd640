// The TLS management port's use of OpenSSL: one server context, made at
// start-up while the daemon is still root (the key may be readable by root
// alone), and the handshake of each connection accepted on that port.
#pragma once

#include <openssl/ssl.h>

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

// Runs the server side of the handshake on the connected socket s, which
// keeps timeoutMs as its receive limit afterwards (a record must arrive
// whole within it). Returns the connection's TLS state, which the caller
// frees with SSL_free, or null when the handshake failed or took longer.
// *clientVerified is true when the console presented a certificate that
// one of the ClientCA certificates signed, false otherwise.
SSL* TlsServerHandshake(int s, int timeoutMs, bool* clientVerified);

}  // namespace kqs
