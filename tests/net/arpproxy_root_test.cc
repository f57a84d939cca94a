// The ARP proxy's frame parser, and its thread on the lab's proxy port tp1.
// Requests come from the client's eth0 (which also sees the answers); genuine
// replies from the server's kernel (silenced with arp_ignore) or by hand from
// there; frames only the proxy port must see are injected on tp1p.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "contexts/clients.h"
#include "net/arpproxy.h"
#include "net/listener_fixture.h"
#include "support/log_capture.h"
#include "support/sandbox.h"

namespace {

using namespace listener_test;
using clock_type = std::chrono::steady_clock;

// The client asking who has `ip`.
bytes request(in_addr_t ip, const mac& from = CLIENT) {
  return arp_frame(ARP_OP_REQUEST, BROADCAST, from, from, CLIENT_IP, ZERO, ip);
}

// A reply to the client: `ip` is at `at`, sent by `eth_src`.
bytes reply(in_addr_t ip, const mac& at, const mac& eth_src, const mac& eth_dst = CLIENT) {
  return arp_frame(ARP_OP_REPLY, eth_dst, eth_src, at, ip, CLIENT, CLIENT_IP);
}

// In a heap block of the frame's own length: under ASan a read past the
// capture fails the test.
bool parse(const bytes& frame, arp_message* out) {
  auto copy = std::make_unique<uint8_t[]>(frame.size());
  std::copy(frame.begin(), frame.end(), copy.get());
  return arp_frame_parse(copy.get(), frame.size(), out);
}

TEST(ArpFrameParse, TakesWholeEthernetIpv4MessagesOnly) {
  const bytes good =
      arp_frame(ARP_OP_REQUEST, BROADCAST, CLIENT, CLIENT, CLIENT_IP, SERVER, SERVER_IP);
  ASSERT_EQ(good.size(), ARP_FRAME_MIN_LEN);
  arp_message m{};
  ASSERT_TRUE(parse(good, &m));
  using std::to_array;
  EXPECT_EQ(arp_frame(m.operation, to_array(m.eth_dst), to_array(m.eth_src), to_array(m.sender_mac),
                      m.sender_ip, to_array(m.target_mac), m.target_ip),
            good);
  auto padded = good;
  padded.resize(60, 0);
  EXPECT_TRUE(parse(padded, &m)) << "Ethernet padding is allowed";
  for (size_t len = 0; len < ARP_FRAME_MIN_LEN; len++) {
    arp_message untouched{};
    untouched.operation = 0x5a5a;
    EXPECT_FALSE(parse({good.begin(), good.begin() + static_cast<long>(len)}, &untouched)) << len;
    EXPECT_EQ(untouched.operation, 0x5a5a) << "output written for a " << len << "-byte capture";
  }
  // EtherType IPv4, hardware type IEEE 802, protocol IPv6, hardware and
  // protocol lengths other than 6 and 4.
  for (auto [offset, value] : std::initializer_list<std::pair<size_t, uint8_t>>{
           {13, 0}, {15, 6}, {16, 0x86}, {18, 8}, {18, 0}, {19, 16}, {19, 0}}) {
    auto f = padded;
    f[offset] = value;
    EXPECT_FALSE(parse(f, &m)) << "byte " << offset << " = " << int{value};
  }
}

struct seen_frame {
  bytes data;
  clock_type::time_point at;
};

class ArpProxy : public ::testing::Test {
 protected:
  // One lab for the suite; the server's ARP for the client is mirrored to
  // tp1p as well, so that the proxy port sees genuine replies.
  static void SetUpTestSuite() {
    if (geteuid() != 0) return;
    lab_ = new tarn_test::lab(1, 2);
    lab_ok_ = lab_->run(lab_->host_ns(),
                        "tc filter add dev sif parent ffff: prio 5 protocol arp u32 match u32 "
                        "0xc6120065 0xffffffff at 24 action mirred egress mirror dev tp1p pipe "
                        "action mirred egress redirect dev vif1") == 0;
  }
  static void TearDownTestSuite() {
    delete lab_;
    lab_ = nullptr;
  }

