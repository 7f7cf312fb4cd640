// A private temporary directory for one test, removed with its content when
// the object goes out of scope.
#pragma once

#include <string>

namespace kqs {

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // path() joined with a relative name.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  // Small file helpers for fixtures and assertions.
  static bool WriteFile(const std::string& path, const std::string& content);
  static std::string ReadFile(const std::string& path);  // "" when missing
  static bool Exists(const std::string& path);

 private:
  std::string path_;
};

}  // namespace kqs
