// One line of kqsbench's table: what was measured, kqsd's figure, the figure
// it is compared with, their ratio and a note on the comparison.
#pragma once

#include <cstdio>

namespace kqs {

inline void Row(const char* what, double kqsd, double floor, double ratio, const char* note = "") {
  std::printf("%-46s %12.1f %12.1f %8.2f  %s\n", what, kqsd, floor, ratio, note);
}

}  // namespace kqs
