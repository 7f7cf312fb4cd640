// Fuzz target for the INI loader. Each input becomes the content of a file
// that is loaded through the profile calls, listed section by section and key
// by key, and read as numbers. Then one change makes the store write the
// file back; loaded afresh, it must hold exactly what was listed.
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/config/profile.h"

namespace {

// Names in a list filled by xGetPrivateProfileStringA (NUL after each).
std::vector<std::string> SplitList(const std::vector<char>& buffer, unsigned total) {
  std::vector<std::string> names;
  for (unsigned at = 0; at < total;) {
    names.emplace_back(&buffer[at]);
    at += static_cast<unsigned>(names.back().size()) + 1;
  }
  return names;
}

// Every section, key and value of the file, in order, as one text.
std::string Dump(const char* file, size_t capacity) {
  std::vector<char> list(capacity), value(capacity);
  const auto size = static_cast<unsigned>(capacity);
  std::string out;
  const unsigned total = xGetPrivateProfileStringA(nullptr, nullptr, "", list.data(), size, file);
  for (const std::string& section : SplitList(list, total)) {
    out += "[" + section + "]\n";
    std::vector<char> keys(capacity);
    const unsigned n =
        xGetPrivateProfileStringA(section.c_str(), nullptr, "", keys.data(), size, file);
    for (const std::string& key : SplitList(keys, n)) {
      xGetPrivateProfileStringA(section.c_str(), key.c_str(), "", value.data(), size, file);
      out += key + "=" + value.data() + "\n";
      // The number reader the daemon's settings go through: it must only
      // not misbehave.
      (void)xGetPrivateProfileIntA(section.c_str(), key.c_str(), 3, file);
    }
  }
  return out;
}

bool ContainsIgnoringCase(const std::string& text, const std::string& part) {
  auto lower = [](std::string t) {
    for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t;
  };
  return lower(text).find(lower(part)) != std::string::npos;
}

// A private directory for the one file, removed when the run ends; memory
// backed when available, since every write back ends in an fsync.
struct FuzzDir {
  std::string dir = [] {
    char shm[] = "/dev/shm/kqs-ini-fuzz-XXXXXX", tmp[] = "/tmp/kqs-ini-fuzz-XXXXXX";
    const char* made = mkdtemp(shm);
    if (made == nullptr && (made = mkdtemp(tmp)) == nullptr) std::abort();
    return std::string(made);
  }();
  std::string file = dir + "/fuzz.ini";
  ~FuzzDir() {
    IniCleanup();
    unlink(file.c_str());
    rmdir(dir.c_str());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const FuzzDir dir;
  const char* file = dir.file.c_str();
  IniCleanup();  // forget the previous input's tree
  FILE* f = std::fopen(file, "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(bytes, 1, size, f) != size) std::abort();
  std::fclose(f);

  // Room for every name and value the input can hold, whole.
  const size_t capacity = size + 16;
  const std::string loaded = Dump(file, capacity);

  // A new section appended last makes the store rewrite the whole file.
  const char* probe = "\x7f probe section";
  xWritePrivateProfileStringA(probe, "key", "value", file);
  IniCleanup();
  const std::string reloaded = Dump(file, capacity + 64);
  const std::string header = std::string("[") + probe + "]\n";
  if (ContainsIgnoringCase(loaded, header)) {
    // The input already had the probe's section (names match whatever their
    // case, and keep their first spelling): the key joins or updates that
    // section instead of making a new one at the end.
    if (!ContainsIgnoringCase(reloaded, header) || !ContainsIgnoringCase(reloaded, "\nkey=value\n")) {
      std::abort();
    }
    return 0;
  }
  const std::string tail = header + "key=value\n";
  if (!reloaded.ends_with(tail)) std::abort();
  if (reloaded.substr(0, reloaded.size() - tail.size()) != loaded) std::abort();
  return 0;
}
