// Layout of lpsvc's LP tree and the set-up that creates it, with the sample
// printer models and the product's wrapper template that a fresh tree holds.
#include "lpsvc/lptree.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "lpsvc/safefile.h"

namespace fs = std::filesystem;

namespace lpsvc {

namespace {

// Printer model scripts. The variable lines are the ones the daemon rewrites
// when it keeps a queue's model-based script; the body sends copies of the
// job files ("-" is standard input) to standard output unchanged, which the
// interface wrapper passes on. Only the text model prints a banner page, and
// only before a job that is itself text; only the PostScript model ends a
// copy with the end-of-job byte, and only with TEOJ on.
constexpr std::string_view kModelStart = R"(
# Arguments: request-id user title copies options file...
request=$1 user=$2 title=$3 copies=$4
shift 5
case $copies in '' | 0 | *[!0-9]*) copies=1 ;; esac
)";

// Text banner page: a job that is a file and does not start as PostScript,
// PDF, PJL or PCL does.
constexpr std::string_view kTextBanner = R"(esc=$(printf '\033')
if [ "$BANNER" = yes ] && [ -f "$1" ]; then
  case $(head -c 4 -- "$1") in
    '%!'* | '%PDF' | "$esc"*) ;;
    *) printf 'Request: %s\nUser: %s\nTitle: %s\n\f' "$request" "$user" "$title" ;;
  esac
fi
)";

constexpr std::string_view kCopyLoop = R"(n=0
while [ "$n" -lt "$copies" ]; do
  n=$((n + 1))
  for file in "$@"; do
    cat -- "$file" || exit 1
  done
)";
constexpr std::string_view kPostScriptEnd = R"(  if [ "$TEOJ" = on ]; then printf '\004'; fi
)";
constexpr std::string_view kModelEnd = "done\nexit 0\n";

struct SampleModel {
  std::string_view name;
  std::string_view header;
  std::string_view banner;
  std::string_view end_of_copy;
};
constexpr SampleModel kModels[] = {
    {"standard",
     "#!/bin/sh\n# Plain text printer model.\nOS=\"unix\"\nPERSONALTY=\"text\"\n"
     "PRINTMODEL=\"standard\"\nBANNER=\"\"\nTEOJ=\"off\"\nPSLEVEL=\"0\"\n",
     kTextBanner, ""},
    {"postscript",
     "#!/bin/sh\n# PostScript printer model.\nOS=\"unix\"\nPERSONALTY=\"postscript\"\n"
     "PRINTMODEL=\"postscript\"\nBANNER=\"yes\"\nTEOJ=\"on\"\nPSLEVEL=\"2\"\n",
     "", kPostScriptEnd},
    {"pcl",
     "#!/bin/sh\n# PCL printer model.\nOS=\"unix\"\nPERSONALTY=\"pcl\"\n"
     "PRINTMODEL=\"pcl5\"\nBANNER=\"\"\nTEOJ=\"off\"\nPSLEVEL=\"\"\n",
     "", ""},
};

std::string ModelScript(const SampleModel& m) {
  return std::string(m.header) + std::string(kModelStart) + std::string(m.banner) + std::string(kCopyLoop) +
         std::string(m.end_of_copy) + std::string(kModelEnd);
}

// The product's interface wrapper: the daemon fills in the variable lines and
// installs it as a queue's interface program. It runs the queue's model-based
// script kept in model.orig and pipes what that prints through lpdeliver to
// the peripheral: a device or file, or a printer's raw TCP port. sh has no
// pipefail, so the script's status comes back through descriptor 3 and the
// pipeline's own status is lpdeliver's. The wrapper ends with lpdeliver's
// status when delivery failed (lpif tells a connection lost mid-job and a
// bad peripheral from other failures by it), else 1 when the script failed.
// JRECOV is read by lpif, which sends a job again.
constexpr std::string_view kWrapperTemplate = R"(#!/bin/sh
# Network printer interface wrapper.
PERIPH=
TEOJ=
JRECOV=
xPORT=
DEVTYPE=
jobm=
templiary=
export LD_LIBRARY_PATH
queue=`basename "$0"`
here=`dirname "$0"`
exec 4>&1
model=$({ { "$here/model.orig/$queue" "$@" 3>&- 4>&-; echo $? >&3; } |
  "$here/../../../usr/lib/lp/lpdeliver" -p "${xPORT#-p}" $TEOJ -- "$PERIPH" 3>&- >&4 4>&-; } 3>&1)
delivered=$?
exec 4>&-
[ "$delivered" = 0 ] || exit "$delivered"
[ "$model" = 0 ]
)";

constexpr std::string_view kVersionText = "Revision C.02.15\nQV Tarlomin for UNIX\n";

struct Owner {
  uid_t uid;
  gid_t gid;
};

// The account's ids; false when there is none.
bool LookUp(const std::string& account, Owner* owner) {
  struct passwd pw;
  struct passwd* found = nullptr;
  char buf[1024];
  if (getpwnam_r(account.c_str(), &pw, buf, sizeof buf, &found) != 0 || found == nullptr) return false;
  *owner = {found->pw_uid, found->pw_gid};
  return true;
}

