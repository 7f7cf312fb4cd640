// Serving management connections. Each admitted connection is served on a
// thread of its own, so a console that is idle, slow or silent holds only
// its own place (service/admission.h limits how many one address holds),
// while the requests themselves run one at a time, in the order they
// arrived, so changes to the LP tree never overlap. Any listener hands its
// accepted connections to StartServing; how the bytes travel is the
// connection's business (service/connection.h).
#pragma once

#include <memory>

#include "service/connection.h"
#include "service/daemonstate.h"

namespace kqs {

// What one connection has done so far; request handling reads and updates it.
struct Session {
  Connection* connection = nullptr;
  const ServiceSettings* settings = nullptr;  // the daemon's, read-only
  bool accessGranted = false;  // an administrator check succeeded on it
  int refusedChecks = 0;
  bool mustClose = false;  // a response was not sent whole, or too many refusals
};

// Serves connection on a new thread, under settings (which must outlive
// every serving thread), when its address is in [ACCESS] Allow (else
// warning 209) and the admission lets it in; otherwise closes it (event 10).
// Logs nothing on success: the listener logged the accept.
void StartServing(std::unique_ptr<Connection> connection, const ServiceSettings* settings);

// Serves the connection on the calling thread, under settings, until it ends. It is first
// opened (the TLS handshake, within RequestTimeout; warning 240 when the
// console does not complete it), and a console whose certificate a ClientCA
// signed starts as having passed the administrator check. Requests are
// taken from the byte stream by the length in their headers: several in one
// receive are answered in order, one split over receives is put together
// (each receive logs event 8). Ends when the console closes the connection,
// the shutdown flag is set, a receive fails (event 110), or, each logged with
// the console's address: a request is not whole within RequestTimeout of its
// first byte (203), no request was answered for IdleTimeout (202), the header
// gives a length no request can have (206), the console was lost (205:
// reset, or keepalive found it gone), a response was not taken within
// SendTimeout (204) or five administrator checks were refused (208). Does
// not close the connection.
void ServeConnection(Connection* connection, const ServiceSettings* settings);

// Shutdown: ends every connection being served, refuses new ones, and waits
// at most waitMs for their threads to finish (each logs event 10). Returns
// false when some did not finish in time.
bool StopServing(int waitMs);

}  // namespace kqs
