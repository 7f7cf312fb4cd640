// The one seam between kqsd and the host: running a program, the file-system
// calls whose failures matter, the clock and sleeping. Code that needs any of
// these calls CurrentEnv(); nothing else reaches the OS for them. Tests install
// an Env that records calls, injects failures or moves a fake clock
// (common/testing/fake_env.h). Every implementation is safe to call from
// several threads at once.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kqs {

class Env {
 public:
  virtual ~Env();

  // Runs argv[0] with the vector argv (null-terminated; argv[0] used as the
  // path unchanged, no shell, no PATH search) in a child that leads a process
  // group of its own, with stdio on /dev/null, every other descriptor closed,
  // SIGHUP and SIGCHLD ignored, no signal blocked and umask 022, and waits for
  // it. With timeoutMs above 0, a program still running after that long is
  // killed with its whole process group. With errors (errorsSize bytes, at
  // least 1) the program's standard error goes to a pipe instead, and what it
  // wrote there comes back in errors, NUL-terminated, cut to errorsSize-1
  // bytes (a program that writes more loses the rest, never blocks). Returns
  // the exit code, or -1 when the child could not be created or waited for,
  // ended by a signal, or was killed for its time limit or by
  // TerminatePrograms.
  virtual int RunProgram(char* const argv[], int timeoutMs, char* errors, size_t errorsSize) = 0;
  // As RunProgram, but with the program's standard output read into *output
  // (its first maxBytes bytes; the rest is read and dropped).
  virtual int RunProgramOutput(char* const argv[], int timeoutMs, std::string* output, size_t maxBytes) = 0;
  // Kills the process group of every program that RunProgram is waiting for,
  // in any thread, so that none can finish later (at shutdown).
  virtual void TerminatePrograms() = 0;

  // File-system calls with the C library's contracts (0 / -1 and errno,
  // a stream or null). Open and FOpen make every descriptor close-on-exec.
  virtual int Stat(const char* path, struct stat* st) = 0;
  virtual int Lstat(const char* path, struct stat* st) = 0;
  // open(2): a descriptor or -1.
  virtual int Open(const char* path, int flags, mode_t mode) = 0;
  virtual FILE* FOpen(const char* path, const char* mode) = 0;
  virtual int Rename(const char* from, const char* to) = 0;
  virtual int Unlink(const char* path) = 0;
  virtual int Mkdir(const char* path, mode_t mode) = 0;
  virtual int Chmod(const char* path, mode_t mode) = 0;
  // fsync(2), close(2) and fclose(3): what was written reaches the disk, or
  // the call says it did not. Close and FClose release the descriptor or
  // stream whatever they return.
  virtual int Fsync(int fd) = 0;
  virtual int Close(int fd) = 0;
  virtual int FClose(FILE* stream) = 0;
  // readlink(2): the length of the link's text (not terminated) or -1.
  virtual ssize_t Readlink(const char* path, char* buffer, size_t size) = 0;

  // Milliseconds on the real-time clock since the epoch.
  virtual int64_t NowMillis() = 0;
  // Suspends the calling thread; returns 0, or -1 when interrupted.
  virtual int SleepMillis(int ms) = 0;

  // The real host. Never deleted.
  static Env* Default();
};

// The Env in force (Env::Default() unless a test installed another).
Env* CurrentEnv();
// Installs env (null restores the default) and returns the previous one.
// Tests only; call while no other thread uses the seam.
Env* SetEnvForTesting(Env* env);

// Forwards every call to a target Env; subclasses override what they change.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }
  int RunProgram(char* const argv[], int timeoutMs, char* errors, size_t errorsSize) override {
    return target_->RunProgram(argv, timeoutMs, errors, errorsSize);
  }
  int RunProgramOutput(char* const argv[], int timeoutMs, std::string* output, size_t maxBytes) override {
    return target_->RunProgramOutput(argv, timeoutMs, output, maxBytes);
  }
  void TerminatePrograms() override { target_->TerminatePrograms(); }
  int Stat(const char* path, struct stat* st) override { return target_->Stat(path, st); }
  int Lstat(const char* path, struct stat* st) override { return target_->Lstat(path, st); }
  int Open(const char* path, int flags, mode_t mode) override {
    return target_->Open(path, flags, mode);
  }
  FILE* FOpen(const char* path, const char* mode) override { return target_->FOpen(path, mode); }
  int Rename(const char* from, const char* to) override { return target_->Rename(from, to); }
  int Unlink(const char* path) override { return target_->Unlink(path); }
  int Mkdir(const char* path, mode_t mode) override { return target_->Mkdir(path, mode); }
  int Chmod(const char* path, mode_t mode) override { return target_->Chmod(path, mode); }
  int Fsync(int fd) override { return target_->Fsync(fd); }
  int Close(int fd) override { return target_->Close(fd); }
  int FClose(FILE* stream) override { return target_->FClose(stream); }
  ssize_t Readlink(const char* path, char* buffer, size_t size) override {
    return target_->Readlink(path, buffer, size);
  }
  int64_t NowMillis() override { return target_->NowMillis(); }
  int SleepMillis(int ms) override { return target_->SleepMillis(ms); }

 private:
  Env* target_;
};

}  // namespace kqs
