// lpsvc's LP commands. Each validates its whole command line and every name
// before it changes anything, so a refused command leaves the tree as it was;
// in CUPS mode the change goes to CUPS before it goes to the tree, and CUPS
// keeps everything this tree did not make (see cupsclient.h).
#include "lpsvc/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string_view>

#include "lpsvc/cupsclient.h"
#include "lpsvc/faults.h"
#include "lpsvc/scheduler.h"
#include "protocol/extension.h"

namespace fs = std::filesystem;

namespace lpsvc {

namespace {

int Refuse(const std::string& command, const std::string& why, int status = kExitRefused) {
  std::fprintf(stderr, "%s: %s\n", command.c_str(), why.c_str());
  return status;
}

int Usage(const std::string& command, const std::string& why) {
  std::fprintf(stderr, "%s: %s\n", command.c_str(), why.c_str());
  return kExitUsage;
}

// Options of the form "-xVALUE" or "-x VALUE"; letters in no_value take none.
// False on an unknown letter, a repeated option, a missing value or a word
// that is no option.
bool ParseOptions(const std::vector<std::string>& args, std::string_view with_value,
                  std::string_view no_value, std::map<char, std::string>* opts) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < 2 || a[0] != '-') return false;
    char letter = a[1];
    if (opts->count(letter) != 0) return false;
    if (no_value.find(letter) != std::string_view::npos) {
      if (a.size() != 2) return false;
      (*opts)[letter] = "";
    } else if (with_value.find(letter) != std::string_view::npos) {
      if (a.size() > 2) {
        (*opts)[letter] = a.substr(2);
      } else if (i + 1 < args.size()) {
        (*opts)[letter] = args[++i];
      } else {
        return false;
      }
    } else {
      return false;
    }
  }
  return true;
}


bool ReadFile(const std::string& path, std::string* content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string l; std::getline(in, l);) {
    if (!l.empty()) lines.push_back(l);
  }
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

