// Sends to network printers that have no IPv4 address yet. Such a printer is
// addressed as 192.0.0.192 (or 0.0.0.0) together with its MAC address: before
// the datagram goes out, the ARP program "rododiz" in the daemon's directory
// binds 192.0.0.192 to that MAC, and the layer lock glbCS is held from then
// until the datagram is out, so no other send can re-point the address.
#pragma once

#include <sys/socket.h>

// What the last ARP preparation was made for, and the host's own address.
// All guarded by glbCS; every caller comes through PTS_sendto_addrORmac.
extern char szLastArpIP[16];           // target address text, "" at first
extern unsigned char abLastArpMac[6];  // its MAC, zero at first
extern int bNeedLocalAddr;             // 1 until szLocalIP is known
extern char szLocalIP[16];             // the host's own address, dotted

// Writes the ARP text of the 6-byte MAC ("08:00:09:1A:2B:3C", upper-case
// digits) into text, which holds 18 bytes. Returns text.
char* MacToArpStr(char* text, const unsigned char* mac);

// Makes sure the ARP and route entries for the target exist by running
// "<module directory>/rododiz <ARP text of mac>" through xSystem. A call for
// the same address text and MAC as the last call returns 0 at once, even when
// that last call failed (the target is remembered before anything is tried).
// Returns 0 when the entries are in place; -1 when the host's own address
// cannot be determined, the module directory is unknown or its path cannot be
// run as one word, the program file is missing or the ARP route switch
// (glbBArpRouteEnabled) is off; otherwise the program's non-zero exit status
// (-1 when it could not be run or died by a signal).
int AddArpRouteEntries(const char* address, const unsigned char* mac);

// Deletes the route and the ARP entry for the address with
// "/usr/sbin/route delete <address>" and "/usr/sbin/arp -d <address>" when the
// ARP route switch is on. The results are ignored; always returns 0. It does
// not take glbCS.
int RemoveArpRouteEntries(const char* address);

// Sends one datagram like _PTS_sendto. When the destination is an Internet
// address of an unconfigured printer (192.0.0.192 or 0.0.0.0), the ARP entries
// are prepared for mac first, under glbCS; a 0.0.0.0 destination is rewritten
// to 192.0.0.192 in the caller's record. Returns the bytes sent, or -1: the
// layer is not started, the destination is unconfigured and mac is null or
// all zero, or the ARP preparation failed (nothing is sent then).
int PTS_sendto_addrORmac(int sock, const void* buf, int len, int flags, struct sockaddr* to,
                         socklen_t toLen, const unsigned char* mac);
