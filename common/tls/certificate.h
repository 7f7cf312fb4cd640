// Certificates as kqsd and kqsctl handle them: the SHA-256 fingerprint that
// an administrator compares out of band (as "openssl x509 -fingerprint
// -sha256" prints it: 32 upper-case hex pairs joined by ':'), and the
// self-signed certificate a server makes for itself when it was given none.
#pragma once

#include <openssl/ssl.h>

namespace kqs {

// Room for a fingerprint and its NUL.
inline constexpr unsigned kFingerprintSize = 96;

// The fingerprint of cert into out (kFingerprintSize bytes at least).
// Returns 0, or -1 when it cannot be computed or out is too small.
int TlsFingerprint(X509* cert, char* out, unsigned size);

// The fingerprint of the first certificate in the PEM file at path. Returns
// 0, or -1 with the reason in error (bounded by errorSize).
int TlsFileFingerprint(const char* path, char* out, unsigned size, char* error, unsigned errorSize);

// Makes certPath and keyPath, unless both exist already: a new ECDSA P-256
// key (mode 0600) and a certificate for it, self-signed, for hostName (its
// subject and subject alternative name), valid for ten years. Neither path
// may be a symbolic link; files are written beside their final names and
// renamed into place, the key first, so an interrupted run leaves no
// certificate without its key. Returns 1 when it made them, 0 when both
// existed, -1 with the reason (naming the path) in error.
int TlsMakeSelfSigned(const char* certPath, const char* keyPath, const char* hostName, char* error,
                      unsigned errorSize);

// The newest reason OpenSSL gave for a failure, as text ("" when none), and
// clears the thread's OpenSSL error queue.
void TlsLastError(char* out, unsigned size);

}  // namespace kqs
