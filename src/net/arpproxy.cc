#include "net/arpproxy.h"

#include <glib.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>

#include "contexts/clients.h"
#include "net/listener.h"
#include "net/pmmap.h"
#include "net/wire.h"

namespace {

constexpr int ARP_WAIT_EVENTS = 10;
constexpr size_t ETH_HEADER_LEN = 14;

// Only a station's own address may be learnt or answered: a group address or
// zero in an ARP message is forged or broken, and repeating it in a reply
// would poison the client's neighbour table.
bool mac_is_unicast(const uint8_t mac[6]) {
  static const uint8_t zero[6] = {};
  return (mac[0] & 1) == 0 && memcmp(mac, zero, 6) != 0;
}

struct entry_deleter {
  void operator()(arp_entry* entry) const { arp_entry_free(entry); }
};
using entry_ptr = std::unique_ptr<arp_entry, entry_deleter>;

// The ARP cache. by_timer is declared last so that it goes first: it only
// borrows the entries that by_requester owns.
struct arp_cache {
  std::unordered_map<uint64_t, entry_ptr> by_requester;
  std::unordered_map<int, arp_entry*> by_timer;
};

struct arp_thread {
  listener_thread base;
  tlt_context* tlt = nullptr;
  const char* uuid = "";
  int epfd = -1;
  pmmap_ring rx;
  pmmap_ring tx;
  arp_cache cache;
};

in_addr_t server_ip(client_context* cc) {
  return std::atomic_ref<in_addr_t>(cc->server_address.sin_addr.s_addr)
      .load(std::memory_order_relaxed);
}

// The proxy reply: from the proxy MAC to the requester, saying that the
// target IP is at the target MAC; 18 zero bytes of padding.
void arp_reply_build(const arp_entry& entry, uint8_t frame[ARP_REPLY_FRAME_LEN]) {
  memset(frame, 0, ARP_REPLY_FRAME_LEN);
  memcpy(frame, entry.requester_mac, 6);
  memcpy(frame + 6, entry.proxy_mac, 6);
  store_be16(frame + 12, ETH_P_ARP);
  uint8_t* arp = frame + ETH_HEADER_LEN;
  store_be16(arp, ARPHRD_ETHER);
  store_be16(arp + 2, ETH_P_IP);
  arp[4] = 6;
  arp[5] = 4;
  store_be16(arp + 6, ARP_OP_REPLY);
  memcpy(arp + 8, entry.target_mac, 6);
  memcpy(arp + 14, &entry.target_ip, 4);
  memcpy(arp + 18, entry.requester_mac, 6);
  memcpy(arp + 24, &entry.requester_ip, 4);
}

void send_proxy_reply(const arp_entry& entry) {
  uint8_t frame[ARP_REPLY_FRAME_LEN];
  arp_reply_build(entry, frame);

  unique_fd fd(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ARP)));
  if (!fd) {
    g_warning("xmit socket creation failed %s", g_strerror(errno));
    return;
  }
  struct sockaddr_ll sll {};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons(ETH_P_ARP);
  sll.sll_ifindex = static_cast<int>(if_nametoindex(entry.interface));
  sll.sll_halen = 6;
  memcpy(sll.sll_addr, entry.proxy_mac, 6);
  // Never wait for a full device queue: a late answer is worth no more than
  // none, and the thread must keep hearing its stop channel.
  if (sendto(fd.get(), frame, sizeof frame, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sll),
             sizeof sll) < 0) {
    g_warning("sending arp reponse failed %s", g_strerror(errno));
  }
}

void entry_create(arp_thread& t, const arp_message& m) {
  g_message("Client %s - Creating ARP cache", t.uuid);
  if (t.cache.by_requester.size() >= ARP_CACHE_MAX_ENTRIES) {
    g_warning("Failed to create an arp cache entry");
    return;
  }
  entry_ptr entry(new (std::nothrow) arp_entry());
  if (!entry) {
    g_warning("Failed to create an arp cache entry");
    return;
  }
  entry->timer.reset(timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!entry->timer) {
    g_warning("Timerfd creation failed: %s", g_strerror(errno));
    return;
  }
  g_strlcpy(entry->interface, t.tlt->interface.c_str(), sizeof entry->interface);
  memcpy(entry->proxy_mac, t.tlt->mac, 6);
  memcpy(entry->requester_mac, m.sender_mac, 6);
  entry->requester_ip = m.sender_ip;
  entry->target_ip = m.target_ip;

  const int timer = entry->timer.get();
  arp_entry* raw = entry.get();
  try {
    t.cache.by_timer.emplace(timer, raw);
    t.cache.by_requester.emplace(mac_to_u48(m.eth_src), std::move(entry));
  } catch (const std::bad_alloc&) {
    t.cache.by_timer.erase(timer);
    g_warning("Failed to create an arp cache entry");
  }
}