// A marker file; one that exists stays, a link in its place is not followed.
bool Touch(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// What one command invocation works on: the tree, and the CUPS server the
// tree mirrors its changes into (none in plain mode). Every command checks
// first, changes CUPS next and the tree last, so a refusal from CUPS leaves
// the tree as it was.
struct Service {
  const LpTree& t;
  std::string server;                  // "" in plain mode
  std::unique_ptr<CupsClient> direct;  // when there is no scheduler to hand to

  // Makes change in CUPS when there is one: through the tree's scheduler if
  // one runs, else here. The verdict, with the reason when not kDone.
  Verdict Mirror(const CupsChange& change, std::string* why) {
    if (server.empty()) return kDone;
    if (std::optional<Verdict> handed = HandToScheduler(t, change, why)) return *handed;
    if (!direct) direct = std::make_unique<CupsClient>(server);
    return Apply(*direct, change, why);
  }
  bool Mirrored(const CupsChange& change, std::string* why) { return Mirror(change, why) == kDone; }

  // The marks that make a CUPS printer or class this tree's.
  std::string PrinterMark(const std::string& name) const { return InterfaceUri(t.interfaces + "/" + name); }
  std::string ClassMark() const { return lpsvc::ClassMark(t.root); }
  CupsChange DeletePrinter(const std::string& name) const {
    return CupsChange{CupsChange::Op::kDelete, name, "", false, PrinterMark(name)};
  }
  CupsChange DeleteClass(const std::string& name) const {
    return CupsChange{CupsChange::Op::kDelete, name, "", true, ClassMark()};
  }
};

CupsChange Change(CupsChange::Op op, const std::string& name, const std::string& value = "", bool is_class = false) {
  return CupsChange{op, name, value, is_class, ""};
}

// With CUPS the scheduler is lpsvc's own, which starts only when CUPS answers.
int Lpsched(Service& s) {
  if (s.t.SchedulerRunning()) {
    std::fprintf(stderr, "lpsched: the scheduler is already running\n");
    return kExitOk;
  }
  std::string why;
  if (!s.server.empty()) return StartScheduler(s.t, s.server, &why) ? kExitOk : Refuse("lpsched", why);
  if (!s.t.RecordScheduler(getpid())) return Refuse("lpsched", "cannot create " + s.t.schedlock);
  return kExitOk;
}

// The host's CUPS is never stopped: only the tree's lock goes (with it the
// scheduler, for the LP service; its process lingers a while, see
// scheduler.h).
int Lpshut(Service& s) {
  if (!s.t.SchedulerRunning()) {
    std::fprintf(stderr, "lpshut: the scheduler is not running\n");
    return kExitOk;
  }
  if (unlink(s.t.schedlock.c_str()) != 0) return Refuse("lpshut", "cannot remove " + s.t.schedlock);
  return kExitOk;
}

// The tree's part of lpadmin -p; false with the reason when a write failed.
bool RecordPrinter(const LpTree& t, const std::string& name, const std::map<char, std::string>& o,
                   const std::string& model, const std::string& cls, std::string* why) {
  std::string dir = t.printers + "/" + name;
  std::error_code ec;
  fs::create_directory(dir, ec);
  if (ec) return (*why = "cannot create " + dir, false);
  std::string device;
  for (const std::string& line : ReadLines(dir + "/configuration")) {
    if (line.rfind("Device: ", 0) == 0) device = line.substr(8);
  }
  if (auto v = o.find('v'); v != o.end()) device = v->second;
  std::string interface = t.interfaces + "/" + name;
  std::string config = "Device: " + device + "\nInterface: " + interface + "\n";
  if (!WriteFileAtomically(dir + "/configuration", config, 0644))
    return (*why = "cannot write the configuration of " + name, false);
  if (o.count('i') != 0 && !WriteFileAtomically(interface, model, 0755))
    return (*why = "cannot install the interface of " + name, false);
  if (!cls.empty()) {
    std::string path = t.classes + "/" + cls;
    std::vector<std::string> members = ReadLines(path);
    if (std::find(members.begin(), members.end(), name) == members.end()) members.push_back(name);
    if (!WriteFileAtomically(path, JoinLines(members), 0644)) return (*why = "cannot write the class " + cls, false);
  }
  return true;
}

// lpadmin -p: define or change a printer, optionally joining a class. In
// CUPS the printer's device is its interface program, run by the lpif
// backend.
int DefinePrinter(Service& s, const std::map<char, std::string>& o) {
  const LpTree& t = s.t;
  const std::string& name = o.at('p');
  if (!IsValidDestName(name)) return Refuse("lpadmin", "bad printer name \"" + name + "\"");
  if (t.IsClass(name)) return Refuse("lpadmin", name + " is a class");
  bool is_new = !t.IsPrinter(name);
  if (is_new && (o.count('v') == 0 || o.count('i') == 0))
    return Usage("lpadmin", "a new printer needs -v and -i");
  std::string model;
  if (auto i = o.find('i'); i != o.end()) {
    struct stat st;
    if (stat(i->second.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !ReadFile(i->second, &model))
      return Refuse("lpadmin", "cannot read the model " + i->second);
  }
  std::string cls;
  if (auto c = o.find('c'); c != o.end()) {
    cls = c->second;
    if (!IsValidDestName(cls)) return Refuse("lpadmin", "bad class name \"" + cls + "\"");
    if (t.IsPrinter(cls) || cls == name) return Refuse("lpadmin", cls + " is a printer");
  }

  std::string why;
  // A name CUPS holds as someone else's is refused before anything changes.
  const Verdict defined = s.Mirror(Change(CupsChange::Op::kAddPrinter, name, s.PrinterMark(name)), &why);
  if (defined != kDone) return Refuse("lpadmin", why, defined);
  const bool new_class = !cls.empty() && !t.IsClass(cls);
  Verdict joined = kDone;
  if (!cls.empty()) joined = s.Mirror(CupsChange{CupsChange::Op::kJoinClass, cls, name, false, s.ClassMark()}, &why);
  if (joined == kDone && RecordPrinter(t, name, o, model, cls, &why)) return kExitOk;
  // Undone in CUPS: a printer this command made must not stay behind there
  // alone, nor a class it made for it (each only when it is this tree's).
  std::string ignored;
  if (is_new) s.Mirror(s.DeletePrinter(name), &ignored);
  if (new_class) s.Mirror(s.DeleteClass(cls), &ignored);
  return Refuse("lpadmin", why, joined == kClassIsPrinter ? kClassIsPrinter : kExitRefused);
}

int SetDefault(Service& s, const std::string& name) {
  const bool is_class = s.t.IsClass(name);
  if (!s.t.IsPrinter(name) && !is_class) return Refuse("lpadmin", "no destination " + name);
  std::string why;
  if (!s.Mirrored(Change(CupsChange::Op::kSetDefault, name, "", is_class), &why)) return Refuse("lpadmin", why);
  if (!WriteFileAtomically(s.t.default_dest, name + "\n", 0644))
    return Refuse("lpadmin", "cannot record the default destination");
  return kExitOk;
}

// Removes path and everything below it; false when something is left.
bool RemoveAll(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  return !ec && !fs::exists(fs::symlink_status(path, ec));
}

bool ForgetDestination(const LpTree& t, const std::string& name) {
  bool ok = RemoveAll(t.accepting + "/" + name) && RemoveAll(t.enabled + "/" + name);
  std::vector<std::string> def = ReadLines(t.default_dest);
  if (!def.empty() && def[0] == name) ok = RemoveAll(t.default_dest) && ok;
  return ok;
}

// The classes whose member lists hold name, each with its other members.
std::map<std::string, std::vector<std::string>> ClassesOf(const LpTree& t, const std::string& name) {
  std::map<std::string, std::vector<std::string>> found;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(t.classes, ec)) {
    std::vector<std::string> members = ReadLines(e.path().string());
    auto it = std::find(members.begin(), members.end(), name);
    if (it == members.end()) continue;
    members.erase(it);
    found[e.path().filename().string()] = members;
  }
  return found;
}

// lpadmin -x: remove a printer (and the classes it leaves empty) or a class.
int RemoveDestination(Service& s, const std::string& name) {
  const LpTree& t = s.t;
  if (!IsValidDestName(name)) return Refuse("lpadmin", "bad destination name \"" + name + "\"");
  const bool is_printer = t.IsPrinter(name);
  if (!is_printer && !t.IsClass(name)) return Refuse("lpadmin", "no destination " + name);
  const auto classes = is_printer ? ClassesOf(t, name) : std::map<std::string, std::vector<std::string>>{};
  // In CUPS only what this tree made goes: the printer, and a class of its
  // own once its last member of this tree leaves it.
  std::string why;
  if (!s.Mirrored(is_printer ? s.DeletePrinter(name) : s.DeleteClass(name), &why)) return Refuse("lpadmin", why);
  for (const auto& [cls, others] : classes) {
    if (others.empty() && !s.Mirrored(s.DeleteClass(cls), &why)) return Refuse("lpadmin", why);
  }

  if (!is_printer) {
    if (!RemoveAll(t.classes + "/" + name) || !ForgetDestination(t, name))
      return Refuse("lpadmin", "cannot remove all of class " + name + " from " + t.root);
    return kExitOk;
  }
  bool ok = RemoveAll(t.interfaces + "/" + name) && RemoveAll(t.printers + "/" + name);
  ok = ForgetDestination(t, name) && ok;
  for (const auto& [cls, others] : classes) {
    const std::string path = t.classes + "/" + cls;
    if (others.empty()) {
      ok = RemoveAll(path) && ForgetDestination(t, cls) && ok;
    } else {
      ok = WriteFileAtomically(path, JoinLines(others), 0644) && ok;
    }
  }
  if (!ok) return Refuse("lpadmin", "cannot remove all of printer " + name + " from " + t.root);
  return kExitOk;
}

// lpadmin -pNAME -rCLASS: printer NAME leaves CLASS, which goes when it
// empties.
int LeaveClass(Service& s, const std::string& name, const std::string& cls) {
  const LpTree& t = s.t;
  if (!IsValidDestName(name) || !t.IsPrinter(name)) return Refuse("lpadmin", "no printer " + name);
  const auto classes = ClassesOf(t, name);
  const auto it = IsValidDestName(cls) ? classes.find(cls) : classes.end();
  if (it == classes.end()) return Refuse("lpadmin", name + " is not a member of class " + cls);
  std::string why;
  if (!s.Mirrored(CupsChange{CupsChange::Op::kLeaveClass, cls, name, false, s.ClassMark()}, &why))
    return Refuse("lpadmin", why);
  const std::string path = t.classes + "/" + cls;
  const bool ok = it->second.empty() ? RemoveAll(path) && ForgetDestination(t, cls)
                                     : WriteFileAtomically(path, JoinLines(it->second), 0644);
  return ok ? kExitOk : Refuse("lpadmin", "cannot write the class " + cls);
}

int Lpadmin(Service& s, const std::vector<std::string>& args) {
  std::map<char, std::string> o;
  if (!ParseOptions(args, "pvcidxr", "", &o)) return Usage("lpadmin", "bad command line");
  if (o.count('r') != 0) {
    if (o.size() != 2 || o.count('p') == 0) return Usage("lpadmin", "use lpadmin -pNAME -rCLASS");
    return LeaveClass(s, o.at('p'), o.at('r'));
  }
  int modes = int(o.count('p') + o.count('d') + o.count('x'));
  if (modes != 1) return Usage("lpadmin", "give exactly one of -p, -d and -x");
  if (o.count('p') != 0) return DefinePrinter(s, o);
  if (o.size() != 1) return Usage("lpadmin", "-d and -x take no other option");
  if (o.count('d') != 0) return SetDefault(s, o.at('d'));
  return RemoveDestination(s, o.at('x'));
}

// The reason a printer was disabled (stop) or set to reject jobs, kept
// beside its configuration until it is enabled or accepts again, so that a
// tree without CUPS shows it too.
std::string ReasonFile(const LpTree& t, const std::string& printer, bool stop) {
  return t.printers + "/" + printer + (stop ? "/stop-reason" : "/reject-reason");
}

// accept and enable: the scheduler must run, every name must be known first.
int MarkDestinations(Service& s, const std::string& command, const std::vector<std::string>& names,
                     bool classes_too, const std::string& marker_dir) {
  const LpTree& t = s.t;
  if (names.empty()) return Usage(command, "no destination given");
  if (!t.SchedulerRunning()) return Refuse(command, "the scheduler is not running");
  for (const std::string& n : names) {
    bool known = IsValidDestName(n) && (t.IsPrinter(n) || (classes_too && t.IsClass(n)));
    if (!known) return Refuse(command, "no destination " + n);
  }
  std::string why;
  for (const std::string& n : names) {
    const bool accepting = classes_too;
    const bool is_class = t.IsClass(n);
    CupsChange change = Change(accepting ? CupsChange::Op::kAccept : CupsChange::Op::kResume, n, "", is_class);
    if (is_class) change.mark = s.ClassMark();
    if (!s.Mirrored(change, &why)) return Refuse(command, why);
  }
  for (const std::string& n : names) {
    if (!Touch(marker_dir + "/" + n) || !RemoveAll(ReasonFile(t, n, command == "enable")))
      return Refuse(command, "cannot record " + n);
  }
  return kExitOk;
}

// A reason travels on a line to the scheduler and into CUPS's state message.
bool ValidReason(const std::string& reason) {
  if (reason.size() > 255) return false;
  return std::none_of(reason.begin(), reason.end(), [](char c) { return static_cast<unsigned char>(c) < ' ' || c == 0x7f; });
}

// disable and reject [-r REASON] NAME...: printers only; the scheduler need
// not run. The tree's marker goes once CUPS agreed.
int UnmarkDestinations(Service& s, const std::string& command, const std::vector<std::string>& args,
                       const std::string& marker_dir) {
  std::string reason;
  std::vector<std::string> names;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-r" && i + 1 < args.size()) {
      reason = args[++i];
    } else if (args[i].rfind("-r", 0) == 0 && args[i].size() > 2) {
      reason = args[i].substr(2);
    } else if (!args[i].empty() && args[i][0] == '-') {
      return Usage(command, "bad option " + args[i]);
    } else {
      names.push_back(args[i]);
    }
  }
  if (names.empty()) return Usage(command, "no printer given");
  if (!ValidReason(reason)) return Refuse(command, "a reason is one line of at most 255 characters");
  for (const std::string& n : names) {
    if (!IsValidDestName(n) || !s.t.IsPrinter(n)) return Refuse(command, "no printer " + n);
  }
  const auto op = command == "disable" ? CupsChange::Op::kPause : CupsChange::Op::kReject;
  std::string why;
  for (const std::string& n : names) {
    if (!s.Mirrored(Change(op, n, reason), &why)) return Refuse(command, why);
    const std::string file = ReasonFile(s.t, n, command == "disable");
    const bool kept = reason.empty() ? RemoveAll(file) : WriteFileAtomically(file, reason + "\n", 0644);
    if (!RemoveAll(marker_dir + "/" + n) || !kept) return Refuse(command, "cannot record " + n);
  }
  return kExitOk;
}