  void SetUp() override {
    TARN_REQUIRE_ROOT();
    ASSERT_TRUE(lab_ok_);
    ASSERT_TRUE(server_replies(true));
    {
      tarn_test::lab_enter in(lab_->host_ns());
      ASSERT_EQ(get_mac_address("tp1", port_mac.data()), 0);
    }
    client_fd = packet_socket(lab_->client_ns(1), "eth0");
    inject_fd = packet_socket(lab_->host_ns(), "tp1p");
    server_fd = packet_socket(lab_->server_ns(), "eth0");
    fds = open_descriptors();
    logs.clear();
    proxy = std::make_unique<thread_group>(*lab_, false, 0, 0, "", true);
    set_server(SERVER_IP);
    ASSERT_TRUE(proxy->start_ready());
    uuid = proxy->cc.uuid;
    // Logged just after ready is reported.
    EXPECT_TRUE(eventually([&] { return logged("Thread arp-tp1 listening on interface tp1"); }));
    logs.clear();
  }
  void TearDown() override {
    proxy.reset();
    if (lab_ != nullptr) server_replies(true);
  }

  // Whether the server's kernel answers ARP requests for its addresses.
  bool server_replies(bool on) const {
    return lab_->run(lab_->server_ns(), std::string("sysctl -qw net.ipv4.conf.all.arp_ignore=") +
                                            (on ? "0" : "8")) == 0;
  }
  void set_server(in_addr_t ip) {
    std::atomic_ref<in_addr_t>(proxy->cc.server_address.sin_addr.s_addr).store(ip);
  }
  size_t logged(const char* text) const { return logs.count("Client " + uuid + " - " + text); }
  size_t expiries() const { return logged("Timer expired, sending ARP response"); }
  bool expired(size_t n) const {
    return eventually([&] { return expiries() >= n; });
  }

  void send_frames(int fd, const std::vector<bytes>& frames) {
    for (const auto& f : frames) ASSERT_TRUE(inject(fd, f)) << strerror(errno);
  }
  // What reached the client from `src` within 150 ms of sending `frames` on
  // `fd` (by default the client's own, each frame one request); and how many
  // frames the proxy port sent meanwhile. Without frames: what is pending.
  std::vector<seen_frame> ask(const std::vector<bytes>& frames, const mac& src, int fd = -1) {
    if (!frames.empty()) discard_pending(client_fd.get());
    from_proxy = 0;
    send_frames(fd < 0 ? client_fd.get() : fd, frames);
    std::vector<seen_frame> got;
    const auto deadline = clock_type::now() + 150ms;
    bytes buf;
    for (int i = 0; i < 1000; i++) {
      const auto left = (deadline - clock_type::now()) / 1ms;
      if (left <= 0 || !receive(client_fd.get(), &buf, nullptr, static_cast<int>(left) + 1)) break;
      if (buf.size() < 14) continue;
      if (std::equal(src.begin(), src.end(), buf.begin() + 6))
        got.push_back({buf, clock_type::now()});
      from_proxy += std::equal(port_mac.begin(), port_mac.end(), buf.begin() + 6);
    }
    return got;
  }
  size_t answers(const std::vector<bytes>& frames, int fd = -1) {
    return ask(frames, port_mac, fd).size();
  }
  // Exactly one 60-byte reply from the proxy port: `ip` is at `at`.
  clock_type::time_point answers_with(in_addr_t ip, const mac& at) {
    auto want = arp_frame(ARP_OP_REPLY, CLIENT, port_mac, at, ip, CLIENT, CLIENT_IP);
    want.resize(ARP_REPLY_FRAME_LEN, 0);
    auto got = ask({request(ip)}, port_mac);
    EXPECT_EQ(got.size(), 1u);
    EXPECT_EQ(got.empty() ? bytes{} : got[0].data, want);
    return got.empty() ? clock_type::time_point{} : got[0].at;
  }
  // Teaches the proxy the server's MAC through the server kernel's own
  // reply; then the server is silent.
  void learn_server() {
    ASSERT_EQ(ask({request(SERVER_IP)}, SERVER).size(), 1u) << "the server did not answer";
    ASSERT_TRUE(server_replies(false));
  }

