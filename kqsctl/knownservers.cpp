// The known_servers file: read whole, appended to under a lock.
#include "kqsctl/knownservers.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace kqsctl {
namespace {

std::mutex g_file;

std::string Home() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  const struct passwd* account = getpwuid(getuid());
  return account != nullptr && account->pw_dir != nullptr ? account->pw_dir : "";
}

bool MakeDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

std::string KnownServersPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return std::string(config) + "/kqsctl/known_servers";
  const std::string home = Home();
  return home.empty() ? "" : home + "/.config/kqsctl/known_servers";
}

bool CheckKnownServer(const std::string& path, const std::string& server, const std::string& fingerprint,
                      std::FILE* notes, std::string* error) {
  if (path.empty()) {
    *error = "no place to record " + server + "'s certificate: set HOME or XDG_CONFIG_HOME, or use --cacert";
    return false;
  }
  std::lock_guard<std::mutex> lock(g_file);
  std::ifstream in(path);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::istringstream fields(line);
    std::string name, known;
    if (!(fields >> name >> known) || name != server) continue;
    if (known == fingerprint) return true;
    *error = server + " presents a different certificate than the one recorded: recorded " + known + ", now " +
             fingerprint + ". Compare with 'kqsd --fingerprint' on the server; if it was replaced on purpose, " +
             "remove line " + std::to_string(number) + " ('" + line + "') from " + path;
    return false;
  }
  const int fd = MakeDirectories(path) ? open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600) : -1;
  const std::string entry = server + " " + fingerprint + "\n";
  // Another kqsctl may append at the same moment.
  const bool written = fd >= 0 && flock(fd, LOCK_EX) == 0 &&
                       write(fd, entry.data(), entry.size()) == static_cast<ssize_t>(entry.size());
  const int why = errno;
  if (fd >= 0) close(fd);
  if (!written) {
    *error = "cannot record " + server + "'s certificate in " + path + ": " + std::strerror(why);
    return false;
  }
  std::fprintf(notes,
               "kqsctl: first contact with %s: recorded its certificate, SHA256 Fingerprint=%s, in %s "
               "(compare with 'kqsd --fingerprint' on the server)\n",
               server.c_str(), fingerprint.c_str(), path.c_str());
  return true;
}

}  // namespace kqsctl
