// kqsctl's commands on queue state, jobs and settings, which speak kqsd's
// own requests (protocol/extension.h): status, jobs, cancel, enable,
// disable, accept, reject, move-jobs and modify-queue, and the state columns
// of queues. A server older than those requests answers them with the
// protocol's "invalid object type" or "invalid operation"; queues then shows
// "-" in its state columns and the other commands say that the server is
// too old.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kqsctl/options.h"
#include "kqsctl/report.h"
#include "kqsctl/transport.h"

namespace kqsctl {

// Checks the administrator password on a session when the command asks for
// it (--login); false with r filled when access was not granted.
using LogInFn = std::function<bool(Session&, Result*)>;

// The state records of every queue of the session's server, by queue name
// (fields as protocol/extension.h's kStateFields). False when the server is
// too old to tell (the map is then empty) or could not be asked; why says
// which.
bool QueueStates(const Options& opts, Session& session, std::map<std::string, std::vector<std::string>>* states,
                 std::string* why);

// The commands themselves on one server.
Result Status(const Options& opts, const Endpoint& server);
Result Jobs(const Options& opts, const Endpoint& server);
// enable, disable, accept, reject, cancel, move-jobs and modify-queue; list
// is modify-queue's parameter list.
Result QueueChange(const Options& opts, const Endpoint& server, const std::string& list, const LogInFn& log_in);

// The JSON of a state record's accepting and jobs fields: true/false or a
// number, null when the server cannot tell.
std::string AcceptingJson(const std::string& field);
std::string CountJson(const std::string& field);

}  // namespace kqsctl
