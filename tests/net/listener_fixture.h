// Drives listener threads directly in a lab: a client record, one
// tlt_context per thread with its eventfds, the thread function run on a
// std::thread inside the lab's host namespace; plus the datagram helpers the
// listener tests share.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "contexts/proxy_context.h"
#include "core/unique_fd.h"
#include "net/interface_thread.h"
#include "net/ovs.h"
#include "net/udp.h"
#include "support/lab.h"

namespace listener_test {

using namespace std::chrono_literals;

constexpr uint16_t SERVER_PORT = 6901;
constexpr uint64_t STATUS_TIMEOUT_MS = 10000;
constexpr int RECEIVE_TIMEOUT_MS = 2000;

// The fanout modes of listenerFanout: hash, lb, cpu, cbpf.
constexpr uint32_t FANOUT_MODES[] = {0, 1, 2, 6};

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

// This process's open file descriptors, for checks that nothing leaks.
inline size_t open_descriptors() {
  size_t n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (d != nullptr && readdir(d) != nullptr) n++;
  if (d != nullptr) closedir(d);
  return n;
}

// Listener threads for client 1 of the lab (or another interface).
class listener_group {
 public:
  listener_group(const tarn_test::lab& lab, tlt_function fn, int threads, uint32_t fanout,
                 const std::string& interface = "")
      : ns_(lab.host_ns()), fn_(fn) {
    ctx_.listener_threads = threads;
    ctx_.listener_fanout = fanout;
    cc_.uuid = "c0ffee00-0000-4000-8000-000000000001";
    cc_.mac = lab.client_mac(1);
    cc_.interface = interface.empty() ? lab.client_if(1) : interface;
    for (int i = 0; i < threads; i++) {
      auto t = std::make_unique<tlt_context>();
      t->name = "udp-" + cc_.interface + "-" + std::to_string(i);
      t->interface = cc_.interface;
      t->client = &cc_;
      t->fanout_group_id = 0x100;
      t->efd = eventfd(0, EFD_CLOEXEC);
      t->status_efd = eventfd(0, EFD_CLOEXEC);
      t->context = &ctx_;
      tlts_.push_back(std::move(t));
    }
  }
  ~listener_group() {
    stop();
    for (auto& t : tlts_) {
      close(t->efd);
      close(t->status_efd);
    }
  }
  listener_group(const listener_group&) = delete;
  listener_group& operator=(const listener_group&) = delete;

  // Starts every thread and returns what each reported (INTERFACE_THREAD_READY
  // or its errno; 0 when it did not report in time).
  std::vector<uint64_t> start() {
    for (auto& t : tlts_) {
      t->thread = std::thread([tlt = t.get(), fn = fn_, ns = ns_] {
        tarn_test::lab_enter in(ns);
        fn(tlt);
      });
    }
    std::vector<uint64_t> status;
    for (auto& t : tlts_) {
      struct pollfd p = {t->status_efd, POLLIN, 0};
      eventfd_t v = 0;
      if (poll(&p, 1, STATUS_TIMEOUT_MS) == 1) eventfd_read(t->status_efd, &v);
      status.push_back(v);
    }
    return status;
  }
  bool start_ready() {
    return start() == std::vector<uint64_t>(tlts_.size(), INTERFACE_THREAD_READY);
  }

  // Writes `value` to thread i's efd and waits until the thread has read it
  // (an eventfd polls readable while its count is not 0): values written
  // before the thread reads them add up.
  bool signal(int i, uint64_t value) {
    const int efd = tlts_[static_cast<size_t>(i)]->efd;
    eventfd_write(efd, value);
    return eventually([efd] {
      struct pollfd p = {efd, POLLIN, 0};
      return poll(&p, 1, 0) == 0;
    });
  }

  // Stops the threads that still run and joins them (a thread that failed
  // has returned already).
  void stop() {
    for (auto& t : tlts_) {
      if (!t->thread.joinable()) continue;
      eventfd_write(t->efd, INTERFACE_THREAD_STOP);
      t->thread.join();
    }
  }

  // Whether thread i still runs (publishes its counters).
  bool running(int i) const {
    listener_counts c;
    return listener_stats_get(tlts_[static_cast<size_t>(i)].get(), &c);
  }
  listener_counts counts(int i) const {
    listener_counts c;
    EXPECT_TRUE(listener_stats_get(tlts_[static_cast<size_t>(i)].get(), &c));
    return c;
  }
  uint64_t total_processed() const {
    uint64_t n = 0;
    for (int i = 0; i < size(); i++) n += counts(i).processed;
    return n;
  }
  int size() const { return static_cast<int>(tlts_.size()); }

