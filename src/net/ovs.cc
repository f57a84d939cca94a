#include "net/ovs.h"

#include <glib.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "contexts/clients.h"
#include "contexts/proxy_context.h"
#include "core/unique_fd.h"
#include "net/listener.h"
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
  if (listener_fanout_join(fd.get(), tlt, tlt->context->listener_fanout) != 0) return -1;
  return fd.release();
}

// Frames taken with one recvmmsg, and datagrams sent with one sendmmsg.
constexpr unsigned BATCH = 32;
// Batches taken per readiness before the stop channel is looked at again.
constexpr int DRAIN_BATCHES = 8;

struct ovs_state {
  listener_thread base;
  unique_fd rxfd;
  int txfd = -1;  // owned by txfd_owner; the sender points at it
  unique_fd txfd_owner;
  log_limit send_log, recv_log;
  int64_t stats_read_us = 0;
  // BATCH receive buffers of buf_size each, one per message of a batch.
  std::unique_ptr<uint8_t[]> bufs;
  size_t buf_size = 0;
  // Without PACKET_AUXDATA the capture cannot tell whether the sender left
  // the checksum to the device: every checksum is then computed in full.
  bool auxdata = false;
  struct mmsghdr rx[BATCH];
  struct iovec rx_iov[BATCH];
  alignas(struct cmsghdr) uint8_t rx_control[BATCH][CMSG_SPACE(sizeof(struct tpacket_auxdata))];
  // What the batch passes on, sent in order by flush: a datagram as its
  // header and its payload in place in its receive buffer, a fragment whole.
  unsigned queued = 0;
  struct mmsghdr tx[BATCH];
  struct iovec tx_iov[BATCH][2];
  uint8_t tx_head[BATCH][UDP_IP_HEADER_LEN];
  struct sockaddr_in tx_dst[BATCH];
};

void note_kernel_drops(ovs_state* st, bool force) {
  int64_t now = g_get_monotonic_time();
  if (!force && now - st->stats_read_us < STATS_INTERVAL_US) return;
  st->stats_read_us = now;
  listener_note_kernel_drops(&st->base, st->rxfd.get(), force, "receive buffer");
}

void log_send_error(ovs_state* st, int err) {
  listener_add(st->base.stats.tx_dropped);
  if (listener_log_due(&st->base, &st->send_log)) g_warning("sendmsg: %s", g_strerror(err));
}

// Sends what the batch queued, in order, with as few system calls as the
// socket allows. sendmmsg stops at the first message it cannot send and
// reports its error only when it sent none, so the rest is sent again: a
// message fails alone, as a single send would.
void flush(ovs_state* st) {
  for (unsigned done = 0; done < st->queued;) {
    const int n = sendmmsg(st->txfd, st->tx + done, st->queued - done, 0);
    if (n > 0) {
      listener_add(st->base.stats.forwarded, static_cast<unsigned>(n));
      done += static_cast<unsigned>(n);
    } else {
      log_send_error(st, n < 0 ? errno : EIO);
      done++;
    }
  }
  st->queued = 0;
}

// Queues a message to `dst` of the `parts` buffers filled at tx_iov[slot].
void queue_message(ovs_state* st, unsigned slot, const struct sockaddr_in& dst, size_t parts) {
  st->tx_dst[slot] = dst;
  struct msghdr& m = st->tx[slot].msg_hdr;
  m = {};
  m.msg_name = &st->tx_dst[slot];
  m.msg_namelen = sizeof st->tx_dst[slot];
  m.msg_iov = st->tx_iov[slot];
  m.msg_iovlen = parts;
  st->queued++;
}

unsigned next_slot(ovs_state* st) {
  // One message per frame of a batch, so never full; were it, the batch so
  // far goes first.
  if (st->queued == BATCH) flush(st);
  return st->queued;
}

// A whole IPv4 datagram as it is: IP_HDRINCL keeps its header, so a fragment
// leaves with its offset and flags (the kernel only fills in the header
// checksum).
void queue_as_is(ovs_state* st, const listener_capture& cap) {
  const unsigned slot = next_slot(st);
  struct sockaddr_in dst {};
  dst.sin_family = AF_INET;
  memcpy(&dst.sin_addr.s_addr, cap.ip + 16, 4);
  st->tx_iov[slot][0] = {const_cast<uint8_t*>(cap.ip), cap.ip_len};
  queue_message(st, slot, dst, 1);
}

// A datagram the engine passes on, from inside its call (tarn_sender::pass)
// or after it answered 1.
struct pass_on {
  ovs_state* st;
  const listener_capture* cap;
  const tarn_frame* frame;
  const listener_head* head;
  bool checksum_missing;
  bool done = false;
};

