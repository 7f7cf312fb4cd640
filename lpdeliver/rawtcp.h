// Raw TCP delivery (AppSocket/JetDirect): the job's bytes go unchanged over
// one connection to a port of the printer, which prints what it receives and
// takes the end of the data as the end of the job.
#pragma once

#include <string>

namespace lpdeliver {

enum class Sent {
  kDone,     // the printer acknowledged every byte
  kRefused,  // refused or reset before it had the whole job: worth sending again
  kFailed,   // anything else: no such host, time-out, unreadable input
};

// Connects to host (a name or dotted IPv4 address) on port, waiting at most
// 30 s for the connection; sends everything readable from in, ends the data
// and waits until the printer has acknowledged all of it, for as long as the
// printer takes, as a blocked send would. With wait_for_close it then waits
// at most 60 s more for the printer to close the connection, which it does
// once the job has ended. Returns kDone, kRefused or kFailed; *why gets a
// one-line reason with the next step for the failures, and a warning with
// kDone when the printer did not close in time.
Sent SendRaw(const char* host, int port, int in, bool wait_for_close, std::string* why);

}  // namespace lpdeliver