 private:
  std::string ns_;
  tlt_function fn_;
  proxy_context ctx_;
  client_context cc_;
  std::vector<std::unique_ptr<tlt_context>> tlts_;
};

// Payload `len` bytes long, distinct for each seq, never a protocol message
// (its family byte, payload byte 2, is 0), so any engine passes it on.
inline std::vector<uint8_t> pattern(size_t len, uint32_t seq) {
  std::vector<uint8_t> p(len);
  for (size_t i = 0; i < len; i++) p[i] = static_cast<uint8_t>(seq * 131 + i * 7 + 1);
  if (len > 2) p[2] = 0;
  return p;
}

// Waits for one datagram on `fd`; empty optional-like result via ok flag.
inline bool receive(int fd, std::vector<uint8_t>* out, sockaddr_in* from = nullptr,
                    int timeout_ms = RECEIVE_TIMEOUT_MS) {
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

inline bool send_to(int fd, const std::vector<uint8_t>& p, const sockaddr_in& to) {
  return sendto(fd, p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(p.size());
}

// Nothing more arrives on `fd` within `ms`.
inline bool quiet(int fd, int ms = 100) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, ms) == 0;
}

// A packet socket in the lab's host namespace on `ifname`: for injecting
// frames (sent out of it) and, with outgoing frames ignored, for seeing what
// arrives there.
inline unique_fd packet_socket(const tarn_test::lab& lab, const std::string& ifname) {
  tarn_test::lab_enter in(lab.host_ns());
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

inline void discard_pending(int fd) {
  char buf[2048];
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
  }
}

// An Ethernet frame holding one UDP datagram with valid checksums, padded
// with `pad_byte` up to `pad_to` bytes.
inline std::vector<uint8_t> udp_frame(const tarn_test::mac_address& dst,
                                      const tarn_test::mac_address& src, const sockaddr_in& from,
                                      const sockaddr_in& to, const std::vector<uint8_t>& payload,
                                      size_t pad_to = 0, uint8_t pad_byte = 0xa5) {
  std::vector<uint8_t> f(dst.begin(), dst.end());
  f.insert(f.end(), src.begin(), src.end());
  f.push_back(0x08);
  f.push_back(0x00);
  const size_t total = payload.size() + 28;
  uint8_t ip[28] = {
      0x45, 0, static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total), 0, 0, 0x40, 0,
      64,   17};
  memcpy(ip + 12, &from.sin_addr.s_addr, 4);
  memcpy(ip + 16, &to.sin_addr.s_addr, 4);
  memcpy(ip + 20, &from.sin_port, 2);
  memcpy(ip + 22, &to.sin_port, 2);
  ip[24] = static_cast<uint8_t>((payload.size() + 8) >> 8);
  ip[25] = static_cast<uint8_t>(payload.size() + 8);
  f.insert(f.end(), ip, ip + sizeof ip);
  f.insert(f.end(), payload.begin(), payload.end());
  calculate_ip_checksum(f.data() + 14);
  calculate_udp_checksum(f.data() + 14, total);
  if (f.size() < pad_to) f.resize(pad_to, pad_byte);
  return f;
}

// The lab's client 1 and server sockets: several client flows, so that the
// hash fanout spreads them.
struct endpoints {
  unique_fd server;
  std::vector<unique_fd> clients;
  std::vector<sockaddr_in> client_addrs;
  sockaddr_in server_addr{};

  explicit endpoints(const tarn_test::lab& lab, int flows = 3) {
    server = lab.udp_socket(lab.server_ns(), lab.server_ip(), SERVER_PORT);
    server_addr = tarn_test::lab_address(lab.server_ip(), SERVER_PORT);
    for (int k = 0; k < flows; k++) {
      const uint16_t port = static_cast<uint16_t>(40001 + k);
      clients.push_back(lab.udp_socket(lab.client_ns(1), lab.client_ip(1), port));
      client_addrs.push_back(tarn_test::lab_address(lab.client_ip(1), port));
    }
  }
  bool valid() const {
    for (const auto& c : clients) {
      if (!c) return false;
    }
    return server.valid();
  }
  void discard() {
    discard_pending(server.get());
    for (auto& c : clients) discard_pending(c.get());
  }
};

