// The ARP proxy: answers a client's ARP request for its server when the
// server's own reply is late.
//
// One thread per client interface when arpProxy is set ("arp-<if>"), run by
// the interface-thread group under its contract (ready or error once, then
// watch efd). It receives the client's ARP requests and the replies addressed
// to the client through an ARP receive ring whose filter passes nothing else.
// It keeps one arp_entry per requesting MAC: a genuine reply from the server's
// address makes the entry valid with the server's MAC; a later request for
// that address arms the entry's 1 ms timer; a genuine reply in time disarms
// it, otherwise the thread sends one 60-byte reply in the server's name to
// the requester.
//
// The server's address is the client's `server_address`, read afresh for
// every frame without the client's session lock: writers store its 32-bit address
// whole (std::atomic_ref), so the read is a single relaxed load.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/unique_fd.h"

struct tlt_context;

inline constexpr uint16_t ARP_ENTRY_VALID = 1u << 0;  // a genuine reply has been seen
inline constexpr uint16_t ARP_ENTRY_ARMED = 1u << 1;  // the timer is running
inline constexpr uint32_t ARP_PROXY_DELAY_NS = 1000000;
inline constexpr size_t ARP_REPLY_FRAME_LEN = 60;
// Ethernet header (14) and an Ethernet/IPv4 ARP message (28).
inline constexpr size_t ARP_FRAME_MIN_LEN = 42;
// Entries per thread. The receive filter admits requests from the client's
// MAC only, so one entry is the rule; the bound holds even without it.
inline constexpr size_t ARP_CACHE_MAX_ENTRIES = 256;

inline constexpr uint16_t ARP_OP_REQUEST = 1;
inline constexpr uint16_t ARP_OP_REPLY = 2;

// One per requesting MAC, owned by the thread's table keyed by that MAC.
// Addresses are in network byte order, MACs in wire order.
struct arp_entry {
  uint8_t requester_mac[6] = {};
  uint8_t target_mac[6] = {};  // learnt from the last genuine reply; zero until then
  uint8_t proxy_mac[6] = {};   // the interface's own MAC, the source of proxy replies
  uint32_t requester_ip = 0;
  uint32_t target_ip = 0;  // the address asked for, then the sender of each genuine reply
  uint16_t flags = 0;      // ARP_ENTRY_VALID | ARP_ENTRY_ARMED
  uint32_t delay = ARP_PROXY_DELAY_NS;
  unique_fd timer;  // CLOCK_REALTIME timerfd, non-blocking
  char interface[16] = {};
};

// An Ethernet frame holding an Ethernet/IPv4 ARP message, fields copied out.
struct arp_message {
  uint8_t eth_dst[6];
  uint8_t eth_src[6];
  uint16_t operation;  // host order
  uint8_t sender_mac[6];
  uint32_t sender_ip;  // network order
  uint8_t target_mac[6];
  uint32_t target_ip;  // network order
};

// Thread function (interface-thread contract); returns 0.
int arpproxy_thread(tlt_context* tlt);

// Closes the entry's timer and frees the entry.
void arp_entry_free(arp_entry* data);

// Reads `len` bytes of captured frame. False, with `out` untouched, unless
// they hold an Ethernet header of EtherType ARP and a whole ARP message for
// Ethernet (hardware type 1, length 6) and IPv4 (protocol type 0x0800,
// length 4). Bytes beyond `len` are never read.
bool arp_frame_parse(const uint8_t* frame, size_t len, arp_message* out);
