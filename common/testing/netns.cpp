// unshare(CLONE_NEWNET) and bring the loopback interface up.
#include "common/testing/netns.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace kqs {

bool EnterPrivateNetNamespace() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq ifr{};
  std::memcpy(ifr.ifr_name, "lo", 3);
  bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

}  // namespace kqs
