// Fuzz target for the parameter-list parser, which takes apart text straight
// from a request packet. Its verdict and every value it hands out are checked
// against a plain re-reading of the same text that never modifies it.
#include <strings.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/kqsids.h"
#include "protocol/params.h"
#include "queueadmin/queueadd.h"

namespace {

// The names a queue is added with: a realistic table of many entries.
constexpr size_t kCount = std::size(QueueParameterTable);

struct Expected {
  uint32_t rc = KQS_SUCCESS;
  std::optional<std::string> values[kCount];
};

std::string_view SkipBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

// What the parser must make of text, read without cutting it up.
Expected Reread(std::string_view text) {
  Expected e;
  for (;;) {
    const std::string_view name = SkipBlanks(text);
    const size_t equals = name.find('=');
    if (equals == std::string_view::npos) break;
    std::string_view value = SkipBlanks(name.substr(equals + 1));
    const size_t semicolon = value.find(';');
    const bool last = semicolon == std::string_view::npos;
    if (!last) {
      text = value.substr(semicolon + 1);
      value = value.substr(0, semicolon);
    }
    const std::string key(name.substr(0, equals));
    size_t i = 0;
    while (i < kCount && strcasecmp(QueueParameterTable[i].name, key.c_str()) != 0) ++i;
    if (i == kCount || e.values[i]) {
      e.rc = KQS_INVALID_PARAMETER;
      return e;
    }
    e.values[i] = std::string(value);
    if (last) break;
  }
  for (const auto& v : e.values) {
    if (!v) e.rc = KQS_INVALID_PARAMETER;
  }
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const auto* chars = reinterpret_cast<const char*>(bytes);
  const std::string text(chars, strnlen(chars, size));
  const Expected expected = Reread(text);

  char* copy = ParseAlloc(text.c_str());
  if (copy == nullptr) return 0;
  ParameterEntry table[kCount];
  std::copy(std::begin(QueueParameterTable), std::end(QueueParameterTable), table);
  const uint32_t rc = ParseParameters(copy, table, kCount);
  if (rc != expected.rc) std::abort();
  for (size_t i = 0; i < kCount; ++i) {
    const char* value = table[i].value;
    if (value == nullptr) {
      if (expected.values[i]) std::abort();
      continue;
    }
    // Every value lies inside the working copy and ends there.
    if (value < copy || value > copy + text.size()) std::abort();
    if (!expected.values[i] || *expected.values[i] != value) std::abort();
  }
  ParseFree(copy);
  return 0;
}
