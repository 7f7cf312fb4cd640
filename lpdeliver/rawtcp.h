// Raw TCP delivery (AppSocket/JetDirect): the job's bytes go unchanged over
// one connection to a port of the printer, which prints what it receives and
// takes the end of the data as the end of the job.
#pragma once

#include <cstdint>
#include <string>

namespace lpdeliver {

// Connects to host (a name or dotted IPv4 address) on port, waiting at most
// 30 s. Returns the connected socket, or -1 with a one-line reason and the
// next step in *why: the printer cannot be reached (no such name, refused,
// no route, time-out), which nothing of the job has seen yet.
int ConnectPrinter(const char* host, int port, std::string* why);

enum class Sent {
  kDone,    // the printer acknowledged every byte
  kLost,    // the connection broke with part of the job sent
  kFailed,  // the job could not be read
};

// Sends everything readable from in over the connected socket fd, ends the
// data and waits until the printer has acknowledged all of it, for as long as
// the printer takes, as a blocked send would. With wait_for_close it then
// waits at most 60 s more for the printer to close the connection, which it
// does once the job has ended. where names the printer in messages. *why
// gets a one-line reason with the next step for kLost and kFailed, and a
// warning with kDone when the printer did not close in time; *bytes the
// number of job bytes handed to the connection.
Sent SendJob(int fd, int in, bool wait_for_close, const std::string& where, std::string* why, uint64_t* bytes);

}  // namespace lpdeliver
