// File calls of the portability layer. stat, fopen, mkdir and chmod go
// through the Env seam so tests can make them fail; paths are worked on in
// 255-byte buffers like every other path in kqsd.
#include "common/host/fileops.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/host/env.h"
#include "common/util/pathutil.h"
#include "common/util/strbuf.h"

namespace {

using PathBuf = std::array<char, 255>;

PathBuf CopyPath(const char* path) {
  PathBuf buf;
  RelStrCpyIntoBufA(buf.data(), path, buf.size());
  return buf;
}

bool IsDirectory(const char* path) {
  struct stat st;
  return kqs::CurrentEnv()->Stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

}  // namespace

int Exist(const char* path) {
  if (path == nullptr) return 0;
  FILE* f = kqs::CurrentEnv()->FOpen(path, "rb");
  if (f == nullptr) return 0;
  std::fclose(f);
  return 1;
}

int ExistA(const char* path) { return Exist(path); }

int CreateSubDirs(const char* path) {
  if (path == nullptr) return 0;
  PathBuf buf = CopyPath(path);
  char* text = buf.data();
  for (char* slash = std::strchr(text, '/'); slash != nullptr; slash = std::strchr(slash + 1, '/')) {
    // A leading '/' (or "//") names nothing to create.
    if (slash == text || slash[-1] == '/') continue;
    *slash = '\0';
    kqs::CurrentEnv()->Mkdir(text, 0775);  // may exist already: not an error
    *slash = '/';
  }
  return 0;
}

int CreateSubDirsA(const char* path) { return CreateSubDirs(path); }

FILE* FOpenWithTranslate(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) return nullptr;
  PathBuf buf = CopyPath(path);
  TranslateDirectorySlashes(buf.data());
  if (IsDirectory(buf.data())) return nullptr;
  kqs::Env* env = kqs::CurrentEnv();
  FILE* f = env->FOpen(buf.data(), mode);
  if (f == nullptr && (mode[0] == 'w' || mode[0] == 'a')) {
    CreateSubDirs(buf.data());
    f = env->FOpen(buf.data(), mode);
  }
  return f;
}

FILE* FOpenWithTranslateA(const char* path, const char* mode) {
  return FOpenWithTranslate(path, mode);
}

int MakeWritable(const char* path) {
  if (path == nullptr || !Exist(path)) return 0;
  return kqs::CurrentEnv()->Chmod(path, 0666) == 0 ? 1 : 0;
}

int MakeWritableA(const char* path) {
  if (path == nullptr) return 0;
  std::unique_ptr<char, FreeDeleter> copy(strdup(path));
  if (!copy) return 0;
  return MakeWritable(copy.get());
}

int TruncateFile(const char* path, long length) {
  if (path == nullptr) return 0;
  return truncate(path, length) == 0 ? 1 : 0;
}
