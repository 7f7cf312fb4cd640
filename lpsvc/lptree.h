// The LP tree that lpsvc keeps under its root: where every file of the
// print service lives, and the set-up that lays a complete tree out.
// Paths are plain strings; every command of lpsvc works on one LpTree.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

namespace lpsvc {

struct LpTree {
  explicit LpTree(std::string root);

  std::string root;          // "" for the host's own tree
  std::string interfaces;    // etc/lp/interfaces: one interface script per queue
  std::string classes;       // etc/lp/classes: one member list per class
  std::string printers;      // etc/lp/printers/NAME/configuration
  std::string filters;       // etc/lp/filters: registered filter descriptions
  std::string fd;            // etc/lp/fd: descriptions written by clients
  std::string default_dest;  // etc/lp/default: the default destination
  std::string models;        // usr/lib/lp/model: printer model scripts
  std::string spool;         // var/spool/lp
  std::string schedlock;     // var/spool/lp/SCHEDLOCK: exists while lpsched runs
  std::string accepting;     // var/spool/lp/system/accepting/NAME markers
  std::string enabled;       // var/spool/lp/system/enabled/NAME markers
  std::string product_sh;    // opt/qvnx/sh: product models and wrapper template
  std::string version;       // opt/qvnx/version
  std::string faults;        // lpsvc.faults: injected command failures (tests only)
  std::string cups;          // etc/lp/cups-server: the CUPS server changes go to

  bool IsPrinter(std::string_view name) const;
  bool IsClass(std::string_view name) const;
  bool SchedulerRunning() const;
  // Writes pid into SCHEDLOCK, at once for every reader; false when it
  // could not.
  bool RecordScheduler(pid_t pid) const;
  // The CUPS server this tree's commands mirror their changes into, as
  // recorded by setup; "" for a tree of its own (plain mode).
  std::string CupsServer() const;
};

// The command names lpsvc answers to, with the directory (below the
// root) that holds each.
struct CommandPlace {
  std::string_view name;
  std::string_view dir;
};
inline constexpr CommandPlace kCommands[] = {
    {"lpsched", "usr/lib"}, {"lpshut", "usr/lib"},  {"lpadmin", "usr/lib"}, {"accept", "usr/lib"},
    {"enable", "usr/bin"},  {"lpfilter", "usr/lib"}, {"disable", "usr/bin"}, {"reject", "usr/lib"},
    {"cancel", "usr/bin"},  {"lpmove", "usr/lib"},  {"lpquery", "usr/lib"},
};

// Derives the root from the path a command was started by: ROOT/usr/lib/lpadmin
// gives ROOT. False when the path is not one of the installed command paths.
bool RootFromCommandPath(std::string_view path, std::string* command, std::string* root);

// Replaces a file's content at once (a new file renamed over it), so that
// readers see the old or the new file; false, with the old file left, when
// it could not. Never writes through a link (lpsvc/safefile.h).
bool WriteFileAtomically(const std::string& path, const std::string& content, mode_t mode);

// A destination name lpsvc accepts: 1 to 127 printable characters without
// blanks or '/', not beginning with '.' or '-'.
bool IsValidDestName(std::string_view name);

// Lays out a complete tree under root: directories, the commands (symbolic
// links to self_binary, so a later install of the program reaches the tree),
// sample printer models, the wrapper template, the wrapper's delivery program
// usr/lib/lp/lpdeliver (a link to the one beside self_binary or installed)
// and the version file. Run as root, it gives the service's directories to
// account (the daemon's service account, lp by default) and the group lp, the
// interfaces directory set-group-id so that lp may read and run the interface
// programs that only account may write; every directory and file is made
// through opened directories, so a link another account planted in the tree
// is refused, not followed. A non-empty cups_server is recorded, so that the
// tree's commands also drive that CUPS server. Queues and classes already in
// the tree are kept. Returns 0, or 1 with a message on stderr.
int SetupTree(const std::string& root, const std::string& self_binary, const std::string& cups_server,
              const std::string& account = "lp");

// SetupTree again on an existing tree, keeping the CUPS server it drives and
// its account (the owner of its interfaces directory):
// what an install or upgrade runs. 1 with a message when root holds no tree.
int UpgradeTree(const std::string& root, const std::string& self_binary);

// Removes every printer and class of the tree with remove_destination (the
// tree's own lpadmin -x, which deletes in CUPS only what the tree made), then
// the tree itself. Stops at the first destination that cannot be removed
// (CUPS unreachable), keeping the rest. Returns 0, or 1 with a message.
int RemoveTree(const std::string& root, const std::function<int(const std::string&)>& remove_destination);

}  // namespace lpsvc
