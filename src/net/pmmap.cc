#include "net/pmmap.h"

#include <glib.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
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
#include "core/unique_fd.h"
#include "net/interface_thread.h"
#include "net/ovs.h"
#include "net/udp.h"
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
struct tpacket_req ring_geometry(uint32_t mtu) {
  const uint64_t need = uint64_t{RX_NETWORK_OFFSET} + (mtu != 0 ? mtu : 1500);
  uint32_t frame = PMMAP_FRAME_SIZE;
  while (frame < need && frame < FRAME_SIZE_MAX) frame *= 2;
  const long page = sysconf(_SC_PAGESIZE);
  const uint32_t block =
      std::max({frame, PMMAP_BLOCK_SIZE, page > 0 ? static_cast<uint32_t>(page) : 0u});
  return {block, PMMAP_FRAME_COUNT * frame / block, frame, PMMAP_FRAME_COUNT};
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

// The MIO fanout program: every MIO message goes to the socket picked by its
// ThreadId (payload byte 28), everything else to the group's first socket.
// Offsets count from the IPv4 header, which the kernel has already reached
// when it runs a fanout program; a 20-byte header is assumed.
int attach_mio_program(int fd) {
  struct sock_filter code[] = {
      {0x30, 0, 0, 30}, {0x15, 0, 10, 0x20}, {0x30, 0, 0, 28}, {0x15, 6, 0, 2},  {0x15, 5, 0, 3},
      {0x15, 4, 0, 4},  {0x15, 3, 0, 5},     {0x15, 2, 0, 9},  {0x15, 1, 0, 10}, {0x15, 0, 2, 11},
      {0x30, 0, 0, 56}, {0x16, 0, 0, 0},     {0x06, 0, 0, 0},
  };
  static_assert(sizeof code / sizeof code[0] == 13);
  struct sock_fprog prog = {13, code};
  return setsockopt(fd, SOL_PACKET, PACKET_FANOUT_DATA, &prog, sizeof prog);
}

struct pmmap_state {
  tlt_context* tlt = nullptr;
  unique_fd epfd;
  pmmap_ring rx;
  pmmap_ring tx;
  listener_stats stats;
  listener_log_limit invalid_log, truncated_log, kick_log, stall_log, drops_log, refused_log;
  uint64_t drops_unlogged = 0;
  uint64_t stall_logged = 0;  // tx.dropped when the last stall was reported
};

const char* uuid_of(const pmmap_state* st) {
  return st->tlt->client->uuid.c_str();
}

bool log_due(pmmap_state* st, listener_log_limit* limit) {
  uint64_t held = 0;
  if (!listener_log_due(limit, &held)) return false;
  if (held != 0) {
    g_message("Client %s - %" PRIu64 " more lines like the next were not logged", uuid_of(st),
              held);
  }
  return true;
}

// The listener thread is a counter's only writer: a plain load and store
// keep it exact without a locked read-modify-write per packet.
void add(std::atomic<uint64_t>& counter, uint64_t n = 1) {
  counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Copies a captured frame into the transmit ring with the interface's MAC as
// its source. The ring goes out at the end of the drain.
void forward(pmmap_state* st, const uint8_t* eth, size_t len) {
  uint8_t* slot = pmmap_tx_frame(&st->tx);
  if (slot == nullptr) return;  // counted in tx.dropped, reported after the drain
  uint8_t* out = slot + PMMAP_TX_DATA_OFFSET;
  memcpy(out, eth, len);
  memcpy(out + 6, st->tlt->mac, 6);
  pmmap_tx_commit(&st->tx, slot, static_cast<uint32_t>(len));
  add(st->stats.forwarded);
}

// One captured frame (pmmap_process_packet).
void process_frame(pmmap_state* st, uint8_t* f) {
  const auto* h = reinterpret_cast<const struct tpacket2_hdr*>(f);
  const uint32_t mac = h->tp_mac, net = h->tp_net, snaplen = h->tp_snaplen, len = h->tp_len;
  add(st->stats.captured);
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
      add(st->stats.truncated);
      if (log_due(st, &st->truncated_log)) {
        g_warning("Client %s - Thread %s skips a capture of %u of %u bytes, cut short by the ring",
                  uuid_of(st), st->tlt->name.c_str(), snaplen, len);
      }
      return;
    case LISTENER_INVALID:
      add(st->stats.invalid);
      if (log_due(st, &st->invalid_log)) {
        g_message("Client %s - pmmap_process_packet skips invalid udp message size %lu",
                  uuid_of(st), static_cast<unsigned long>(ip_len));
      }
      return;
    case LISTENER_FRAGMENT:
      add(st->stats.fragments);
      forward(st, f + mac, ETH_HEADER_LEN + cap.ip_len);
      return;
    case LISTENER_DATAGRAM:
      break;
  }

  uint8_t* eth = f + mac;
  queue_data_context q;
  q.fd = st->tx.fd;
  q.ring = &st->tx;
  q.src_mac = st->tlt->mac;
  q.mtu = st->tlt->mtu;
  q.refused_log = &st->refused_log;
  q.dst_mac = eth + 6;
  const tarn_sender sender = {queue_data, &q};
  tarn_frame frame;
  listener_fill_frame(eth, cap, &frame);
  uint8_t* ip = eth + ETH_HEADER_LEN;
  add(st->stats.processed);
  if (tarn_process_packet(st->tlt->context, &sender, st->tlt->client, &frame, ip + cap.ihl + 8,
                          cap.ip_len - cap.ihl - 8) != 1) {
    return;
  }
  // The engine may have edited the payload; and a sender on the same host
  // may have left the checksum to the device (veth passes it on partial).
  calculate_udp_checksum(ip, cap.ip_len);
  forward(st, eth, ETH_HEADER_LEN + cap.ip_len);
}

void note_kernel_drops(pmmap_state* st, bool force) {
  uint64_t drops = listener_read_kernel_drops(st->rx.fd);
  add(st->stats.kernel_drops, drops);
  st->drops_unlogged += drops;
  if (st->drops_unlogged == 0 || (!force && !log_due(st, &st->drops_log))) return;
  g_warning("Client %s - Thread %s: the kernel dropped %" PRIu64
            " frames for want of room in the receive ring",
            uuid_of(st), st->tlt->name.c_str(), st->drops_unlogged);
  st->drops_unlogged = 0;
}

void note_tx_stall(pmmap_state* st, bool force) {
  st->stats.tx_dropped.store(st->tx.dropped, std::memory_order_relaxed);
  if (st->tx.dropped == st->stall_logged || (!force && !log_due(st, &st->stall_log))) return;
  g_warning("Client %s - Thread %s: no transmit frame came free within %d ms; %" PRIu64
            " frames dropped",
            uuid_of(st), st->tlt->name.c_str(), PMMAP_TX_WAIT_LIMIT_MS,
            st->tx.dropped - st->stall_logged);
  st->stall_logged = st->tx.dropped;
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
    process_frame(st, f);
    frame_status(f).store(TP_STATUS_KERNEL, std::memory_order_release);
    rx.current = (rx.current + 1) % count;
  }
  if (pmmap_tx_kick(&st->tx) != 0) {
    int err = errno;
    if (log_due(st, &st->kick_log))
      g_warning("Client %s - send error: %s", uuid_of(st), g_strerror(err));
  }
  if (losing) note_kernel_drops(st, false);
  if (st->tx.dropped != st->stall_logged) note_tx_stall(st, false);
}

