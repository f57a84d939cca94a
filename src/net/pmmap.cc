#include "net/pmmap.h"

#include <glib.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <new>

#include "contexts/clients.h"
#include "contexts/proxy_context.h"
#include "metrics/metrics.h"
#include "net/listener.h"
#include "net/udp.h"
#include "net/wire.h"
#include "protocol/tarn.h"

namespace {

constexpr size_t ETH_HEADER_LEN = 14;
constexpr int MAX_EVENTS = 10;
// Where the kernel puts a capture's IPv4 header in a receive frame: after the
// frame header and at least 16 bytes for the link header, aligned. A datagram
// of up to the MTU follows; a VLAN tag is never in it (the kernel moves it to
// tp_vlan_tci first).
constexpr uint32_t RX_NETWORK_OFFSET = TPACKET_ALIGN(TPACKET2_HDRLEN + 16);
// Room for any IPv4 datagram but the last few bytes of the longest: larger
// frames would only grow every ring for links no one runs.
constexpr uint32_t FRAME_SIZE_MAX = 65536;

// Frames of a power of two hold a whole capture from a link of `mtu`, and
// blocks are whole pages holding whole frames.
uint32_t frame_size_for(uint32_t mtu) {
  const uint64_t need = uint64_t{RX_NETWORK_OFFSET} + (mtu != 0 ? mtu : 1500);
  uint32_t frame = PMMAP_FRAME_SIZE;
  while (frame < need && frame < FRAME_SIZE_MAX) frame *= 2;
  return frame;
}

uint32_t block_size_for(uint32_t frame) {
  const long page = sysconf(_SC_PAGESIZE);
  return std::max({frame, PMMAP_BLOCK_SIZE, page > 0 ? static_cast<uint32_t>(page) : 0u});
}

// `frames` is rounded up to whole blocks.
struct tpacket_req ring_geometry(uint32_t mtu, uint32_t frames) {
  const uint32_t frame = frame_size_for(mtu);
  const uint32_t block = block_size_for(frame);
  const uint32_t per_block = block / frame;
  const uint32_t blocks = std::max(1u, (frames + per_block - 1) / per_block);
  return {block, blocks, frame, blocks * per_block};
}

// The status word opens every tpacket2 frame; the kernel and this thread
// hand a frame to each other only by writing it, so every read of it
// acquires what the other side wrote into the frame before, and every write
// releases what this side wrote.
std::atomic_ref<uint32_t> frame_status(uint8_t* frame) {
  return std::atomic_ref<uint32_t>(reinterpret_cast<struct tpacket2_hdr*>(frame)->tp_status);
}

// Saves errno across the clean-up of a failed set-up, for the caller's
// signal_thread_error.
int fail_with(int err, int fd, pmmap_ring* ring) {
  release_pmmap_socket(fd, ring);
  errno = err;
  return -1;
}

struct pmmap_state {
  listener_thread base;
  pmmap_ring rx;
  pmmap_ring tx;
  log_limit kick_log, stall_log, refused_log;
  uint64_t stall_logged = 0;  // tx.dropped when the last stall was reported
};

const char* who(const pmmap_state* st) {
  return st->base.who.c_str();
}

// Copies a captured frame into the transmit ring with the interface's MAC as
// its source. The ring goes out at the end of the drain.
void forward(pmmap_state* st, const uint8_t* eth, size_t len) {
  uint8_t* slot = pmmap_tx_frame(&st->tx);
  if (slot == nullptr) return;  // counted in tx.dropped, reported after the drain
  uint8_t* out = slot + PMMAP_TX_DATA_OFFSET;
  memcpy(out, eth, len);
  memcpy(out + 6, st->base.tlt->mac, 6);
  pmmap_tx_commit(&st->tx, slot, static_cast<uint32_t>(len));
  listener_add(st->base.stats.forwarded);
}

// A datagram the engine passes on from inside its call (tarn_sender::pass).
struct pass_on {
  pmmap_state* st;
  uint8_t* eth;
  const listener_capture* cap;
  const listener_head* head;
  bool checksum_missing;
  bool done = false;
};

void kick(pmmap_state* st) {
  if (pmmap_tx_kick(&st->tx) != 0) {
    int err = errno;
    if (listener_log_due(&st->base, &st->kick_log))
      g_warning("%ssend error: %s", who(st), g_strerror(err));
  }
}

void pass_out(pass_on* p) {
  if (p->done) return;
  p->done = true;
  // The engine may have edited the header; and a sender on the same host may
  // have left the checksum to the device, which a veth passes on unfilled.
  listener_fix_checksum(*p->cap, p->checksum_missing, *p->head);
  forward(p->st, p->eth, ETH_HEADER_LEN + p->cap->ip_len);
}

// The engine's pass: out at once, not at the end of the drain.
void pass_frame(void* arg) {
  pass_out(static_cast<pass_on*>(arg));
  kick(static_cast<pass_on*>(arg)->st);
}

// One captured frame (pmmap_process_packet) with its status word.
void process_frame(pmmap_state* st, uint8_t* f, uint32_t status) {
  listener_thread& t = st->base;
  const auto* h = reinterpret_cast<const struct tpacket2_hdr*>(f);
  const uint32_t mac = h->tp_mac, net = h->tp_net, snaplen = h->tp_snaplen, len = h->tp_len;
  listener_add(t.stats.captured);
  const long ip_len = static_cast<long>(snaplen) - (static_cast<long>(net) - mac);

  listener_capture cap;
  listener_verdict verdict = LISTENER_INVALID;
  // The kernel keeps a capture inside its frame; checked all the same, since
  // everything below reads there.
  if (mac + static_cast<uint64_t>(snaplen) <= st->rx.req.tp_frame_size &&
      net == mac + ETH_HEADER_LEN) {
    verdict = listener_check_frame(f + mac, snaplen, len, &cap);
  } else if (snaplen < len) {
    verdict = LISTENER_TRUNCATED;
  }
  switch (verdict) {
    case LISTENER_TRUNCATED:
      // A frame longer than the ring's frame keeps only its head: it is
      // never taken for the datagram it was.
      if (listener_skip(&t, verdict)) {
        g_warning("%sThread %s skips a capture of %u of %u bytes, cut short by the ring", who(st),
                  t.tlt->name.c_str(), snaplen, len);
      }
      return;
    case LISTENER_INVALID:
      if (listener_skip(&t, verdict)) {
        g_message("%spmmap_process_packet skips invalid udp message size %lu", who(st),
                  static_cast<unsigned long>(ip_len));
      }
      return;
    case LISTENER_FRAGMENT:
      listener_add(t.stats.fragments);
      forward(st, f + mac, ETH_HEADER_LEN + cap.ip_len);
      return;
    case LISTENER_DATAGRAM:
      if (listener_checksum_sound(&t, cap, status)) break;
      forward(st, f + mac, ETH_HEADER_LEN + cap.ip_len);
      return;
  }

  uint8_t* eth = f + mac;
  queue_data_context q;
  q.fd = st->tx.fd;
  q.ring = &st->tx;
  q.src_mac = t.tlt->mac;
  q.mtu = t.tlt->mtu;
  q.refused_log = &st->refused_log;
  q.dst_mac = eth + 6;
  listener_head head;
  listener_save_head(cap, &head);
  pass_on pass{st, eth, &cap, &head, (status & TP_STATUS_CSUMNOTREADY) != 0};
  const tarn_sender sender = {queue_data, &q, pass_frame, &pass};
  tarn_frame frame;
  listener_fill_frame(eth, cap, &frame);
  uint8_t* ip = eth + ETH_HEADER_LEN;
  listener_add(t.stats.processed);
  if (tarn_process_packet(t.tlt->context, &sender, t.tlt->client, &frame, ip + cap.ihl + 8,
                          cap.ip_len - cap.ihl - 8) == 1) {
    pass_out(&pass);
  }
}

void note_kernel_drops(pmmap_state* st, bool force) {
  listener_note_kernel_drops(&st->base, st->rx.fd, force, "room in the receive ring");
}

void note_tx_stall(pmmap_state* st, bool force) {
  st->base.stats.tx_dropped.store(st->tx.dropped, std::memory_order_relaxed);
  if (st->tx.dropped == st->stall_logged ||
      (!force && !listener_log_due(&st->base, &st->stall_log))) {
    return;
  }
  g_warning("%sThread %s: no transmit frame came free within %d ms; %" PRIu64 " frames dropped",
            who(st), st->base.tlt->name.c_str(), PMMAP_TX_WAIT_LIMIT_MS,
            st->tx.dropped - st->stall_logged);
  st->stall_logged = st->tx.dropped;
}

// The sender of the client's held reads: replies to the client's MAC, and a
// held read forwarded after all to the MAC it was sent to; both from the
// interface's own MAC, as forward() sends.
struct held_sender {
  pmmap_state* st;
  queue_data_context q;
};

ssize_t send_held(void* arg, const struct sockaddr_in* src, const struct sockaddr_in* dst,
                  const void* payload, size_t len) {
  return queue_data(&static_cast<held_sender*>(arg)->q, src, dst, payload, len);
}

ssize_t forward_held(void* arg, const tarn_frame* frame, const void* payload, size_t len) {
  auto* h = static_cast<held_sender*>(arg);
  queue_data_context q = h->q;
  q.dst_mac = frame->dst_mac;
  const ssize_t sent = queue_data(&q, &frame->src, &frame->dst, payload, len);
  if (sent > 0) listener_add(h->st->base.stats.forwarded);
  return sent;
}

void serve_held(pmmap_state* st) {
  client_context* cc = st->base.tlt->client;
  if (cc->held_count.load(std::memory_order_relaxed) == 0) return;
  held_sender h{st, {}};
  h.q.fd = st->tx.fd;
  h.q.ring = &st->tx;
  h.q.src_mac = st->base.tlt->mac;
  h.q.dst_mac = cc->mac.data();
  h.q.mtu = st->base.tlt->mtu;
  h.q.refused_log = &st->refused_log;
  tarn_sender sender = {send_held, &h};
  sender.forward = forward_held;
  tarn_serve_held(st->base.tlt->context, cc, &sender, g_get_monotonic_time());
}

// Handles what the receive ring holds, at most one lap of it so that a stop
// request is seen between laps, then sends what the lap queued with one
// system call.
void drain(pmmap_state* st) {
  pmmap_ring& rx = st->rx;
  const uint32_t count = static_cast<uint32_t>(rx.frames.size());
  bool losing = false;
  for (uint32_t i = 0; i < count; i++) {
    uint8_t* f = rx.frames[rx.current].start;
    const uint32_t status = frame_status(f).load(std::memory_order_acquire);
    if ((status & TP_STATUS_USER) == 0) break;
    // Set on frames captured while the kernel had dropped frames that
    // PACKET_STATISTICS has not reported yet.
    losing |= (status & TP_STATUS_LOSING) != 0;
    process_frame(st, f, status);
    frame_status(f).store(TP_STATUS_KERNEL, std::memory_order_release);
    rx.current = (rx.current + 1) % count;
  }
  serve_held(st);
  kick(st);
  if (losing) note_kernel_drops(st, false);
  if (st->tx.dropped != st->stall_logged) note_tx_stall(st, false);
}

}  // namespace

