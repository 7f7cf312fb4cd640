// The text records of kqsd's own requests.
#include "protocol/extension.h"

namespace kqs {

std::string RecordLine(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += '\t';
    for (char c : fields[i]) {
      if (c == '\t') {
        line += "\\t";
      } else if (c == '\n') {
        line += "\\n";
      } else if (c == '\\') {
        line += "\\\\";
      } else {
        line += c;
      }
    }
  }
  return line + '\n';
}

std::vector<std::vector<std::string>> ParseRecords(std::string_view text, size_t minFields) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') {
      if (fields.size() >= minFields) records.push_back(std::move(fields));
      fields.assign(1, std::string());
    } else if (c == '\t') {
      fields.emplace_back();
    } else if (c == '\\' && i + 1 < text.size()) {
      const char e = text[++i];
      fields.back() += e == 't' ? '\t' : e == 'n' ? '\n' : e;
    } else if (c != '\0') {
      fields.back() += c;
    }
  }
  return records;
}

}  // namespace kqs
