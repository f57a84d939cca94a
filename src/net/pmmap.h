// Packet-mmap rings (TPACKET_V2) and the packet-mmap listener.
//
// One pmmap_ring per ring socket, owned by the thread that opened it: 32
// frames, each large enough for a whole capture of the largest frame the
// interface carries (tlt->mtu). For an MTU of 1,500 that is 16 blocks of
// 4,096 bytes holding frames of 2,048 bytes; a larger MTU gets larger frames,
// a power of two, one or more to a block. Frames change hands with
// the kernel only through their status word, read and written with explicit
// acquire/release ordering. setup_pmmap_socket opens, binds, filters, maps and
// (for an IPv4 receive ring) joins the client's fanout group;
// release_pmmap_socket undoes all of it. The ring owns its socket and mapping:
// a ring that is destroyed without release_pmmap_socket releases them itself.
// The ARP proxy uses the same rings.
//
// Transmit rings are filled in ring order (pmmap_tx_frame, then
// pmmap_tx_commit) and handed to the kernel in batches by pmmap_tx_kick, one
// system call for every frame committed since the last kick.
#pragma once

#include <linux/if_packet.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

struct tlt_context;

// The geometry for an MTU of 1,500; no ring has smaller frames or blocks.
inline constexpr uint32_t PMMAP_BLOCK_SIZE = 4096;
inline constexpr uint32_t PMMAP_BLOCK_COUNT = 16;
inline constexpr uint32_t PMMAP_FRAME_SIZE = 2048;
inline constexpr uint32_t PMMAP_FRAME_COUNT = 32;
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

  pmmap_ring() = default;
  ~pmmap_ring();
  pmmap_ring(const pmmap_ring&) = delete;
  pmmap_ring& operator=(const pmmap_ring&) = delete;
};

// protocol: EtherType in network byte order (0x0800, 0x0806), or 0 for a
// send-only socket. The frames are sized for tlt->mtu (0: as for 1,500), so
// the rings of one thread agree as long as it does not change tlt->mtu
// between them. Returns the descriptor, or -1 with errno set and nothing left
// open.
int setup_pmmap_socket(pmmap_ring* ring, tlt_context* tlt, uint16_t protocol, int kind,
                       uint32_t fanout_mode);
void release_pmmap_socket(int fd, pmmap_ring* ring);
int get_mac_address(const char* interface, uint8_t mac[6]);
// The interface's MTU, or 0 when it cannot be read.
uint32_t get_interface_mtu(const char* interface);

int pmmap_listener(tlt_context* tlt);

// Joins `fd` (a bound IPv4 capture socket) to the packet fanout group of the
// tlt's interface in `fanout_mode`, with the MIO fanout program for
// PACKET_FANOUT_CBPF. The group id mixes the tlt's id with the process id, so
// that two daemons on one host never share a group. Both listeners use it.
// Returns 0, or -1 with errno set after logging.
int pmmap_fanout_join(int fd, const tlt_context* tlt, uint32_t fanout_mode);

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
