// Test support for the queue administration: a scratch LP tree laid out by
// lpsvc and made the daemon's LP root, a request's parameter list, and a
// snapshot of the tree.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/testing/run.h"
#include "common/testing/scratch_dir.h"
#include "queueadmin/lppaths.h"

namespace kqs {

// A fresh LP tree, the daemon's LP root for the object's lifetime.
class LpTree {
 public:
  LpTree() {
    ok_ = Run({LPSVC_PATH, "setup", dir_.path()}).status == 0 && SetLpRoot(dir_.path().c_str()) == 0;
  }
  ~LpTree() { SetLpRoot(""); }
  LpTree(const LpTree&) = delete;
  LpTree& operator=(const LpTree&) = delete;

  bool ok() const { return ok_; }
  std::string operator/(const std::string& rel) const { return dir_.path() + "/" + rel; }

  std::string Read(const std::string& rel) const { return ScratchDir::ReadFile(*this / rel); }
  bool Write(const std::string& rel, const std::string& text) const {
    return ScratchDir::WriteFile(*this / rel, text);
  }
  bool Exists(const std::string& rel) const { return ScratchDir::Exists(*this / rel); }
  // lpsvc honours its fault file only when the harness asks for it.
  void Faults(const std::string& text) const {
    setenv("LPSVC_TEST_FAULTS", "1", 1);
    Write("lpsvc.faults", text);
  }

  // Runs one of the tree's LP commands, e.g. Lp("usr/lib/lpsched", {}).
  int Lp(const std::string& command, std::vector<std::string> args) const {
    args.insert(args.begin(), *this / command);
    return Run(args).status;
  }
  bool SchedulerRunning() const { return Exists("var/spool/lp/SCHEDLOCK"); }

  // Every path below the root with its owner and, for files, its content
  // (for links, what they name: the commands link to the programs).
  std::string Snapshot() const {
    std::map<std::string, std::string> entries;  // sorted by path
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir_.path())) {
      struct stat st;
      lstat(e.path().c_str(), &st);
      std::string what = std::to_string(st.st_uid);
      if (S_ISLNK(st.st_mode)) what += " -> " + std::filesystem::read_symlink(e.path()).string();
      if (S_ISREG(st.st_mode)) what += "\n" + ScratchDir::ReadFile(e.path());
      entries[e.path()] = what;
    }
    std::string all;
    for (const auto& [path, what] : entries) all += path + " " + what + "\n";
    return all;
  }

 private:
  ScratchDir dir_;
  bool ok_ = false;
};

// A complete queue parameter list; changes replace values, a null value
// drops the key.
inline std::string QueueParams(const std::map<std::string, const char*>& changes = {}) {
  std::map<std::string, const char*> p = {
      {"Device", "10.0.0.5"}, {"EXPort", "0"}, {"IPPort", "9100"}, {"Class", ""}, {"Default", "OFF"},
      {"Model", "pcl"}, {"Type", "LaserJet"}, {"DEVTYPE", "net"}, {"TEOJ", "1"}, {"JRECOV", "1"},
      {"PSLEVEL", "2"}, {"BANNER", "1"}, {"PERSONALTY", "PCL5"}};
  for (const auto& [key, value] : changes) p[key] = value;
  std::string text;
  for (const auto& [key, value] : p) {
    if (value != nullptr) text += key + "=" + value + ";";
  }
  return text;
}

}  // namespace kqs
