#include "net/ovs.h"

#include <glib.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "contexts/clients.h"
#include "contexts/proxy_context.h"
#include "core/unique_fd.h"
#include "net/interface_thread.h"
#include "net/pmmap.h"
#include "net/udp.h"
#include "net/wire.h"
#include "protocol/tarn.h"

namespace {

constexpr size_t ETH_HEADER_LEN = 14;
constexpr int MAX_EVENTS = 10;
constexpr int64_t STATS_INTERVAL_US = 1'000'000;
// Frames queued before the filter was attached are read off, at most this
// many (the receive buffer holds far fewer).
constexpr int FLUSH_LIMIT = 4096;

std::mutex stats_mutex;
std::unordered_map<const tlt_context*, listener_stats*>& stats_table() {
  static auto* table = new std::unordered_map<const tlt_context*, listener_stats*>();
  return *table;
}

// The listener thread is a counter's only writer: a plain load and store
// keep it exact without a locked read-modify-write per packet.
void add(std::atomic<uint64_t>& counter, uint64_t n = 1) {
  counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Packet sockets honour SO_BINDTODEVICE only for sending; the kernel hands a
// socket frames from every interface until it is bound to one, so the
// receive socket is bound as well.
int bind_to_interface(int fd, const char* interface, uint16_t protocol) {
  struct sockaddr_ll sll {};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = protocol;
  sll.sll_ifindex = static_cast<int>(if_nametoindex(interface));
  if (sll.sll_ifindex == 0) return -1;
  return bind(fd, reinterpret_cast<struct sockaddr*>(&sll), sizeof sll);
}

// Returns the socket, or -1 with errno set after logging.
int open_receive_socket(tlt_context* tlt) {
  if (tlt->interface.empty() || tlt->client == nullptr) {
    g_warning("open_receive_socket, invalid agruments");
    errno = EINVAL;
    return -1;
  }
  unique_fd fd(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_IP)));
  if (!fd) {
    int err = errno;
    g_warning("socket: %s", g_strerror(err));
    errno = err;
    return -1;
  }
  const char* name = tlt->interface.c_str();
  if (setsockopt(fd.get(), SOL_SOCKET, SO_BINDTODEVICE, name,
                 static_cast<socklen_t>(strlen(name))) != 0) {
    int err = errno;
    g_warning("setsockopt SO_BINDTODEVICE: %s", g_strerror(err));
    errno = err;
    return -1;
  }
  if (bind_to_interface(fd.get(), name, htons(ETH_P_IP)) != 0) {
    int err = errno;
    g_warning("bind: %s", g_strerror(err));
    errno = err;
    return -1;
  }
  if (configure_filter(fd.get(), tlt->client->mac.data()) != 0) {
    int err = errno;
    g_warning("Couldn't configure LSF on recvfd: %s", g_strerror(err));
    errno = err;
    return -1;
  }
  // The socket took every IPv4 frame from its creation until the filter was
  // attached; none of those is this client's to handle.
  char scrap[1];
  for (int i = 0; i < FLUSH_LIMIT && recv(fd.get(), scrap, sizeof scrap, MSG_DONTWAIT) >= 0; i++) {
  }
  if (pmmap_fanout_join(fd.get(), tlt, tlt->context->listener_fanout) != 0) return -1;
  return fd.release();
}

struct ovs_state {
  tlt_context* tlt = nullptr;
  unique_fd epfd;
  unique_fd rxfd;
  int txfd = -1;  // owned by txfd_owner; the sender points at it
  unique_fd txfd_owner;
  listener_stats stats;
  listener_log_limit invalid_log, truncated_log, send_log, recv_log, drops_log;
  uint64_t drops_unlogged = 0;
  int64_t stats_read_us = 0;
  std::unique_ptr<uint8_t[]> buf;
  size_t buf_size = 0;
};

// Whether a rate-limited line may go out; first says how many were held back.
bool log_due(ovs_state* st, listener_log_limit* limit) {
  uint64_t held = 0;
  if (!listener_log_due(limit, &held)) return false;
  if (held != 0) {
    g_message("Thread %s: %" PRIu64 " more lines like the next were not logged",
              st->tlt->name.c_str(), held);
  }
  return true;
}

void log_truncated(ovs_state* st, ssize_t n) {
  if (!log_due(st, &st->truncated_log)) return;
  g_warning("Thread %s skips a frame of %zd bytes, longer than its %zu-byte buffer",
            st->tlt->name.c_str(), n, st->buf_size);
}

