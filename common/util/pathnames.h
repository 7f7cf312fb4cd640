// The names of a path, for walks that check each directory on the way to a
// file themselves rather than let the kernel resolve the whole path.
#pragma once

#include <deque>
#include <string>

namespace kqs {

// Puts the names of path ('/'-separated, empty names dropped), in order, in
// front of what names holds: a link's text is walked before the rest.
inline void PushPathNames(const std::string& path, std::deque<std::string>* names) {
  std::deque<std::string> mine;
  size_t at = 0;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    if (slash > at) mine.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  names->insert(names->begin(), mine.begin(), mine.end());
}

}  // namespace kqs
