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

// The description's path, the script it runs and the lpfilter command line
// of queue name; false when one of them does not fit its buffer.
bool FilterLines(const char* name, char (&description)[255], char (&script)[255], char (&command)[255]) {
  const kqs::LpPathSet& lp = kqs::LpPaths();
  return kqs::FormatLine(description, sizeof description, "%s/%s", lp.fd, name) &&
         kqs::FormatLine(script, sizeof script, "%s/%s", lp.interfaces, name) &&
         kqs::FormatLine(command, sizeof command, "%s -f %s -F %s", lp.lpfilter, name, description);
}

}  // namespace

bool FilterLinesFit(const char* name) {
  char description[255], script[255], command[255];
  return FilterLines(name, description, script, command);
}

void Addfilter(const char* name) {
  char description[255], script[255], command[255];
  // A line that does not fit is not used: cut, it would name another file.
  if (!FilterLines(name, description, script, command)) return;
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
  xSystem(command);
}