void entry_arm(arp_thread& t, arp_entry& entry) {
  struct itimerspec when {};
  when.it_value.tv_sec = entry.delay / 1000000000u;
  when.it_value.tv_nsec = entry.delay % 1000000000u;
  const int timer = entry.timer.get();
  if (timerfd_settime(timer, 0, &when, nullptr) != 0) {
    g_warning("set timer failed: %s", g_strerror(errno));
    return;
  }
  struct epoll_event ev {};
  ev.events = EPOLLIN;
  ev.data.fd = timer;
  // An expired timer stays in the set, so EEXIST is the usual answer.
  if (epoll_ctl(t.epfd, EPOLL_CTL_ADD, timer, &ev) != 0 && errno != EEXIST) {
    g_warning("Client %s - epoll_ctl: %s", t.uuid, g_strerror(errno));
    // A timer nobody hears would leave the entry armed, and silent, for good.
    struct itimerspec off {};
    timerfd_settime(timer, TFD_TIMER_ABSTIME, &off, nullptr);
    return;
  }
  entry.flags |= ARP_ENTRY_ARMED;
}

void handle_request(arp_thread& t, const arp_message& m) {
  if (!mac_is_unicast(m.sender_mac)) return;
  auto found = t.cache.by_requester.find(mac_to_u48(m.eth_src));
  if (found == t.cache.by_requester.end()) {
    entry_create(t, m);  // the first request only starts the cache; nothing is armed
    return;
  }
  arp_entry& entry = *found->second;
  if (entry.target_ip != m.target_ip) {
    // The client's server has changed: what was learnt answers another
    // address, so it waits for the new server's first genuine reply.
    entry.target_ip = m.target_ip;
    memset(entry.target_mac, 0, sizeof entry.target_mac);
    entry.flags &= static_cast<uint16_t>(~ARP_ENTRY_VALID);
  }
  if (entry.flags & ARP_ENTRY_ARMED) return;
  // Answer the request that arms the timer, should the client's own address
  // have changed since the entry was made.
  memcpy(entry.requester_mac, m.sender_mac, 6);
  entry.requester_ip = m.sender_ip;
  entry_arm(t, entry);
}

void handle_reply(arp_thread& t, const arp_message& m) {
  if (!mac_is_unicast(m.sender_mac)) return;
  auto found = t.cache.by_requester.find(mac_to_u48(m.eth_dst));
  if (found == t.cache.by_requester.end()) return;
  arp_entry& entry = *found->second;
  if (entry.flags & ARP_ENTRY_ARMED) {
    struct itimerspec off {};
    const int timer = entry.timer.get();
    if (timerfd_settime(timer, TFD_TIMER_ABSTIME, &off, nullptr) != 0) {
      g_warning("set timer failed: %s", g_strerror(errno));
    } else {
      epoll_ctl(t.epfd, EPOLL_CTL_DEL, timer, nullptr);
      entry.flags &= static_cast<uint16_t>(~ARP_ENTRY_ARMED);
    }
  }
  entry.target_ip = m.sender_ip;
  memcpy(entry.target_mac, m.sender_mac, 6);
  entry.flags |= ARP_ENTRY_VALID;
}

void handle_frame(arp_thread& t, const uint8_t* frame, size_t len) {
  arp_message m;
  if (!arp_frame_parse(frame, len, &m)) return;
  const in_addr_t server = server_ip(t.tlt->client);
  // No server known yet: 0.0.0.0 is nobody's address to answer for.
  if (server == 0) return;
  if (m.operation == ARP_OP_REQUEST && m.target_ip == server) {
    handle_request(t, m);
  } else if (m.operation == ARP_OP_REPLY && m.sender_ip == server) {
    handle_reply(t, m);
  }
}

// At most one lap of the ring, so that a busy link cannot starve efd.
void drain_ring(arp_thread& t) {
  pmmap_ring& ring = t.rx;
  const auto count = static_cast<uint32_t>(ring.frames.size());
  for (uint32_t n = 0; n < count; n++) {
    const pmmap_frame& slot = ring.frames[ring.current % count];
    auto* hdr = reinterpret_cast<tpacket2_hdr*>(slot.start);
    std::atomic_ref<uint32_t> status(hdr->tp_status);
    if ((status.load(std::memory_order_acquire) & TP_STATUS_USER) == 0) break;
    // The kernel's offsets are trusted no further than the frame they sit in.
    const uint32_t mac = hdr->tp_mac;
    const uint32_t snaplen = hdr->tp_snaplen;
    if (mac <= slot.length && snaplen <= slot.length - mac)
      handle_frame(t, slot.start + mac, snaplen);
    status.store(TP_STATUS_KERNEL, std::memory_order_release);
    ring.current = (ring.current + 1) % count;
  }
}

