// The outcome of one command on one server, and how kqsctl shows the
// outcomes: for one server as a table (or JSON) with errors on stderr, for a
// set of servers as one table with a HOST column (or one JSON object per
// server) and a one-line summary of the failures.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kqsctl/options.h"
#include "kqsctl/output.h"

namespace kqsctl {

struct Result {
  int status = 0;  // the exit status this outcome calls for
  std::string what;  // the command as messages name it: "add-queue lab"
  // A listing: its columns, rows, the same rows as JSON records, and the
  // text shown when there are none.
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;
  std::vector<JsonObject> records;
  std::string none;
  std::string note;  // what a change or login did, one line
  // A failure: why, in one line; the server's return code when it answered
  // (also on success), and the next step when one is known.
  std::string error;
  bool answered = false;
  uint32_t code = 0;
  std::string hint;
};

// Fills r as a failure for why with status, and returns it.
Result& Fail(Result* r, std::string why, int status);
// Fills r as the server's refusal with code of command: the code, its
// explanation and the next step (exit status 1).
Result& Refused(Result* r, uint32_t code, Command command, const std::string& reason = "");

// Shows the result of a command on one server: on out the table, the note
// (changes only with --verbose) or JSON (the records as an array, a code
// object for other commands, the error object on failure); on err the
// failure as "kqsctl: what: error".
void ReportOne(const Options& opts, const Result& result, FILE* out, FILE* err);

// Shows results[i] of hosts[i] for every host, in that order: one table
// with a HOST column (changes only with --verbose) or a JSON array of one
// object per host ({"host", "status", "result"} or {"host", "status",
// "error", ...}); each failure on err as "kqsctl: HOST: what: error", then
// "N of M failed" when any did. Returns 0 when every host succeeded, else
// the highest status seen.
int ReportMany(const Options& opts, const std::vector<std::string>& hosts, const std::vector<Result>& results,
               FILE* out, FILE* err);

}  // namespace kqsctl
