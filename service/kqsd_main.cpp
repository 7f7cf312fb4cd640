// kqsd, the print-server management daemon. Reads no argument but argv[0]:
// its kqsd.ini, kqsd.cat and rerar.ini sit beside the program. Detaches and
// runs until SIGTERM.
#include "common/host/servicefw.h"
#include "common/host/sysinfo.h"
#include "service/lifecycle.h"

int main(int argc, char** argv) {
  xRegisterArguments(argc, argv);
  ServiceSetRoutines(ServiceBegin, ServiceEnd);
  ServiceStartBackground(argc, argv, "KQSManager", "VO Riviz Arorid Azavaru", "RPCSS");
}