void note_kernel_drops(ovs_state* st, bool force) {
  int64_t now = g_get_monotonic_time();
  if (!force && now - st->stats_read_us < STATS_INTERVAL_US) return;
  st->stats_read_us = now;
  uint64_t drops = listener_read_kernel_drops(st->rxfd.get());
  add(st->stats.kernel_drops, drops);
  st->drops_unlogged += drops;
  if (st->drops_unlogged == 0 || (!force && !log_due(st, &st->drops_log))) return;
  g_warning("Thread %s: the kernel dropped %" PRIu64 " frames for want of receive buffer",
            st->tlt->name.c_str(), st->drops_unlogged);
  st->drops_unlogged = 0;
}

// Sends a whole IPv4 datagram as it is: IP_HDRINCL keeps its header, so a
// fragment leaves with its offset and flags (the kernel only fills in the
// header checksum).
ssize_t send_as_is(int fd, const listener_capture& cap) {
  struct sockaddr_in dst {};
  dst.sin_family = AF_INET;
  memcpy(&dst.sin_addr.s_addr, cap.ip + 16, 4);
  return sendto(fd, cap.ip, cap.ip_len, 0, reinterpret_cast<struct sockaddr*>(&dst), sizeof dst);
}

void receive_frame(ovs_state* st) {
  tlt_context* tlt = st->tlt;
  uint8_t* buf = st->buf.get();
  memset(buf, 0, st->buf_size);
  // MSG_TRUNC makes the receive report the frame's true length, so a frame
  // longer than the buffer is known for what it is.
  ssize_t n = recv(st->rxfd.get(), buf, st->buf_size, MSG_TRUNC | MSG_DONTWAIT);
  if (n < 0) {
    int err = errno;
    if (err != EAGAIN && err != EINTR && log_due(st, &st->recv_log))
      g_warning("recv: %s", g_strerror(err));
    return;
  }
  add(st->stats.captured);
  const size_t wire = static_cast<size_t>(n);
  const size_t captured = std::min(wire, st->buf_size);
  listener_capture cap;
  switch (listener_check_frame(buf, captured, wire, &cap)) {
    case LISTENER_TRUNCATED:
      add(st->stats.truncated);
      log_truncated(st, n);
      return;
    case LISTENER_INVALID: {
      add(st->stats.invalid);
      if (log_due(st, &st->invalid_log))
        g_message("ovs_listener skips invalid udp packet size %lu", static_cast<unsigned long>(n));
      return;
    }
    case LISTENER_FRAGMENT:
      add(st->stats.fragments);
      if (send_as_is(st->txfd, cap) < 0) {
        int err = errno;
        add(st->stats.tx_dropped);
        if (log_due(st, &st->send_log)) g_warning("sendmsg: %s", g_strerror(err));
      } else {
        add(st->stats.forwarded);
      }
      return;
    case LISTENER_DATAGRAM:
      break;
  }

  tarn_frame frame;
  listener_fill_frame(buf, cap, &frame);
  const tarn_sender sender = {send_data, &st->txfd};
  uint8_t* payload = const_cast<uint8_t*>(cap.ip) + cap.ihl + 8;
  const size_t len = cap.ip_len - cap.ihl - 8;
  add(st->stats.processed);
  if (tarn_process_packet(tlt->context, &sender, tlt->client, &frame, payload, len) != 1) return;
  if (inet_raw_udp_send(st->txfd, &frame.src, &frame.dst, payload, len) < 0) {
    int err = errno;
    add(st->stats.tx_dropped);
    if (log_due(st, &st->send_log)) g_warning("sendmsg: %s", g_strerror(err));
    return;
  }
  add(st->stats.forwarded);
}

void log_summary(const tlt_context* tlt, const listener_stats& s) {
  g_message("Thread %s: captured %" PRIu64 ", forwarded %" PRIu64 ", invalid %" PRIu64
            ", truncated %" PRIu64 ", fragments %" PRIu64 ", kernel drops %" PRIu64
            ", transmit drops %" PRIu64,
            tlt->name.c_str(), s.captured.load(), s.forwarded.load(), s.invalid.load(),
            s.truncated.load(), s.fragments.load(), s.kernel_drops.load(), s.tx_dropped.load());
}

}  // namespace

