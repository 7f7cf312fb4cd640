// The local rules for names and option values, one table row per option.
#include "kqsctl/rules.h"

#include <arpa/inet.h>

#include <array>
#include <cctype>

#include "kqsctl/options.h"

namespace kqsctl {
namespace {

bool Fail(std::string* error, std::string text) {
  *error = std::move(text);
  return false;
}

bool IsNameCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-'; }

bool CheckModel(const std::string& value, std::string* error) {
  if (value.empty()) return Fail(error, "the model name must not be empty");
  if (value.find('/') != std::string::npos) return Fail(error, "a model name cannot contain '/'");
  if (value.front() == '.') return Fail(error, "a model name cannot begin with '.'");
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return Fail(error, "a model name cannot contain control characters");
  }
  return true;
}

bool CheckMac(const std::string& value, std::string* error) {
  bool ok = value.size() == 17;
  for (size_t i = 0; ok && i < value.size(); ++i) {
    ok = i % 3 == 2 ? value[i] == ':' : std::isxdigit(static_cast<unsigned char>(value[i])) != 0;
  }
  return ok || Fail(error, "a MAC address is six pairs of hexadecimal digits separated by ':' (00:11:22:33:44:55)");
}

bool CheckIp(const std::string& value, std::string* error) {
  struct in_addr a;
  return inet_pton(AF_INET, value.c_str(), &a) == 1 || Fail(error, "an IPv4 address in dotted form is needed (10.0.0.7)");
}

struct Rule {
  std::string_view option;
  long min, max;  // a number in this range, when check is null
  bool (*check)(const std::string&, std::string*);
};

constexpr std::array<Rule, 8> kRules = {{
    {"class", 0, 0, CheckQueueName},
    {"model", 0, 0, CheckModel},
    {"hw", 0, 0, CheckMac},
    {"ip", 0, 0, CheckIp},
    {"export", 0, 65535, nullptr},
    {"ip-port", 1, 65535, nullptr},
    {"port", 1, 65535, nullptr},
    {"pslevel", 1, 3, nullptr},
}};

bool CheckNumber(const std::string& value, long min, long max, std::string* error) {
  long n = 0;
  bool ok = !value.empty() && value.size() <= 6;
  for (char c : value) {
    ok = ok && c >= '0' && c <= '9';
    n = n * 10 + (c - '0');
  }
  return (ok && n >= min && n <= max) ||
         Fail(error, "a whole number from " + std::to_string(min) + " to " + std::to_string(max) + " is needed");
}

}  // namespace

bool CheckQueueName(const std::string& name, std::string* error) {
  if (name.empty()) return Fail(error, "a name must not be empty");
  if (name.size() > kMaxNameLength) {
    return Fail(error, "a name has at most " + std::to_string(kMaxNameLength) + " characters, not " +
                           std::to_string(name.size()));
  }
  if (std::isalnum(static_cast<unsigned char>(name.front())) == 0) {
    return Fail(error, "a name begins with a letter or digit");
  }
  for (char c : name) {
    if (!IsNameCharacter(c)) return Fail(error, "a name holds only letters, digits, '_' and '-'");
  }
  return true;
}

bool CheckOptionValue(std::string_view option, const std::string& value, std::string* error) {
  for (const Rule& r : kRules) {
    if (r.option != option) continue;
    std::string why;
    const bool ok = r.check != nullptr ? r.check(value, &why) : CheckNumber(value, r.min, r.max, &why);
    if (!ok) *error = "--" + std::string(option) + " '" + value + "': " + why;
    return ok;
  }
  return true;
}

}  // namespace kqsctl
