// Both listeners (packet-mmap and Open vSwitch) on the real kernel in the
// network lab, each case once per listener; then the packet-mmap rings.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "net/interface_thread.h"
#include "net/listener_fixture.h"
#include "net/ovs.h"
#include "net/pmmap.h"
#include "support/log_capture.h"
#include "support/netns.h"
#include "support/sandbox.h"

namespace {

using namespace listener_test;

// The fanout modes of listenerFanout: hash, lb, cpu, cbpf.
constexpr uint32_t FANOUT_MODES[] = {0, 1, 2, 6};

struct listener_kind {
  const char* name;
  tlt_function fn;
  bool packet_mmap;       // otherwise raw sends through the host's routes
  size_t too_long, fits;  // payloads longer than a capture holds, and a large one that fits
  const char *short_text, *enodev_text;  // logged for a 38-byte frame, a missing interface
};

const listener_kind KINDS[] = {
    {"pmmap", pmmap_listener, true, 3000, 1472,
     "pmmap_process_packet skips invalid udp message size 24", "rx socket error"},
    {"ovs", ovs_listener, false, 8500, 7900, "ovs_listener skips invalid udp packet size 38",
     "Couldn't open recev socket"},
};

// An I/O-family message of 64 bytes: opcode low byte `op`, `thread_id` at
// payload byte 28 (ThreadId).
bytes io_message(uint8_t op, bool request, uint8_t thread_id) {
  bytes p(64, 0x11);
  p[0] = op;
  p[1] = 0;
  p[2] = 0x20;
  p[3] = request ? 0x40 : 0x80;
  p[28] = thread_id;
  return p;
}

class Listener : public testing::TestWithParam<listener_kind> {
 protected:
  void SetUp() override {
    TARN_REQUIRE_ROOT();
    lab = std::make_unique<tarn_test::lab>();
    ASSERT_TRUE(GetParam().packet_mmap || lab->route_through_proxy_port(1));
    server = lab->udp_socket(lab->server_ns(), lab->server_ip(), SERVER_PORT);
    server_addr = tarn_test::lab_address(lab->server_ip(), SERVER_PORT);
    for (uint16_t port = 40001; port <= 40003; port++) {
      clients.push_back(lab->udp_socket(lab->client_ns(1), lab->client_ip(1), port));
      client_addrs.push_back(tarn_test::lab_address(lab->client_ip(1), port));
      ASSERT_TRUE(clients.back().valid());
    }
    ASSERT_TRUE(server.valid());
  }
  std::unique_ptr<thread_group> group(int threads, uint32_t fanout = 0) {
    return std::make_unique<thread_group>(*lab, GetParam().fn, threads, fanout);
  }
  // Sends from client flow `flow` and expects it unchanged at the server.
  void passes(size_t flow, const bytes& p, sockaddr_in* from = nullptr) {
    ASSERT_TRUE(send_to(clients[flow].get(), p, server_addr));
    bytes got;
    ASSERT_TRUE(receive(server.get(), &got, from)) << p.size() << " bytes lost";
    EXPECT_EQ(got, p);
  }

