// Shared by the net tests: a client's interface threads started in the
// network lab's host namespace, and frame and socket helpers.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "contexts/proxy_context.h"
#include "core/unique_fd.h"
#include "net/interface_thread.h"
#include "net/listener.h"
#include "net/udp.h"
#include "support/lab.h"

namespace listener_test {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;
using mac = tarn_test::mac_address;

constexpr uint16_t SERVER_PORT = 6901;
const mac CLIENT = {2, 0, 0, 0, 1, 1}, SERVER = {2, 0, 0, 0, 2, 0}, SERVER2 = {2, 0, 0, 0, 2, 1},
          IFACE = {2, 0, 0, 0, 3, 0}, OTHER = {2, 0, 0, 0, 4, 0}, FORGED = {2, 0, 0, 0, 5, 0},
          BROADCAST = {255, 255, 255, 255, 255, 255}, ZERO = {};
const in_addr_t CLIENT_IP = inet_addr("198.18.0.101"), SERVER_IP = inet_addr("198.18.0.20"),
                SERVER2_IP = inet_addr("198.18.0.21");

// Whether `pred()` comes true within `limit`, looking every millisecond.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 2000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

inline size_t open_descriptors() {
  auto fds = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

// The one's complement sum over a region, folded, as RFC 768/791 define it:
// 0xFFFF when the checksum stored in it is right.
inline uint16_t ones_sum(const uint8_t* p, size_t len, uint32_t sum = 0) {
  for (size_t i = 0; i < len; i += 2) sum += (p[i] << 8) | (i + 1 < len ? p[i + 1] : 0);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

// Client 1's interface threads as the daemon starts them: `threads`
// listeners of the packet-mmap or Open vSwitch kind and, with `arp`, the ARP
// proxy, on the client's proxy port or on `interface`.
class thread_group {
 public:
  thread_group(const tarn_test::lab& lab, bool packet_mmap, int threads, uint32_t fanout = 0,
               const std::string& interface = "", bool arp = false)
      : ns_(lab.host_ns()) {
    interface_thread_init(&ctx_);
    ctx_.packet_mmap = packet_mmap;
    ctx_.listener_threads = threads;
    ctx_.listener_fanout = fanout;
    ctx_.arp_proxy = arp;
    cc.uuid = "c0ffee00-0000-4000-8000-000000000001";
    cc.mac = lab.client_mac(1);
    cc.interface = interface.empty() ? lab.client_if(1) : interface;
    cc.server_address.sin_family = AF_INET;
  }
  ~thread_group() { interface_thread_destroy(&ctx_); }
  thread_group(const thread_group&) = delete;
  thread_group& operator=(const thread_group&) = delete;

  // 0 once every thread is ready, or the failed thread's -errno.
  int start() {
    tarn_test::lab_enter in(ns_);  // the threads inherit the namespace
    return interface_thread_create(&ctx_, &cc, 0x100);
  }
  bool start_ready() { return start() == 0; }
  // Waits until the thread has read `value`: values not yet read add up.
  bool signal(int i, uint64_t value) {
    const int efd = thread(i)->efd;
    eventfd_write(efd, value);
    return eventually([efd] {
      struct pollfd p = {efd, POLLIN, 0};
      return poll(&p, 1, 0) == 0;
    });
  }
  void stop() { interface_thread_remove(&ctx_, &cc); }
  listener_counts counts(int i) const {
    listener_counts c;
    EXPECT_TRUE(listener_stats_get(thread(i), &c));
    return c;
  }
  uint64_t total(uint64_t listener_counts::*field) const {
    uint64_t n = 0;
    for (int i = 0; i < ctx_.listener_threads; i++) n += counts(i).*field;
    return n;
  }

  client_context cc;

 private:
  tlt_context* thread(int i) const {
    return ctx_.interface_thread_ht->at(cc.interface)->threads[static_cast<size_t>(i)].get();
  }

  std::string ns_;
  proxy_context ctx_;
};

// Distinct for each seq, never a protocol message (family byte 0), so any
// engine passes it on.
inline bytes pattern(size_t len, uint32_t seq) {
  bytes p(len);
  for (size_t i = 0; i < len; i++) p[i] = static_cast<uint8_t>(seq * 131 + i * 7 + 1);
  if (len > 2) p[2] = 0;
  return p;
}

inline bool receive(int fd, bytes* out, sockaddr_in* from = nullptr, int timeout_ms = 2000) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return false;
  out->assign(65536, 0);
  sockaddr_in src{};
  socklen_t sl = sizeof src;
  ssize_t n =
      recvfrom(fd, out->data(), out->size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&src), &sl);
  if (n < 0) return false;
  out->resize(static_cast<size_t>(n));
  if (from != nullptr) *from = src;
  return true;
}

inline bool send_to(int fd, const bytes& p, const sockaddr_in& to) {
  return sendto(fd, p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(p.size());
}

inline bool quiet(int fd, int ms = 100) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, ms) == 0;
}