void pass_out(pass_on* p) {
  if (p->done) return;
  p->done = true;
  const listener_capture& cap = *p->cap;
  auto* udp = const_cast<uint8_t*>(cap.ip) + cap.ihl;
  const size_t len = cap.ip_len - cap.ihl - 8;
  // The header sent states this length; a full checksum must cover it.
  if (p->checksum_missing) store_be16(udp + 4, static_cast<uint16_t>(len + 8));
  listener_fix_checksum(cap, p->checksum_missing, *p->head);
  uint16_t checksum;
  memcpy(&checksum, udp + 6, 2);
  const unsigned slot = next_slot(p->st);
  inet_raw_udp_header(p->st->tx_head[slot], &p->frame->src, &p->frame->dst, len, checksum);
  p->st->tx_iov[slot][0] = {p->st->tx_head[slot], UDP_IP_HEADER_LEN};
  p->st->tx_iov[slot][1] = {udp + 8, len};
  queue_message(p->st, slot, p->frame->dst, 2);
}

// The engine's pass: out at once, after what the batch queued before it.
void pass_frame(void* arg) {
  auto* p = static_cast<pass_on*>(arg);
  pass_out(p);
  flush(p->st);
}

// The engine's own datagrams leave after what the batch queued before them,
// as they would have without batching.
ssize_t send_in_order(void* arg, const struct sockaddr_in* src, const struct sockaddr_in* dst,
                      const void* payload, size_t len) {
  auto* st = static_cast<ovs_state*>(arg);
  flush(st);
  return send_data(&st->txfd, src, dst, payload, len);
}

// A held read forwarded after all, from the client's address to the
// server's, after what the batch queued.
ssize_t forward_held(void* arg, const tarn_frame* frame, const void* payload, size_t len) {
  auto* st = static_cast<ovs_state*>(arg);
  const ssize_t sent = send_in_order(st, &frame->src, &frame->dst, payload, len);
  if (sent >= 0) listener_add(st->base.stats.forwarded);
  return sent;
}

// The client's held reads that are stored or due, answered or forwarded.
void serve_held(ovs_state* st) {
  client_context* cc = st->base.tlt->client;
  if (cc == nullptr || cc->held_count.load(std::memory_order_relaxed) == 0) return;
  tarn_sender sender = {send_in_order, st};
  sender.forward = forward_held;
  tarn_serve_held(st->base.tlt->context, cc, &sender, g_get_monotonic_time());
}

// The capture's status from the kernel: whether the sender left the checksum
// to the device (a sender on this host may, and a veth passes it on
// unfilled) or the device verified it. Unknown, it counts as not filled in,
// so the checksum is computed in full.
uint32_t capture_status(ovs_state* st, struct msghdr* m) {
  if (!st->auxdata) return TP_STATUS_CSUMNOTREADY;
  for (struct cmsghdr* c = CMSG_FIRSTHDR(m); c != nullptr; c = CMSG_NXTHDR(m, c)) {
    if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA &&
        c->cmsg_len >= CMSG_LEN(sizeof(struct tpacket_auxdata))) {
      struct tpacket_auxdata aux;
      memcpy(&aux, CMSG_DATA(c), sizeof aux);
      return aux.tp_status;
    }
  }
  return TP_STATUS_CSUMNOTREADY;
}

// One frame of a batch: `n` is its true length (MSG_TRUNC), of which at most
// buf_size bytes are in `buf`.
void take_frame(ovs_state* st, uint8_t* buf, ssize_t n, uint32_t status) {
  listener_thread& t = st->base;
  listener_add(t.stats.captured);
  const size_t wire = static_cast<size_t>(n);
  const size_t captured = std::min(wire, st->buf_size);
  listener_capture cap;
  switch (const listener_verdict v = listener_check_frame(buf, captured, wire, &cap)) {
    case LISTENER_TRUNCATED:
      if (listener_skip(&t, v)) {
        g_warning("Thread %s skips a frame of %zd bytes, longer than its %zu-byte buffer",
                  t.tlt->name.c_str(), n, st->buf_size);
      }
      return;
    case LISTENER_INVALID:
      if (listener_skip(&t, v))
        g_message("ovs_listener skips invalid udp packet size %lu", static_cast<unsigned long>(n));
      return;
    case LISTENER_FRAGMENT:
      listener_add(t.stats.fragments);
      queue_as_is(st, cap);
      return;
    case LISTENER_DATAGRAM:
      if (listener_checksum_sound(&t, cap, status)) break;
      queue_as_is(st, cap);
      return;
  }

  tarn_frame frame;
  listener_fill_frame(buf, cap, &frame);
  uint8_t* udp = const_cast<uint8_t*>(cap.ip) + cap.ihl;
  const size_t len = cap.ip_len - cap.ihl - 8;
  listener_head head;
  listener_save_head(cap, &head);
  // The captured checksum is right for the header sent only where the sender
  // computed one, over the length that header states.
  const bool missing = (status & TP_STATUS_CSUMNOTREADY) != 0 || load_be16(udp + 4) != len + 8 ||
                       (udp[6] == 0 && udp[7] == 0);
  pass_on pass{st, &cap, &frame, &head, missing};
  const tarn_sender sender = {send_in_order, st, pass_frame, &pass};
  listener_add(t.stats.processed);
  if (tarn_process_packet(t.tlt->context, &sender, t.tlt->client, &frame, udp + 8, len) == 1) {
    pass_out(&pass);
  }
}