// A job as cancel takes it: "ID" or "PRINTER-ID". False when it is neither.
bool ParseJob(const std::string& word, std::string* printer, int* id) {
  const size_t dash = word.rfind('-');
  const std::string digits = dash == std::string::npos ? word : word.substr(dash + 1);
  if (digits.empty() || digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), ::isdigit)) return false;
  *printer = dash == std::string::npos ? "" : word.substr(0, dash);
  *id = std::stoi(digits);
  return *id > 0;
}

// cancel ID|PRINTER-ID... or cancel -a PRINTER: only jobs of the tree's
// printers are touched. A plain tree keeps no jobs.
int Cancel(Service& s, const std::vector<std::string>& args) {
  if (args.empty()) return Usage("cancel", "no job given");
  std::string why;
  if (args[0] == "-a") {
    if (args.size() != 2) return Usage("cancel", "use cancel -a PRINTER");
    if (!IsValidDestName(args[1]) || !s.t.IsPrinter(args[1])) return Refuse("cancel", "no printer " + args[1]);
    return s.Mirrored(Change(CupsChange::Op::kCancelAll, args[1]), &why) ? kExitOk : Refuse("cancel", why);
  }
  for (const std::string& word : args) {
    std::string named;
    int id = 0;
    if (!ParseJob(word, &named, &id)) return Usage("cancel", "bad job " + word);
    if (s.server.empty()) return Refuse("cancel", "no job " + word);
    if (!s.direct) s.direct = std::make_unique<CupsClient>(s.server);
    std::string printer;
    if (!s.direct->JobPrinter(id, &printer, &why)) return Refuse("cancel", why);
    if (!s.t.IsPrinter(printer) || (!named.empty() && named != printer)) {
      return Refuse("cancel", "no job " + word + " on this tree's printers");
    }
    if (!s.Mirrored(Change(CupsChange::Op::kCancelJob, printer, std::to_string(id)), &why)) return Refuse("cancel", why);
  }
  return kExitOk;
}

