// Raw IPv4/UDP datagrams and the packet-socket filter programs.
//
// The daemon reads whole Ethernet frames and sends UDP datagrams with IPv4
// headers of its own, carrying the real client's and server's addresses. This
// module holds what all of that shares: the UDP and IPv4 checksums, sending one
// datagram through a raw IPv4 socket (IP_HDRINCL), and the two classic BPF
// programs that let the kernel pass only a client's UDP traffic, or the ARP
// traffic the ARP proxy needs. Everything here works on its arguments only and
// may run on any number of threads.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

inline constexpr size_t UDP_IP_HEADER_LEN = 28;  // IPv4 header (20) + UDP header (8)

// Stores the RFC 768 checksum of the IPv4 datagram `ip` (header, UDP header,
// payload; ip_len bytes from the IP header) in its UDP header; 0 becomes 0xFFFF.
// The caller guarantees ip_len >= IP header length + 8.
void calculate_udp_checksum(uint8_t* ip, size_t ip_len);

// Whether the UDP checksum of the IPv4 datagram `ip` (ip_len bytes from the IP
// header) is right over the length its UDP header states, as the receiver
// will check it; a datagram sent without one (0) passes. A UDP length the
// datagram cannot hold is wrong.
bool udp_checksum_valid(const uint8_t* ip, size_t ip_len);

// Brings the UDP checksum of the IPv4 datagram `ip` (header length `ihl`) up
// to date after `len` bytes at `at` (counted from the UDP header, even) changed
// from `before` to what they hold now (RFC 1624), without reading the rest. A
// datagram sent without a checksum (0) keeps none.
void udp_checksum_update(uint8_t* ip, size_t ihl, size_t at, const uint8_t* before, size_t len);

// Stores the checksum of the 20-byte IPv4 header `ip`.
void calculate_ip_checksum(uint8_t* ip);

// Sends `payload` as one UDP datagram from `src` to `dst` through `fd`, a raw
// IPv4 socket with IP_HDRINCL. Returns the payload bytes sent, or a negative
// number (the send's result minus 28) when sending failed.
ssize_t inet_raw_udp_send(int fd, const struct sockaddr_in* src, const struct sockaddr_in* dst,
                          const void* payload, size_t len);

// The 28-byte IPv4/UDP header inet_raw_udp_send puts before `len` payload
// bytes from `src` to `dst`, with `checksum` (as stored, network order) taken
// as it is: for a datagram whose checksum is already known.
void inet_raw_udp_header(uint8_t h[UDP_IP_HEADER_LEN], const struct sockaddr_in* src,
                         const struct sockaddr_in* dst, size_t len, uint16_t checksum);

// Passes the unicast IPv4 UDP frames to or from `client_mac`.
int configure_filter(int fd, const uint8_t client_mac[6]);

// Passes ARP requests sent by the client and ARP replies addressed to the
// client that this interface did not send itself.
int configure_arp_filter(int fd, const uint8_t if_mac[6], const uint8_t client_mac[6]);

// The one's complement sum of `len` bytes folded to 16 bits, in the byte order
// the bytes are stored in (so it can be stored back with memcpy). Exposed for
// tests and benchmarks.
uint16_t udp_csum_fold(const uint8_t* data, size_t len, uint64_t initial);
