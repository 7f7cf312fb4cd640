// Checks on a device URI's interface program. The backend runs whatever the
// URI names, and anyone allowed to set a queue's URI could otherwise make it
// run a program of their choosing as lp.
#include "lpif/interface.h"

#include <cups/http.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace lpif {

namespace {

constexpr std::string_view kInterfaceDir = "/etc/lp/interfaces";

int Refuse(std::string* why, const std::string& text) {
  *why = text;
  return -1;
}

bool WritableByOthers(const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

}  // namespace

int OpenInterface(const char* uri, uid_t lp_uid, uid_t service_uid, std::string* path, std::string* why) {
  const std::string fix = "; set the queue's device URI to lpif:// and the path of its interface program";
  if (uri == nullptr || *uri == '\0') return Refuse(why, "no device URI; lpif runs under CUPS, which sets DEVICE_URI");
  std::array<char, 32> scheme;
  std::array<char, 256> user, host;
  std::array<char, PATH_MAX> resource;
  int port = 0;
  int status = httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme.data(), scheme.size(), user.data(), user.size(),
                               host.data(), host.size(), &port, resource.data(), resource.size());
  if (status < HTTP_URI_STATUS_OK || std::strcmp(scheme.data(), "lpif") != 0 || user[0] != '\0' ||
      host[0] != '\0' || resource[0] != '/')
    return Refuse(why, "bad device URI \"" + std::string(uri) + "\"" + fix);

  std::array<char, PATH_MAX> real;
  if (realpath(resource.data(), real.data()) == nullptr)
    return Refuse(why, "cannot find " + std::string(resource.data()) + ": " + std::strerror(errno) +
                           "; recreate the queue or" + fix.substr(1));
  *path = real.data();
  std::string_view dir(*path);
  dir = dir.substr(0, dir.rfind('/'));
  if (!dir.ends_with(kInterfaceDir))
    return Refuse(why, *path + " is not in an etc/lp/interfaces directory" + fix);

  struct stat st;
  if (stat(std::string(dir).c_str(), &st) != 0 || WritableByOthers(st) ||
      (st.st_uid != lp_uid && st.st_uid != service_uid && st.st_uid != 0))
    return Refuse(why, std::string(dir) + " may be written by others than its service account and root; run chmod go-w on it");
  const uid_t owner = st.st_uid;
  int fd = open(path->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Refuse(why, "cannot open " + *path + ": " + std::strerror(errno));
  const char* wrong = nullptr;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    wrong = " is not a regular file; recreate the queue";
  } else if (st.st_uid != owner) {
    wrong = " is not owned by the owner of its directory; recreate the queue";
  } else if (WritableByOthers(st)) {
    wrong = " may be written by group or others; run chmod go-w on it";
  }
  if (wrong != nullptr) {
    close(fd);
    return Refuse(why, *path + wrong);
  }
  return fd;
}

bool JobRecoveryOn(int fd) {
  FILE* in = fdopen(dup(fd), "r");
  if (in == nullptr) return false;
  bool on = false;
  char line[4096];
  while (std::fgets(line, sizeof line, in) != nullptr) {
    std::string_view l(line);
    if (!l.starts_with("JRECOV=")) continue;
    l.remove_prefix(7);
    on = l.starts_with("yes\n") || l.starts_with("\"yes\"") || l == "yes";
    break;
  }
  std::fclose(in);
  return on;
}

}  // namespace lpif
