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
    "       lpsvc upgrade ROOT\n"
    "       lpsvc remove ROOT\n"
    "       lpsvc --help | --version\n"
    "\n"
    "Lays out an LP tree under the absolute directory ROOT:\n"
    "  ROOT/etc/lp/{interfaces,classes,printers,filters,fd}, ROOT/etc/lp/default\n"
    "  ROOT/usr/lib/lp/model       printer models (standard, postscript, pcl)\n"
    "  ROOT/var/spool/lp           spool; SCHEDLOCK exists while the scheduler runs\n"
    "  ROOT/opt/qvnx/sh/qvnx.model interface wrapper template\n"
    "  ROOT/opt/qvnx/version       product version (\"Revision C.02.15\")\n"
    "and installs this program as ROOT/usr/lib/{lpsched,lpshut,lpadmin,accept,lpfilter}\n"
    "and ROOT/usr/bin/enable, as links to this program, so that installing a new\n"
    "lpsvc reaches the tree at once. Run as root, it gives the service's\n"
    "directories to ACCOUNT (the daemon's [Process Settings] User; default lp)\n"
    "and the group lp, and refuses to follow a link that another account planted\n"
    "in the tree. Queues already in ROOT are kept.\n"
    "\n"
    "upgrade ROOT lays the programs and files of an existing tree out again,\n"
    "keeping its queues, its account and the CUPS server it drives (after an\n"
    "install or upgrade). remove ROOT removes every printer and class of the tree\n"
    "(in CUPS only what the tree made there) and then the tree; when CUPS cannot\n"
    "be reached it stops and keeps what is left.\n"
    "\n"
    "With --cups SERVER the tree's commands also drive that CUPS server (a socket\n"
    "path such as /run/cups/cups.sock, or HOST[:PORT]; \"default\" for the CUPS\n"
    "client library's own choice): every printer becomes a CUPS queue whose device\n"
    "is lpif://INTERFACE, so its jobs run through its interface program. Each\n"
    "command changes CUPS first and the tree only when CUPS agreed, and touches\n"
    "in CUPS only what the tree made there (man lpsvc). The account that runs the\n"
    "commands (kqsd's service account, e.g. kqsd) must be in CUPS's SystemGroup\n"
    "(on Debian: usermod -a -G lpadmin kqsd); never lp, as CUPS runs filters and\n"
    "backends as lp.\n"
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
    "unreadable model, bad description ...), 2 malformed command line; lpadmin -p\n"
    "with CUPS: 10 CUPS has a printer of that name the tree did not make, 11 CUPS\n"
    "has a class of that name, 12 the class to join is a printer in CUPS.\n"
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
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  const bool tree_command = args.size() == 2 && (args[0] == "upgrade" || args[0] == "remove");
  if ((!args.empty() && args[0] == "setup" && args.size() >= 2) || tree_command) {
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
    if (good && ec) {
      std::fprintf(stderr, "lpsvc: cannot find its own program file\n");
      return lpsvc::kExitRefused;
    }
    std::string target = args[1];
    while (target.size() > 1 && target.back() == '/') target.pop_back();
    if (args[0] == "upgrade") return lpsvc::UpgradeTree(target, self.string());
    if (args[0] == "remove") {
      const lpsvc::LpTree tree(target);
      return lpsvc::RemoveTree(target, [&](const std::string& name) {
        return lpsvc::RunCommand(tree, "lpadmin", {"-x" + name});
      });
    }
    if (good) return lpsvc::SetupTree(target, self.string(), cups, account);
  }
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    std::fputs(kUsage, stdout);
    return lpsvc::kExitOk;
  }
  if (args.size() == 1 && args[0] == "--version") {
    std::puts("lpsvc " KQS_VERSION);
    return lpsvc::kExitOk;
  }
  if (!args.empty() && args[0] != "setup" && args[0] != "upgrade" && args[0] != "remove") {
    std::fprintf(stderr, "lpsvc: unknown command '%s'\n", args[0].c_str());
  } else if (!args.empty() && args[0] != "setup") {
    std::fprintf(stderr, "lpsvc: %s takes one root directory\n", args[0].c_str());
  } else if (!args.empty()) {
    std::fprintf(stderr, "lpsvc: setup takes a root directory and optionally --cups SERVER and --user ACCOUNT\n");
  }
  std::fprintf(stderr, "%sTry 'lpsvc --help'.\n", kShortUsage);
  return lpsvc::kExitUsage;
}
