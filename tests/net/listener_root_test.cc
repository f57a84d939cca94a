// How a captured frame is taken and the transmit ring in anonymous memory;
// then both listeners (packet-mmap and Open vSwitch) on the real kernel in the
// network lab, each case once per listener, and the packet-mmap rings.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "net/listener_fixture.h"
#include "net/pmmap.h"
#include "protocol/opcodes.h"
#include "support/log_capture.h"
#include "support/netns.h"
#include "support/sandbox.h"
#include "support/wire_builder.h"

namespace {

using namespace listener_test;

// A frame of `payload` bytes of UDP: 14 + ihl + 8 + payload bytes, with
// `edits` applied ({offset, value}) and cut or padded to `size`.
bytes frame(size_t payload, std::initializer_list<std::pair<size_t, uint8_t>> edits = {},
            size_t ihl = 20, size_t size = 0) {
  bytes f(14 + ihl + 8 + payload, 0x5c);
  const uint8_t eth[14] = {2, 0, 0, 0, 1, 1, 2, 0, 0, 0, 2, 0, 0x08, 0x00};
  memcpy(f.data(), eth, 14);
  memset(f.data() + 14, 0, ihl);
  f[14] = static_cast<uint8_t>(0x40 | (ihl / 4));
  f[16] = static_cast<uint8_t>((ihl + 8 + payload) >> 8);
  f[17] = static_cast<uint8_t>(ihl + 8 + payload);
  f[23] = 17;
  for (auto [at, value] : edits) f[at] = value;
  if (size != 0) f.resize(size, 0xee);
  return f;
}

TEST(ListenerCheckFrame, TakesOnlyWholeDatagramsAndNeverPaddingOrMissingBytes) {
  const auto D = LISTENER_DATAGRAM, T = LISTENER_TRUNCATED, I = LISTENER_INVALID,
             F = LISTENER_FRAGMENT;
  struct {
    const char* what;
    bytes f;
    size_t cut;  // bytes missing from the capture
    listener_verdict verdict;
    size_t ip_len, ihl;
  } cases[] = {
      {"a datagram of 0 bytes (42-byte frame)", frame(0), 0, D, 28, 20},
      {"0 bytes padded to 60", frame(0, {}, 20, 60), 0, D, 28, 20},
      {"1472 bytes", frame(1472), 0, D, 1500, 20},
      {"a 24-byte IP header", frame(10, {}, 24), 0, D, 42, 24},
      {"the capture cut short", frame(1472), 100, T, 0, 0},
      {"the capture cut inside the headers", frame(100), 120, T, 0, 0},
      {"shorter than its total length", frame(10, {{17, 60}}), 0, I, 0, 0},
      {"total length below header + 8", frame(10, {{17, 27}}), 0, I, 0, 0},
      {"no room for the IP header", frame(0, {}, 20, 33), 0, I, 0, 0},
      {"header length below 20", frame(10, {{14, 0x44}}), 0, I, 0, 0},
      {"IP version 6", frame(10, {{14, 0x65}}), 0, I, 0, 0},
      {"not UDP", frame(10, {{23, 6}}), 0, I, 0, 0},
      {"not IPv4", frame(10, {{12, 0x86}}), 0, I, 0, 0},
      {"first fragment", frame(100, {{20, 0x20}}), 0, F, 128, 20},
      {"later fragment", frame(100, {{21, 0xb9}}), 0, F, 128, 20},
      {"a later fragment's 4 bytes", frame(0, {{21, 0xb9}, {17, 24}}), 0, F, 24, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Only the captured bytes exist: ASan catches a read beyond them.
    bytes capture(c.f.begin(), c.f.end() - static_cast<long>(c.cut));
    listener_capture cap;
    EXPECT_EQ(listener_check_frame(capture.data(), capture.size(), c.f.size(), &cap), c.verdict);
    if (c.verdict == D || c.verdict == F) {
      EXPECT_EQ(cap.ip_len, c.ip_len);
      EXPECT_EQ(cap.ihl, c.ihl);
      EXPECT_EQ(cap.ip, capture.data() + 14);
    }
  }
}

struct memory_ring {
  pmmap_ring ring;
  memory_ring() {
    void* m = mmap(nullptr, PMMAP_BLOCK_SIZE * PMMAP_BLOCK_COUNT, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(m, MAP_FAILED);
    ring.mapping = static_cast<uint8_t*>(m);
    ring.kind = PACKET_TX_RING;
    ring.req = {PMMAP_BLOCK_SIZE, PMMAP_BLOCK_COUNT, PMMAP_FRAME_SIZE, PMMAP_FRAME_COUNT};
    for (uint32_t i = 0; i < PMMAP_FRAME_COUNT; i++)
      ring.frames.push_back({ring.mapping + i * PMMAP_FRAME_SIZE, PMMAP_FRAME_SIZE});
  }
  std::atomic_ref<uint32_t> status(uint32_t i) {
    return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(ring.frames[i].start));
  }
};

TEST(PmmapTransmit, AWedgedRingDropsFramesInsteadOfHangingTheThread) {
  memory_ring m;
  for (uint32_t i = 0; i < PMMAP_FRAME_COUNT; i++)
    m.status(i).store(i % 2 ? TP_STATUS_SENDING : TP_STATUS_SEND_REQUEST);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pmmap_tx_frame(&m.ring), nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1ms * PMMAP_TX_WAIT_LIMIT_MS);
  EXPECT_TRUE(m.ring.stalled);
  EXPECT_EQ(m.ring.dropped, 1u);
  EXPECT_EQ(m.ring.current, 0u);
  // While it stays wedged, frames and queued replies are dropped at once.
  EXPECT_EQ(pmmap_tx_frame(&m.ring), nullptr);
  queue_data_context q{-1, &m.ring, CLIENT.data(), CLIENT.data()};
  sockaddr_in a{};
  EXPECT_EQ(queue_data(&q, &a, &a, "x", 1), 0);
  EXPECT_EQ(m.ring.dropped, 3u);
  // Once the frame comes free the ring is used again.
  m.status(0).store(TP_STATUS_AVAILABLE);
  EXPECT_EQ(pmmap_tx_frame(&m.ring), m.ring.frames[0].start);
  EXPECT_FALSE(m.ring.stalled);
  EXPECT_EQ(m.ring.current, 1u);
}

TEST(QueueData, FillsOneSlotPerReplyAndRefusesWhatDoesNotFitWithRateLimitedWarnings) {
  tarn_test::log_capture log;
  log.clear();
  memory_ring m;
  log_limit refused_log;
  queue_data_context q{-1, &m.ring, IFACE.data(), CLIENT.data(), 0, &refused_log};
  const sockaddr_in server = tarn_test::address("198.18.0.20", SERVER_PORT),
                    client = tarn_test::address("198.18.0.101", 40001);
  const bytes payload = pattern(1955, 5);

  // The first warning at once, the next ones held back and counted in the
  // first line of the next interval.
  for (int i = 0; i < 3; i++) EXPECT_EQ(queue_data(&q, &server, &client, payload.data(), 1955), 0);
  refused_log.window -= LISTENER_LOG_INTERVAL_US;
  EXPECT_EQ(queue_data(&q, &server, &client, payload.data(), 1955), 0);
  EXPECT_EQ(log.count("queue_data: Packet length 2049 exceeds frame size 2048"), 2u);
  EXPECT_TRUE(
      log.contains(G_LOG_LEVEL_MESSAGE, "queue_data: 2 more lines like the next were not logged"));
  EXPECT_EQ(m.ring.current, 0u);
  EXPECT_EQ(m.status(0).load(), 0u);

  for (size_t len : {size_t{1954}, size_t{0}, size_t{7}}) {
    SCOPED_TRACE(testing::Message() << "payload " << len);
    const uint32_t slot = m.ring.current;
    ASSERT_EQ(queue_data(&q, &server, &client, payload.data(), len), static_cast<ssize_t>(len));
    EXPECT_EQ(m.ring.current, slot + 1);
    EXPECT_EQ(m.status(slot).load(), static_cast<uint32_t>(TP_STATUS_SEND_REQUEST));
    const auto* h = reinterpret_cast<const tpacket2_hdr*>(m.ring.frames[slot].start);
    EXPECT_EQ(h->tp_len, len + 42);
    EXPECT_EQ(h->tp_snaplen, len + 42);
    // The client's frame from the interface, with IPv4 flags 0 and TTL 128;
    // both checksums right (the UDP one over the pseudo-header).
    const uint8_t* ip = m.ring.frames[slot].start + 32 + 14;
    EXPECT_EQ(ones_sum(ip, 20), 0xffff) << "IP header checksum";
    const uint32_t pseudo = ones_sum(ip + 12, 8) + 17 + static_cast<uint32_t>(len + 8);
    EXPECT_EQ(ones_sum(ip + 20, len + 8, pseudo), 0xffff) << "UDP checksum";
    bytes want =
        udp_frame(CLIENT, IFACE, server, client, {payload.begin(), payload.begin() + long(len)});
    want[20] = 0;
    want[22] = 128;
    bytes got(ip - 14, ip + 28 + len);
    std::copy(want.begin() + 24, want.begin() + 26, got.begin() + 24);
    EXPECT_EQ(got, want);
  }
  EXPECT_EQ(m.ring.unsent, 3u);
}

// The fanout modes of listenerFanout: hash, lb, cpu, cbpf.
constexpr uint32_t FANOUT_MODES[] = {0, 1, 2, 6};

struct listener_kind {
  const char* name;
  bool packet_mmap;       // otherwise raw sends through the host's routes
  size_t too_long, fits;  // payloads longer than a capture holds, and a large one that fits
  const char *short_text, *enodev_text;  // logged for a 38-byte frame, a missing interface
};

const listener_kind KINDS[] = {
    {"pmmap", true, 3000, 1472, "pmmap_process_packet skips invalid udp message size 24",
     "rx socket error"},
    {"ovs", false, 8500, 7900, "ovs_listener skips invalid udp packet size 38",
     "Couldn't open recev socket"},
};

// An I/O-family message of 64 bytes: opcode low byte `op`, `thread_id` at
// payload byte 28 (ThreadId).
bytes io_message(uint8_t op, bool request, uint8_t thread_id) {
  return tarn_test::msg((request ? 0x40u : 0x80u) << 24 | OPCODE_FAMILY_IO << 16 | op, 64)
      .u8(28, thread_id)
      .b;
}

class Listener : public testing::TestWithParam<listener_kind> {
 protected:
  void SetUp() override {
    TARN_REQUIRE_ROOT();
    lab = std::make_unique<tarn_test::lab>();
    ASSERT_TRUE(GetParam().packet_mmap || lab->route_through_proxy_port(1));
    server = lab->udp_socket(lab->server_ns(), lab->server_ip(), SERVER_PORT);
    server_addr = tarn_test::address(lab->server_ip().c_str(), SERVER_PORT);
    for (uint16_t port = 40001; port <= 40003; port++) {
      clients.push_back(lab->udp_socket(lab->client_ns(1), lab->client_ip(1), port));
      client_addrs.push_back(tarn_test::address(lab->client_ip(1).c_str(), port));
      ASSERT_TRUE(clients.back().valid());
    }
    ASSERT_TRUE(server.valid());
  }
  std::unique_ptr<thread_group> group(int threads, uint32_t fanout = 0) {
    return std::make_unique<thread_group>(*lab, GetParam().packet_mmap, threads, fanout);
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

  // A burst longer than a receive batch, with the checksums their sender
  // computed (a bad one would drop them): each arrives once, in order. One
  // more, damaged on the way (its checksum wrong), is passed on untouched
  // without the engine, and the client's stack drops it.
  const uint64_t processed_before = g->counts(0).processed;
  std::vector<bytes> burst;
  for (uint32_t i = 0; i < 70; i++) burst.push_back(pattern(i * 9, 100 + i));
  for (size_t i = 0; i < burst.size(); i++) {
    ASSERT_TRUE(inject(peer.get(), to_client(burst[i])));
    if (i != 35) continue;
    bytes damaged = to_client(pattern(300, 7));
    damaged[14 + 20 + 6] ^= 0x5a;
    ASSERT_TRUE(inject(peer.get(), damaged));
  }
  for (size_t i = 0; i < burst.size(); i++) {
    ASSERT_TRUE(receive(clients[0].get(), &got)) << "burst datagram " << i << " lost";
    EXPECT_EQ(got, burst[i]) << "burst datagram " << i;
  }
  EXPECT_TRUE(quiet(clients[0].get())) << "a burst datagram arrived twice";
  EXPECT_EQ(g->counts(0).bad_checksums, 1u);
  EXPECT_EQ(g->counts(0).processed, processed_before + burst.size());
  discard_pending(peer.get());

  uint32_t seq = 9;
  for (uint64_t value : {uint64_t{1}, uint64_t{0xDEADBEEE}, uint64_t{0xDEADBEEF0}}) {
    ASSERT_TRUE(g->signal(0, value)) << "the thread did not read " << value;
    passes(0, pattern(100, seq++));
  }

  // Sized for the MTU of 1500 it started with, the listener now gets jumbo
  // frames: a capture cut short is never forwarded.
  ASSERT_EQ(
      lab->run(lab->host_ns(), "for i in vif1 tp1 tp1p sif; do ip link set $i mtu 9000; done"), 0);
  ASSERT_EQ(lab->run(lab->client_ns(1), "ip link set eth0 mtu 9000"), 0);
  ASSERT_EQ(lab->run(lab->server_ns(), "ip link set eth0 mtu 9000"), 0);
  const uint64_t processed = g->counts(0).processed;
  ASSERT_TRUE(send_to(clients[0].get(), pattern(GetParam().too_long, 1), server_addr));
  EXPECT_FALSE(receive(server.get(), &got, nullptr, 300)) << "a cut-short capture went out";
  EXPECT_EQ(g->counts(0).truncated, 1u);
  EXPECT_EQ(g->counts(0).processed, processed);
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING, "skips a"));
  passes(0, pattern(GetParam().fits, 2));
  g->stop();  // joins: the stop value ends it
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_MESSAGE, "Thread udp-tp1-0: captured "));
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_MESSAGE, ", invalid 1, truncated 1, fragments 0, "));

  // Started on the jumbo link, it takes the longest datagram the link carries.
  g = group(1);
  ASSERT_TRUE(g->start_ready());
  passes(0, pattern(9000 - 28, 3));
}

// Beside the ARP proxy, as the daemon runs them; a missing interface fails
// the group.
TEST_P(Listener, RunsBesideTheArpProxyAndFailsWithENODEVForAMissingInterface) {
  tarn_test::log_capture log;
  log.clear();
  for (const std::string interface : {"", "nosuch0"}) {
    thread_group g(*lab, GetParam().packet_mmap, 2, 0, interface, true);
    ASSERT_EQ(g.start(), interface.empty() ? 0 : -ENODEV);
    if (interface.empty()) passes(0, pattern(100, 1));
  }
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING, GetParam().enodev_text));
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
  tarn_test::lab_enter in(ns.name());
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
  const struct {
    const char* interface;
    client_context* client;
    uint32_t mode;
    int err;
    const char* line;
  } failures[] = {{"nosuchif0", &client, 0, ENODEV, "Interface nosuchif0 doesn't exist: "},
                  {"va", nullptr, 0, EINVAL, "rx socket error, could not configure_filter"},
                  {"va", &client, 1, EINVAL, "setsockopt PACKET_FANOUT: "}};
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
