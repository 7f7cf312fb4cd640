// Reachability probes: whether a network device answers, and how fast. The
// probe is chosen by the shape of the address text: an IPX diagnostic request
// for an IPX address, otherwise an ICMP echo request, or an SNMP version 1
// GetNextRequest (community "public") when no raw ICMP socket can be had.
// Every request goes out through PTS_sendto_addrORmac, so a printer without an
// address of its own is reached by its MAC. Any datagram from the device's
// address counts as its answer; datagrams waiting before the probe starts are
// discarded first.
#pragma once

#include <cstdint>

// Raised by 1 (wrapping) at the start of every ICMP probe; fills both the
// identifier and the sequence number of its echo request. Not locked: two
// probes running at once may carry the same value.
extern uint16_t nPTSProbeCount;

// tries 0 means 1; timeout 0 means 1000 ms, and applies to each wait for an
// answer. Each returns 0 when the device answered, writing the response time
// in milliseconds to *responseTime when that is given; -1 when it did not
// answer or a step failed (an address text that cannot be turned into an
// address, a failed send, a failed wait or read). The response time is left
// alone on -1.
//
// Probes the device at address (IPX text "0000ABCD:0800091A2B3C", dotted IPv4
// or host name), with mac for an unconfigured printer. Also -1 when no socket
// can be created for the probe (IPX sockets never can on this platform).
int PTS_ping(const char* address, const unsigned char* mac, int tries, unsigned timeout,
             unsigned* responseTime);

// The three probes on a socket the caller created for the probe's method
// ("diag", "ping", "snmpudp"). The IPX probe refuses any address on network
// ffffffff ("ffffffff." in any case). The response time is measured from the
// first try for IPX, from the echo request's own timestamp for ICMP and from
// the last send for SNMP. The SNMP probe takes a community of at most 102
// characters (-1 for a longer or null one).
int _PTS_diagping(int sock, const char* address, const unsigned char* mac, int tries,
                  unsigned timeout, unsigned* responseTime);
int _PTS_icmpping(int sock, const char* address, const unsigned char* mac, int tries,
                  unsigned timeout, unsigned* responseTime);
int _PTS_snmpping(int sock, const char* community, const char* address, const unsigned char* mac,
                  int tries, unsigned timeout, unsigned* responseTime);

// The 16-bit Internet checksum of length bytes. Stored as returned, the value
// is in network byte order: over the bytes 08 00 it reads F7 FF in memory.
uint16_t InternetChksum(const void* data, int length);
