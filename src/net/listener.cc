#include "net/listener.h"

#include <glib.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "contexts/clients.h"
#include "contexts/proxy_context.h"
#include "metrics/metrics.h"
#include "net/udp.h"
#include "net/wire.h"
#include "protocol/tarn.h"

namespace {

constexpr size_t ETH_HEADER_LEN = 14;

std::mutex stats_mutex;
std::unordered_map<const tlt_context*, listener_stats*>& stats_table() {
  static auto* table = new std::unordered_map<const tlt_context*, listener_stats*>();
  return *table;
}

void signal_thread(tlt_context* tlt, uint64_t value) {
  if (tlt->signalled.exchange(true)) {
    g_warning("Thread %s reported its state twice; ignoring the second report", tlt->name.c_str());
    return;
  }
  // The creator closes the channel once it has read this report; atomic, as
  // it may do so while a wrong second report is being refused.
  int fd = std::atomic_ref<int>(tlt->status_efd).load();
  if (eventfd_write(fd, value) != 0) {
    g_warning("Thread %s - eventfd_write: %s", tlt->name.c_str(), g_strerror(errno));
  }
}

bool watch(int epfd, int fd, uint32_t flags = 0) {
  struct epoll_event ev {};
  ev.events = EPOLLIN | flags;
  ev.data.fd = fd;
  return epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) == 0;
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

}  // namespace

void signal_thread_ready(tlt_context* tlt) {
  g_return_if_fail(tlt != NULL);
  signal_thread(tlt, INTERFACE_THREAD_READY);
}

void signal_thread_error(tlt_context* tlt, int err) {
  g_return_if_fail(tlt != NULL);
  if (err < 0) err = -err;
  if (err == 0) err = EIO;
  signal_thread(tlt, static_cast<uint64_t>(err));
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
  out->bad_checksums = s.bad_checksums.load(std::memory_order_relaxed);
  return true;
}

bool listener_open(listener_thread* t, tlt_context* tlt, bool client_lines) {
  t->tlt = tlt;
  if (client_lines) {
    t->who = "Client " + tlt->client->uuid + " - ";
    t->held_who = t->who;
  } else {
    t->held_who = "Thread " + tlt->name + ": ";
  }
  t->epfd.reset(epoll_create1(EPOLL_CLOEXEC));
  if (!t->epfd) {
    int err = errno;
    g_warning("%sepoll_create: %s", t->who.c_str(), g_strerror(err));
    signal_thread_error(tlt, err);
    return false;
  }
  return true;
}

bool listener_ready(listener_thread* t, int fd, bool publish) {
  // One of the client's threads is enough to answer its held reads.
  const client_context* cc = t->tlt->client;
  const bool held = t->serve_held && cc != nullptr && cc->held_wake.valid();
  if (!watch(t->epfd.get(), fd) || !watch(t->epfd.get(), t->tlt->efd) ||
      (held && !watch(t->epfd.get(), cc->held_wake.get(), EPOLLEXCLUSIVE))) {
    int err = errno;
    g_warning("%sepoll_ctl: %s", t->who.c_str(), g_strerror(err));
    signal_thread_error(t->tlt, err);
    return false;
  }
  if (publish) {
    std::lock_guard<std::mutex> hold(stats_mutex);
    stats_table()[t->tlt] = &t->stats;
    t->published = true;
  }
  signal_thread_ready(t->tlt);
  return true;
}

namespace {

// Milliseconds until the client's earliest held read falls due; -1 for none.
int held_timeout_ms(const listener_thread* t) {
  const client_context* cc = t->tlt->client;
  if (!t->serve_held || cc == nullptr) return -1;
  const int64_t due = cc->held_due.load();
  if (due == 0) return -1;
  const int64_t left = due - g_get_monotonic_time();
  return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>((left + 999) / 1000, 1000));
}

}  // namespace

