// The page of kqsctl web (kqsctl/web/), built into the program by CMake so
// the console needs no files beside it and no network.
#pragma once

#include <cstddef>
#include <string_view>

namespace kqsctl {

struct WebFile {
  std::string_view path;  // "/console.js"; "/index.html" is the page
  std::string_view body;
};

extern const WebFile kWebFiles[];
extern const size_t kWebFileCount;

}  // namespace kqsctl