// lpmove FROM TO: every job of printer FROM goes to printer TO.
int Lpmove(Service& s, const std::vector<std::string>& args) {
  if (args.size() != 2) return Usage("lpmove", "use lpmove FROM TO");
  for (const std::string& n : args) {
    if (!IsValidDestName(n) || !s.t.IsPrinter(n)) return Refuse("lpmove", "no printer " + n);
  }
  if (args[0] == args[1]) return Refuse("lpmove", "the jobs are on " + args[1] + " already");
  std::string why;
  return s.Mirrored(Change(CupsChange::Op::kMoveJobs, args[0], args[1]), &why) ? kExitOk : Refuse("lpmove", why);
}

// The printers of the tree, in name order.
std::vector<std::string> TreePrinters(const LpTree& t) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(t.printers, ec)) {
    const std::string n = e.path().filename().string();
    if (IsValidDestName(n) && t.IsPrinter(n)) names.push_back(n);
  }
  std::sort(names.begin(), names.end());
  return names;
}

int QueryPrinters(Service& s) {
  const LpTree& t = s.t;
  std::map<std::string, PrinterState> cups;
  std::string why;
  bool asked = false;
  if (!s.server.empty()) {
    CupsClient client(s.server);
    std::vector<PrinterState> printers;
    asked = client.Printers(&printers, &why);
    for (PrinterState& p : printers) cups[p.name] = std::move(p);
  }
  std::string out;
  for (const std::string& n : TreePrinters(t)) {
    std::vector<std::string> f;
    if (s.server.empty()) {
      struct stat st;
      const bool enabled = stat((t.enabled + "/" + n).c_str(), &st) == 0;
      const bool accepting = stat((t.accepting + "/" + n).c_str(), &st) == 0;
      std::string message;
      for (const bool stop : {true, false}) {
        if (stop ? enabled : accepting) continue;
        const std::vector<std::string> reason = ReadLines(ReasonFile(t, n, stop));
        if (!reason.empty()) message += (message.empty() ? "" : "; ") + reason[0];
      }
      f = {n, enabled ? "idle" : "stopped", accepting ? "yes" : "no", "-", message, ""};
    } else if (!asked) {
      f = {n, "unknown", "-", "-", why, ""};
    } else if (auto it = cups.find(n); it == cups.end() || it->second.device_uri != InterfaceUri(t.interfaces + "/" + n)) {
      f = {n, "unknown", "-", "-", it == cups.end() ? "CUPS has no queue " + n : "CUPS's queue " + n + " is not this tree's", ""};
    } else {
      const PrinterState& p = it->second;
      f = {n, p.state, p.accepting ? "yes" : "no", std::to_string(p.jobs), p.message, p.reasons};
    }
    out += kqs::RecordLine(f);
  }
  std::fputs(out.c_str(), stdout);
  return kExitOk;
}

