// Output of kqsctl: aligned text tables for people and JSON for scripts.
// Texts come from the network; tables show control characters as "?" so a
// hostile name cannot drive the user's terminal, and JSON escapes them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kqsctl {

class Table {
 public:
  explicit Table(std::vector<std::string> headers);
  void AddRow(std::vector<std::string> cells);  // missing cells print empty
  // Header and rows, columns two blanks apart, each line ending in "\n".
  std::string Render() const;

 private:
  std::vector<std::string> headers_;
  std::vector<std::vector<std::string>> rows_;
};

// A JSON string literal, quotes included. Valid UTF-8 passes through; other
// bytes of 0x80 and above are taken as Latin-1 and escaped as \u00XX.
std::string JsonQuote(std::string_view text);

// A JSON object built field by field, in insertion order.
class JsonObject {
 public:
  JsonObject& Add(std::string_view key, std::string_view text);
  JsonObject& Add(std::string_view key, long long number);
  JsonObject& AddRaw(std::string_view key, std::string_view json);  // json is already encoded
  std::string Render() const;  // {"k":v,...}

 private:
  std::string body_;
};

// "[a,b,...]" of already rendered values, one element per line.
std::string JsonArray(const std::vector<std::string>& elements);

}  // namespace kqsctl
