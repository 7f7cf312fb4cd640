// Fingerprints and the self-signed server certificate, through OpenSSL 3.
#include "common/tls/certificate.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "common/host/env.h"
#include "common/util/strbuf.h"

namespace kqs {
namespace {

constexpr long kValidSeconds = 10L * 365 * 24 * 3600;

struct Free {
  void operator()(X509* p) const { X509_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
  void operator()(std::FILE* p) const { std::fclose(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

int Fail(char* error, unsigned size, const std::string& what) {
  char why[256];
  TlsLastError(why, sizeof why);
  sprintfnA(error, size, "%s%s%s", what.c_str(), why[0] != '\0' ? ": " : "", why);
  return -1;
}

bool Exists(const char* path) {
  struct stat st;
  return CurrentEnv()->Lstat(path, &st) == 0;
}

// Writes what into a new file beside path, then renames it over path; the
// new file is made with mode, never through a link.
bool WriteBeside(const char* path, mode_t mode, const std::function<bool(std::FILE*)>& what) {
  const std::string temporary = std::string(path) + ".new";
  Env* env = CurrentEnv();
  env->Unlink(temporary.c_str());
  const int fd = env->Open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return false;
  Owned<std::FILE> file(fdopen(fd, "w"));
  if (file == nullptr) {
    close(fd);
    return false;
  }
  const bool written = what(file.get()) && std::fflush(file.get()) == 0 && env->Fsync(fd) == 0;
  file.reset();
  if (!written || env->Rename(temporary.c_str(), path) != 0) {
    env->Unlink(temporary.c_str());
    return false;
  }
  return true;
}

Owned<X509> SelfSigned(EVP_PKEY* key, const char* hostName) {
  Owned<X509> cert(X509_new());
  if (cert == nullptr || X509_set_version(cert.get(), 2) != 1) return nullptr;
  // A random serial: a new certificate for the same name must not look like the old one.
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) return nullptr;
  serial[0] &= 0x7f;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  const bool numbered = number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get())) != nullptr;
  BN_free(number);
  if (!numbered) return nullptr;
  X509_NAME* name = X509_get_subject_name(cert.get());
  if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(hostName), -1,
                                 -1, 0) != 1 ||
      X509_set_issuer_name(cert.get(), name) != 1 || X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValidSeconds) == nullptr ||
      X509_set_pubkey(cert.get(), key) != 1) {
    return nullptr;
  }
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  const std::string altName = "DNS:" + std::string(hostName);
  const std::pair<int, std::string> extensions[] = {
      {NID_subject_alt_name, altName}, {NID_basic_constraints, "critical,CA:FALSE"},
      {NID_ext_key_usage, "serverAuth"}, {NID_subject_key_identifier, "hash"}};
  for (const auto& [nid, value] : extensions) {
    Owned<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
    if (ext == nullptr || X509_add_ext(cert.get(), ext.get(), -1) != 1) return nullptr;
  }
  if (X509_sign(cert.get(), key, EVP_sha256()) == 0) return nullptr;
  return cert;
}

}  // namespace

void TlsLastError(char* out, unsigned size) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (size == 0) return;
  out[0] = '\0';
  if (code != 0) ERR_error_string_n(code, out, size);
}

int TlsFingerprint(X509* cert, char* out, unsigned size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  if (cert == nullptr || X509_digest(cert, EVP_sha256(), digest, &length) != 1 || size < length * 3) return -1;
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (unsigned i = 0; i < length; ++i) {
    out[3 * i] = kHex[digest[i] >> 4];
    out[3 * i + 1] = kHex[digest[i] & 15];
    out[3 * i + 2] = i + 1 < length ? ':' : '\0';
  }
  return 0;
}

int TlsFileFingerprint(const char* path, char* out, unsigned size, char* error, unsigned errorSize) {
  Owned<std::FILE> file(CurrentEnv()->FOpen(path, "r"));
  if (file == nullptr) {
    sprintfnA(error, errorSize, "cannot read %s: %s", path, std::strerror(errno));
    return -1;
  }
  Owned<X509> cert(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
  if (cert == nullptr) return Fail(error, errorSize, std::string(path) + " holds no PEM certificate");
  return TlsFingerprint(cert.get(), out, size) == 0 ? 0 : Fail(error, errorSize, "cannot fingerprint " + std::string(path));
}

int TlsMakeSelfSigned(const char* certPath, const char* keyPath, const char* hostName, char* error,
                      unsigned errorSize) {
  if (Exists(certPath) && Exists(keyPath)) return 0;
  Owned<EVP_PKEY> key(EVP_EC_gen("P-256"));
  if (key == nullptr) return Fail(error, errorSize, "cannot make an ECDSA P-256 key");
  Owned<X509> cert = SelfSigned(key.get(), hostName);
  if (cert == nullptr) return Fail(error, errorSize, "cannot make a certificate for " + std::string(hostName));
  auto writeKey = [&](std::FILE* f) {
    return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  };
  auto writeCert = [&](std::FILE* f) { return PEM_write_X509(f, cert.get()) == 1; };
  if (!WriteBeside(keyPath, 0600, writeKey)) {
    return Fail(error, errorSize, "cannot write " + std::string(keyPath) + ": " + std::strerror(errno));
  }
  if (!WriteBeside(certPath, 0644, writeCert)) {
    return Fail(error, errorSize, "cannot write " + std::string(certPath) + ": " + std::strerror(errno));
  }
  return 1;
}

}  // namespace kqs
