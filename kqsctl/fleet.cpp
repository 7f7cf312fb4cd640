// Hosts files and the pool of worker threads for commands on many servers.
#include "kqsctl/fleet.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>
#include <thread>

namespace kqsctl {

bool ReadHostsFile(const std::string& path, std::vector<std::string>* hosts, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read the hosts file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    line.erase(std::min(line.find('#'), line.size()));
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    hosts->push_back(line.substr(first, line.find_last_not_of(" \t\r") - first + 1));
  }
  if (in.bad()) {
    *error = "cannot read the hosts file " + path;
    return false;
  }
  return true;
}

void DropRepeats(std::vector<std::string>* hosts) {
  std::vector<std::string> kept;
  for (auto& h : *hosts) {
    if (std::find(kept.begin(), kept.end(), h) == kept.end()) kept.push_back(std::move(h));
  }
  *hosts = std::move(kept);
}

void ForEachConcurrently(size_t count, int parallel, const std::function<void(size_t)>& work) {
  const size_t threads = std::min(count, static_cast<size_t>(std::max(parallel, 1)));
  std::atomic<size_t> next{0};
  const auto drain = [&] {
    for (size_t i; (i = next++) < count;) work(i);
  };
  std::vector<std::jthread> pool;
  for (size_t t = 1; t < threads; ++t) {
    try {
      pool.emplace_back(drain);
    } catch (const std::system_error&) {
      break;  // fewer helpers: the work still gets done, only later
    }
  }
  drain();
}

}  // namespace kqsctl
