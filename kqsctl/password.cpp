// Password entry without echo, and the ACCESS/Passwd entry of kqsd.ini.
#include "kqsctl/password.h"

#include <sys/stat.h>
#include <crypt.h>
#include <fcntl.h>
#include <pwd.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "common/config/profile.h"
#include "common/host/env.h"
#include "common/host/mtsafe.h"

namespace kqsctl {
namespace {

constexpr const char* kSalt = "zQ";
constexpr size_t kStoredLength = 13;

// The terminal state to restore if a signal ends the program mid-entry.
struct termios saved_termios;
volatile sig_atomic_t restore_fd = -1;
constexpr std::array<int, 4> kStopSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void RestoreAndDie(int sig) {
  if (restore_fd >= 0) tcsetattr(restore_fd, TCSAFLUSH, &saved_termios);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Turns echo off on a terminal for its lifetime.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (tcgetattr(fd, &saved_termios) != 0) return;
    struct termios quiet = saved_termios;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    for (size_t i = 0; i < kStopSignals.size(); ++i) {
      struct sigaction sa;
      std::memset(&sa, 0, sizeof sa);
      sa.sa_handler = RestoreAndDie;
      sigaction(kStopSignals[i], &sa, &old_[i]);
    }
    restore_fd = fd;
    active_ = tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (restore_fd < 0) return;
    if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_termios);
    restore_fd = -1;
    for (size_t i = 0; i < kStopSignals.size(); ++i) sigaction(kStopSignals[i], &old_[i], nullptr);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  bool active_ = false;
  std::array<struct sigaction, kStopSignals.size()> old_{};
};

bool Fail(std::string* error, std::string text) {
  *error = std::move(text);
  return false;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool ReadAll(const std::string& path, std::string* text) {
  const int fd = kqs::CurrentEnv()->Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  char chunk[4096];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) text->append(chunk, static_cast<size_t>(n));
  close(fd);
  return n == 0;
}

std::string RealPath(const std::string& path) {
  char real[PATH_MAX];
  return realpath(path.c_str(), real) != nullptr ? real : path;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trimmed(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r");
  return a == std::string::npos ? "" : s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

// text with Passwd in its first [ACCESS] section set to stored: the first
// Passwd line there replaced, or one added after the header, or the section
// added at the end. Every other line stays as it was.
std::string SetAccessPasswd(const std::string& text, const std::string& stored) {
  const std::string line = "Passwd=" + stored + "\n";
  std::string out;
  bool inAccess = false, seenAccess = false, done = false;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string raw = text.substr(at, end - at);
    const std::string t = Trimmed(raw.back() == '\n' ? raw.substr(0, raw.size() - 1) : raw);
    at = end;
    if (!t.empty() && t[0] == '[') {
      if (inAccess && !done) out += line, done = true;
      inAccess = !seenAccess && Lower(Trimmed(t.substr(1, t.find(']') - 1))) == "access";
      seenAccess = seenAccess || inAccess;
    } else if (inAccess && !done && Lower(Trimmed(t.substr(0, t.find('=')))) == "passwd" &&
               t.find('=') != std::string::npos) {
      out += line;
      done = true;
      continue;
    }
    out += raw;
    if (!out.empty() && out.back() != '\n') out += '\n';
  }
  if (!done) out += (seenAccess ? "" : "[ACCESS]\n") + line;
  return out;
}

// The account a daemon with no settings file runs as, whose group may read
// a new kqsd.ini.
gid_t DaemonGroup() {
  struct passwd pw;
  char buf[1024];
  return xGetpwnam("lp", &pw, buf, sizeof buf) != nullptr ? pw.pw_gid : 0;
}

// Writes text to a new file beside path and renames it over path, so a
// reader finds the old file or the new one whole. The new file gets the old
// one's owner, group and mode, or, when there was none, root and the
// daemon's group with mode 0640 (it holds the password hash).
bool WriteReplacing(const std::string& path, const std::string& text, const struct stat* old) {
  kqs::Env* env = kqs::CurrentEnv();
  const std::string temp = path + ".kqsctl-new";
  env->Unlink(temp.c_str());
  const int fd = env->Open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const uid_t owner = old != nullptr ? old->st_uid : 0;
  const gid_t group = old != nullptr ? old->st_gid : DaemonGroup();
  const mode_t mode = old != nullptr ? (old->st_mode & 07777) : 0640;
  // Not root: the file stays the caller's, with its mode.
  if (geteuid() == 0 && fchown(fd, owner, group) != 0) {
    env->Close(fd);
    env->Unlink(temp.c_str());
    return false;
  }
  const bool ok = fchmod(fd, mode) == 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                  env->Fsync(fd) == 0;
  if (env->Close(fd) != 0 || !ok || env->Rename(temp.c_str(), path.c_str()) != 0) {
    env->Unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool IsTerminal(int fd) { return isatty(fd) == 1; }

bool ReadPassword(int fd, const char* prompt, size_t max_length, std::string* password, std::string* error) {
  password->clear();
  const bool terminal = IsTerminal(fd);
  if (terminal) {
    ssize_t ignored = write(STDERR_FILENO, prompt, std::strlen(prompt));
    (void)ignored;
  }
  EchoOff echo_off(terminal ? fd : -1);
  bool got_any = false;
  bool too_long = false;
  bool has_nul = false;
  for (;;) {
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(error, std::string("cannot read the password: ") + std::strerror(errno));
    if (n == 0) break;
    got_any = true;
    if (c == '\n') break;
    if (c == '\0') has_nul = true;
    if (password->size() <= max_length) {
      password->push_back(c);
    } else {
      too_long = true;
    }
  }
  if (!got_any) return Fail(error, "no password given (end of input)");
  if (!password->empty() && password->back() == '\r') password->pop_back();
  if (has_nul) return Fail(error, "the password holds a NUL byte");
  if (too_long || password->size() > max_length) {
    return Fail(error, "the password is longer than " + std::to_string(max_length) + " characters");
  }
  return true;
}

bool EncryptPassword(const std::string& password, bool legacy, std::string* stored, std::string* error) {
  const char* setting = kSalt;
  if (!legacy) {
    // A fresh random salt; SHA-512 where this crypt lacks yescrypt.
    setting = crypt_gensalt("$y$", 0, nullptr, 0);
    if (setting == nullptr) setting = crypt_gensalt("$6$", 0, nullptr, 0);
    if (setting == nullptr) return Fail(error, "crypt offers neither yescrypt nor SHA-512 here; use --legacy");
  }
  const std::string copy = setting;  // crypt_gensalt and crypt share static storage
  const char* text = xCrypt(password.c_str(), copy.c_str());
  const bool ok = text != nullptr && text[0] != '*' &&
                  (!legacy || (std::strlen(text) == kStoredLength && std::strncmp(text, kSalt, 2) == 0));
  if (!ok) return Fail(error, "crypt cannot encrypt the password");
  *stored = text;
  return true;
}

bool StoreAdminPassword(const std::string& path, const std::string& stored, std::string* error) {
  kqs::Env* env = kqs::CurrentEnv();
  struct stat st;
  const std::string dir = DirectoryOf(path);
  if (env->Stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return Fail(error, path + ": directory " + dir + " does not exist");
  }
  // The file as it is (a link to it stands for the file it names), comments
  // and all: only the Passwd line changes.
  std::string text;
  struct stat old;
  const bool exists = env->Stat(path.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) return Fail(error, path + ": not a regular file");
  if (exists && !ReadAll(path, &text)) return Fail(error, path + ": cannot read the file");
  const std::string target = exists ? RealPath(path) : path;
  if (!WriteReplacing(target, SetAccessPasswd(text, stored), exists ? &old : nullptr)) {
    return Fail(error, path + ": cannot write the file (is it, and its directory, writable?)");
  }
  // Drop any cached copy so that the read below comes from the disk.
  IniCleanup();
  char back[256] = "";
  xGetPrivateProfileStringA("ACCESS", "Passwd", "", back, sizeof back, path.c_str());
  if (stored != back) return Fail(error, path + ": the password did not land in the file; check it by hand");
  return true;
}

}  // namespace kqsctl
