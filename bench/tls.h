// kqsbench's rows for the TLS port: a request's round trip on an open TLS
// connection against the same on the plain port, and a whole TLS connect
// plus one request against a plain connect plus one request.
#pragma once

namespace kqs {

// Prints both rows; the sandboxed daemon must be running with its TLS port.
void BenchTls();

}  // namespace kqs
