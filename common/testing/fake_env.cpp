// Recording, fault-injecting Env for tests.
#include "common/testing/fake_env.h"

#include <cerrno>
#include <filesystem>

namespace kqs {

std::vector<FakeEnv::Argv> FakeEnv::Commands() {
  std::lock_guard<std::mutex> lock(mu_);
  return commands_;
}

void FakeEnv::ClearCommands() {
  std::lock_guard<std::mutex> lock(mu_);
  commands_.clear();
}

std::vector<int> FakeEnv::Sleeps() {
  std::lock_guard<std::mutex> lock(mu_);
  return sleeps_;
}

void FakeEnv::UseFakeClock(int64_t start_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  fake_clock_ = true;
  now_ms_ = start_ms;
}

void FakeEnv::Advance(int64_t ms) {
  std::lock_guard<std::mutex> lock(mu_);
  now_ms_ += ms;
}

bool FakeEnv::Fails(const std::string& op, const char* path) {
  const int e = fault ? fault(op, path != nullptr ? path : "") : 0;
  if (e != 0) errno = e;
  return e != 0;
}

bool FakeEnv::FailsOn(const std::string& op, int fd) {
  std::error_code ignored;
  return Fails(op, std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ignored).c_str());
}

int FakeEnv::RunProgram(char* const argv[], int timeoutMs, char* errors, size_t errorsSize) {
  Argv args;
  for (int i = 0; argv != nullptr && argv[i] != nullptr; ++i) args.emplace_back(argv[i]);
  {
    std::lock_guard<std::mutex> lock(mu_);
    commands_.push_back(args);
  }
  if (run_hook && errors != nullptr && errorsSize > 0) errors[0] = '\0';
  return run_hook ? run_hook(args) : EnvWrapper::RunProgram(argv, timeoutMs, errors, errorsSize);
}

FILE* FakeEnv::FOpen(const char* path, const char* mode) {
  return Fails(std::string("fopen:") + mode, path) ? nullptr : EnvWrapper::FOpen(path, mode);
}

int FakeEnv::Rename(const char* from, const char* to) {
  return Fails("rename", to) ? -1 : EnvWrapper::Rename(from, to);
}

int FakeEnv::Mkdir(const char* path, mode_t mode) { return Fails("mkdir", path) ? -1 : EnvWrapper::Mkdir(path, mode); }

int FakeEnv::Chmod(const char* path, mode_t mode) { return Fails("chmod", path) ? -1 : EnvWrapper::Chmod(path, mode); }

int FakeEnv::Fsync(int fd) { return FailsOn("fsync", fd) ? -1 : EnvWrapper::Fsync(fd); }

int FakeEnv::Close(int fd) {
  const int error = FailsOn("close", fd) ? errno : 0, rc = EnvWrapper::Close(fd);
  return error == 0 ? rc : (errno = error, -1);
}

int FakeEnv::FClose(FILE* stream) {
  const int error = FailsOn("fclose", fileno(stream)) ? errno : 0, rc = EnvWrapper::FClose(stream);
  return error == 0 ? rc : (errno = error, EOF);
}

int64_t FakeEnv::NowMillis() {
  std::lock_guard<std::mutex> lock(mu_);
  return fake_clock_ ? now_ms_ : EnvWrapper::NowMillis();
}

int FakeEnv::SleepMillis(int ms) {
  bool fake;
  {
    std::lock_guard<std::mutex> lock(mu_);
    sleeps_.push_back(ms);
    fake = fake_clock_;
    if (fake) now_ms_ += ms;
  }
  if (!fake) return EnvWrapper::SleepMillis(ms);
  if (on_sleep) on_sleep(ms);
  return ms < 0 ? -1 : 0;
}

}  // namespace kqs
