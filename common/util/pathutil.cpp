// Path text functions: joining, normalising, splitting and rebuilding UNIX
// paths in fixed 255-byte buffers. Over-long input is cut to the buffer
// sizes; only FixSlashes and MergePath(A) refuse an outcome that does not fit.
#include "common/util/pathutil.h"

#include <unistd.h>

#include <array>
#include <cstring>

#include "common/util/strbuf.h"

namespace {

constexpr unsigned kPathSize = 255;
using PathBuf = std::array<char, kPathSize>;

PathBuf CopyPath(const char* path) {
  PathBuf buf;
  RelStrCpyIntoBufA(buf.data(), path ? path : "", kPathSize);
  return buf;
}

}  // namespace

char* TranslateDirectorySlashes(char* path) {
  for (char* p = path; *p; ++p) {
    if (*p == '\\') *p = '/';
  }
  return path;
}

char* TranslateDirectorySlashesA(char* path) { return TranslateDirectorySlashes(path); }

void xSplitPathA(const char* path, PathComponents* parts) {
  PathBuf buf = CopyPath(path);
  char* text = buf.data();
  parts->drive[0] = '\0';

  // The last '/' that is not the first character separates dir and name.
  char* rest = text;
  char* slash = std::strrchr(text, '/');
  if (slash != nullptr && slash != text) {
    *slash = '\0';
    RelStrCpyIntoBufA(parts->dir, text, sizeof parts->dir);
    RelStrCatIntoBufA(parts->dir, "/", sizeof parts->dir);
    rest = slash + 1;
  } else {
    parts->dir[0] = '\0';
  }

  // A leading dot belongs to the name.
  char* dot = std::strrchr(rest, '.');
  if (dot != nullptr && dot != rest) {
    *dot = '\0';
    RelStrCpyIntoBufA(parts->fname, rest, sizeof parts->fname);
    RelStrCpyIntoBufA(parts->ext, ".", sizeof parts->ext);
    RelStrCatIntoBufA(parts->ext, dot + 1, sizeof parts->ext);
  } else {
    RelStrCpyIntoBufA(parts->fname, rest, sizeof parts->fname);
    parts->ext[0] = '\0';
  }
}

void GetSplitPathA(const char* path, PathComponents* parts) {
  xSplitPathA(path, parts);
  if (parts->dir[0] == '\0' && getcwd(parts->dir, sizeof parts->dir) == nullptr) {
    parts->dir[0] = '\0';
  }
}

void xMakePathA(char* result, const PathComponents* parts, unsigned size) {
  if (size == 0) return;
  result[0] = '\0';
  if (parts->dir[0] != '\0') {
    RelStrCatIntoBufA(result, parts->dir, size);
    size_t n = std::strlen(parts->dir);
    if (parts->dir[n - 1] != '/') RelStrCatIntoBufA(result, "/", size);
  }
  if (parts->fname[0] != '\0') RelStrCatIntoBufA(result, parts->fname, size);
  if (parts->ext[0] != '\0') {
    if (parts->ext[0] != '.') RelStrCatIntoBufA(result, ".", size);
    RelStrCatIntoBufA(result, parts->ext, size);
  }
}

int SetStdioModeBinary() { return 0; }

int fsetmode(FILE* /*stream*/, int /*mode*/) { return 1; }

int FixRelative(char* result, const char* path, unsigned size) {
  PathBuf buf = CopyPath(path);

  // 254 characters hold at most 127 non-empty components.
  std::array<char*, kPathSize / 2 + 1> comps{};
  size_t count = 0;
  char* save = nullptr;
  for (char* tok = strtok_r(buf.data(), "/", &save); tok != nullptr && count < comps.size();
       tok = strtok_r(nullptr, "/", &save)) {
    comps[count++] = tok;
  }

  // Walk backwards so that each ".." knows how many names it cancels.
  std::array<bool, comps.size()> keep{};
  int pending = 0;
  for (size_t i = count; i-- > 0;) {
    if (std::strcmp(comps[i], ".") == 0) continue;
    if (std::strcmp(comps[i], "..") == 0) {
      ++pending;
    } else if (pending > 0) {
      --pending;
    } else {
      keep[i] = true;
    }
  }

  if (size == 0) return 1;
  result[0] = '\0';
  for (size_t i = 0; i < count; ++i) {
    if (!keep[i]) continue;
    RelStrCatIntoBufA(result, "/", size);
    RelStrCatIntoBufA(result, comps[i], size);
  }
  if (result[0] == '\0') RelStrCpyIntoBufA(result, "/", size);
  return 1;
}

int FixPath(char* result, const char* path, unsigned size) { return FixRelative(result, path, size); }

int FixPathA(char* result, const char* path, unsigned size) {
  PathBuf in = CopyPath(path);
  PathBuf out;
  int rc = FixPath(out.data(), in.data(), kPathSize);
  if (size > 0) RelStrCpyIntoBufA(result, out.data(), size);
  return rc;
}

int FixSlashes(char* result, const char* path, unsigned size) {
  size_t len = 0;
  for (const char* p = path; *p; ++p) {
    if (!(*p == '/' && p != path && p[-1] == '/')) ++len;
  }
  if (len + 1 > size) return 0;
  // Writing never overtakes reading, so result may be path itself.
  char* w = result;
  char prev = '\0';
  for (const char* p = path; *p; ++p) {
    char c = *p;
    if (!(c == '/' && prev == '/')) *w++ = c;
    prev = c;
  }
  *w = '\0';
  return 1;
}

char* MergePath(char* dir, const char* file, unsigned size) {
  PathBuf buf{};
  if (dir[0] != '\0') {
    RelStrCpyIntoBufA(buf.data(), dir, kPathSize);
    RelStrCatIntoBufA(buf.data(), "/", kPathSize);
  }
  RelStrCatIntoBufA(buf.data(), file ? file : "", kPathSize);
  return FixSlashes(dir, buf.data(), size) ? dir : nullptr;
}

char* MergePathA(char* dir, const char* file, unsigned size) {
  PathBuf d = CopyPath(dir);
  PathBuf f = CopyPath(file);
  if (MergePath(d.data(), f.data(), kPathSize) == nullptr) return nullptr;
  // A cut path names another file: refuse rather than shorten.
  if (std::strlen(d.data()) + 1 > size) return nullptr;
  RelStrCpyIntoBufA(dir, d.data(), size);
  return dir;
}