pmmap_ring::~pmmap_ring() {
  if (mapping != nullptr || fd >= 0) release_pmmap_socket(fd, this);
}

uint32_t pmmap_listener_frames(uint32_t ring_kib, uint32_t mtu) {
  const uint32_t frame = frame_size_for(mtu);
  const uint32_t per_block = block_size_for(frame) / frame;
  const uint64_t fit = uint64_t{ring_kib} * 1024 / frame;
  return static_cast<uint32_t>(
      std::max<uint64_t>(PMMAP_FRAME_COUNT, std::min<uint64_t>(fit - fit % per_block, 1u << 20)));
}

int setup_pmmap_socket(pmmap_ring* ring, tlt_context* tlt, uint16_t protocol, int kind,
                       uint32_t fanout_mode, uint32_t frames) {
  g_return_val_if_fail(ring != NULL && tlt != NULL, -1);
  if (ring->mapping != nullptr || ring->fd >= 0) release_pmmap_socket(ring->fd, ring);

  int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    int err = errno;
    g_warning("socket: %s", g_strerror(err));
    errno = err;
    return -1;
  }
  int version = TPACKET_V2;
  if (setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) {
    int err = errno;
    g_warning("setsockopt PACKET_VERSION: %s", g_strerror(err));
    return fail_with(err, fd, ring);
  }

  ring->frames.clear();
  ring->mapping = nullptr;
  ring->kind = 0;
  ring->req = {};
  ring->current = 0;
  ring->unsent = 0;
  ring->stalled = false;
  ring->dropped = 0;
  ring->fd = fd;
  // A malformed frame in a transmit ring is skipped rather than stopping
  // transmission.
  int one = 1;
  if (setsockopt(fd, SOL_PACKET, PACKET_LOSS, &one, sizeof one) != 0) {
    int err = errno;
    g_warning("setsockopt PACKET_LOSS: %s", g_strerror(err));
    return fail_with(err, fd, ring);
  }

  const unsigned ifindex = if_nametoindex(tlt->interface.c_str());
  if (ifindex == 0) {
    int err = errno;
    g_warning("Interface %s doesn't exist: %s", tlt->interface.c_str(), g_strerror(err));
    return fail_with(err, fd, ring);
  }
  struct sockaddr_ll sll {};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = protocol;
  sll.sll_ifindex = static_cast<int>(ifindex);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&sll), sizeof sll) != 0) {
    int err = errno;
    g_warning("bind: %s", g_strerror(err));
    return fail_with(err, fd, ring);
  }

  if (kind == PACKET_RX_RING && (protocol == htons(ETH_P_IP) || protocol == htons(ETH_P_ARP))) {
    int rc = -1;
    errno = EINVAL;
    if (tlt->client != nullptr) {
      rc = protocol == htons(ETH_P_IP)
               ? configure_filter(fd, tlt->client->mac.data())
               : configure_arp_filter(fd, tlt->mac, tlt->client->mac.data());
    }
    if (rc != 0) {
      int err = errno;
      g_warning("Client %s - rx socket error, could not configure_filter",
                tlt->client != nullptr ? tlt->client->uuid.c_str() : "(none)");
      return fail_with(err, fd, ring);
    }
  }

  ring->kind = kind;
  ring->req = ring_geometry(tlt->mtu, std::max(frames, 1u));
  // Setting the receive ring also discards what the socket queued since it
  // was bound, before the filter was attached.
  if (setsockopt(fd, SOL_PACKET, kind, &ring->req, sizeof ring->req) != 0) {
    int err = errno;
    g_warning("setsockopt PACKET_[R/T]X_RING: %s", g_strerror(err));
    return fail_with(err, fd, ring);
  }

  try {
    ring->frames.resize(ring->req.tp_frame_nr);
  } catch (const std::bad_alloc&) {
    g_warning("ring malloc: %s", g_strerror(ENOMEM));
    return fail_with(ENOMEM, fd, ring);
  }

  const size_t size = size_t{ring->req.tp_block_size} * ring->req.tp_block_nr;
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    int err = errno;
    g_warning("mmap: %s", g_strerror(err));
    return fail_with(err, fd, ring);
  }
  ring->mapping = static_cast<uint8_t*>(map);
  if (tlt->client != nullptr && tlt->context != nullptr) {
    ring->counted_in[0] = &tlt->context->metrics;
    ring->counted_in[1] = &tlt->client->metrics;
    metrics_add_ring_bytes(ring->counted_in[0], ring->counted_in[1], static_cast<int64_t>(size));
  }
  for (uint32_t i = 0; i < ring->req.tp_frame_nr; i++) {
    ring->frames[i] = {ring->mapping + size_t{i} * ring->req.tp_frame_size,
                       ring->req.tp_frame_size};
  }

  // ARP rings and transmit rings stay outside any fanout group.
  if (kind == PACKET_RX_RING && protocol == htons(ETH_P_IP) &&
      listener_fanout_join(fd, tlt, fanout_mode) != 0) {
    return fail_with(errno, fd, ring);
  }
  return fd;
}

