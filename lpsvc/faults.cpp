// Reading lpsvc's fault file.
#include "lpsvc/faults.h"

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <string_view>

namespace lpsvc {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool WordMatches(std::string_view word, const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == word) return true;
    if (word[0] == '-' && std::string_view(a).substr(0, word.size()) == word) return true;
  }
  return false;
}

std::optional<Fault> ParseAction(std::string_view action) {
  if (action == "nolock" || action == "noop") return Fault{true, 0};
  int status = 0;
  auto [end, ec] = std::from_chars(action.data(), action.data() + action.size(), status);
  if (ec != std::errc() || end != action.data() + action.size() || status < 0 || status > 255)
    return std::nullopt;
  return Fault{false, status};
}

}  // namespace

bool FaultsHonoured() {
  const char* on = std::getenv("LPSVC_TEST_FAULTS");
  return on != nullptr && std::string_view(on) == "1";
}

std::optional<Fault> FindFault(const std::string& fault_file, const std::string& command,
                               const std::vector<std::string>& args) {
  std::ifstream in(fault_file);
  std::string line;
  while (std::getline(in, line)) {
    std::string_view l = Trim(line);
    if (l.empty() || l[0] == '#') continue;
    size_t eq = l.rfind('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = Trim(l.substr(0, eq));
    std::string_view word;
    if (size_t sp = key.find_first_of(" \t"); sp != std::string_view::npos) {
      word = Trim(key.substr(sp));
      key = key.substr(0, sp);
    }
    if (key != command || (!word.empty() && !WordMatches(word, args))) continue;
    if (std::optional<Fault> f = ParseAction(Trim(l.substr(eq + 1)))) return f;
  }
  return std::nullopt;
}

}  // namespace lpsvc