inline void discard_pending(int fd) {
  char buf[2048];
  for (int i = 0; i < 10000 && recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0; i++) {
  }
}

// A packet socket in `ns` on `ifname`, for injecting frames and for seeing
// what arrives there (not what it sent itself).
inline unique_fd packet_socket(const std::string& ns, const std::string& ifname) {
  tarn_test::lab_enter in(ns);
  unique_fd fd(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL)));
  if (!fd) return fd;
  int one = 1;
  setsockopt(fd.get(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
  struct sockaddr_ll sll {};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons(ETH_P_ALL);
  sll.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) fd.reset();
  return fd;
}

inline bool inject(int fd, const bytes& frame) {
  return send(fd, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size());
}

// An Ethernet frame holding one UDP datagram with valid checksums, padded
// with 0xa5 up to `pad_to` bytes.
inline bytes udp_frame(const mac& dst, const mac& src, const sockaddr_in& from,
                       const sockaddr_in& to, const bytes& payload, size_t pad_to = 0) {
  bytes f(dst.begin(), dst.end());
  f.insert(f.end(), src.begin(), src.end());
  const size_t total = payload.size() + 28;
  uint8_t ip[30] = {
      0x08, 0, 0x45, 0, static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total), 0, 0,
      0x40, 0, 64,   17};
  memcpy(ip + 14, &from.sin_addr.s_addr, 4);
  memcpy(ip + 18, &to.sin_addr.s_addr, 4);
  memcpy(ip + 22, &from.sin_port, 2);
  memcpy(ip + 24, &to.sin_port, 2);
  ip[26] = static_cast<uint8_t>((payload.size() + 8) >> 8);
  ip[27] = static_cast<uint8_t>(payload.size() + 8);
  f.insert(f.end(), ip, ip + sizeof ip);
  f.insert(f.end(), payload.begin(), payload.end());
  calculate_ip_checksum(f.data() + 14);
  calculate_udp_checksum(f.data() + 14, total);
  if (f.size() < pad_to) f.resize(pad_to, 0xa5);
  return f;
}

// An Ethernet/IPv4 ARP frame of 42 bytes.
inline bytes arp_frame(uint16_t op, const mac& eth_dst, const mac& eth_src, const mac& sender,
                       in_addr_t sender_ip, const mac& target, in_addr_t target_ip) {
  bytes f(eth_dst.begin(), eth_dst.end());
  f.insert(f.end(), eth_src.begin(), eth_src.end());
  f.insert(f.end(), {0x08, 0x06, 0, 1, 0x08, 0x00, 6, 4, 0, static_cast<uint8_t>(op)});
  const auto* s = reinterpret_cast<const uint8_t*>(&sender_ip);
  const auto* t = reinterpret_cast<const uint8_t*>(&target_ip);
  f.insert(f.end(), sender.begin(), sender.end());
  f.insert(f.end(), s, s + 4);
  f.insert(f.end(), target.begin(), target.end());
  f.insert(f.end(), t, t + 4);
  return f;
}

}  // namespace listener_test