void release_pmmap_socket(int fd, pmmap_ring* ring) {
  if (ring != nullptr) {
    if (ring->mapping != nullptr) {
      const size_t size = size_t{ring->req.tp_block_size} * ring->req.tp_block_nr;
      munmap(ring->mapping, size);
      ring->mapping = nullptr;
      if (ring->counted_in[0] != nullptr) {
        metrics_add_ring_bytes(ring->counted_in[0], ring->counted_in[1],
                               -static_cast<int64_t>(size));
      }
      ring->counted_in[0] = ring->counted_in[1] = nullptr;
    }
    ring->frames.clear();
    ring->frames.shrink_to_fit();
    if (ring->fd >= 0 && ring->fd != fd) close(ring->fd);
    ring->fd = -1;
    ring->current = 0;
    ring->unsent = 0;
  }
  if (fd >= 0) close(fd);
}

uint8_t* pmmap_tx_frame(pmmap_ring* ring) {
  if (ring->frames.empty()) return nullptr;
  uint8_t* f = ring->frames[ring->current].start;
  int64_t deadline = 0;
  // A frame stays busy from SEND_REQUEST until the kernel has let go of the
  // buffer it sent from it (SENDING while a device still holds it).
  while ((frame_status(f).load(std::memory_order_acquire) &
          (TP_STATUS_SEND_REQUEST | TP_STATUS_SENDING)) != 0) {
    // Frames committed but not yet kicked would never come free by waiting;
    // once kicked, a veth frees them within the call, so look again first.
    if (ring->unsent != 0 && pmmap_tx_kick(ring) == 0) continue;
    const int64_t now = g_get_monotonic_time();
    if (deadline == 0 && !ring->stalled) {
      deadline = now + int64_t{PMMAP_TX_WAIT_LIMIT_MS} * 1000;
    } else if (ring->stalled || now >= deadline) {
      // While the ring stays wedged every frame would wait the full time.
      ring->stalled = true;
      ring->dropped++;
      return nullptr;
    }
    struct pollfd p = {ring->fd, POLLOUT | POLLERR, 0};
    if (poll(&p, 1, 1) < 0 && errno != EINTR) g_warning("poll error: %s", g_strerror(errno));
  }
  ring->stalled = false;
  ring->current = (ring->current + 1) % static_cast<uint32_t>(ring->frames.size());
  return f;
}