int listener_wait(listener_thread* t, epoll_event* events, int max) {
  const char* who = t->who.c_str();
  const client_context* cc = t->tlt->client;
  const int held_fd = t->serve_held && cc != nullptr ? cc->held_wake.get() : -1;
  for (;;) {
    const int timeout = held_timeout_ms(t);
    int n = epoll_wait(t->epfd.get(), events, max, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      g_warning("%sepoll_wait: %s", who, g_strerror(errno));
      return -1;
    }
    if (n == 0 && timeout >= 0) return 0;
    int kept = 0;
    for (int i = 0; i < n; i++) {
      if (events[i].data.fd == held_fd && held_fd >= 0) {
        // Read off (another thread may have been first), so that the level
        // wake-up ends; the caller serves the held reads after its drain.
        eventfd_t ignored;
        eventfd_read(held_fd, &ignored);
        continue;
      }
      if (events[i].data.fd != t->tlt->efd) {
        events[kept++] = events[i];
        continue;
      }
      eventfd_t value = 0;
      if (eventfd_read(t->tlt->efd, &value) != 0) {
        g_warning("%seventfd_read: %s", who, g_strerror(errno));
        return -1;
      }
      if (value == INTERFACE_THREAD_STOP) return -1;
    }
    return kept;
  }
}

void listener_finish(listener_thread* t) {
  const listener_stats& s = t->stats;
  g_message("%sThread %s: captured %" PRIu64 ", forwarded %" PRIu64 ", invalid %" PRIu64
            ", truncated %" PRIu64 ", fragments %" PRIu64 ", kernel drops %" PRIu64
            ", transmit drops %" PRIu64,
            t->who.c_str(), t->tlt->name.c_str(), s.captured.load(), s.forwarded.load(),
            s.invalid.load(), s.truncated.load(), s.fragments.load(), s.kernel_drops.load(),
            s.tx_dropped.load());
  if (t->published) {
    std::lock_guard<std::mutex> hold(stats_mutex);
    stats_table().erase(t->tlt);
    t->published = false;
  }
}

bool listener_log_due(listener_thread* t, log_limit* limit) {
  uint32_t held = 0;
  if (!log_limit_admit(limit, LISTENER_LOG_INTERVAL_US, 1, &held)) return false;
  if (held != 0) {
    g_message("%s%" PRIu64 " more lines like the next were not logged", t->held_who.c_str(),
              uint64_t{held});
  }
  return true;
}

void listener_note_kernel_drops(listener_thread* t, int fd, bool force, const char* room) {
  struct tpacket_stats st {};
  socklen_t len = sizeof st;
  const uint64_t drops =
      getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &st, &len) == 0 ? st.tp_drops : 0;
  listener_add(t->stats.kernel_drops, drops);
  // A prepopulation read sent before a drop may have lost a fragment: the
  // client's count tells its job.
  if (drops != 0 && t->tlt->client != nullptr && t->tlt->context != nullptr) {
    metrics_add_kernel_drops(&t->tlt->context->metrics, &t->tlt->client->metrics, drops);
  }
  t->drops_unlogged += drops;
  if (t->drops_unlogged == 0 || (!force && !listener_log_due(t, &t->drops_log))) return;
  g_warning("%sThread %s: the kernel dropped %" PRIu64 " frames for want of %s", t->who.c_str(),
            t->tlt->name.c_str(), t->drops_unlogged, room);
  t->drops_unlogged = 0;
}

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

bool listener_skip(listener_thread* t, listener_verdict verdict) {
  const bool truncated = verdict == LISTENER_TRUNCATED;
  listener_add(truncated ? t->stats.truncated : t->stats.invalid);
  return listener_log_due(t, truncated ? &t->truncated_log : &t->invalid_log);
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

void listener_save_head(const listener_capture& cap, listener_head* head) {
  head->len = std::min(cap.ip_len - cap.ihl - 8, sizeof head->bytes);
  memcpy(head->bytes, cap.ip + cap.ihl + 8, head->len);
}

bool listener_checksum_sound(listener_thread* t, const listener_capture& cap, uint32_t status) {
  if ((status & (TP_STATUS_CSUMNOTREADY | TP_STATUS_CSUM_VALID)) != 0) return true;
  if (udp_checksum_valid(cap.ip, cap.ip_len)) return true;
  listener_add(t->stats.bad_checksums);
  return false;
}

void listener_fix_checksum(const listener_capture& cap, bool missing, const listener_head& head) {
  auto* ip = const_cast<uint8_t*>(cap.ip);
  if (missing) {
    calculate_udp_checksum(ip, cap.ip_len);
  } else if (memcmp(head.bytes, cap.ip + cap.ihl + 8, head.len) != 0) {
    udp_checksum_update(ip, cap.ihl, 8, head.bytes, head.len);
  }
}

int listener_fanout_join(int fd, const tlt_context* tlt, uint32_t fanout_mode) {
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
