// The CUPS side of lpsvc: the IPP requests that mirror an LP command's change
// into a CUPS server, made through the CUPS client library. CUPS is the
// administrator's: a printer is this tree's only when its device URI is the
// tree's lpif:// URI for it, a class only when its printer-info is the tree's
// class mark; nothing else is ever changed or deleted. Every change answers
// with a Verdict: kDone when CUPS did what was asked, otherwise the reason in
// one line that says what CUPS answered and, where there is one, what to do.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace lpsvc {

// How a change came out. The values are the LP commands' exit statuses.
enum Verdict : int {
  kDone = 0,
  kFailed = 1,           // CUPS could not be reached or refused the change
  kNameIsOthers = 10,    // CUPS has a printer of that name that this tree did not make
  kNameIsClass = 11,     // CUPS has a class of that name
  kClassIsPrinter = 12,  // the class to join is a printer in CUPS
};

// A CUPS printer as the queue listing shows it.
struct PrinterState {
  std::string name;
  std::string state;  // idle, processing or stopped
  bool accepting = false;
  int jobs = 0;
  std::string message;
  std::string reasons;  // comma-separated keywords
  std::string device_uri;
};

// A job that is not finished yet.
struct JobInfo {
  int id = 0;
  std::string printer;
  std::string user;
  std::string title;
  long long size = 0;  // bytes (CUPS counts kilobytes)
  std::string state;   // pending, held, processing, stopped, canceled, aborted, completed
  long long time = 0;  // created, seconds since the epoch
};

class CupsClient {
 public:
  // server: what the CUPS client library takes as a server (a socket path
  // such as /run/cups/cups.sock, or host[:port]); "default" keeps the
  // library's own choice.
  explicit CupsClient(const std::string& server);
  ~CupsClient();
  CupsClient(const CupsClient&) = delete;
  CupsClient& operator=(const CupsClient&) = delete;

  // False, with the reason, when the CUPS client library cannot be loaded;
  // every call below then fails with that reason.
  bool Loaded(std::string* why) const;

  // True when the server answers an IPP request at all.
  bool Answers(std::string* why);

  // Defines printer name with device_uri, as a queue whose jobs go to its
  // backend unconverted, or changes it when CUPS has it with that URI
  // already. A class of that name, or a printer with another device, is
  // left alone: kNameIsClass, kNameIsOthers.
  Verdict AddPrinter(const std::string& name, const std::string& device_uri, std::string* why);
  // Adds printer to class cls. A class CUPS lacks is made with mark as its
  // printer-info; a class made by hand is joined but keeps its own info, so
  // it is never deleted here. kClassIsPrinter when cls is a printer.
  Verdict JoinClass(const std::string& cls, const std::string& printer, const std::string& mark, std::string* why);
  Verdict SetDefault(const std::string& name, bool is_class, std::string* why);
  // Deletes printer name when its device URI is mark (CUPS also drops it from
  // its classes), or class name when its printer-info is mark. Anything else
  // of that name, or nothing, is left as it is, and that is no error.
  Verdict Delete(const std::string& name, bool is_class, const std::string& mark, std::string* why);
  // Lets a printer, or a class whose printer-info is mark, accept jobs; a
  // class made by hand keeps its state.
  Verdict Accept(const std::string& name, bool is_class, const std::string& mark, std::string* why);
  // Lets a printer print (resumes it).
  Verdict Resume(const std::string& name, std::string* why);
  // Takes printer out of class cls, deleting the class when it empties and
  // its printer-info is mark (a class made by hand stays, empty).
  Verdict LeaveClass(const std::string& cls, const std::string& printer, const std::string& mark, std::string* why);
  // Stops a printer, or lets it refuse jobs, with reason as its state
  // message ("" for none).
  bool Pause(const std::string& name, const std::string& reason, std::string* why);
  bool Reject(const std::string& name, const std::string& reason, std::string* why);
  // Cancels job id of printer, or every unfinished job of printer.
  bool CancelJob(const std::string& printer, int id, std::string* why);
  bool CancelAll(const std::string& printer, std::string* why);
  // Moves every job of printer from to printer to.
  bool MoveJobs(const std::string& from, const std::string& to, std::string* why);

  // Every printer, with one request.
  bool Printers(std::vector<PrinterState>* out, std::string* why);
  // The unfinished jobs of printer, or of every printer when it is "", with
  // one request.
  bool Jobs(const std::string& printer, std::vector<JobInfo>* out, std::string* why);
  // The printer that holds job id; false when CUPS has no such job.
  bool JobPrinter(int id, std::string* printer, std::string* why);

 private:
  class Session;
  // Sends the printer operation op for name with reason as its state message;
  // what names the change in a failure.
  bool SendWithReason(int op, const std::string& name, const std::string& reason, const std::string& what,
                      std::string* why);
  std::unique_ptr<Session> session_;
  std::string load_error_;
};

// The device URI of an interface program: "lpif://" and its absolute path.
std::string InterfaceUri(const std::string& interface_path);

// The printer-info that marks a CUPS class as made by the tree under root.
std::string ClassMark(const std::string& root);

}  // namespace lpsvc