  std::unique_ptr<tarn_test::lab> lab;
  unique_fd server;
  sockaddr_in server_addr{};
  std::vector<unique_fd> clients;
  std::vector<sockaddr_in> client_addrs;
};

// Each request and response arrives once, unchanged, from the right address
// (a bad checksum would drop it), and fragments pass whole: 3000 bytes make
// three fragments each way, 2000 two.
TEST_P(Listener, ForwardsTransparentlyWithEveryThreadCountAndFanoutMode) {
  const size_t sizes[] = {0,   1,   2,   3,    21,   22,   23,   64,   255, 256,
                          511, 512, 513, 1000, 1400, 1471, 1472, 3000, 2000};
  uint32_t seq = 0;
  for (int threads : {1, 2, 4}) {
    for (uint32_t mode : FANOUT_MODES) {
      SCOPED_TRACE(testing::Message() << threads << " threads, fanout mode " << mode);
      auto g = group(threads, mode);
      ASSERT_TRUE(g->start_ready());
      for (size_t k = 0; k < std::size(sizes); k++) {
        SCOPED_TRACE(testing::Message() << "payload " << sizes[k]);
        const size_t flow = k % clients.size();
        sockaddr_in from{};
        passes(flow, pattern(sizes[k], seq++), &from);
        EXPECT_EQ(from.sin_port, client_addrs[flow].sin_port);
        EXPECT_EQ(from.sin_addr.s_addr, client_addrs[flow].sin_addr.s_addr);
        const auto response = pattern(sizes[k], seq++);
        ASSERT_TRUE(send_to(server.get(), response, from));
        bytes got;
        ASSERT_TRUE(receive(clients[flow].get(), &got, &from)) << "response lost";
        EXPECT_EQ(got, response);
        EXPECT_EQ(from.sin_addr.s_addr, server_addr.sin_addr.s_addr);
      }
      EXPECT_TRUE(quiet(server.get())) << "a request arrived twice";
      for (auto& c : clients) EXPECT_TRUE(quiet(c.get(), 10)) << "a response arrived twice";
      EXPECT_EQ(g->total(&listener_counts::fragments), 10u);
      EXPECT_EQ(g->total(&listener_counts::forwarded), 2 * (std::size(sizes) - 2) + 10);
    }
  }
}

// With the MIO fanout program (the Open vSwitch listener installs it too),
// every MIO message of one ThreadId is handled by the thread at index ThreadId
// modulo the group size, and everything else by the group's first socket.
TEST_P(Listener, CbpfKeepsEachThreadIdOnOneThreadAndTheRestOnTheFirst) {
  for (int n : {2, 4}) {
    SCOPED_TRACE(testing::Message() << n << " threads");
    auto g = group(n, PACKET_FANOUT_CBPF);
    ASSERT_TRUE(g->start_ready());
    // The thread that handled all of them; -1 when they were spread.
    auto handler = [&](const std::vector<bytes>& requests, const std::vector<bytes>& replies) {
      std::vector<uint64_t> before;
      for (int i = 0; i < n; i++) before.push_back(g->counts(i).processed);
      const uint64_t total = g->total(&listener_counts::processed);
      for (const auto& r : requests) EXPECT_TRUE(send_to(clients[0].get(), r, server_addr));
      for (const auto& r : replies) EXPECT_TRUE(send_to(server.get(), r, client_addrs[0]));
      const uint64_t sent = requests.size() + replies.size();
      EXPECT_TRUE(
          eventually([&] { return g->total(&listener_counts::processed) >= total + sent; }));
      int owner = -1;
      for (int i = 0; i < n; i++)
        owner = g->counts(i).processed - before[size_t(i)] == sent ? i : owner;
      discard_pending(server.get());
      discard_pending(clients[0].get());
      return owner;
    };
    const int first = handler({pattern(40, 1), pattern(0, 2), io_message(1, true, 1)},
                              {pattern(40, 3), io_message(6, false, 3)});
    ASSERT_GE(first, 0) << "non-MIO datagrams were spread over several threads";
    std::vector<int> by_residue(static_cast<size_t>(n), -1);
    for (uint8_t id : {0, 1, 2, 3, 4, 5, 6, 7, 64, 129, 200, 255}) {
      SCOPED_TRACE(testing::Message() << "ThreadId " << int{id});
      std::vector<bytes> requests, replies;
      for (uint8_t op : {2, 3, 4, 5, 9, 10, 11}) {
        requests.push_back(io_message(op, true, id));
        replies.push_back(io_message(op, false, id));
      }
      const int owner = handler(requests, replies);
      ASSERT_GE(owner, 0) << "the MIO messages of one ThreadId were spread";
      int& expected = by_residue[id % static_cast<size_t>(n)];
      if (expected < 0) expected = id % n == 0 ? first : owner;
      EXPECT_EQ(owner, expected);
    }
    std::sort(by_residue.begin(), by_residue.end());
    EXPECT_EQ(std::unique(by_residue.begin(), by_residue.end()), by_residue.end());
  }
}

// Frames injected on the proxy port's peer, which also shows what the
// listener sends; and on another interface, which it must not hear.
TEST_P(Listener, TakesOnlyWholeFramesOfItsInterfaceAndStopsOnlyOnTheStopValue) {
  tarn_test::log_capture log;
  log.clear();
  ASSERT_EQ(lab->run(lab->host_ns(), "ip link set tp1 address " + tarn_test::mac_text(IFACE) +
                                         " && "
                                         "ip link add xa type veth peer name xb && "
                                         "ip link set xa up && ip link set xb up"),
            0);
  // A new address flushes the interface's neighbours, permanent ones too.
  ASSERT_TRUE(GetParam().packet_mmap || lab->route_through_proxy_port(1));
  unique_fd peer = packet_socket(lab->host_ns(), lab->proxy_peer_if(1)),
            other = packet_socket(lab->host_ns(), "xb");
  ASSERT_TRUE(peer.valid() && other.valid());
  auto g = group(1);
  ASSERT_TRUE(g->start_ready());
  discard_pending(peer.get());

  auto to_client = [&](const bytes& p, size_t pad_to = 0) {
    return udp_frame(lab->client_mac(1), SERVER, server_addr, client_addrs[0], p, pad_to);
  };
  ASSERT_TRUE(inject(other.get(), to_client(pattern(50, 1))));
  bytes got;
  EXPECT_FALSE(receive(clients[0].get(), &got, nullptr, 300)) << "captured on another interface";
  EXPECT_EQ(g->counts(0).captured, 0u);

  // An IPv4 datagram shorter than its header plus 8 bytes.
  auto short_frame = to_client({});
  short_frame.resize(14 + 24);
  short_frame[14 + 3] = 24;  // total length
  ASSERT_TRUE(inject(peer.get(), short_frame));
  ASSERT_TRUE(eventually([&] { return g->counts(0).invalid == 1; }));
  EXPECT_TRUE(quiet(peer.get(), 200)) << "something was sent for a short capture";
  EXPECT_EQ(g->counts(0).processed, 0u);
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_MESSAGE, GetParam().short_text));

  // 0 bytes padded to the Ethernet minimum with non-zero bytes.
  ASSERT_TRUE(inject(peer.get(), to_client({}, 60)));
  ASSERT_TRUE(receive(clients[0].get(), &got));
  EXPECT_TRUE(got.empty()) << got.size() << " bytes of padding taken for payload";
  bytes sent(2048);
  ASSERT_EQ(recv(peer.get(), sent.data(), sent.size(), MSG_DONTWAIT), 42);
  EXPECT_TRUE(std::equal(IFACE.begin(), IFACE.end(), sent.begin() + 6)) << "not the interface's";
  EXPECT_TRUE(std::equal(sent.begin(), sent.begin() + 6, lab->client_mac(1).begin()));

  uint32_t seq = 9;
  for (uint64_t value : {uint64_t{1}, uint64_t{0xDEADBEEE}, uint64_t{0xDEADBEEF0}}) {
    ASSERT_TRUE(g->signal(0, value)) << "the thread did not read " << value;
    passes(0, pattern(100, seq++));
  }
  g->stop();  // joins: the stop value ends it
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_MESSAGE, "Thread udp-tp1-0: captured "));
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_MESSAGE, ", invalid 1, truncated 0, fragments 0, "));
}

