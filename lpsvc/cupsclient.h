// The CUPS side of lpsvc: the IPP requests that mirror an LP command's change
// into a CUPS server, made through the CUPS client library. Every call answers
// true when CUPS did what was asked, or false with one line that says what
// CUPS answered and, where there is one, what to do about it.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace lpsvc {

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

  // Defines printer name, or changes it, with device_uri, as a queue whose
  // jobs go to its backend unconverted.
  bool AddPrinter(const std::string& name, const std::string& device_uri, std::string* why);
  // Adds printer to class cls, creating the class when CUPS lacks it.
  bool JoinClass(const std::string& cls, const std::string& printer, std::string* why);
  // Takes printer out of class cls, deleting the class when it empties.
  bool LeaveClass(const std::string& cls, const std::string& printer, std::string* why);
  bool SetDefault(const std::string& name, bool is_class, std::string* why);
  // Deletes a printer (CUPS also drops it from its classes) or a class. A
  // destination CUPS does not have is no error.
  bool Delete(const std::string& name, bool is_class, std::string* why);
  // Lets a printer or class accept jobs.
  bool Accept(const std::string& name, bool is_class, std::string* why);
  // Lets a printer print (resumes it).
  bool Resume(const std::string& name, std::string* why);
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

}  // namespace lpsvc