void pmmap_tx_commit(pmmap_ring* ring, uint8_t* frame, uint32_t len) {
  auto* h = reinterpret_cast<struct tpacket2_hdr*>(frame);
  h->tp_len = len;
  h->tp_snaplen = len;
  frame_status(frame).store(TP_STATUS_SEND_REQUEST, std::memory_order_release);
  ring->unsent++;
}

int pmmap_tx_kick(pmmap_ring* ring) {
  if (ring->unsent == 0) return 0;
  // A zero-length send on a socket with a transmit ring sends every frame
  // marked SEND_REQUEST, in ring order; MSG_DONTWAIT returns without waiting
  // for them to leave.
  if (send(ring->fd, nullptr, 0, MSG_DONTWAIT) < 0) return -1;
  ring->unsent = 0;
  return 0;
}

ssize_t queue_data(void* arg, const struct sockaddr_in* src, const struct sockaddr_in* dst,
                   const void* payload, size_t len) {
  auto* q = static_cast<queue_data_context*>(arg);
  const uint32_t frame_size = q->ring->req.tp_frame_size;
  if (len + QUEUE_DATA_OVERHEAD > frame_size) {
    uint32_t held = 0;
    if (q->refused_log == nullptr ||
        log_limit_admit(q->refused_log, LISTENER_LOG_INTERVAL_US, 1, &held)) {
      if (held != 0)
        g_message("queue_data: %" PRIu64 " more lines like the next were not logged",
                  uint64_t{held});
      g_warning("%s: Packet length %zu exceeds frame size %d", "queue_data",
                len + QUEUE_DATA_OVERHEAD, static_cast<int>(frame_size));
    }
    return 0;
  }
  if (q->mtu != 0 && len + UDP_IP_HEADER_LEN > q->mtu) return 0;
  uint8_t* slot = pmmap_tx_frame(q->ring);
  if (slot == nullptr) return 0;  // the listener reports the stalled ring

  uint8_t* eth = slot + PMMAP_TX_DATA_OFFSET;
  memcpy(eth, q->dst_mac, 6);
  memcpy(eth + 6, q->src_mac, 6);
  store_be16(eth + 12, ETH_P_IP);
  uint8_t* ip = eth + ETH_HEADER_LEN;
  memset(ip, 0, UDP_IP_HEADER_LEN);
  ip[0] = 0x45;
  store_be16(ip + 2, static_cast<uint16_t>(len + UDP_IP_HEADER_LEN));
  ip[8] = 128;
  ip[9] = IPPROTO_UDP;
  memcpy(ip + 12, &src->sin_addr.s_addr, 4);
  memcpy(ip + 16, &dst->sin_addr.s_addr, 4);
  uint8_t* udp = ip + 20;
  memcpy(udp, &src->sin_port, 2);
  memcpy(udp + 2, &dst->sin_port, 2);
  store_be16(udp + 4, static_cast<uint16_t>(len + 8));
  if (len != 0) memcpy(udp + 8, payload, len);
  calculate_ip_checksum(ip);
  calculate_udp_checksum(ip, len + UDP_IP_HEADER_LEN);
  pmmap_tx_commit(q->ring, slot, static_cast<uint32_t>(len + UDP_IP_HEADER_LEN + ETH_HEADER_LEN));
  return static_cast<ssize_t>(len);
}