void timer_expired(arp_thread& t, int timer) {
  uint64_t expirations = 0;
  if (read(timer, &expirations, sizeof expirations) != static_cast<ssize_t>(sizeof expirations) ||
      expirations == 0) {
    return;
  }
  g_message("Client %s - Timer expired, sending ARP response", t.uuid);
  auto found = t.cache.by_timer.find(timer);
  if (found == t.cache.by_timer.end()) return;
  arp_entry& entry = *found->second;
  if (entry.flags & ARP_ENTRY_VALID) send_proxy_reply(entry);
  entry.flags &= static_cast<uint16_t>(~ARP_ENTRY_ARMED);
}

}  // namespace

void arp_entry_free(arp_entry* data) {
  g_return_if_fail(data != NULL);
  data->timer.reset();
  delete data;
}

bool arp_frame_parse(const uint8_t* frame, size_t len, arp_message* out) {
  g_return_val_if_fail(frame != NULL && out != NULL, false);
  if (len < ARP_FRAME_MIN_LEN) return false;
  if (load_be16(frame + 12) != ETH_P_ARP) return false;
  const uint8_t* arp = frame + ETH_HEADER_LEN;
  if (load_be16(arp) != ARPHRD_ETHER || load_be16(arp + 2) != ETH_P_IP || arp[4] != 6 ||
      arp[5] != 4) {
    return false;
  }
  memcpy(out->eth_dst, frame, 6);
  memcpy(out->eth_src, frame + 6, 6);
  out->operation = load_be16(arp + 6);
  memcpy(out->sender_mac, arp + 8, 6);
  memcpy(&out->sender_ip, arp + 14, 4);
  memcpy(out->target_mac, arp + 18, 6);
  memcpy(&out->target_ip, arp + 24, 4);
  return true;
}

int arpproxy_thread(tlt_context* tlt) {
  g_return_val_if_fail(tlt != NULL, 0);
  if (tlt->client == nullptr) {
    // Report first, so that the creator is not left waiting for a thread
    // that has already gone.
    signal_thread_error(tlt, EINVAL);
    g_return_val_if_fail(tlt->client != NULL, 0);
  }
  arp_thread t;
  t.tlt = tlt;
  t.uuid = tlt->client->uuid.c_str();
  const char* name = tlt->name.c_str();
  const char* interface = tlt->interface.c_str();
  g_message("Client %s - Thread %s started", t.uuid, name);

  if (get_mac_address(interface, tlt->mac) == -1) {
    signal_thread_error(tlt, errno);
    return 0;
  }
  // Its "epoll_create" line, alone of its lines, names no client.
  if (!listener_open(&t.base, tlt, false)) return 0;
  t.base.who = std::string("Client ") + t.uuid + " - ";
  t.epfd = t.base.epfd.get();
  if (setup_pmmap_socket(&t.rx, tlt, htons(ETH_P_ARP), PACKET_RX_RING, 0) < 0) {
    int err = errno;
    g_warning("Client %s - rx socket error", t.uuid);
    signal_thread_error(tlt, err);
    return 0;
  }
  if (setup_pmmap_socket(&t.tx, tlt, 0, PACKET_TX_RING, 0) < 0) {
    int err = errno;
    g_warning("Client %s - tx socket error", t.uuid);
    signal_thread_error(tlt, err);
    return 0;
  }
  if (!listener_ready(&t.base, t.rx.fd, false)) return 0;
  g_message("Client %s - Thread %s listening on interface %s", t.uuid, name, interface);

  struct epoll_event events[ARP_WAIT_EVENTS];
  for (int n; (n = listener_wait(&t.base, events, ARP_WAIT_EVENTS)) >= 0;) {
    for (int i = 0; i < n; i++) {
      if (events[i].data.fd == t.rx.fd) {
        drain_ring(t);
      } else {
        timer_expired(t, events[i].data.fd);
      }
    }
  }

  g_message("Client %s - Thread %s terminating", t.uuid, name);
  release_pmmap_socket(t.tx.fd, &t.tx);
  release_pmmap_socket(t.rx.fd, &t.rx);
  if (t.base.epfd.close() != 0)
    g_warning("Client %s - close epollfd: %s", t.uuid, g_strerror(errno));
  return 0;  // the tables go with `t`, closing every entry's timer
}
