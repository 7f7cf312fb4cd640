// Parsing of discovery replies.
#include "kqsctl/discoreply.h"

namespace kqsctl {

bool ParseDiscoveryReply(std::string_view text, Fields* fields) {
  fields->clear();
  // Replies are sent without a terminator, but tolerate one and a line end.
  while (!text.empty() && (text.back() == '\0' || text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  bool first = true;
  while (first || !text.empty()) {
    const size_t semi = text.find(';');
    const std::string_view piece = text.substr(0, semi);
    text = semi == std::string_view::npos ? std::string_view() : text.substr(semi + 1);
    const size_t eq = piece.find('=');
    if (eq != std::string_view::npos && eq > 0) {
      fields->emplace_back(std::string(piece.substr(0, eq)), std::string(piece.substr(eq + 1)));
    } else if (!fields->empty()) {
      fields->back().second.append(";").append(piece);
    }
    first = false;
    if (semi == std::string_view::npos) break;
  }
  for (const auto& [name, value] : *fields) {
    if (name == "Platform") return true;
  }
  return false;
}

std::string FieldValue(const Fields& fields, std::string_view name) {
  for (const auto& [n, v] : fields) {
    if (n == name) return v;
  }
  return "";
}

}  // namespace kqsctl