  static inline tarn_test::lab* lab_ = nullptr;
  static inline bool lab_ok_ = false;
  tarn_test::log_capture logs;
  mac port_mac{};
  size_t from_proxy = 0;
  size_t fds = 0;  // open before the thread's group was made
  unique_fd client_fd, inject_fd, server_fd;
  std::string uuid;
  std::unique_ptr<thread_group> proxy;
};

TEST_F(ArpProxy, AnswersOnceForALateServerAndNeverForAPromptOne) {
  // The first request only starts the cache; the server's reply teaches it,
  // and while the server answers within the 1 ms the armed timer is cancelled.
  for (int i = 0; i < 10; i++) {
    EXPECT_EQ(ask({request(SERVER_IP)}, SERVER).size(), 1u) << i;
    EXPECT_EQ(from_proxy, 0u) << "the proxy answered in round " << i;
  }
  EXPECT_EQ(expiries(), 0u);
  EXPECT_EQ(logged("Creating ARP cache"), 1u);

  // The server is silent: one reply in its name, no sooner than 1 ms.
  ASSERT_TRUE(server_replies(false));
  const auto asked = clock_type::now();
  EXPECT_GE(answers_with(SERVER_IP, SERVER) - asked, 1ms);
  EXPECT_EQ(expiries(), 1u);

  // Requests while the timer runs neither re-arm it nor add answers; expiry
  // disarms it, so the next request is answered again.
  EXPECT_EQ(answers({request(SERVER_IP), request(SERVER_IP), request(SERVER_IP)}), 1u);
  answers_with(SERVER_IP, SERVER);
  EXPECT_EQ(expiries(), 3u);

  // Deaf to anything but the stop value; it leaves no descriptor behind
  // (rings, poll set, the cache entry's timer).
  ASSERT_TRUE(proxy->signal(0, 1));
  ASSERT_TRUE(proxy->signal(0, INTERFACE_THREAD_STOP + 1));
  answers_with(SERVER_IP, SERVER);
  proxy->stop();
  EXPECT_EQ(logged("Thread arp-tp1 terminating"), 1u);
  proxy.reset();
  EXPECT_EQ(open_descriptors(), fds);
  EXPECT_FALSE(logs.contains(G_LOG_LEVEL_WARNING, "epoll"));
}

TEST_F(ArpProxy, AnswersOnlyWithWhatAReplyFromAnotherStationTaught) {
  // Nothing learnt yet: the timer runs out and nothing is sent.
  ASSERT_TRUE(server_replies(false));
  EXPECT_EQ(answers({request(SERVER_IP)}) + answers({request(SERVER_IP)}), 0u);
  ASSERT_TRUE(expired(1));
  // Replies that the filter keeps away teach nothing: one sent from the proxy
  // port's own MAC, one addressed to another station.
  send_frames(inject_fd.get(),
              {reply(SERVER_IP, FORGED, port_mac), reply(SERVER_IP, FORGED, SERVER, OTHER)});
  EXPECT_EQ(answers({request(SERVER_IP)}), 0u);
  ASSERT_TRUE(expired(2));
  // Requests from other stations do not reach it: no cache is started.
  EXPECT_EQ(answers({request(SERVER_IP, OTHER), request(SERVER_IP, OTHER)}, inject_fd.get()), 0u);
  EXPECT_EQ(logged("Creating ARP cache"), 1u);
  EXPECT_EQ(expiries(), 2u);
  // A reply from another station does teach it, whatever MAC it names.
  send_frames(server_fd.get(), {reply(SERVER_IP, FORGED, SERVER)});
  answers_with(SERVER_IP, FORGED);
}

TEST_F(ArpProxy, FollowsTheServerAddressAndIgnoresOthers) {
  learn_server();
  // Another address asked for or answered: no timer, no answer, nothing learnt.
  EXPECT_EQ(answers({request(SERVER2_IP), request(SERVER2_IP)}), 0u);
  send_frames(server_fd.get(), {reply(SERVER2_IP, FORGED, SERVER)});
  EXPECT_EQ(expiries(), 0u);
  answers_with(SERVER_IP, SERVER);
  // The client moves to another server: the old server's MAC is never given
  // out for the new address, and the new server's reply is learnt.
  set_server(SERVER2_IP);
  EXPECT_EQ(answers({request(SERVER2_IP)}), 0u);
  ASSERT_TRUE(expired(2));
  EXPECT_EQ(answers({request(SERVER_IP)}), 0u) << "answered for the former server";
  send_frames(server_fd.get(), {reply(SERVER2_IP, SERVER2, SERVER)});
  answers_with(SERVER2_IP, SERVER2);
  // No server known (yet): nothing to answer for.
  set_server(0);
  send_frames(inject_fd.get(), {request(0)});
  EXPECT_EQ(answers({request(SERVER2_IP)}), 0u);
  EXPECT_EQ(expiries(), 3u);
  EXPECT_EQ(logged("Creating ARP cache"), 1u);
}

TEST_F(ArpProxy, HostileFramesNeitherCrashNorAnswer) {
  learn_server();
  const auto good = request(SERVER_IP);
  // Full frames that name the server at the target address's offset but are
  // no Ethernet/IPv4 ARP, then short captures of an otherwise good request:
  // each short one lands in a ring frame that held a full one before, so a
  // read past the capture would find the server's address there and answer.
  std::vector<bytes> hostile;
  for (int i = 0; i < 16; i++) {
    for (auto [offset, value] :
         {std::pair<size_t, uint8_t>{15, 6}, {16, 0x86}, {18, 8}, {19, 16}}) {
      hostile.push_back(good);
      hostile.back()[offset] = value;
    }
    for (size_t len : {22u, 28u, 34u, 38u, 41u})
      if (i % 8 == 7)
        hostile.insert(hostile.end(), 7, bytes(good.begin(), good.begin() + long(len)));
  }
  // Requests whose sender address is a group or no address.
  for (const mac& sender : {BROADCAST, ZERO})
    hostile.push_back(
        arp_frame(ARP_OP_REQUEST, BROADCAST, CLIENT, sender, CLIENT_IP, ZERO, SERVER_IP));
  for (size_t i = 0; i < hostile.size(); i += 16) {
    send_frames(inject_fd.get(), {hostile.begin() + long(i),
                                  hostile.begin() + long(std::min(i + 16, hostile.size()))});
    std::this_thread::sleep_for(5ms);  // let the thread keep up with its 32 frames
  }
  // Replies that would poison the client: the server at a group address or
  // none, and a reply cut short before the sender's address.
  send_frames(server_fd.get(),
              {reply(SERVER_IP, BROADCAST, SERVER), reply(SERVER_IP, ZERO, SERVER)});
  const auto cut = reply(SERVER_IP, FORGED, SERVER);
  send_frames(inject_fd.get(), {{cut.begin(), cut.begin() + 30}});

  EXPECT_EQ(answers({}), 0u);
  EXPECT_EQ(expiries(), 0u);
  EXPECT_EQ(logged("Creating ARP cache"), 1u);
  // Still running, and still answering with the genuine server's MAC.
  answers_with(SERVER_IP, SERVER);
}

TEST_F(ArpProxy, ReportsAMissingInterface) {
  thread_group t(*lab_, false, 0, 0, "nosuch0", true);
  EXPECT_EQ(t.start(), -ENODEV);
  const std::string c = "Client " + t.cc.uuid + " - ";
  EXPECT_TRUE(logs.contains(c + "Thread arp-nosuch0 started"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, c + "rx socket error"));
  EXPECT_FALSE(logs.contains(c + "Thread arp-nosuch0 listening"));
}

}  // namespace
