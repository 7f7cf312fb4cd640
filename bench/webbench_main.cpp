// kqswebbench: how long the pages of "kqsctl web" take to show in headless
// Chromium: the servers page with three servers, and a server's page with
// 1,000 queues. Three real kqsd on 127.0.0.2-4 in a private network
// namespace; webbench.py drives the browser and prints the figures.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/testing/daemon_sandbox.h"
#include "common/testing/run.h"
#include "common/testing/scratch_dir.h"

namespace {

using kqs::ScratchDir;

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "kqswebbench: %s\n", why.c_str());
  std::exit(1);
}

}  // namespace

int main() {
  std::string error;
  if (!kqs::EnterDaemonSandbox(&error, kqs::SandboxLog::kLeftToCaller)) Die(error);
  kqs::SandboxDaemon daemons[3];
  for (int i = 0; i < 3; ++i) {
    const std::string address = "127.0.0." + std::to_string(i + 2);
    if (!daemons[i].Prepare("[Process Settings]\nListenAddress=" + address + "\n")) Die(daemons[i].error());
    if (daemons[i].Start() == 0) Die(daemons[i].error());
  }
  // The first server's 1,000 queues: interface scripts, owned by lp, as the
  // daemon lists them.
  for (int i = 0; i < 1000; ++i) {
    const std::string path = daemons[0].lpRoot() + "/etc/lp/interfaces/q" + std::to_string(1000 + i);
    if (!ScratchDir::WriteFile(path, "#!/bin/sh\nexit 0\n") || chown(path.c_str(), kqs::kLpUid, kqs::kLpGid) != 0)
      Die("cannot create " + path);
  }
  ScratchDir scratch;
  const std::string log = scratch / "web.log";
  const pid_t web = kqs::Launch({KQSCTL_PATH, "web", "--plain", "-H", "127.0.0.2", "-H", "127.0.0.3", "-H", "127.0.0.4"}, log);
  std::string url;
  for (int tries = 0; url.empty() && tries < 250; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string out = ScratchDir::ReadFile(log);
    if (const size_t at = out.find("http://"); at != std::string::npos && out.find('\n', at) != std::string::npos)
      url = out.substr(at, out.find('\n', at) - at);
  }
  if (url.empty()) Die("kqsctl web printed no address: " + ScratchDir::ReadFile(log));
  const kqs::RunResult r = kqs::Run({"/usr/bin/python3", WEBBENCH_PY, url});
  std::fputs(r.all().c_str(), stdout);
  kqs::Terminate(web, std::chrono::seconds(5));
  return r.status;
}
