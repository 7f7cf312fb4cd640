// The Device rule of queue creation, and the [LP Service] DeviceDirs setting.
#include "queueadmin/devicecheck.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "common/host/env.h"
#include "common/util/strbuf.h"
#include "queueadmin/lppaths.h"

namespace kqs {

namespace {

std::array<std::string, kMaxDeviceDirs> g_dirs;
unsigned g_dirCount = 0;

int Refuse(char* why, unsigned size, const std::string& text) {
  if (why != nullptr && size > 0) RelStrCpyIntoBufA(why, text.c_str(), size);
  return -1;
}

bool IsHostName(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  size_t label = 0;
  for (char c : name) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '-') {
      if (++label > 63) return false;
    } else {
      return false;
    }
  }
  return label > 0 && name.front() != '-';
}

// An absolute path whose names are all real names ("." and ".." would let
// a path leave the directory it seems to lie in).
bool IsPlainAbsolute(std::string_view path) {
  if (path.size() < 2 || path[0] != '/' || path.back() == '/') return false;
  size_t at = 1;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string_view::npos) slash = path.size();
    const std::string_view name = path.substr(at, slash - at);
    if (name.empty() || name == "." || name == "..") return false;
    at = slash + 1;
  }
  return true;
}

bool Within(std::string_view path, std::string_view dir) {
  if (dir == "/") return true;
  return path.size() > dir.size() && path.starts_with(dir) && path[dir.size()] == '/';
}

// No name below dir on the way to path (path included) is a symbolic link.
bool NoLinkBelow(const std::string& path, const std::string& dir) {
  for (size_t at = dir == "/" ? 0 : dir.size(); at != std::string::npos; at = path.find('/', at + 1)) {
    const std::string prefix = path.substr(0, path.find('/', at + 1));
    struct stat st;
    if (CurrentEnv()->Lstat(prefix.c_str(), &st) != 0) return errno == ENOENT;
    if (S_ISLNK(st.st_mode)) return false;
  }
  return true;
}

}  // namespace

int SetDeviceDirs(const char* list) {
  std::array<std::string, kMaxDeviceDirs> dirs;
  unsigned count = 0;
  std::string text = list != nullptr ? list : "";
  size_t at = 0;
  while ((at = text.find_first_not_of(" ,\t", at)) != std::string::npos) {
    size_t end = text.find_first_of(" ,\t", at);
    if (end == std::string::npos) end = text.size();
    std::string dir = text.substr(at, end - at);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (count == kMaxDeviceDirs || (dir != "/" && !IsPlainAbsolute(dir))) return -1;
    dirs[count++] = dir;
    at = end;
  }
  g_dirs = dirs;
  g_dirCount = count;
  return 0;
}

int CheckQueueDevice(const char* device, char* why, unsigned size) {
  const std::string d = device != nullptr ? device : "";
  if (d.empty() || d[0] != '/') {
    struct in_addr address;
    if (inet_pton(AF_INET, d.c_str(), &address) == 1 || IsHostName(d)) return 0;
    return Refuse(why, size, "\"" + d + "\" is neither a printer's host name or IPv4 address nor an absolute path");
  }
  if (!IsPlainAbsolute(d)) return Refuse(why, size, d + " holds an empty, \".\" or \"..\" name");
  const std::string root = LpRoot();
  if (Within(d, root.empty() ? "/etc/lp" : root) || (root.empty() && Within(d, "/var/spool/lp")))
    return Refuse(why, size, d + " lies in the LP tree");
  struct stat st;
  const bool exists = CurrentEnv()->Lstat(d.c_str(), &st) == 0;
  if (exists && S_ISLNK(st.st_mode)) return Refuse(why, size, d + " is a symbolic link");
  if (exists && S_ISCHR(st.st_mode)) return 0;
  for (unsigned i = 0; i < g_dirCount; ++i) {
    if (!Within(d, g_dirs[i])) continue;
    if (!NoLinkBelow(d, g_dirs[i])) return Refuse(why, size, d + " is reached through a symbolic link");
    if (exists && S_ISDIR(st.st_mode)) return Refuse(why, size, d + " is a directory");
    return 0;
  }
  return Refuse(why, size, d + " is not a character device and lies in no directory of [LP Service] DeviceDirs");
}

}  // namespace kqs