// Takes what the socket holds, a batch at a time, each batch's datagrams
// sent with one system call; at most DRAIN_BATCHES, so that a stop request
// is seen promptly.
void drain(ovs_state* st) {
  for (int lap = 0; lap < DRAIN_BATCHES; lap++) {
    for (unsigned i = 0; i < BATCH; i++) {
      st->rx[i].msg_hdr.msg_controllen = sizeof st->rx_control[i];
      st->rx[i].msg_hdr.msg_flags = 0;
    }
    // MSG_TRUNC makes each message's length the frame's true length, so a
    // frame longer than its buffer is known for what it is.
    const int n = recvmmsg(st->rxfd.get(), st->rx, BATCH, MSG_TRUNC | MSG_DONTWAIT, nullptr);
    if (n < 0) {
      int err = errno;
      if (err != EAGAIN && err != EINTR && listener_log_due(&st->base, &st->recv_log))
        g_warning("recv: %s", g_strerror(err));
      return;
    }
    for (int i = 0; i < n; i++) {
      struct msghdr& m = st->rx[i].msg_hdr;
      take_frame(st, static_cast<uint8_t*>(m.msg_iov->iov_base), st->rx[i].msg_len,
                 capture_status(st, &m));
    }
    flush(st);
    if (n < static_cast<int>(BATCH)) return;
  }
}

}  // namespace

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
    st->bufs.reset(new (std::nothrow) uint8_t[BATCH * st->buf_size]);
  }
  if (!st || !st->bufs) {
    signal_thread_error(tlt, ENOMEM);
    return 0;
  }
  listener_thread& t = st->base;
  if (!listener_open(&t, tlt, false)) return 0;
  st->rxfd.reset(open_receive_socket(tlt));
  if (!st->rxfd) {
    int err = errno;
    g_warning("Couldn't open recev socket");
    signal_thread_error(tlt, err);
    return 0;
  }
  const int one = 1;
  st->auxdata = setsockopt(st->rxfd.get(), SOL_PACKET, PACKET_AUXDATA, &one, sizeof one) == 0;
  st->txfd_owner.reset(open_transmit_socket(tlt->context));
  if (!st->txfd_owner) {
    int err = errno;
    g_warning("Couldn't open transmit socket");
    signal_thread_error(tlt, err);
    return 0;
  }
  st->txfd = st->txfd_owner.get();
  t.serve_held = true;
  if (!listener_ready(&t, st->rxfd.get(), true)) return 0;
  g_message("Thread %s listening on interface %s", tlt->name.c_str(), tlt->interface.c_str());
  g_message("Thread %s entering main loop", tlt->name.c_str());

  for (unsigned i = 0; i < BATCH; i++) {
    st->rx_iov[i] = {st->bufs.get() + i * st->buf_size, st->buf_size};
    st->rx[i].msg_hdr = {};
    st->rx[i].msg_hdr.msg_iov = &st->rx_iov[i];
    st->rx[i].msg_hdr.msg_iovlen = 1;
    st->rx[i].msg_hdr.msg_control = st->rx_control[i];
  }
  struct epoll_event events[MAX_EVENTS];
  for (int n; (n = listener_wait(&t, events, MAX_EVENTS)) >= 0;) {
    for (int i = 0; i < n; i++) drain(st.get());
    serve_held(st.get());
    note_kernel_drops(st.get(), false);
  }

  note_kernel_drops(st.get(), true);
  listener_finish(&t);
  st->rxfd.reset();
  st->txfd_owner.reset();
  t.epfd.reset();
  g_message("Thread %s terminating", tlt->name.c_str());
  return 0;
}

ssize_t send_data(void* arg, const struct sockaddr_in* src, const struct sockaddr_in* dst,
                  const void* payload, size_t len) {
  return inet_raw_udp_send(*static_cast<int*>(arg), src, dst, payload, len);
}
