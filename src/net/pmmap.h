// Packet-mmap rings (TPACKET_V2) and the packet-mmap listener.
//
// One pmmap_ring per ring socket, owned by the thread that opened it: 32
// frames (a listener's rings: listenerRingKiB of them, 256 frames by
// default), each large enough for a whole capture of the largest frame the
// interface carries (tlt->mtu). For an MTU of 1,500 frames are 2,048 bytes, two
// to a 4,096-byte block; a larger MTU gets larger frames, a power of two, one
// or more to a block. Every ring's mapping is counted in its client's and the
// daemon's ring_bytes while it lives. Frames change hands with the kernel only through their status
// word, read and written with explicit acquire/release ordering. setup_pmmap_socket opens, binds,
// filters, maps and (for an IPv4 receive ring) joins the client's fanout group;
// release_pmmap_socket undoes all of it. The ring owns its socket and mapping: a ring that is
// destroyed without release_pmmap_socket releases them itself. The ARP proxy uses the same rings.
//
// Transmit rings are filled in ring order (pmmap_tx_frame, then
// pmmap_tx_commit) and handed to the kernel in batches by pmmap_tx_kick, one
// system call for every frame committed since the last kick. The engine's
// sender for a packet-mmap listener, queue_data, builds its replies in such a
// ring, which the listener kicks after the engine returns.
#pragma once

#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "contexts/proxy_context.h"
#include "core/log.h"

struct tlt_context;
struct metrics_record;

// The geometry for an MTU of 1,500; no ring has smaller frames or blocks.
inline constexpr uint32_t PMMAP_BLOCK_SIZE = 4096;
inline constexpr uint32_t PMMAP_BLOCK_COUNT = 16;
inline constexpr uint32_t PMMAP_FRAME_SIZE = 2048;
inline constexpr uint32_t PMMAP_FRAME_COUNT = 32;
// The memory of one listener thread's two rings with the default
// listenerRingKiB.
inline constexpr uint64_t PMMAP_LISTENER_RING_BYTES =
    2 * uint64_t{LISTENER_RING_KIB_DEFAULT} * 1024;
// Where a transmit frame's Ethernet frame starts: the aligned tpacket2 header.
inline constexpr uint32_t PMMAP_TX_DATA_OFFSET = 32;
// The longest a transmit frame may take to come free before the frame waiting
// for it is dropped; a healthy ring frees frames within microseconds.
inline constexpr int PMMAP_TX_WAIT_LIMIT_MS = 100;

struct pmmap_frame {
  uint8_t* start = nullptr;
  uint32_t length = 0;
};

struct pmmap_ring {
  std::vector<pmmap_frame> frames;
  uint8_t* mapping = nullptr;
  int kind = 0;  // PACKET_RX_RING or PACKET_TX_RING
  struct tpacket_req req {};
  uint32_t current = 0;  // next frame to look at (receive) or fill (transmit)
  int fd = -1;           // the ring's socket, set by setup_pmmap_socket

  // Transmit bookkeeping, touched only by the owning thread.
  uint32_t unsent = 0;   // frames committed since the last successful kick
  bool stalled = false;  // the last wait for a free frame ran out of time
  uint64_t dropped = 0;  // frames given up because no transmit frame came free
  // Where the mapping is counted (ring_bytes), to be taken off on release.
  metrics_record* counted_in[2] = {};

  pmmap_ring() = default;
  ~pmmap_ring();
  pmmap_ring(const pmmap_ring&) = delete;
  pmmap_ring& operator=(const pmmap_ring&) = delete;
};

// protocol: EtherType in network byte order (0x0800, 0x0806), or 0 for a
// send-only socket. The ring has `frames` frames sized for tlt->mtu (0: as for
// 1,500), so the rings of one thread agree as long as it does not change
// tlt->mtu between them. Returns the descriptor, or -1 with errno set and
// nothing left open.
int setup_pmmap_socket(pmmap_ring* ring, tlt_context* tlt, uint16_t protocol, int kind,
                       uint32_t fanout_mode, uint32_t frames = PMMAP_FRAME_COUNT);
// The frames of each of a listener thread's rings of `ring_kib` KiB for a
// link of `mtu`: whole blocks, and never fewer than PMMAP_FRAME_COUNT. One
// flow's fragments all land on one receive ring of the fanout, so the default
// holds four MIO replies of 32 fragments with the client's own reads and
// slack at an MTU of 1,500; the transmit ring matches, so that a drained batch
// does not wait for room.
uint32_t pmmap_listener_frames(uint32_t ring_kib, uint32_t mtu);
void release_pmmap_socket(int fd, pmmap_ring* ring);

int pmmap_listener(tlt_context* tlt);

// The transmit ring's current frame once it is free, advancing the ring; null
// when it did not come free within PMMAP_TX_WAIT_LIMIT_MS (then ring->dropped
// counts the frame and ring->stalled is set: later calls do not wait again
// until a frame has come free). Kicks the ring while it waits.
uint8_t* pmmap_tx_frame(pmmap_ring* ring);
// Hands a frame from pmmap_tx_frame, holding `len` bytes at
// PMMAP_TX_DATA_OFFSET, to the kernel for the next kick.
void pmmap_tx_commit(pmmap_ring* ring, uint8_t* frame, uint32_t len);
// Asks the kernel to send every committed frame, without blocking. Returns 0
// (also when nothing was pending), or -1 with errno set.
int pmmap_tx_kick(pmmap_ring* ring);

inline constexpr size_t QUEUE_DATA_OVERHEAD = 94;  // Ethernet, IP, UDP and the ring's slot header

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
  log_limit* refused_log = nullptr;
};

// `arg` is a queue_data_context. Returns len when queued, 0 when it does not
// fit or no transmit frame came free in time.
ssize_t queue_data(void* arg, const struct sockaddr_in* src, const struct sockaddr_in* dst,
                   const void* payload, size_t len);
