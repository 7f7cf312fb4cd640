// Scratch directories for tests.
#include "common/testing/scratch_dir.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kqs {

ScratchDir::ScratchDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kqs-test-XXXXXX";
  if (mkdtemp(templ.data()) != nullptr) path_ = templ;
  chmod(path_.c_str(), 0755);  // programs that dropped to lp must reach their files here
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

bool ScratchDir::WriteFile(const std::string& path, const std::string& content) {
  return bool(std::ofstream(path, std::ios::binary | std::ios::trunc) << content);
}

std::string ScratchDir::ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool ScratchDir::Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace kqs