TEST_P(Listener, NeverForwardsACaptureCutShort) {
  tarn_test::log_capture log;
  log.clear();
  // Sized for the MTU of 1500 it starts with, the listener then gets jumbo frames.
  auto g = group(1);
  ASSERT_TRUE(g->start_ready());
  ASSERT_EQ(
      lab->run(lab->host_ns(), "for i in vif1 tp1 tp1p sif; do ip link set $i mtu 9000; done"), 0);
  ASSERT_EQ(lab->run(lab->client_ns(1), "ip link set eth0 mtu 9000"), 0);
  ASSERT_EQ(lab->run(lab->server_ns(), "ip link set eth0 mtu 9000"), 0);

  bytes got;
  ASSERT_TRUE(send_to(clients[0].get(), pattern(GetParam().too_long, 1), server_addr));
  EXPECT_FALSE(receive(server.get(), &got, nullptr, 300)) << "a cut-short capture went out";
  EXPECT_EQ(g->counts(0).truncated, 1u);
  EXPECT_EQ(g->counts(0).processed, 0u);
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING, "skips a"));
  passes(0, pattern(GetParam().fits, 2));

  // Started on the jumbo link, it takes the longest datagram the link carries.
  g = group(1);
  ASSERT_TRUE(g->start_ready());
  passes(0, pattern(9000 - 28, 3));
}

// How many of this process's threads the kernel names `prefix`..., waiting
// up to a second for `want`: a joined thread's task may outlive the join.
size_t threads_named(const std::string& prefix, size_t want) {
  size_t n = 0;
  for (int i = 0; i < 100; i++) {
    n = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* e = dir != nullptr ? readdir(dir) : nullptr) {
      std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
      std::string name;
      n += std::getline(comm, name) && name.starts_with(prefix);
    }
    if (dir != nullptr) closedir(dir);
    if (n == want) break;
    std::this_thread::sleep_for(10ms);
  }
  return n;
}

