// Socket core of the portable socket layer: a reference-counted start-up, the
// layer lock and feature switches, and thin wrappers over BSD sockets that
// refuse to work (returning -1) while the layer is not started.
#pragma once

#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>

#include "jthread/jthread.h"

// Layer state. The layer counts as started while nPTSInitCnt is above 0.
// Start-up and cleanup run on one thread at a time (the service's start and
// stop paths); the count is atomic only so that wrappers on other threads can
// read it safely.
extern std::atomic<int32_t> nPTSInitCnt;
// The layer lock (recursive); created by the first start-up and deleted by
// the last cleanup. Held around a send to an unconfigured printer.
extern JThreadCritSecHandle glbCS;
// Feature switches, set from the settings by PTS_startup and never reset by a
// cleanup. When glbBDNSEnabled is 0 every name and address lookup fails
// without asking the resolver; when glbBArpRouteEnabled is 0 no ARP command
// is run.
extern int glbBDNSEnabled;
extern int glbBArpRouteEnabled;

// Used only by the resource-list debugging hooks; it has no values.
enum PtsResourceType : int {};

// Inner start-up: the first call sets the count to 1 and creates glbCS (a
// failure to create it is not reported), later calls add 1. Always returns 0.
int _PTS_startup();
// Inner cleanup: -1 when the layer is not started; otherwise takes 1 from the
// count and, when that ends the layer, deletes glbCS. Returns 0.
int _PTS_cleanup();
// True while the layer is started.
bool PTS_IsStarted();

// Pass-through wrappers. Each returns -1 without touching the socket while
// the layer is not started; otherwise the platform call's result, with errno
// left as the platform call set it. Lengths below 0 fail with EINVAL.
// PTS_socket and PTS_accept make their sockets close-on-exec.
int PTS_socket(int family, int type, int protocol);
int PTS_closesocket(int sock);
int PTS_shutdown(int sock, int how);
int PTS_bind(int sock, const struct sockaddr* addr, socklen_t addrLen);
int PTS_listen(int sock, int backlog);
int PTS_accept(int sock, struct sockaddr* addr, socklen_t* addrLen);
int PTS_connect(int sock, const struct sockaddr* addr, socklen_t addrLen);
int _PTS_sendto(int sock, const void* buf, int len, int flags, const struct sockaddr* to,
                socklen_t toLen);
int PTS_recvfrom(int sock, void* buf, int len, int flags, struct sockaddr* from,
                 socklen_t* fromLen);
int PTS_select(int nfds, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
               struct timeval* timeout);
int PTS_getsockopt(int sock, int level, int option, void* value, socklen_t* valueLen);
int PTS_setsockopt(int sock, int level, int option, const void* value, socklen_t valueLen);
int PTS_getpeername(int sock, struct sockaddr* addr, socklen_t* addrLen);
int PTS_getsockname(int sock, struct sockaddr* addr, socklen_t* addrLen);

// ioctl(sock, command, arg); works whether or not the layer is started. Used
// with FIONBIO and a pointer to an int 1 to make a socket non-blocking.
int PTS_ioctlsocket(int sock, unsigned long command, void* arg);

// Host/network byte order; usable at any time.
uint16_t PTS_htons(uint16_t v);
uint32_t PTS_htonl(uint32_t v);
uint16_t PTS_ntohs(uint16_t v);
uint32_t PTS_ntohl(uint32_t v);

// Sends the whole buffer, calling send until it is out. Before each send the
// socket is polled for an exceptional condition (out-of-band data, as select
// reports it); one pending makes the call return -1 at once, even when part
// of the buffer already went out. Returns the bytes sent when that is above 0
// (a short count when send stopped early), otherwise -1 (also for length 0
// and before start-up).
int PTS_send(int sock, const void* buf, int len, int flags);
// One recv, after the same exceptional-condition poll: the byte count, 0 when
// the peer closed the connection, -1 on failure or a pending condition. Does
// not wait for readiness; callers select first.
int PTS_recv(int sock, void* buf, int len, int flags);

// The calling thread's errno, or -1 while the layer is not started. Call it
// on the thread that failed, before anything else can change errno.
int PTS_getlasterror();

// Descriptor sets of 1024 bits held as 32 words of 32 bits: descriptor d is
// bit d%32 of word d/32. They work without start-up. Descriptors outside
// 0..1023 are ignored (PTS_FD_ISSET reports them clear).
void PTS_FD_ZERO(fd_set* set);
void PTS_FD_SET(int fd, fd_set* set);
void PTS_FD_CLR(int fd, fd_set* set);
// The descriptor's bit as it stands in its word: 1u << (fd % 32) when set
// (so descriptor 33 gives 2), 0 when clear.
uint32_t PTS_FD_ISSET(int fd, const fd_set* set);

// Ignores SIGPIPE, so a write to a closed connection fails with EPIPE instead
// of ending the process.
void PTS_MaskSigPipeErrors();

// Resource-list debugging hooks; they do nothing.
void PTS_dbgexit();
void EnterIntoResList(PtsResourceType type, int handle, const char* file, const char* what);
void RemoveFromResList(PtsResourceType type, int handle);