int pmmap_listener(tlt_context* tlt) {
  g_return_val_if_fail(tlt != NULL, 0);
  if (tlt->client == nullptr || tlt->context == nullptr) {
    // Reported all the same, or the creator would wait for it in vain.
    g_warning("pmmap_listener: thread %s has no client or context", tlt->name.c_str());
    signal_thread_error(tlt, EINVAL);
    return 0;
  }
  const char* uuid = tlt->client->uuid.c_str();
  g_message("Client %s - Thread %s started", uuid, tlt->name.c_str());
  if (get_mac_address(tlt->interface.c_str(), tlt->mac) != 0) {
    signal_thread_error(tlt, errno);
    return 0;
  }
  tlt->mtu = get_interface_mtu(tlt->interface.c_str());

  pmmap_state st;
  if (!listener_open(&st.base, tlt, true)) return 0;
  const uint32_t frames = pmmap_listener_frames(tlt->context->listener_ring_kib, tlt->mtu);
  if (setup_pmmap_socket(&st.rx, tlt, htons(ETH_P_IP), PACKET_RX_RING,
                         tlt->context->listener_fanout, frames) < 0) {
    int err = errno;
    g_warning("Client %s - rx socket error", uuid);
    signal_thread_error(tlt, err);
    return 0;
  }
  if (setup_pmmap_socket(&st.tx, tlt, 0, PACKET_TX_RING, 0, frames) < 0) {
    int err = errno;
    g_warning("Client %s - tx socket error", uuid);
    signal_thread_error(tlt, err);
    return 0;
  }
  st.base.serve_held = true;
  if (!listener_ready(&st.base, st.rx.fd, true)) return 0;
  g_message("Client %s - Thread %s listening on interface %s", uuid, tlt->name.c_str(),
            tlt->interface.c_str());

  struct epoll_event events[MAX_EVENTS];
  while (listener_wait(&st.base, events, MAX_EVENTS) >= 0) drain(&st);

  g_message("Client %s - Thread %s terminating", uuid, tlt->name.c_str());
  note_kernel_drops(&st, true);
  note_tx_stall(&st, true);
  listener_finish(&st.base);
  release_pmmap_socket(st.tx.fd, &st.tx);
  release_pmmap_socket(st.rx.fd, &st.rx);
  if (st.base.epfd.close() != 0) {
    g_warning("Client %s - close epollfd: %s", uuid, g_strerror(errno));
  }
  return 0;
}