TEST_P(Listener, RunsInAGroupAndFailsItWithENODEVForAMissingInterface) {
  tarn_test::log_capture log;
  log.clear();
  proxy_context ctx;
  client_context cc;
  interface_thread_init(&ctx);
  ctx.listener_threads = 2;
  ctx.arp_proxy = true;
  ctx.packet_mmap = GetParam().packet_mmap;
  cc.uuid = "9f0e1d2c-0000-4000-8000-000000000001";
  cc.mac = lab->client_mac(1);
  cc.server_address.sin_family = AF_INET;
  for (const char* interface : {"tp1", "nosuch0"}) {
    cc.interface = interface;
    {
      tarn_test::lab_enter inside(lab->host_ns());  // the threads inherit the namespace
      ASSERT_EQ(interface_thread_create(&ctx, &cc, 7), cc.interface == "tp1" ? 0 : -ENODEV);
    }
    if (cc.interface == "tp1") {
      for (auto name : {"udp-tp1-0", "udp-tp1-1", "arp-tp1"})
        EXPECT_EQ(threads_named(name, 1), 1u) << name;
      passes(0, pattern(100, 1));
      interface_thread_remove(&ctx, &cc);
    }
    EXPECT_EQ(threads_named("udp-", 0) + threads_named("arp-", 0), 0u);
    EXPECT_TRUE(ctx.interface_thread_ht->empty());
  }
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING, GetParam().enodev_text));
  interface_thread_destroy(&ctx);
}

INSTANTIATE_TEST_SUITE_P(Both, Listener, testing::ValuesIn(KINDS),
                         [](const testing::TestParamInfo<listener_kind>& kind) {
                           return std::string(kind.param.name);
                         });

uint32_t fanout_option(int fd) {
  uint32_t v = 0;
  socklen_t len = sizeof v;
  EXPECT_EQ(getsockopt(fd, SOL_PACKET, PACKET_FANOUT, &v, &len), 0) << strerror(errno);
  return v;
}

TEST(PmmapRing, JoinsOnlyIpv4ReceiveRingsToItsGroupAndLeavesNothingOpenOnFailure) {
  TARN_REQUIRE_ROOT();
  tarn_test::log_capture log;
  log.clear();
  tarn_test::netns ns("tarnring");
  ASSERT_EQ(ns.run("ip link add va type veth peer name vb && ip link set va up"), 0);
  tarn_test::netns_enter in(ns);
  client_context client;
  client.mac = CLIENT;
  tlt_context tlt;
  tlt.interface = "va";
  tlt.client = &client;
  tlt.fanout_group_id = 0x1234;
  const size_t before = open_descriptors();
  {
    // The process id is mixed into the group id: two daemons offering the
    // same id end up in different groups. ARP receive rings and transmit
    // rings stay outside any group.
    pmmap_ring rx, arp, tx;
    const uint32_t group = (0x1234 ^ (static_cast<uint32_t>(getpid()) & 0xffff)) & 0xffff;
    EXPECT_EQ(fanout_option(setup_pmmap_socket(&rx, &tlt, htons(ETH_P_IP), PACKET_RX_RING, 6)),
              group | (6 << 16));
    EXPECT_EQ(fanout_option(setup_pmmap_socket(&arp, &tlt, htons(ETH_P_ARP), PACKET_RX_RING, 6)),
              0u);
    EXPECT_EQ(fanout_option(setup_pmmap_socket(&tx, &tlt, 0, PACKET_TX_RING, 0)), 0u);
    // A ring releases its socket and mapping at once, or when it goes.
    release_pmmap_socket(rx.fd, &rx);
    EXPECT_EQ(rx.mapping, nullptr);
  }
  EXPECT_EQ(open_descriptors(), before);

  // Failures: no interface; no client MAC for the filter; a group whose
  // members use another mode (after the mapping).
  pmmap_ring first, ring;
  ASSERT_GE(setup_pmmap_socket(&first, &tlt, htons(ETH_P_IP), PACKET_RX_RING, 0), 0);
  const size_t with_first = open_descriptors();
  struct {
    const char* interface;
    client_context* client;
    uint32_t mode;
    int err;
    const char* line;
  } failures[] = {
      {"nosuchif0", &client, 0, ENODEV, "Interface nosuchif0 doesn't exist: "},
      {"va", nullptr, 0, EINVAL, "rx socket error, could not configure_filter"},
      {"va", &client, 1, EINVAL, "setsockopt PACKET_FANOUT: "},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.line);
    tlt.interface = f.interface;
    tlt.client = f.client;
    EXPECT_EQ(setup_pmmap_socket(&ring, &tlt, htons(ETH_P_IP), PACKET_RX_RING, f.mode), -1);
    EXPECT_EQ(errno, f.err);
    EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING, f.line));
    EXPECT_EQ(ring.mapping, nullptr);
    EXPECT_EQ(open_descriptors(), with_first);
  }
}

}  // namespace
