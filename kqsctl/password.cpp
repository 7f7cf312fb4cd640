// Password entry without echo, and the ACCESS/Passwd entry of kqsd.ini.
#include "kqsctl/password.h"

#include <sys/stat.h>
#include <crypt.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
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
  if (env->Stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    return Fail(error, path + ": not a regular file");
  }
  xWritePrivateProfileStringA("ACCESS", "Passwd", stored.c_str(), path.c_str());
  // Drop the cached copy so that the read below comes from the disk.
  IniCleanup();
  char back[256] = "";
  xGetPrivateProfileStringA("ACCESS", "Passwd", "", back, sizeof back, path.c_str());
  if (stored != back) {
    return Fail(error, path + ": cannot write the file (is it, and its directory, writable?)");
  }
  return true;
}

}  // namespace kqsctl