listener_verdict listener_check_frame(const uint8_t* eth, size_t captured, size_t wire,
                                      listener_capture* out) {
  if (captured < wire) return LISTENER_TRUNCATED;
  if (captured < ETH_HEADER_LEN + sizeof(struct iphdr)) return LISTENER_INVALID;
  if (load_be16(eth + 12) != ETH_P_IP) return LISTENER_INVALID;
  const uint8_t* ip = eth + ETH_HEADER_LEN;
  const size_t room = captured - ETH_HEADER_LEN;
  const size_t ihl = static_cast<size_t>(ip[0] & 0x0f) * 4;
  const size_t total = load_be16(ip + 2);
  if ((ip[0] >> 4) != 4 || ihl < sizeof(struct iphdr) || ip[9] != IPPROTO_UDP) {
    return LISTENER_INVALID;
  }
  // A frame shorter than its IPv4 header says was not cut short by the
  // capture (that is caught above): it is malformed. Bytes past the total
  // length are link padding (a minimal Ethernet frame is 60 bytes).
  if (total > room || total < ihl) return LISTENER_INVALID;
  out->ip = ip;
  out->ihl = ihl;
  out->ip_len = total;
  // More fragments, or an offset: the UDP header and checksum span the
  // whole datagram, which this frame is only part of.
  if ((load_be16(ip + 6) & 0x3fff) != 0) return LISTENER_FRAGMENT;
  if (total < ihl + 8) return LISTENER_INVALID;
  return LISTENER_DATAGRAM;
}

void listener_fill_frame(const uint8_t* eth, const listener_capture& cap, tarn_frame* frame) {
  memcpy(frame->src_mac, eth + 6, 6);
  memcpy(frame->dst_mac, eth, 6);
  memset(&frame->src, 0, sizeof frame->src);
  memset(&frame->dst, 0, sizeof frame->dst);
  frame->src.sin_family = AF_INET;
  frame->dst.sin_family = AF_INET;
  const uint8_t* udp = cap.ip + cap.ihl;
  memcpy(&frame->src.sin_port, udp, 2);
  memcpy(&frame->dst.sin_port, udp + 2, 2);
  memcpy(&frame->src.sin_addr.s_addr, cap.ip + 12, 4);
  memcpy(&frame->dst.sin_addr.s_addr, cap.ip + 16, 4);
}

uint64_t listener_read_kernel_drops(int fd) {
  struct tpacket_stats st {};
  socklen_t len = sizeof st;
  if (getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &st, &len) != 0) return 0;
  return st.tp_drops;
}

bool listener_log_due(listener_log_limit* limit, uint64_t* suppressed) {
  const int64_t now = g_get_monotonic_time();
  if (limit->last_us != 0 && now - limit->last_us < LISTENER_LOG_INTERVAL_US) {
    limit->suppressed++;
    return false;
  }
  limit->last_us = now;
  *suppressed = limit->suppressed;
  limit->suppressed = 0;
  return true;
}

void listener_stats_publish(const tlt_context* tlt, listener_stats* stats) {
  std::lock_guard<std::mutex> hold(stats_mutex);
  stats_table()[tlt] = stats;
}

void listener_stats_withdraw(const tlt_context* tlt) {
  std::lock_guard<std::mutex> hold(stats_mutex);
  stats_table().erase(tlt);
}

bool listener_stats_get(const tlt_context* tlt, listener_counts* out) {
  std::lock_guard<std::mutex> hold(stats_mutex);
  auto it = stats_table().find(tlt);
  if (it == stats_table().end()) return false;
  const listener_stats& s = *it->second;
  out->captured = s.captured.load(std::memory_order_relaxed);
  out->processed = s.processed.load(std::memory_order_relaxed);
  out->forwarded = s.forwarded.load(std::memory_order_relaxed);
  out->invalid = s.invalid.load(std::memory_order_relaxed);
  out->truncated = s.truncated.load(std::memory_order_relaxed);
  out->fragments = s.fragments.load(std::memory_order_relaxed);
  out->kernel_drops = s.kernel_drops.load(std::memory_order_relaxed);
  out->tx_dropped = s.tx_dropped.load(std::memory_order_relaxed);
  return true;
}

int open_transmit_socket(proxy_context* /*context*/) {
  unique_fd fd(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!fd) {
    int err = errno;
    g_warning("socket: %s", g_strerror(err));
    errno = err;
    return -1;
  }
  const struct {
    int level, name;
    const char* text;
  } options[] = {
      {SOL_SOCKET, SO_REUSEADDR, "setsockopt SO_REUSEADDR: %s"},
      {IPPROTO_IP, IP_HDRINCL, "setsockopt IP_HDRINCL: %s"},
      // Lets the socket send with the client's or the server's address.
      {IPPROTO_IP, IP_TRANSPARENT, "setsockopt IP_TRANSPARENT: %s"},
  };
  const int one = 1;
  for (const auto& o : options) {
    if (setsockopt(fd.get(), o.level, o.name, &one, sizeof one) != 0) {
      int err = errno;
      g_warning(o.text, g_strerror(err));
      errno = err;
      return -1;
    }
  }
  return fd.release();
}

