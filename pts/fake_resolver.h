// Test-only resolver for the socket layer's tests: answers from two small
// tables, counts calls and can fail like a name server that does not answer.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>
#include <map>
#include <string>

#include "pts/hostcache.h"

namespace kqs {

struct FakeDns {
  std::map<std::string, std::string> official;  // name or alias -> official name
  std::map<std::string, uint32_t> addr;         // official name -> address
  int failRc = 0;                               // resolver error to report
  int calls = 0;
};
inline FakeDns fakeDns;

// Lays the answer out in the caller's buffer, as the C library does.
inline int FakeAnswer(const std::string& name, hostent* ret, char* buf, hostent** result,
                      int* herr) {
  ++fakeDns.calls;
  *result = nullptr;
  *herr = fakeDns.failRc != 0 ? TRY_AGAIN : HOST_NOT_FOUND;
  if (fakeDns.failRc != 0 || fakeDns.addr.count(name) == 0) return fakeDns.failRc;
  auto** list = reinterpret_cast<char**>(buf);
  char* text = buf + 2 * sizeof(char*);
  std::memcpy(text, &fakeDns.addr[name], 4);
  std::strcpy(text + 4, name.c_str());
  list[0] = text;
  list[1] = nullptr;
  *ret = {text + 4, list + 1, AF_INET, 4, list};
  *result = ret;
  return 0;
}

inline int FakeByName(const char* n, hostent* ret, char* buf, size_t, hostent** res, int* herr) {
  auto it = fakeDns.official.find(n);
  return FakeAnswer(it == fakeDns.official.end() ? "" : it->second, ret, buf, res, herr);
}

inline int FakeByAddr(const void* a, socklen_t, int, hostent* ret, char* buf, size_t,
                      hostent** res, int* herr) {
  std::string name;
  for (const auto& [official, ip] : fakeDns.addr)
    if (std::memcmp(&ip, a, 4) == 0) name = official;
  return FakeAnswer(name, ret, buf, res, herr);
}

inline constexpr PtsResolver kFakeResolver = {FakeByName, FakeByAddr};

// Installs the fake with "printer1" (alias of printer1.lab, 10.1.2.3) and
// "127.0.0.1" (localhost) for the lifetime of the guard.
struct ScopedFakeResolver {
  ScopedFakeResolver() {
    fakeDns = FakeDns();
    fakeDns.official = {{"printer1", "printer1.lab"}, {"printer1.lab", "printer1.lab"},
                        {"127.0.0.1", "localhost"}};
    fakeDns.addr = {{"printer1.lab", inet_addr("10.1.2.3")}, {"localhost", inet_addr("127.0.0.1")}};
  }
  ~ScopedFakeResolver() { SetPtsResolverForTesting(previous); }
  ScopedFakeResolver(const ScopedFakeResolver&) = delete;
  const PtsResolver* previous = SetPtsResolverForTesting(&kFakeResolver);
};

}  // namespace kqs
