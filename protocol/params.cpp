// Parameter-list parsing: pairs are cut out of a working copy in place and
// matched, without regard to case, against the caller's table of names.
#include "protocol/params.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "common/util/strutil.h"
#include "protocol/kqsids.h"

namespace {

// The entry whose name equals name without regard to case, or null.
ParameterEntry* FindEntry(ParameterEntry* table, unsigned count, const char* name) {
  const size_t n = std::strlen(name);
  for (unsigned i = 0; i < count; ++i) {
    // The table's names need not be terminated within their 32 bytes.
    const size_t m = strnlen(table[i].name, sizeof table[i].name);
    if (m == n && strncasecmp(table[i].name, name, n) == 0) return &table[i];
  }
  return nullptr;
}

}  // namespace

char* ParseAlloc(const char* text) {
  return text ? strdup(text) : nullptr;
}

void ParseFree(char* copy) { std::free(copy); }

int ParseNextParameter(char** cursor, char** name, char** value) {
  char* start = NonwhiteA(*cursor);
  *name = start;
  char* equals = std::strchr(start, '=');
  if (equals == nullptr) return 0;
  *equals = '\0';
  char* v = NonwhiteA(equals + 1);
  *value = v;
  char* semicolon = std::strchr(v, ';');
  if (semicolon != nullptr) {
    *semicolon = '\0';
    *cursor = semicolon + 1;
  } else {
    *cursor = nullptr;
  }
  return 1;
}

uint32_t ParseParameters(char* copy, ParameterEntry* table, unsigned count) {
  char* cursor = copy;
  while (cursor != nullptr) {
    char* name = nullptr;
    char* value = nullptr;
    if (!ParseNextParameter(&cursor, &name, &value)) break;
    ParameterEntry* entry = FindEntry(table, count, name);
    if (entry == nullptr || entry->value != nullptr) return KQS_INVALID_PARAMETER;
    entry->value = value;
  }
  for (unsigned i = 0; i < count; ++i) {
    if (table[i].value == nullptr) return KQS_INVALID_PARAMETER;
  }
  return KQS_SUCCESS;
}
