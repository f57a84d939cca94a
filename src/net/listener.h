// What every interface thread shares: the packet-mmap and plain-socket
// listeners and the ARP proxy.
//
// A thread function receives its tlt_context and fills a listener_thread:
// listener_open makes its poll set, the thread opens its sockets, and
// listener_ready adds them and efd to the set before it reports ready
// (signal_thread_ready), so that a thread reported ready always hears its stop
// request. A thread that fails reports signal_thread_error(errno) exactly
// once, releases what it acquired and returns. listener_wait then hands back
// the descriptors that became ready, having read efd itself, until
// INTERFACE_THREAD_STOP arrives. A thread never closes efd or status_efd and
// never frees its tlt_context.
//
// The two IPv4 listeners take only whole datagrams (listener_check_frame): a
// capture cut short by the buffer or ring frame is counted and skipped, never
// parsed or forwarded; link padding past the IPv4 total length is never taken
// for payload; IPv4 fragments are passed on unchanged without the engine. A
// listener publishes its counters (listener_stats) while it runs, readable
// through listener_stats_get. Its per-packet lines of one kind go out at most
// once per LISTENER_LOG_INTERVAL_US (listener_log_due).
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "core/log.h"
#include "core/unique_fd.h"
#include "protocol/tarn.h"

struct proxy_context;
struct client_context;
struct tarn_frame;

inline constexpr uint64_t INTERFACE_THREAD_STOP = 0xDEADBEEF;
inline constexpr uint64_t INTERFACE_THREAD_READY = 0xFFFFFFFFFFFFFFFEull;  // -2
inline constexpr int64_t LISTENER_LOG_INTERVAL_US = 10'000'000;

struct tlt_context {
  std::string name;
  std::string interface;
  client_context* client = nullptr;
  uint16_t fanout_group_id = 0;
  uint8_t mac[6] = {};  // the interface's own MAC, filled by the thread when it needs it
  uint32_t mtu = 0;     // the interface's MTU, filled like `mac`; 0 when unknown
  int efd = -1;         // stop channel
  int status_efd = -1;  // readiness channel; -1 once the creator has consumed it
  proxy_context* context = nullptr;
  std::thread thread;
  // Set by the first signal_thread_ready/_error; a second report is refused,
  // so it can never reach a descriptor the creator has closed meanwhile.
  std::atomic<bool> signalled{false};
};
using tlt_function = int (*)(tlt_context* tlt);

void signal_thread_ready(tlt_context* tlt);
// `err` is a positive errno; a negative one is taken as its magnitude and 0 as
// EIO, so that a failure can never read as success or go unheard.
void signal_thread_error(tlt_context* tlt, int err);

// What one listener thread has seen. The thread alone writes the counters
// (listener_add).
struct listener_stats {
  std::atomic<uint64_t> captured{0};       // frames taken from the socket or ring
  std::atomic<uint64_t> processed{0};      // datagrams handed to the engine
  std::atomic<uint64_t> forwarded{0};      // frames passed on (fragments included)
  std::atomic<uint64_t> invalid{0};        // shorter than the headers they need or claim
  std::atomic<uint64_t> truncated{0};      // cut short by the capture
  std::atomic<uint64_t> fragments{0};      // IPv4 fragments, passed on unparsed
  std::atomic<uint64_t> kernel_drops{0};   // dropped by the kernel for want of room
  std::atomic<uint64_t> tx_dropped{0};     // not sent: no transmit frame in time, or send failed
  std::atomic<uint64_t> bad_checksums{0};  // passed on unparsed: damaged on the way
};

// A copy of a listener's counters.
struct listener_counts {
  uint64_t captured = 0, processed = 0, forwarded = 0, invalid = 0, truncated = 0, fragments = 0,
           kernel_drops = 0, tx_dropped = 0, bad_checksums = 0;
};

// False when no listener publishes counters for `tlt`.
bool listener_stats_get(const tlt_context* tlt, listener_counts* out);

