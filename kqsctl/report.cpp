// Rendering results of one or many servers as tables, JSON and messages.
#include "kqsctl/report.h"

#include <algorithm>

#include "kqsctl/codetext.h"
#include "protocol/kqsids.h"

namespace kqsctl {

Result& Fail(Result* r, std::string why, int status) {
  r->error = std::move(why);
  r->status = status;
  return *r;
}

Result& Refused(Result* r, uint32_t code, Command command, const std::string& reason) {
  r->answered = true;
  r->code = code;
  r->hint = reason.empty() ? HintFor(code, command) : "the server's LP service says: " + reason;
  return Fail(r, DescribeReturnCode(code) + (r->hint.empty() ? "" : "; " + r->hint), 1);
}

namespace {

void Print(FILE* f, const std::string& text) { std::fputs(text.c_str(), f); }

bool IsListing(const Options& opts) {
  return opts.command == Command::kQueues || opts.command == Command::kDrivers || opts.command == Command::kMonitors ||
         opts.command == Command::kStatus || opts.command == Command::kJobs;
}

// The JSON of a successful result: the records of a listing (one a line, or
// on one line when nested in a host's object), else the code.
std::string SuccessJson(const Options& opts, const Result& r, bool nested) {
  // status shows one queue: its object, not a list of one.
  if (opts.command == Command::kStatus && r.records.size() == 1) return r.records[0].Render();
  if (IsListing(opts)) {
    std::vector<std::string> rows;
    for (const auto& o : r.records) rows.push_back(o.Render());
    if (!nested) return JsonArray(rows);
    std::string line;
    for (const auto& row : rows) line += (line.empty() ? "" : ",") + row;
    return "[" + line + "]";
  }
  return JsonObject().Add("code", static_cast<long long>(r.code)).Add("codeName", KQSReturnCodeFromID(r.code)).Render();
}

// The fields that describe a failure, after those already in o.
JsonObject& AddFailure(JsonObject& o, const Result& r) {
  o.Add("error", r.what + ": " + r.error);
  if (r.answered) o.Add("code", static_cast<long long>(r.code)).Add("codeName", KQSReturnCodeFromID(r.code));
  if (!r.hint.empty()) o.Add("hint", r.hint);
  return o;
}

bool ShowsNote(const Options& opts) { return opts.verbose || opts.command == Command::kLogin; }

}  // namespace

void ReportOne(const Options& opts, const Result& r, FILE* out, FILE* err) {
  if (r.status != 0) {
    Print(err, "kqsctl: " + r.what + ": " + r.error + "\n");
    if (opts.json) {
      JsonObject o;
      Print(out, AddFailure(o.Add("status", r.status), r).Render() + "\n");
    }
  } else if (opts.json) {
    Print(out, SuccessJson(opts, r, false) + "\n");
  } else if (IsListing(opts)) {
    Table table(r.columns);
    for (const auto& row : r.rows) table.AddRow(row);
    Print(out, r.rows.empty() ? r.none + "\n" : table.Render());
  } else if (ShowsNote(opts)) {
    Print(out, r.what + ": " + r.note + "\n");
  }
}

int ReportMany(const Options& opts, const std::vector<std::string>& hosts, const std::vector<Result>& results,
               FILE* out, FILE* err) {
  int status = 0;
  size_t failed = 0;
  std::string none;
  std::vector<std::string> json;
  std::vector<std::string> columns = {"HOST"};
  std::vector<std::vector<std::string>> rows;
  for (size_t i = 0; i < hosts.size(); ++i) {
    const Result& r = results[i];
    status = std::max(status, r.status);
    JsonObject o;
    o.Add("host", hosts[i]).Add("status", r.status);
    if (r.status != 0) {
      ++failed;
      Print(err, "kqsctl: " + hosts[i] + ": " + r.what + ": " + r.error + "\n");
      json.push_back(AddFailure(o, r).Render());
      continue;
    }
    json.push_back(o.AddRaw("result", SuccessJson(opts, r, true)).Render());
    if (!IsListing(opts)) {
      rows.push_back({hosts[i], r.note});
      continue;
    }
    if (columns.size() == 1) columns.insert(columns.end(), r.columns.begin(), r.columns.end()), none = r.none;
    for (auto row : r.rows) {
      row.insert(row.begin(), hosts[i]);
      rows.push_back(std::move(row));
    }
  }
  if (opts.json) {
    Print(out, JsonArray(json) + "\n");
  } else if (IsListing(opts) || ShowsNote(opts)) {
    Table table(IsListing(opts) ? columns : std::vector<std::string>{"HOST", "RESULT"});
    for (auto& row : rows) table.AddRow(std::move(row));
    if (!rows.empty()) {
      Print(out, table.Render());
    } else if (!none.empty()) {
      Print(out, none + "\n");
    }
  }
  if (failed > 0) Print(err, "kqsctl: " + std::to_string(failed) + " of " + std::to_string(hosts.size()) + " failed\n");
  return status;
}

}  // namespace kqsctl
