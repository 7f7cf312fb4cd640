// What a queue's Device may name. The interface wrapper hands Device to
// lpdeliver, which appends every job to it as lp: a Device that names the
// queue's own interface program, or any file that something runs or trusts,
// would turn one print job into code run as lp. So a Device is checked
// against what it must be, not against what it must not contain.
#pragma once

#include <cstdint>

namespace kqs {

// The most directories [LP Service] DeviceDirs may list.
inline constexpr unsigned kMaxDeviceDirs = 16;

// Sets the directories in which a Device may name a file (absolute paths,
// separated by blanks or commas; "" for none, the default). Returns 0, or -1
// with the list unchanged when an entry is not an absolute path without
// "." or ".." names, or there are too many. Call before requests are served.
int SetDeviceDirs(const char* list);

// The longest list SetDeviceDirs is given from kqsd.ini (its line must fit
// the profile reader's 4095 characters).
inline constexpr unsigned kMaxDeviceDirsLength = 4000;

// 0 when device may be a queue's Device, else -1 with the reason (cut to
// size-1 characters) in why. Accepted:
// - a printer's host name (letters, digits, '-' and '.', labels of 1 to 63
//   characters, 253 in all) or an IPv4 address;
// - an absolute path, with no "." or ".." names, outside the LP tree, that
//   is a character device (/dev/lp0, /dev/usb/lp0), or lies in one of the
//   DeviceDirs with no symbolic link below that directory.
// A symbolic link is refused wherever it is. Uses the Env seam.
int CheckQueueDevice(const char* device, char* why, unsigned size);

}  // namespace kqs
