// A test Env, in force for its lifetime: forwards to the real host but
// records the programs run, can answer them itself, injects file-system
// failures and can run a fake clock that sleeping advances instead of
// waiting.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/host/env.h"

namespace kqs {

class FakeEnv : public EnvWrapper {
 public:
  using Argv = std::vector<std::string>;

  FakeEnv() : EnvWrapper(Env::Default()) { previous_ = SetEnvForTesting(this); }
  ~FakeEnv() override { SetEnvForTesting(previous_ == Env::Default() ? nullptr : previous_); }
  FakeEnv(const FakeEnv&) = delete;
  FakeEnv& operator=(const FakeEnv&) = delete;

  // Programs: every argv is recorded; when run_hook is set it answers instead
  // of the host.
  std::function<int(const Argv&)> run_hook;
  std::vector<Argv> Commands();
  void ClearCommands();

  // File-system faults: fault(op, path) returns an errno value to fail the
  // call with, or 0 to let it through. op is "fopen", "rename", "mkdir",
  // "chmod", "fsync", "close" or "fclose" (with the file it is open on);
  // "fopen:w".
  std::function<int(const std::string& op, const std::string& path)> fault;

  // Clock: once UseFakeClock() is called, NowMillis() returns the fake time
  // and SleepMillis() advances it (calling on_sleep after each pause).
  void UseFakeClock(int64_t start_ms);
  void Advance(int64_t ms);
  std::function<void(int ms)> on_sleep;
  std::vector<int> Sleeps();

  int RunProgram(char* const argv[], int timeoutMs, char* errors, size_t errorsSize) override;
  FILE* FOpen(const char* path, const char* mode) override;
  int Rename(const char* from, const char* to) override;
  int Mkdir(const char* path, mode_t mode) override;
  int Chmod(const char* path, mode_t mode) override;
  int Fsync(int fd) override;
  int Close(int fd) override;
  int FClose(FILE* stream) override;
  int64_t NowMillis() override;
  int SleepMillis(int ms) override;

 private:
  // True, with errno set, when fault fails op on path.
  bool Fails(const std::string& op, const char* path);
  bool FailsOn(const std::string& op, int fd);

  Env* previous_ = nullptr;
  std::mutex mu_;
  std::vector<Argv> commands_;
  std::vector<int> sleeps_;
  bool fake_clock_ = false;
  int64_t now_ms_ = 0;
};

}  // namespace kqs