void log_summary(const pmmap_state* st) {
  const listener_stats& s = st->stats;
  g_message("Client %s - Thread %s: captured %" PRIu64 ", forwarded %" PRIu64 ", invalid %" PRIu64
            ", truncated %" PRIu64 ", fragments %" PRIu64 ", kernel drops %" PRIu64
            ", transmit drops %" PRIu64,
            uuid_of(st), st->tlt->name.c_str(), s.captured.load(), s.forwarded.load(),
            s.invalid.load(), s.truncated.load(), s.fragments.load(), s.kernel_drops.load(),
            s.tx_dropped.load());
}

}  // namespace

pmmap_ring::~pmmap_ring() {
  if (mapping != nullptr || fd >= 0) release_pmmap_socket(fd, this);
}

int setup_pmmap_socket(pmmap_ring* ring, tlt_context* tlt, uint16_t protocol, int kind,
                       uint32_t fanout_mode) {
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
  ring->req = ring_geometry(tlt->mtu);
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
  for (uint32_t i = 0; i < ring->req.tp_frame_nr; i++) {
    ring->frames[i] = {ring->mapping + size_t{i} * ring->req.tp_frame_size,
                       ring->req.tp_frame_size};
  }

  // ARP rings and transmit rings stay outside any fanout group.
  if (kind == PACKET_RX_RING && protocol == htons(ETH_P_IP) &&
      pmmap_fanout_join(fd, tlt, fanout_mode) != 0) {
    return fail_with(errno, fd, ring);
  }
  return fd;
}

void release_pmmap_socket(int fd, pmmap_ring* ring) {
  if (ring != nullptr) {
    if (ring->mapping != nullptr) {
      munmap(ring->mapping, size_t{ring->req.tp_block_size} * ring->req.tp_block_nr);
      ring->mapping = nullptr;
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

int get_mac_address(const char* interface, uint8_t mac[6]) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    int err = errno;
    g_warning("socket get_mac_address: %s", g_strerror(err));
    errno = err;
    return -1;
  }
  if (mac == nullptr || interface == nullptr) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  // A longer name would be cut to another interface's name: not asked.
  struct ifreq ifr {};
  if (strlen(interface) < sizeof ifr.ifr_name) {
    memcpy(ifr.ifr_name, interface, strlen(interface));
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) == 0) memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
  }
  close(fd);
  return 0;
}