struct listener_thread {
  tlt_context* tlt = nullptr;
  std::string who;       // opens the thread's lines: "Client <uuid> - " or ""
  std::string held_who;  // opens the line that counts held-back lines
  unique_fd epfd;
  bool published = false;
  // Set by a packet listener before listener_ready: it watches its client's
  // held_wake and wakes by the client's held_due, to answer or forward the
  // client's held reads (tarn_serve_held).
  bool serve_held = false;
  listener_stats stats;
  log_limit invalid_log, truncated_log, drops_log;
  uint64_t drops_unlogged = 0;

  listener_thread() = default;
  listener_thread(const listener_thread&) = delete;
  listener_thread& operator=(const listener_thread&) = delete;
};

// Takes the thread's lines' openings (with `client_lines`, "Client <uuid> - ")
// and makes the poll set; on failure logs, reports the error and returns
// false.
bool listener_open(listener_thread* t, tlt_context* tlt, bool client_lines);
// Watches `fd` and efd, then (with `publish`, the stats) reports ready. On
// failure logs, reports the error and returns false.
bool listener_ready(listener_thread* t, int fd, bool publish);
// Ready events other than efd's (and held_wake's), stored from events[0]; 0
// when the client's earliest held read falls due (serve_held); -1 once the
// stop value arrives or waiting fails. Other values on efd are read and
// ignored.
int listener_wait(listener_thread* t, epoll_event* events, int max);
// The summary line and the end of the counters' publication.
void listener_finish(listener_thread* t);

// The thread is a counter's only writer: a plain load and store keep it
// exact without a locked read-modify-write per packet.
inline void listener_add(std::atomic<uint64_t>& counter, uint64_t n = 1) {
  counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// True when a rate-limited line may go out now; first logs how many lines
// were held back, if any.
bool listener_log_due(listener_thread* t, log_limit* limit);

// Reads and resets the kernel's count of frames it dropped on `fd` for want
// of room (PACKET_STATISTICS), counts them, and with `force`, or when due,
// logs what is not logged yet: "... frames for want of <room>".
void listener_note_kernel_drops(listener_thread* t, int fd, bool force, const char* room);

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
// Counts a frame that is no datagram or fragment; true when its line is due.
bool listener_skip(listener_thread* t, listener_verdict verdict);
// The engine's view of a frame that listener_check_frame took as a datagram.
void listener_fill_frame(const uint8_t* eth, const listener_capture& cap, tarn_frame* frame);

// The bytes of a datagram the engine may edit, as they were before it saw
// them (listener_save_head), so that the checksum can follow its edit.
struct listener_head {
  uint8_t bytes[TARN_EDIT_SPAN];
  size_t len = 0;
};
void listener_save_head(const listener_capture& cap, listener_head* head);
// False for a datagram whose UDP checksum is wrong where neither the device
// verified it nor the sender left it to the device (the capture's status):
// damaged on the way, it is passed on untouched, as without the daemon, and
// never reaches the engine, which would cache its data and serve it later
// under a checksum of its own. Counts it in bad_checksums.
bool listener_checksum_sound(listener_thread* t, const listener_capture& cap, uint32_t status);
// Makes the UDP checksum of a datagram the engine passed on right for what it
// holds now: in full where the capture says the sender left the checksum to
// the device (`missing`), else only for the header words the engine changed.
void listener_fix_checksum(const listener_capture& cap, bool missing, const listener_head& head);

// Joins `fd` (a bound IPv4 capture socket) to the packet fanout group of the
// tlt's interface in `fanout_mode`, with the MIO fanout program for
// PACKET_FANOUT_CBPF. The group id mixes the tlt's id with the process id, so
// that two daemons on one host never share a group. Returns 0, or -1 with
// errno set after logging.
int listener_fanout_join(int fd, const tlt_context* tlt, uint32_t fanout_mode);
int get_mac_address(const char* interface, uint8_t mac[6]);
// The interface's MTU, or 0 when it cannot be read.
uint32_t get_interface_mtu(const char* interface);