inline bool same_address(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// A request from the client to the server and its response, payloads of 0
// to 1472 bytes: each must arrive exactly once, unchanged, from the right
// address. A datagram with a bad checksum would be dropped by the receiving
// socket and show up as lost.
inline void exchange_all(endpoints& ep, uint32_t* seq) {
  const size_t sizes[] = {0,   1,   2,   3,   21,   22,   23,   64,  255,
                          256, 511, 512, 513, 1000, 1400, 1471, 1472};
  size_t k = 0;
  for (size_t len : sizes) {
    SCOPED_TRACE(testing::Message() << "payload " << len);
    const size_t flow = k++ % ep.clients.size();
    const int c = ep.clients[flow].get();
    const auto request = pattern(len, (*seq)++);
    ASSERT_TRUE(send_to(c, request, ep.server_addr));
    std::vector<uint8_t> got;
    sockaddr_in from{};
    ASSERT_TRUE(receive(ep.server.get(), &got, &from)) << "request lost";
    EXPECT_EQ(got, request);
    EXPECT_TRUE(same_address(from, ep.client_addrs[flow]));
    const auto response = pattern(len, (*seq)++);
    ASSERT_TRUE(send_to(ep.server.get(), response, from));
    ASSERT_TRUE(receive(c, &got, &from)) << "response lost";
    EXPECT_EQ(got, response);
    EXPECT_TRUE(same_address(from, ep.server_addr));
  }
  EXPECT_TRUE(quiet(ep.server.get())) << "a request arrived twice";
  for (auto& c : ep.clients) EXPECT_TRUE(quiet(c.get(), 10)) << "a response arrived twice";
}

// An I/O-family message of 64 bytes: opcode low byte `op`, request (0x40) or
// reply (0x80) in the top byte, `thread_id` at payload byte 28 (ThreadId).
inline std::vector<uint8_t> io_message(uint8_t op, bool request, uint8_t thread_id) {
  std::vector<uint8_t> p(64, 0x11);
  p[0] = op;
  p[1] = 0;
  p[2] = 0x20;
  p[3] = request ? 0x40 : 0x80;
  p[28] = thread_id;
  return p;
}

// With the MIO fanout program, every MIO message of one ThreadId is handled
// by one listener thread, the one at index ThreadId modulo the group size,
// and every other datagram by the group's first socket.
inline void check_mio_spread(listener_group& g, endpoints& ep) {
  const int n = g.size();
  auto snapshot = [&] {
    std::vector<uint64_t> v;
    for (int i = 0; i < n; i++) v.push_back(g.counts(i).processed);
    return v;
  };
  // Sends the datagrams and returns the thread that handled them all (-1
  // when they were spread or not all handled).
  auto handler = [&](const std::vector<std::vector<uint8_t>>& requests,
                     const std::vector<std::vector<uint8_t>>& replies) {
    const auto before = snapshot();
    uint64_t total = 0;
    for (uint64_t b : before) total += b;
    for (const auto& r : requests) EXPECT_TRUE(send_to(ep.clients[0].get(), r, ep.server_addr));
    for (const auto& r : replies) EXPECT_TRUE(send_to(ep.server.get(), r, ep.client_addrs[0]));
    const uint64_t sent = requests.size() + replies.size();
    EXPECT_TRUE(eventually([&] { return g.total_processed() >= total + sent; }));
    const auto after = snapshot();
    int owner = -1;
    for (int i = 0; i < n; i++) {
      const uint64_t d = after[static_cast<size_t>(i)] - before[static_cast<size_t>(i)];
      if (d == sent) {
        owner = i;
      } else {
        EXPECT_EQ(d, 0u) << "thread " << i << " handled part of them";
      }
    }
    ep.discard();
    return owner;
  };

  const int first = handler({pattern(40, 1), pattern(0, 2), io_message(1, true, 1)},
                            {pattern(40, 3), io_message(6, false, 3)});
  ASSERT_GE(first, 0) << "non-MIO datagrams were spread over several threads";

  const uint8_t mio_ops[] = {2, 3, 4, 5, 9, 10, 11};
  const uint8_t ids[] = {0, 1, 2, 3, 4, 5, 6, 7, 64, 129, 200, 255};
  std::vector<int> by_residue(static_cast<size_t>(n), -1);
  for (uint8_t id : ids) {
    SCOPED_TRACE(testing::Message() << "ThreadId " << int{id});
    std::vector<std::vector<uint8_t>> requests, replies;
    for (uint8_t op : mio_ops) {
      requests.push_back(io_message(op, true, id));
      replies.push_back(io_message(op, false, id));
    }
    const int owner = handler(requests, replies);
    ASSERT_GE(owner, 0) << "the MIO messages of one ThreadId were spread";
    int& expected = by_residue[id % static_cast<size_t>(n)];
    if (expected < 0) expected = owner;
    EXPECT_EQ(owner, expected);
    if (id % n == 0) {
      EXPECT_EQ(owner, first);
    }
  }
  // Different residues, different sockets.
  for (int i = 0; i < n; i++) {
    for (int j = i + 1; j < n; j++) {
      EXPECT_NE(by_residue[static_cast<size_t>(i)], by_residue[static_cast<size_t>(j)]);
    }
  }
}

}  // namespace listener_test