int QueryJobs(Service& s, const std::string& printer) {
  if (!printer.empty() && (!IsValidDestName(printer) || !s.t.IsPrinter(printer)))
    return Refuse("lpquery", "no printer " + printer);
  if (s.server.empty()) return kExitOk;
  CupsClient client(s.server);
  std::vector<JobInfo> jobs;
  std::string why;
  if (!client.Jobs(printer, &jobs, &why)) return Refuse("lpquery", why);
  std::string out;
  for (const JobInfo& j : jobs) {
    if (!s.t.IsPrinter(j.printer)) continue;
    out += kqs::RecordLine({std::to_string(j.id), j.printer, j.user, j.title, std::to_string(j.size), j.state,
                            std::to_string(j.time)});
  }
  std::fputs(out.c_str(), stdout);
  return kExitOk;
}

int Lpquery(Service& s, const std::vector<std::string>& args) {
  if (args.size() == 1 && args[0] == "printers") return QueryPrinters(s);
  if (!args.empty() && args.size() <= 2 && args[0] == "jobs") return QueryJobs(s, args.size() == 2 ? args[1] : "");
  return Usage("lpquery", "use lpquery printers or lpquery jobs [PRINTER]");
}

// A filter description: "Keyword: value" lines with known keywords, a
// command, and a filter type of fast or slow.
bool ValidFilterDescription(const std::string& path, std::string* content) {
  static constexpr std::array<std::string_view, 7> kKeywords = {
      "Command", "Input types", "Output types", "Printer types", "Printers", "Filter type", "Options"};
  if (!ReadFile(path, content)) return false;
  bool has_command = false;
  size_t start = 0;
  while (start < content->size()) {
    size_t end = content->find('\n', start);
    if (end == std::string::npos) end = content->size();
    std::string_view line(content->data() + start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    size_t colon = line.find(": ");
    if (colon == std::string_view::npos) return false;
    std::string_view key = line.substr(0, colon);
    std::string_view value = line.substr(colon + 2);
    if (std::find(kKeywords.begin(), kKeywords.end(), key) == kKeywords.end()) return false;
    if (key == "Command") has_command = !value.empty();
    if (key == "Filter type" && value != "fast" && value != "slow") return false;
  }
  return has_command;
}

int Lpfilter(const LpTree& t, const std::vector<std::string>& args) {
  std::map<char, std::string> o;
  if (!ParseOptions(args, "fF", "x", &o) || o.count('f') == 0 || o.count('F') + o.count('x') != 1)
    return Usage("lpfilter", "use -f NAME -F FILE or -f NAME -x");
  const std::string& name = o.at('f');
  if (!IsValidDestName(name)) return Refuse("lpfilter", "bad filter name \"" + name + "\"");
  std::string path = t.filters + "/" + name;
  if (o.count('x') != 0) {
    if (unlink(path.c_str()) != 0) return Refuse("lpfilter", "no filter " + name);
    return kExitOk;
  }
  std::string description;
  if (!ValidFilterDescription(o.at('F'), &description))
    return Refuse("lpfilter", "bad filter description " + o.at('F'));
  if (!WriteFileAtomically(path, description, 0644)) return Refuse("lpfilter", "cannot record " + name);
  return kExitOk;
}

}  // namespace

int RunCommand(const LpTree& t, const std::string& command, const std::vector<std::string>& args) {
  if (FaultsHonoured()) {
    if (std::optional<Fault> f = FindFault(t.faults, command, args)) return f->noop ? kExitOk : f->status;
  }
  Service s{t, t.CupsServer(), nullptr};
  if (command == "lpsched") return args.empty() ? Lpsched(s) : Usage(command, "takes no arguments");
  if (command == "lpshut") return args.empty() ? Lpshut(s) : Usage(command, "takes no arguments");
  if (command == "lpadmin") return Lpadmin(s, args);
  if (command == "accept") return MarkDestinations(s, command, args, true, t.accepting);
  if (command == "enable") return MarkDestinations(s, command, args, false, t.enabled);
  if (command == "lpfilter") return Lpfilter(t, args);
  if (command == "disable") return UnmarkDestinations(s, command, args, t.enabled);
  if (command == "reject") return UnmarkDestinations(s, command, args, t.accepting);
  if (command == "cancel") return Cancel(s, args);
  if (command == "lpmove") return Lpmove(s, args);
  if (command == "lpquery") return Lpquery(s, args);
  return Usage(command, "unknown command");
}

}  // namespace lpsvc
