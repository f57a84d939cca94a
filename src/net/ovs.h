// The Open vSwitch listener and the transmit path.
//
// With packetMmap off, each listener thread captures its client's frames on a
// plain packet socket, hands each datagram to the engine and, unless the engine
// consumed it, sends it on through a raw IPv4 socket with the addresses it had.
// open_transmit_socket opens such raw sockets (IP_HDRINCL, IP_TRANSPARENT) for
// the listeners and for prepopulating clients. The engine sends what it builds
// through one of two senders: send_data (raw socket) or queue_data (a frame
// in a packet-mmap transmit ring, kicked by the listener after the engine
// returns).
//
// Both listeners (this one and the packet-mmap listener) take only whole
// datagrams: a capture cut short by the buffer or ring frame is counted and
// skipped, never parsed or forwarded; link padding past the IPv4 total length
// is never taken for payload; IPv4 fragments are passed on unchanged without
// the engine. Each listener publishes its counters (listener_stats) while it
// runs, readable through listener_stats_get.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

struct proxy_context;
struct tlt_context;
struct pmmap_ring;
struct tarn_frame;

inline constexpr size_t QUEUE_DATA_OVERHEAD = 94;  // Ethernet, IP, UDP and the ring's slot header
// The least receive buffer; an interface with a larger MTU gets room for its
// longest frame.
inline constexpr size_t OVS_RECEIVE_BUFFER = 8000;

struct listener_log_limit;

struct queue_data_context {
  int fd = -1;
  pmmap_ring* ring = nullptr;
  const uint8_t* src_mac = nullptr;
  const uint8_t* dst_mac = nullptr;
  // The link's MTU (0: unknown). A frame the ring holds but the link cannot
  // carry would be lost without a word, so it is refused here instead.
  uint32_t mtu = 0;
  // Holds back the warning for replies too long for the ring when it repeats
  // (null: every one is logged).
  listener_log_limit* refused_log = nullptr;
};

int open_transmit_socket(proxy_context* context);
int ovs_listener(tlt_context* tlt);
// `arg` points at the transmit socket's descriptor (an int).
ssize_t send_data(void* arg, const struct sockaddr_in* src, const struct sockaddr_in* dst,
                  const void* payload, size_t len);
// `arg` is a queue_data_context. Returns len when queued, 0 when it does not
// fit or no transmit frame came free in time.
ssize_t queue_data(void* arg, const struct sockaddr_in* src, const struct sockaddr_in* dst,
                   const void* payload, size_t len);

// What one listener thread has seen. The thread alone writes the counters.
struct listener_stats {
  std::atomic<uint64_t> captured{0};      // frames taken from the socket or ring
  std::atomic<uint64_t> processed{0};     // datagrams handed to the engine
  std::atomic<uint64_t> forwarded{0};     // frames passed on (fragments included)
  std::atomic<uint64_t> invalid{0};       // shorter than the headers they need or claim
  std::atomic<uint64_t> truncated{0};     // cut short by the capture
  std::atomic<uint64_t> fragments{0};     // IPv4 fragments, passed on unparsed
  std::atomic<uint64_t> kernel_drops{0};  // dropped by the kernel for want of room
  std::atomic<uint64_t> tx_dropped{0};    // not sent: no transmit frame in time, or send failed
};

// A copy of a listener's counters.
struct listener_counts {
  uint64_t captured = 0, processed = 0, forwarded = 0, invalid = 0, truncated = 0, fragments = 0,
           kernel_drops = 0, tx_dropped = 0;
};

// A listener thread publishes its counters under its tlt_context from before
// it reports ready until it returns.
void listener_stats_publish(const tlt_context* tlt, listener_stats* stats);
void listener_stats_withdraw(const tlt_context* tlt);
// False when no listener publishes counters for `tlt`.
bool listener_stats_get(const tlt_context* tlt, listener_counts* out);

// How a listener takes a captured frame.
enum listener_verdict {
  LISTENER_DATAGRAM,   // a whole unfragmented IPv4/UDP datagram: for the engine
  LISTENER_FRAGMENT,   // a whole IPv4 fragment: passed on unparsed
  LISTENER_TRUNCATED,  // the capture holds less than the frame had: skipped
  LISTENER_INVALID,    // too short for its headers or for its own length: skipped
};

struct listener_capture {
  const uint8_t* ip = nullptr;  // the IPv4 header, 14 bytes into the frame
  size_t ihl = 0;               // its length
  size_t ip_len = 0;            // the IPv4 total length: link padding is not part of it
};

// eth: the captured frame, Ethernet header first; captured: the bytes there
// are; wire: the frame's true length. Reads no byte beyond `captured`.
listener_verdict listener_check_frame(const uint8_t* eth, size_t captured, size_t wire,
                                      listener_capture* out);
// The engine's view of a frame that listener_check_frame took as a datagram.
void listener_fill_frame(const uint8_t* eth, const listener_capture& cap, tarn_frame* frame);

// Reads and resets the kernel's count of frames it dropped on `fd` for want
// of room (PACKET_STATISTICS). Returns the count, 0 if it cannot be read.
uint64_t listener_read_kernel_drops(int fd);

// A listener's per-packet log lines of one kind go out at most once per
// interval, the first at once; the others are counted and reported with the
// next line that goes out. Owned by one thread.
inline constexpr int64_t LISTENER_LOG_INTERVAL_US = 10'000'000;
struct listener_log_limit {
  int64_t last_us = 0;
  uint64_t suppressed = 0;
};
// True when a line may go out now; *suppressed is then how many were held
// back since the last one.
bool listener_log_due(listener_log_limit* limit, uint64_t* suppressed);