bool WriteText(const std::string& path, std::string_view text, mode_t mode) {
  return ReplaceFileNoFollow(path, std::string(text), mode);
}

bool MakeDir(const std::string& path, mode_t mode) { return MakeDirNoFollow(path, mode); }

// True when every directory above path lets every account through, so that
// lp reaches the program through a link.
bool ReachableByAll(const fs::path& path) {
  for (fs::path dir = path.parent_path();; dir = dir.parent_path()) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
    if (dir == dir.root_path() || dir.empty()) return true;
  }
}

// A symbolic link to the program where it is installed (or built): an
// upgrade that puts a new program there reaches every tree at once. A program
// lp could not reach (a build in a private home) is linked hard or copied
// instead, and lpsvc upgrade brings it up to date. Whatever held the name
// before goes first, a link itself and never what it names.
bool InstallProgram(const std::string& program, const std::string& target) {
  std::error_code ec;
  const fs::path real = fs::canonical(program, ec);
  if (ec) return false;
  fs::remove(target, ec);
  if (ec) return false;
  if (ReachableByAll(real)) {
    fs::create_symlink(real, target, ec);
    return !ec;
  }
  fs::create_hard_link(real, target, ec);
  if (!ec) return true;
  fs::copy_file(real, target, fs::copy_options::overwrite_existing, ec);
  return !ec && chmod(target.c_str(), 0755) == 0;
}

// lpdeliver, which the wrapper runs: beside lpsvc in a build, where the
// install put it otherwise (found from lpsvc's own place first, so that an
// installation below a DESTDIR finds its own). "" when none exists.
std::string FindLpdeliver(const std::string& self_binary) {
  const std::string dir = self_binary.substr(0, self_binary.rfind('/') + 1);
  const std::string places[] = {dir + "lpdeliver", dir + KQS_LPDELIVER_FROM_SBIN, KQS_LPDELIVER_INSTALLED};
  for (const std::string& p : places) {
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  return "";
}

}  // namespace

LpTree::LpTree(std::string r) : root(std::move(r)) {
  interfaces = root + "/etc/lp/interfaces";
  classes = root + "/etc/lp/classes";
  printers = root + "/etc/lp/printers";
  filters = root + "/etc/lp/filters";
  fd = root + "/etc/lp/fd";
  default_dest = root + "/etc/lp/default";
  models = root + "/usr/lib/lp/model";
  spool = root + "/var/spool/lp";
  schedlock = spool + "/SCHEDLOCK";
  accepting = spool + "/system/accepting";
  enabled = spool + "/system/enabled";
  product_sh = root + "/opt/qvnx/sh";
  version = root + "/opt/qvnx/version";
  faults = root + "/lpsvc.faults";
  cups = root + "/etc/lp/cups-server";
}

bool LpTree::IsPrinter(std::string_view name) const {
  std::error_code ec;
  return fs::is_directory(printers + "/" + std::string(name), ec);
}

bool LpTree::IsClass(std::string_view name) const {
  std::error_code ec;
  return fs::is_regular_file(classes + "/" + std::string(name), ec);
}

bool LpTree::SchedulerRunning() const {
  std::error_code ec;
  return fs::exists(schedlock, ec);
}

bool LpTree::RecordScheduler(pid_t pid) const {
  return WriteFileAtomically(schedlock, std::to_string(pid) + "\n", 0644);
}

bool WriteFileAtomically(const std::string& path, const std::string& content, mode_t mode) {
  return ReplaceFileNoFollow(path, content, mode);
}

std::string LpTree::CupsServer() const {
  std::ifstream in(cups);
  std::string server;
  std::getline(in, server);
  return server;
}

bool RootFromCommandPath(std::string_view path, std::string* command, std::string* root) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return false;
  std::string_view base = path.substr(slash + 1);
  std::string_view dir = path.substr(0, slash);
  for (const CommandPlace& c : kCommands) {
    if (c.name != base) continue;
    std::string suffix = "/" + std::string(c.dir);
    if (dir.size() < suffix.size() || dir.substr(dir.size() - suffix.size()) != suffix) return false;
    *command = std::string(base);
    *root = std::string(dir.substr(0, dir.size() - suffix.size()));
    return true;
  }
  return false;
}

bool IsValidDestName(std::string_view name) {
  if (name.empty() || name.size() > 127 || name[0] == '.' || name[0] == '-') return false;
  for (unsigned char c : name) {
    if (c <= ' ' || c >= 127 || c == '/') return false;
  }
  return true;
}

namespace {

// True when root holds a tree (absolute, with its interfaces directory);
// otherwise says so on stderr, followed by hint.
bool IsTree(const LpTree& t, const char* hint) {
  std::error_code ec;
  if (!t.root.empty() && t.root[0] == '/' && fs::is_directory(t.interfaces, ec)) return true;
  std::fprintf(stderr, "lpsvc: no LP tree at %s%s\n", t.root.c_str(), hint);
  return false;
}

}  // namespace

