// The Open vSwitch listener and the raw transmit socket.
//
// With packetMmap off, each listener thread captures its client's frames on a
// plain packet socket, hands each datagram to the engine and, unless the engine
// consumed it, sends it on through a raw IPv4 socket with the addresses it had.
// Frames are taken and passed on in batches (recvmmsg, sendmmsg), each
// datagram with the checksum it was captured with where that is still right.
// open_transmit_socket opens such raw sockets (IP_HDRINCL, IP_TRANSPARENT) for
// the listeners and for prepopulating clients; send_data is the engine's
// sender through one. What it shares with the packet-mmap listener is in
// net/listener.h.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>

struct proxy_context;
struct tlt_context;

// The least receive buffer (one per frame of a batch); an interface with a
// larger MTU gets room for its longest frame.
inline constexpr size_t OVS_RECEIVE_BUFFER = 8000;

int open_transmit_socket(proxy_context* context);
int ovs_listener(tlt_context* tlt);
// `arg` points at the transmit socket's descriptor (an int).
ssize_t send_data(void* arg, const struct sockaddr_in* src, const struct sockaddr_in* dst,
                  const void* payload, size_t len);
