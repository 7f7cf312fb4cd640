// Private network namespaces for tests that bind fixed ports (55554) or need
// their own interfaces: the calling process leaves the host's network and gets
// a fresh namespace with only the loopback interface, brought up.
#pragma once

namespace kqs {

// Moves the calling process into a new network namespace with lo up. Call
// before any thread is started. Returns true on success (needs root).
bool EnterPrivateNetNamespace();

}  // namespace kqs