int UpgradeTree(const std::string& root, const std::string& self_binary) {
  LpTree t(root);
  if (!IsTree(t, " (lpsvc setup makes one)")) return 1;
  // The tree stays its account's: the owner of its interface programs.
  std::string account = "lp";
  struct stat st;
  struct passwd pw;
  struct passwd* found = nullptr;
  char buf[1024];
  if (stat(t.interfaces.c_str(), &st) == 0 && getpwuid_r(st.st_uid, &pw, buf, sizeof buf, &found) == 0 &&
      found != nullptr) {
    account = found->pw_name;
  }
  return SetupTree(root, self_binary, t.CupsServer(), account);
}

int RemoveTree(const std::string& root, const std::function<int(const std::string&)>& remove_destination) {
  LpTree t(root);
  if (!IsTree(t, "")) return 1;
  std::error_code ec;
  // Printers first (each takes its emptied classes along), then what is left.
  int removed = 0;
  for (const std::string& dir : {t.printers, t.classes}) {
    std::vector<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename());
    for (const std::string& name : names) {
      if (!fs::exists(fs::symlink_status(dir + "/" + name, ec))) continue;  // gone with a printer
      if (remove_destination(name) != 0) {
        std::fprintf(stderr, "lpsvc: %s and the rest of %s are kept; mend the cause and run this again\n",
                     name.c_str(), root.c_str());
        return 1;
      }
      ++removed;
    }
  }
  const std::string cups = t.CupsServer();
  fs::remove_all(root, ec);
  if (ec) {
    std::fprintf(stderr, "lpsvc: cannot remove %s: %s\n", root.c_str(), ec.message().c_str());
    return 1;
  }
  std::printf("lpsvc: removed %s with its %d printers and classes%s\n", root.c_str(), removed,
              cups.empty() ? "" : "; in CUPS only what the tree made there went, anything else stays");
  return 0;
}

int SetupTree(const std::string& root, const std::string& self_binary, const std::string& cups_server,
              const std::string& account) {
  if (root.empty() || root[0] != '/') {
    std::fprintf(stderr, "lpsvc: setup needs an absolute root directory\n");
    return 1;
  }
  // Only root can give the tree away; anyone else keeps it as their own.
  Owner owner{static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
  Owner lp{7, 7};
  if (geteuid() == 0 && (!LookUp(account, &owner) || !LookUp("lp", &lp))) {
    std::fprintf(stderr, "lpsvc: there is no account %s (or lp); create it first (useradd --system %s)\n",
                 account.c_str(), account.c_str());
    return 1;
  }
  LpTree t(root);
  const std::string lpdeliver = FindLpdeliver(self_binary);
  if (lpdeliver.empty()) {
    std::fprintf(stderr, "lpsvc: cannot find lpdeliver beside %s or at %s; build or install it\n",
                 self_binary.c_str(), KQS_LPDELIVER_INSTALLED);
    return 1;
  }
  bool ok = true;
  // Directories the print service (running as lp) writes into.
  const std::string lp_dirs[] = {
      root + "/etc/lp", t.interfaces, t.classes, t.printers, t.filters, t.fd,
      t.spool, t.spool + "/system", t.accepting, t.enabled,
  };
  // Made and given away through the opened directory: a link that another
  // account planted in the tree is refused, never followed.
  for (const std::string& d : lp_dirs) {
    // The interface programs keep the group lp (set-group-id directory), so
    // lp may read and run them and only their owner may write them.
    const bool interfaces = d == t.interfaces;
    const bool made = geteuid() == 0 ? MakeDirNoFollow(d, interfaces ? 02755 : 0755, owner.uid, lp.gid)
                                     : MakeDir(d, 0755);
    if (!made) std::fprintf(stderr, "lpsvc: cannot make %s (a link or a file in its place?)\n", d.c_str());
    ok = ok && made;
  }
  // Directories that hold programs and product files, owned by the installer.
  const std::string sys_dirs[] = {root + "/usr/lib", root + "/usr/bin", t.models, t.product_sh};
  for (const std::string& d : sys_dirs) ok = ok && MakeDir(d, 0755);
  for (const CommandPlace& c : kCommands) {
    ok = ok && InstallProgram(self_binary, root + "/" + std::string(c.dir) + "/" + std::string(c.name));
  }
  for (const SampleModel& m : kModels) {
    ok = ok && WriteText(t.models + "/" + std::string(m.name), ModelScript(m), 0755);
  }
  ok = ok && InstallProgram(lpdeliver, root + "/usr/lib/lp/lpdeliver");
  ok = ok && WriteText(t.product_sh + "/qvnx.model", kWrapperTemplate, 0755);
  ok = ok && WriteText(t.version, kVersionText, 0644);
  if (!cups_server.empty()) {
    ok = ok && WriteText(t.cups, cups_server + "\n", 0644);
  } else {
    std::remove(t.cups.c_str());  // a plain tree again (unlink follows no link)
  }
  if (!ok) {
    std::fprintf(stderr, "lpsvc: cannot lay out the LP tree under %s\n", root.c_str());
    return 1;
  }
  return 0;
}

}  // namespace lpsvc
