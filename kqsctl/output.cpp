// Text tables and JSON for kqsctl's output.
#include "kqsctl/output.h"

#include <algorithm>
#include <cstdio>

namespace kqsctl {
namespace {

std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return out;
}

// Length of the valid UTF-8 sequence starting at s[i], or 0 if there is none.
size_t Utf8Length(std::string_view s, size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  size_t len = 0;
  uint32_t min = 0;
  if (b0 >= 0xc2 && b0 <= 0xdf) {
    len = 2, min = 0x80;
  } else if (b0 >= 0xe0 && b0 <= 0xef) {
    len = 3, min = 0x800;
  } else if (b0 >= 0xf0 && b0 <= 0xf4) {
    len = 4, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() - i < len) return 0;
  uint32_t cp = b0 & (0x7f >> len);
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3f);
  }
  if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
  return len;
}

// Columns on the screen: UTF-8 continuation bytes take none.
size_t Width(std::string_view s) {
  return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
  }));
}

}  // namespace

Table::Table(std::vector<std::string> headers) : headers_(std::move(headers)) {}

void Table::AddRow(std::vector<std::string> cells) {
  cells.resize(headers_.size());
  for (auto& cell : cells) cell = Printable(cell);
  rows_.push_back(std::move(cells));
}

std::string Table::Render() const {
  std::vector<size_t> width(headers_.size());
  for (size_t c = 0; c < headers_.size(); ++c) {
    width[c] = Width(headers_[c]);
    for (const auto& row : rows_) width[c] = std::max(width[c], Width(row[c]));
  }
  std::string out;
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (size_t c = 0; c < cells.size(); ++c) {
      text += cells[c];
      if (c + 1 < cells.size()) text.append(width[c] - Width(cells[c]) + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text;
    out += '\n';
  };
  line(headers_);
  for (const auto& row : rows_) line(row);
  return out;
}

std::string JsonQuote(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const auto u = static_cast<unsigned char>(text[i]);
    char esc[8];
    if (u == '"' || u == '\\') {
      out += '\\';
      out += text[i++];
    } else if (u == '\n') {
      out += "\\n", ++i;
    } else if (u == '\t') {
      out += "\\t", ++i;
    } else if (u < 0x20 || u == 0x7f) {
      std::snprintf(esc, sizeof esc, "\\u%04x", u);
      out += esc, ++i;
    } else if (u < 0x80) {
      out += text[i++];
    } else if (size_t len = Utf8Length(text, i); len > 0) {
      out.append(text.substr(i, len));
      i += len;
    } else {
      std::snprintf(esc, sizeof esc, "\\u%04x", u);
      out += esc, ++i;
    }
  }
  out += '"';
  return out;
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view text) { return AddRaw(key, JsonQuote(text)); }

JsonObject& JsonObject::Add(std::string_view key, long long number) { return AddRaw(key, std::to_string(number)); }

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view json) {
  if (!body_.empty()) body_ += ',';
  body_ += JsonQuote(key);
  body_ += ':';
  body_ += json;
  return *this;
}

std::string JsonObject::Render() const { return "{" + body_ + "}"; }

std::string JsonArray(const std::vector<std::string>& elements) {
  if (elements.empty()) return "[]";
  std::string out = "[\n";
  for (size_t i = 0; i < elements.size(); ++i) {
    out += "  " + elements[i];
    out += i + 1 < elements.size() ? ",\n" : "\n";
  }
  return out + "]";
}

}  // namespace kqsctl
