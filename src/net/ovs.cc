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

struct ovs_state {
  listener_thread base;
  unique_fd rxfd;
  int txfd = -1;  // owned by txfd_owner; the sender points at it
  unique_fd txfd_owner;
  log_limit send_log, recv_log;
  int64_t stats_read_us = 0;
  std::unique_ptr<uint8_t[]> buf;
  size_t buf_size = 0;
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
  listener_thread& t = st->base;
  uint8_t* buf = st->buf.get();
  memset(buf, 0, st->buf_size);
  // MSG_TRUNC makes the receive report the frame's true length, so a frame
  // longer than the buffer is known for what it is.
  ssize_t n = recv(st->rxfd.get(), buf, st->buf_size, MSG_TRUNC | MSG_DONTWAIT);
  if (n < 0) {
    int err = errno;
    if (err != EAGAIN && err != EINTR && listener_log_due(&t, &st->recv_log))
      g_warning("recv: %s", g_strerror(err));
    return;
  }
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
      if (send_as_is(st->txfd, cap) < 0) {
        log_send_error(st, errno);
      } else {
        listener_add(t.stats.forwarded);
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
  listener_add(t.stats.processed);
  if (tarn_process_packet(t.tlt->context, &sender, t.tlt->client, &frame, payload, len) != 1) {
    return;
  }
  if (inet_raw_udp_send(st->txfd, &frame.src, &frame.dst, payload, len) < 0) {
    log_send_error(st, errno);
    return;
  }
  listener_add(t.stats.forwarded);
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
    st->buf.reset(new (std::nothrow) uint8_t[st->buf_size]);
  }
  if (!st || !st->buf) {
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
  st->txfd_owner.reset(open_transmit_socket(tlt->context));
  if (!st->txfd_owner) {
    int err = errno;
    g_warning("Couldn't open transmit socket");
    signal_thread_error(tlt, err);
    return 0;
  }
  st->txfd = st->txfd_owner.get();
  if (!listener_ready(&t, st->rxfd.get(), true)) return 0;
  g_message("Thread %s listening on interface %s", tlt->name.c_str(), tlt->interface.c_str());
  g_message("Thread %s entering main loop", tlt->name.c_str());

  struct epoll_event events[MAX_EVENTS];
  for (int n; (n = listener_wait(&t, events, MAX_EVENTS)) >= 0;) {
    for (int i = 0; i < n; i++) receive_frame(st.get());
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
