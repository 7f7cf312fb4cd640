// A private print service for end-to-end tests: a cupsd of its own, run as
// root on a unix socket in a scratch directory with the project's lpif
// backend, and a fake network printer that records what it is sent. Nothing
// of the host's CUPS is used or changed. Start both after entering the
// test's private network namespace (the printer listens on its loopback).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/testing/run.h"
#include "common/testing/scratch_dir.h"

namespace kqs {

class PrivateCups {
 public:
  PrivateCups() = default;
  ~PrivateCups();  // stops cupsd
  PrivateCups(const PrivateCups&) = delete;
  PrivateCups& operator=(const PrivateCups&) = delete;

  // Lays out the scratch configuration and starts `cupsd -f`, waiting until
  // it answers. A failed job is tried again after 1 s (JobRetryInterval).
  // CUPS's default operation policy stays in force: only members of
  // system_groups (one or more group names) may administer it. By default
  // that is the group of the daemon's service account kqsd (made when
  // missing), as installed: lp, which runs every backend, is never one of
  // them. False with error() set.
  bool Start(const std::string& system_groups = kServiceAccount);
  // SIGTERM, then SIGKILL after 5 s.
  void Stop();

  // Known before Start, so a client can be pointed at a server that is down.
  const std::string& socket() const { return socket_; }
  const std::string& error() const { return error_; }
  std::string ErrorLog() const { return ScratchDir::ReadFile(dir_ / "log/error_log"); }
  // Where CUPS's filters and backends keep their temporary files.
  std::string tempDir() const { return dir_ / "tmp"; }

  // Runs a CUPS client program (lp, lpstat ...) against this server.
  RunResult Client(std::vector<std::string> argv) const;

 private:
  bool Fail(const std::string& what);

  ScratchDir dir_;
  std::string socket_ = dir_ / "cups.sock";
  std::string error_;
  pid_t pid_ = 0;
};

// An AppSocket printer on 127.0.0.1:9100: each connection is one job, kept
// once the sender has closed its side (the printer itself closes after
// close_delay_ms).
class FakePrinter {
 public:
  struct Behaviour {
    // Refuse connections for this long from the start: a printer switched on late.
    int off_ms = 0;
    // After the job's last byte, wait this long before closing.
    int close_delay_ms = 0;
    // Reset the first connection once this many bytes came (0: never).
    size_t reset_after = 0;
    // Keep only each job's length, in decimal, for jobs too big to keep.
    bool lengths_only = false;
  };

  explicit FakePrinter(Behaviour behaviour);
  ~FakePrinter();
  FakePrinter(const FakePrinter&) = delete;
  FakePrinter& operator=(const FakePrinter&) = delete;

  // Waits until n jobs have arrived; the jobs so far.
  std::vector<std::string> WaitForJobs(size_t n, int timeout_ms);

 private:
  void Serve(Behaviour behaviour);

  std::mutex mutex_;
  std::vector<std::string> jobs_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kqs
