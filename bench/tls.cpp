// The TLS port against the plain port, through kqsctl's own transport, each
// pair of measurements alternating one by one.
#include "bench/tls.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/row.h"
#include "kqsctl/transport.h"
#include "protocol/kqsids.h"

namespace kqs {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRoundTrips = 20000;
constexpr int kConnects = 1000;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

kqsctl::Endpoint Server(bool plain, std::FILE* notes) {
  kqsctl::Endpoint server{"127.0.0.1", static_cast<unsigned short>(plain ? kqsctl::kPlainPort : kqsctl::kTlsPort), {}};
  server.security.plain = plain;
  server.security.notes = notes;
  return server;
}

// Microseconds for one request on session (KQS_UPDATE, answered 13), or -1.
double Ask(kqsctl::Session& session) {
  kqsctl::Reply reply;
  std::string error;
  const auto start = Clock::now();
  if (!session.Transact(KQS_UPDATE, TYPE_PRINTQUEUE, "", {}, &reply, &error) ||
      reply.return_code != KQS_INVALID_OPERATION) {
    std::fprintf(stderr, "kqsbench: %s\n", error.c_str());
    return -1;
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

}  // namespace

void BenchTls() {
  std::FILE* quiet = std::fopen("/dev/null", "w");
  const kqsctl::Endpoint tls = Server(false, quiet), plain = Server(true, quiet);
  {
    kqsctl::Session onTls(tls, 5000), onPlain(plain, 5000);
    std::vector<double> tlsUs, plainUs;
    for (int i = 0; i < kRoundTrips + 500; ++i) {  // the first 500 warm up
      const double t = Ask(onTls), p = Ask(onPlain);
      if (t < 0 || p < 0) return (void)std::fclose(quiet);
      if (i >= 500) tlsUs.push_back(t), plainUs.push_back(p);
    }
    const double t = Median(tlsUs), p = Median(plainUs);
    Row("TLS request round trip p50 (us) vs plain port", t, p, t / p, "after the handshake; target <= 1.3");
  }
  std::vector<double> tlsMs, plainMs;
  for (int i = 0; i < kConnects; ++i) {
    kqsctl::Session onTls(tls, 5000), onPlain(plain, 5000);
    const double t = Ask(onTls), p = Ask(onPlain);
    if (t < 0 || p < 0) return (void)std::fclose(quiet);
    tlsMs.push_back(t / 1000), plainMs.push_back(p / 1000);
  }
  const double t = Median(tlsMs), p = Median(plainMs);
  Row("TLS connect + one request, median (ms) vs plain", t, p, t / p, "target <= 3 ms");
  std::fclose(quiet);
}

}  // namespace kqs
