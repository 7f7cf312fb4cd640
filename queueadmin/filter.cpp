// Writing a queue's filter description and registering it.
#include "queueadmin/filter.h"

#include <cstdio>
#include <memory>

#include "common/host/env.h"
#include "common/host/mtsafe.h"
#include "queueadmin/lppaths.h"

namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

}  // namespace

void Addfilter(const char* name) {
  const kqs::LpPathSet& lp = kqs::LpPaths();
  char description[255];
  char script[255];
  char command[255];
  if (!kqs::FormatLine(description, sizeof description, "%s/%s", lp.fd, name) ||
      !kqs::FormatLine(script, sizeof script, "%s/%s", lp.interfaces, name)) {
    return;
  }
  if (File f{kqs::CurrentEnv()->FOpen(description, "w")}) {
    std::fprintf(f.get(),
                 "Command: %s\n"
                 "Input types: any\n"
                 "Output types: any\n"
                 "Printer types: any\n"
                 "Printers: %s\n"
                 "Filter type: fast\n",
                 script, name);
  }
  // A command line that does not fit is not run: cut, it would name another
  // description file.
  if (kqs::FormatLine(command, sizeof command, "%s -f %s -F %s", lp.lpfilter, name, description)) {
    xSystem(command);
  }
}