int ovs_listener(tlt_context* tlt) {
  g_return_val_if_fail(tlt != NULL, 0);
  if (tlt->context == nullptr) {
    // Reported all the same, or the creator would wait for it in vain.
    g_warning("ovs_listener: thread %s has no context", tlt->name.c_str());
    signal_thread_error(tlt, EINVAL);
    return 0;
  }
  auto st = std::unique_ptr<ovs_state>(new (std::nothrow) ovs_state);
  // A frame as long as the interface carries must fit whole, or it would be
  // skipped as cut short.
  const size_t frame_max = ETH_HEADER_LEN + get_interface_mtu(tlt->interface.c_str());
  if (st) {
    st->buf_size = std::max(OVS_RECEIVE_BUFFER, frame_max);
    st->buf.reset(new (std::nothrow) uint8_t[st->buf_size]);
  }
  if (!st || !st->buf) {
    signal_thread_error(tlt, ENOMEM);
    return 0;
  }
  st->tlt = tlt;
  st->epfd.reset(epoll_create1(EPOLL_CLOEXEC));
  if (!st->epfd) {
    int err = errno;
    g_warning("epoll_create: %s", g_strerror(err));
    signal_thread_error(tlt, err);
    return 0;
  }
  st->rxfd.reset(open_receive_socket(tlt));
  if (!st->rxfd) {
    int err = errno;
    g_warning("Couldn't open recev socket");
    st->epfd.reset();
    signal_thread_error(tlt, err);
    return 0;
  }
  st->txfd_owner.reset(open_transmit_socket(tlt->context));
  if (!st->txfd_owner) {
    int err = errno;
    g_warning("Couldn't open transmit socket");
    st->rxfd.reset();
    st->epfd.reset();
    signal_thread_error(tlt, err);
    return 0;
  }
  st->txfd = st->txfd_owner.get();

  listener_stats_publish(tlt, &st->stats);
  signal_thread_ready(tlt);
  g_message("Thread %s listening on interface %s", tlt->name.c_str(), tlt->interface.c_str());

  bool running = true;
  for (int fd : {st->rxfd.get(), tlt->efd}) {
    struct epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(st->epfd.get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
      // Without efd in the set no stop request would ever be seen.
      g_warning("epoll_ctl: %s", g_strerror(errno));
      running = false;
    }
  }
  g_message("Thread %s entering main loop", tlt->name.c_str());

  while (running) {
    struct epoll_event events[MAX_EVENTS];
    int n = epoll_wait(st->epfd.get(), events, MAX_EVENTS, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      g_warning("epoll_wait: %s", g_strerror(errno));
      break;
    }
    for (int i = 0; i < n && running; i++) {
      if (events[i].data.fd == tlt->efd) {
        eventfd_t value = 0;
        if (eventfd_read(tlt->efd, &value) != 0) {
          g_warning("eventfd_read: %s", g_strerror(errno));
          running = false;
        } else if (value == INTERFACE_THREAD_STOP) {
          running = false;
        }
      } else {
        receive_frame(st.get());
      }
    }
    note_kernel_drops(st.get(), false);
  }

  note_kernel_drops(st.get(), true);
  log_summary(tlt, st->stats);
  listener_stats_withdraw(tlt);
  st->rxfd.reset();
  st->txfd_owner.reset();
  st->epfd.reset();
  g_message("Thread %s terminating", tlt->name.c_str());
  return 0;
}

ssize_t send_data(void* arg, const struct sockaddr_in* src, const struct sockaddr_in* dst,
                  const void* payload, size_t len) {
  return inet_raw_udp_send(*static_cast<int*>(arg), src, dst, payload, len);
}

ssize_t queue_data(void* arg, const struct sockaddr_in* src, const struct sockaddr_in* dst,
                   const void* payload, size_t len) {
  auto* q = static_cast<queue_data_context*>(arg);
  const uint32_t frame_size = q->ring->req.tp_frame_size;
  if (len + QUEUE_DATA_OVERHEAD > frame_size) {
    uint64_t held = 0;
    if (q->refused_log == nullptr || listener_log_due(q->refused_log, &held)) {
      if (held != 0)
        g_message("queue_data: %" PRIu64 " more lines like the next were not logged", held);
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
