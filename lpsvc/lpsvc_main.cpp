// lpsvc: the System V LP print service façade for hosts that have none. One
// program installed under the name of every LP command; it finds its tree
// from the path it was started by, so several trees can live side by side.
// A tree set up with --cups also drives a CUPS server, where the queues print.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "lpsvc/commands.h"
#include "lpsvc/lptree.h"

namespace {

constexpr char kShortUsage[] = "usage: lpsvc setup ROOT [--cups SERVER]\n";

constexpr char kUsage[] =
    "usage: lpsvc setup ROOT [--cups SERVER] [--user ACCOUNT]\n"
    "       lpsvc --help | --version\n"
    "\n"
    "Lays out an LP tree under the absolute directory ROOT:\n"
    "  ROOT/etc/lp/{interfaces,classes,printers,filters,fd}, ROOT/etc/lp/default\n"
    "  ROOT/usr/lib/lp/model       printer models (standard, postscript, pcl)\n"
    "  ROOT/var/spool/lp           spool; SCHEDLOCK exists while the scheduler runs\n"
    "  ROOT/opt/qvnx/sh/qvnx.model interface wrapper template\n"
    "  ROOT/opt/qvnx/version       product version (\"Revision C.02.15\")\n"
    "and installs this program as ROOT/usr/lib/{lpsched,lpshut,lpadmin,accept,lpfilter}\n"
    "and ROOT/usr/bin/enable. Run as root, it gives the service's directories to\n"
    "ACCOUNT (the daemon's [Process Settings] User; default lp) and the group lp,\n"
    "and refuses to follow a link that another account planted in the tree.\n"
    "\n"
    "With --cups SERVER the tree's commands also drive that CUPS server (a socket\n"
    "path such as /run/cups/cups.sock, or HOST[:PORT]; \"default\" for the CUPS\n"
    "client library's own choice): every printer becomes a CUPS queue whose device\n"
    "is lpif://INTERFACE, so its jobs run through its interface program. Each\n"
    "command changes CUPS first and the tree only when CUPS agreed. The account\n"
    "that runs the commands (kqsd's service account, e.g. kqsd) must be in CUPS's\n"
    "SystemGroup (on Debian: usermod -a -G lpadmin kqsd); never lp, as CUPS runs\n"
    "filters and backends as lp.\n"
    "\n"
    "Started under one of those paths, the program is that command on its tree:\n"
    "  lpsched                     start the scheduler (creates SCHEDLOCK; with\n"
    "                              CUPS, only when CUPS answers)\n"
    "  lpshut                      stop the scheduler (removes SCHEDLOCK; CUPS\n"
    "                              itself is never stopped)\n"
    "  lpadmin -pNAME -vDEVICE [-cCLASS] -iMODEL\n"
    "                              define a printer: copy MODEL to interfaces/NAME,\n"
    "                              make or join CLASS\n"
    "  lpadmin -dNAME              make NAME the default destination\n"
    "  lpadmin -xNAME              remove a printer or a class\n"
    "  accept NAME...              let printers or classes accept requests\n"
    "  enable NAME...              let printers print\n"
    "  lpfilter -f NAME -F FILE    register a filter from its description\n"
    "  lpfilter -f NAME -x         remove a filter\n"
    "Options take their value in the same word or the next one. accept and enable\n"
    "need the scheduler. Exit status: 0 done, 1 refused (unknown destination,\n"
    "unreadable model, bad description ...), 2 malformed command line.\n"
    "\n"
    "Faults on demand, for tests (only with LPSVC_TEST_FAULTS=1 in the environment):\n"
    "ROOT/lpsvc.faults holds lines\n"
    "  COMMAND=STATUS        COMMAND exits with STATUS (0-255) and changes nothing\n"
    "  COMMAND=nolock        COMMAND exits with 0 and changes nothing (lpsched and\n"
    "                        lpshut then leave SCHEDLOCK as it is)\n"
    "  COMMAND WORD=ACTION   the same, only when an argument equals WORD or, for a\n"
    "                        WORD that begins with '-', begins with it\n"
    "                        (e.g. \"lpadmin -d=3\", \"accept draft=5\")\n"
    "The first matching line wins; blank lines and lines beginning with # are\n"
    "skipped.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 1 || argv[0] == nullptr) return lpsvc::kExitUsage;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string command;
  std::string root;
  if (lpsvc::RootFromCommandPath(argv[0], &command, &root)) {
    return lpsvc::RunCommand(lpsvc::LpTree(root), command, args);
  }
  if (!args.empty() && args[0] == "setup" && args.size() >= 2) {
    std::string cups, account = "lp";
    bool good = true;
    for (size_t i = 2; good && i < args.size(); i += 2) {
      good = i + 1 < args.size() && !args[i + 1].empty();
      if (good && args[i] == "--cups") {
        cups = args[i + 1];
      } else if (good && args[i] == "--user") {
        account = args[i + 1];
      } else {
        good = false;
      }
    }
    if (good) {
      std::error_code ec;
      std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
      if (ec) {
        std::fprintf(stderr, "lpsvc: cannot find its own program file\n");
        return lpsvc::kExitRefused;
      }
      std::string target = args[1];
      while (target.size() > 1 && target.back() == '/') target.pop_back();
      return lpsvc::SetupTree(target, self.string(), cups, account);
    }
  }
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    std::fputs(kUsage, stdout);
    return lpsvc::kExitOk;
  }
  if (args.size() == 1 && args[0] == "--version") {
    std::puts("lpsvc " KQS_VERSION);
    return lpsvc::kExitOk;
  }
  if (!args.empty() && args[0] != "setup") {
    std::fprintf(stderr, "lpsvc: unknown command '%s'\n", args[0].c_str());
  } else if (!args.empty()) {
    std::fprintf(stderr, "lpsvc: setup takes a root directory and optionally --cups SERVER\n");
  }
  std::fprintf(stderr, "%sTry 'lpsvc --help'.\n", kShortUsage);
  return lpsvc::kExitUsage;
}
