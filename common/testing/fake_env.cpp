// Recording, fault-injecting Env for tests.
#include "common/testing/fake_env.h"

#include <cerrno>

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

int FakeEnv::Fault(const std::string& op, const char* path) {
  if (!fault) return 0;
  return fault(op, path != nullptr ? path : "");
}

int FakeEnv::RunProgram(char* const argv[], int timeoutMs) {
  Argv args;
  for (int i = 0; argv != nullptr && argv[i] != nullptr; ++i) args.emplace_back(argv[i]);
  {
    std::lock_guard<std::mutex> lock(mu_);
    commands_.push_back(args);
  }
  if (run_hook) return run_hook(args);
  return EnvWrapper::RunProgram(argv, timeoutMs);
}

#define KQS_FAULT_OR(op, path, call) \
  do {                               \
    if (int e = Fault(op, path)) {   \
      errno = e;                     \
      return -1;                     \
    }                                \
    return call;                     \
  } while (0)

int FakeEnv::Stat(const char* path, struct stat* st) {
  KQS_FAULT_OR("stat", path, EnvWrapper::Stat(path, st));
}

FILE* FakeEnv::FOpen(const char* path, const char* mode) {
  if (int e = Fault(std::string("fopen:") + mode, path)) {
    errno = e;
    return nullptr;
  }
  return EnvWrapper::FOpen(path, mode);
}

int FakeEnv::Rename(const char* from, const char* to) {
  KQS_FAULT_OR("rename", to, EnvWrapper::Rename(from, to));
}

int FakeEnv::Unlink(const char* path) {
  KQS_FAULT_OR("unlink", path, EnvWrapper::Unlink(path));
}

int FakeEnv::Mkdir(const char* path, mode_t mode) {
  KQS_FAULT_OR("mkdir", path, EnvWrapper::Mkdir(path, mode));
}

int FakeEnv::Chmod(const char* path, mode_t mode) {
  KQS_FAULT_OR("chmod", path, EnvWrapper::Chmod(path, mode));
}

int64_t FakeEnv::NowMillis() {
  std::lock_guard<std::mutex> lock(mu_);
  if (fake_clock_) return now_ms_;
  return EnvWrapper::NowMillis();
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
