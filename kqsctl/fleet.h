// Running one command on many servers: the hosts file that names them, and a
// bounded number of servers served at once so that a slow or dead one holds
// up no other beyond its own time-out.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace kqsctl {

// Appends the hosts named in the file at path to hosts: one a line; blanks
// around a name, empty lines and "#" comments (whole lines or line ends) are
// ignored. Returns false with a message naming the file when it cannot be
// read.
bool ReadHostsFile(const std::string& path, std::vector<std::string>* hosts, std::string* error);

// Drops repeated entries of hosts, keeping the first of each.
void DropRepeats(std::vector<std::string>* hosts);

// Calls work(i) for every i below count, on at most parallel threads at
// once (parallel 1 or count 1: on the calling thread), and returns when
// every call has returned. work must be safe to call from several threads.
void ForEachConcurrently(size_t count, int parallel, const std::function<void(size_t)>& work);

}  // namespace kqsctl