uint32_t get_interface_mtu(const char* interface) {
  struct ifreq ifr {};
  if (interface == nullptr || strlen(interface) >= sizeof ifr.ifr_name) return 0;
  unique_fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return 0;
  memcpy(ifr.ifr_name, interface, strlen(interface));
  if (ioctl(fd.get(), SIOCGIFMTU, &ifr) != 0 || ifr.ifr_mtu <= 0) return 0;
  return static_cast<uint32_t>(ifr.ifr_mtu);
}

int pmmap_fanout_join(int fd, const tlt_context* tlt, uint32_t fanout_mode) {
  // Fanout group ids are per network namespace, not per process.
  const uint32_t id = (tlt->fanout_group_id ^ (static_cast<uint32_t>(getpid()) & 0xffff)) & 0xffff;
  const uint32_t value = id | (fanout_mode << 16);
  if (setsockopt(fd, SOL_PACKET, PACKET_FANOUT, &value, sizeof value) != 0) {
    int err = errno;
    g_warning("setsockopt PACKET_FANOUT: %s", g_strerror(err));
    errno = err;
    return -1;
  }
  if (fanout_mode == PACKET_FANOUT_CBPF && attach_mio_program(fd) != 0) {
    int err = errno;
    g_warning("setsockopt PACKET_FANOUT_DATA: %s", g_strerror(err));
    errno = err;
    return -1;
  }
  return 0;
}

uint8_t* pmmap_tx_frame(pmmap_ring* ring) {
  if (ring->frames.empty()) return nullptr;
  uint8_t* f = ring->frames[ring->current].start;
  int64_t deadline = 0;
  // A frame stays busy from SEND_REQUEST until the kernel has let go of the
  // buffer it sent from it (SENDING while a device still holds it).
  while ((frame_status(f).load(std::memory_order_acquire) &
          (TP_STATUS_SEND_REQUEST | TP_STATUS_SENDING)) != 0) {
    // Frames committed but not yet kicked would never come free by waiting.
    if (ring->unsent != 0) pmmap_tx_kick(ring);
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
  st.tlt = tlt;
  st.epfd.reset(epoll_create1(EPOLL_CLOEXEC));
  if (!st.epfd) {
    int err = errno;
    g_warning("Client %s - epoll_create: %s", uuid, g_strerror(err));
    signal_thread_error(tlt, err);
    return 0;
  }
  if (setup_pmmap_socket(&st.rx, tlt, htons(ETH_P_IP), PACKET_RX_RING,
                         tlt->context->listener_fanout) < 0) {
    int err = errno;
    g_warning("Client %s - rx socket error", uuid);
    signal_thread_error(tlt, err);
    return 0;
  }
  if (setup_pmmap_socket(&st.tx, tlt, 0, PACKET_TX_RING, 0) < 0) {
    int err = errno;
    g_warning("Client %s - tx socket error", uuid);
    release_pmmap_socket(st.rx.fd, &st.rx);
    signal_thread_error(tlt, err);
    return 0;
  }

  listener_stats_publish(tlt, &st.stats);
  signal_thread_ready(tlt);

  bool running = true;
  for (int fd : {st.rx.fd, tlt->efd}) {
    struct epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(st.epfd.get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
      // Without efd in the set no stop request would ever be seen.
      g_warning("Client %s - epoll_ctl: %s", uuid, g_strerror(errno));
      running = false;
    }
  }
  g_message("Client %s - Thread %s listening on interface %s", uuid, tlt->name.c_str(),
            tlt->interface.c_str());

  while (running) {
    struct epoll_event events[MAX_EVENTS];
    int n = epoll_wait(st.epfd.get(), events, MAX_EVENTS, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      g_warning("Client %s - epoll_wait: %s", uuid, g_strerror(errno));
      break;
    }
    for (int i = 0; i < n && running; i++) {
      if (events[i].data.fd == tlt->efd) {
        eventfd_t value = 0;
        if (eventfd_read(tlt->efd, &value) != 0) {
          g_warning("Client %s - eventfd_read: %s", uuid, g_strerror(errno));
          running = false;
          break;
        }
        if (value == INTERFACE_THREAD_STOP) {
          running = false;
          break;
        }
      }
      drain(&st);
    }
  }

  g_message("Client %s - Thread %s terminating", uuid, tlt->name.c_str());
  note_kernel_drops(&st, true);
  note_tx_stall(&st, true);
  log_summary(&st);
  listener_stats_withdraw(tlt);
  release_pmmap_socket(st.tx.fd, &st.tx);
  release_pmmap_socket(st.rx.fd, &st.rx);
  if (st.epfd.close() != 0) g_warning("Client %s - close epollfd: %s", uuid, g_strerror(errno));
  return 0;
}
