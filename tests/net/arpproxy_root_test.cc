// The ARP proxy thread with real ARP frames in the network lab.
//
// The thread runs on the client's proxy port tp1 in the host namespace. The
// client's requests come from the client namespace through the host's
// steering; genuine replies come from the server namespace's kernel (switched
// off with arp_ignore when the server is to be silent) or are sent from there
// by hand; frames that only the proxy port must see are injected on tp1p.
// What reaches the client is captured on its eth0.
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
using mac = tarn_test::mac_address;

const mac CLIENT = {0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
const mac SERVER = {0x02, 0x00, 0x00, 0x00, 0x02, 0x00};
const mac SERVER2 = {0x02, 0x00, 0x00, 0x00, 0x02, 0x01};
const mac OTHER = {0x02, 0x00, 0x00, 0x00, 0x04, 0x00};
const mac FORGED = {0x02, 0x00, 0x00, 0x00, 0x05, 0x00};
const mac BROADCAST = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
const mac ZERO = {};
const in_addr_t CLIENT_IP = inet_addr("198.18.0.101");
const in_addr_t SERVER_IP = inet_addr("198.18.0.20");
const in_addr_t SERVER2_IP = inet_addr("198.18.0.21");

bytes arp_frame(uint16_t op, const mac& eth_dst, const mac& eth_src, const mac& sender,
                in_addr_t sender_ip, const mac& target, in_addr_t target_ip) {
  bytes f(eth_dst.begin(), eth_dst.end());
  f.insert(f.end(), eth_src.begin(), eth_src.end());
  const uint8_t head[] = {0x08, 0x06, 0, 1, 0x08, 0x00, 6, 4, 0, static_cast<uint8_t>(op)};
  f.insert(f.end(), head, head + sizeof head);
  const auto* s = reinterpret_cast<const uint8_t*>(&sender_ip);
  const auto* t = reinterpret_cast<const uint8_t*>(&target_ip);
  f.insert(f.end(), sender.begin(), sender.end());
  f.insert(f.end(), s, s + 4);
  f.insert(f.end(), target.begin(), target.end());
  f.insert(f.end(), t, t + 4);
  return f;
}

// The client asking who has `ip`.
bytes request(in_addr_t ip, const mac& from = CLIENT) {
  return arp_frame(ARP_OP_REQUEST, BROADCAST, from, from, CLIENT_IP, ZERO, ip);
}

// A reply to the client: `ip` is at `at`, sent by `eth_src`.
bytes reply(in_addr_t ip, const mac& at, const mac& eth_src, const mac& eth_dst = CLIENT) {
  return arp_frame(ARP_OP_REPLY, eth_dst, eth_src, at, ip, CLIENT, CLIENT_IP);
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
    proxy = std::make_unique<thread_group>(*lab_, arpproxy_thread, 1, 0, "", true);
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
  // What reached the client within 150 ms.
  std::vector<seen_frame> collect() {
    std::vector<seen_frame> got;
    const auto deadline = clock_type::now() + 150ms;
    for (int i = 0; i < 1000; i++) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
      struct pollfd p = {client_fd.get(), POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) break;
      bytes buf(2048);
      const ssize_t n = recv(client_fd.get(), buf.data(), buf.size(), MSG_DONTWAIT);
      if (n < 14) continue;
      buf.resize(static_cast<size_t>(n));
      got.push_back({std::move(buf), clock_type::now()});
    }
    return got;
  }
  // The client asks (each frame one request) and watches its eth0.
  std::vector<seen_frame> ask(const std::vector<bytes>& frames) {
    discard_pending(client_fd.get());
    send_frames(client_fd.get(), frames);
    return collect();
  }
  static std::vector<seen_frame> sent_by(const std::vector<seen_frame>& frames, const mac& src) {
    std::vector<seen_frame> out;
    for (const auto& f : frames) {
      if (memcmp(f.data.data() + 6, src.data(), 6) == 0) out.push_back(f);
    }
    return out;
  }
  std::vector<seen_frame> proxy_answers(const std::vector<bytes>& frames) {
    return sent_by(ask(frames), port_mac);
  }
  // The 60 bytes the proxy must send: `ip` is at `at`, from the proxy port.
  bytes proxy_reply(in_addr_t ip, const mac& at) const {
    auto f = arp_frame(ARP_OP_REPLY, CLIENT, port_mac, at, ip, CLIENT, CLIENT_IP);
    f.resize(ARP_REPLY_FRAME_LEN, 0);
    return f;
  }
  void answers_with(in_addr_t ip, const mac& at) {
    auto got = proxy_answers({request(ip)});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, proxy_reply(ip, at));
  }
  // Teaches the proxy the server's MAC through the server kernel's own
  // reply; then the server is silent.
  void learn_server() {
    ASSERT_EQ(sent_by(ask({request(SERVER_IP)}), SERVER).size(), 1u) << "the server did not answer";
    ASSERT_TRUE(server_replies(false));
  }

  static tarn_test::lab* lab_;
  static bool lab_ok_;
  tarn_test::log_capture logs;
  mac port_mac{};
  size_t fds = 0;  // open before the thread's group was made
  unique_fd client_fd, inject_fd, server_fd;
  std::string uuid;
  std::unique_ptr<thread_group> proxy;
};

tarn_test::lab* ArpProxy::lab_ = nullptr;
bool ArpProxy::lab_ok_ = false;

TEST_F(ArpProxy, AnswersOnceForALateServerAndNeverForAPromptOne) {
  // The first request only starts the cache; the server's reply teaches it,
  // and while the server answers within the 1 ms the armed timer is cancelled.
  for (int i = 0; i < 10; i++) {
    const auto got = ask({request(SERVER_IP)});
    EXPECT_EQ(sent_by(got, SERVER).size(), 1u) << "round " << i;
    EXPECT_TRUE(sent_by(got, port_mac).empty()) << "the proxy answered in round " << i;
  }
  EXPECT_EQ(expiries(), 0u);
  EXPECT_EQ(logged("Creating ARP cache"), 1u);

  // The server is silent: one 60-byte reply in its name, no sooner than 1 ms.
  ASSERT_TRUE(server_replies(false));
  const auto asked = clock_type::now();
  const auto all = ask({request(SERVER_IP)});
  EXPECT_TRUE(sent_by(all, SERVER).empty());
  auto got = sent_by(all, port_mac);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, proxy_reply(SERVER_IP, SERVER));
  EXPECT_GE(got[0].at - asked, 1ms);
  EXPECT_EQ(expiries(), 1u);

  // Requests while the timer runs neither re-arm it nor add answers; expiry
  // disarms it, so the next request is answered again.
  EXPECT_EQ(proxy_answers({request(SERVER_IP), request(SERVER_IP), request(SERVER_IP)}).size(), 1u);
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
  ASSERT_TRUE(server_replies(false));
  EXPECT_TRUE(proxy_answers({request(SERVER_IP)}).empty());
  // Nothing learnt yet: the timer runs out and nothing is sent.
  EXPECT_TRUE(proxy_answers({request(SERVER_IP)}).empty());
  ASSERT_TRUE(expired(1));

  // Replies that the filter keeps away teach nothing: one sent from the proxy
  // port's own MAC, one addressed to another station.
  send_frames(inject_fd.get(),
              {reply(SERVER_IP, FORGED, port_mac), reply(SERVER_IP, FORGED, SERVER, OTHER)});
  EXPECT_TRUE(proxy_answers({request(SERVER_IP)}).empty());
  ASSERT_TRUE(expired(2));

  // Requests from other stations do not reach it: no cache is started.
  send_frames(inject_fd.get(), {request(SERVER_IP, OTHER), request(SERVER_IP, OTHER)});
  EXPECT_TRUE(sent_by(collect(), port_mac).empty());
  EXPECT_EQ(logged("Creating ARP cache"), 1u);
  EXPECT_EQ(expiries(), 2u);

  // A reply from another station does teach it, whatever MAC it names.
  send_frames(server_fd.get(), {reply(SERVER_IP, FORGED, SERVER)});
  answers_with(SERVER_IP, FORGED);
}

TEST_F(ArpProxy, FollowsTheServerAddressAndIgnoresOthers) {
  learn_server();
  // Another address asked for or answered: no timer, no answer, nothing learnt.
  EXPECT_TRUE(proxy_answers({request(SERVER2_IP), request(SERVER2_IP)}).empty());
  send_frames(server_fd.get(), {reply(SERVER2_IP, FORGED, SERVER)});
  EXPECT_EQ(expiries(), 0u);
  answers_with(SERVER_IP, SERVER);

  // The client moves to another server: the old server's MAC is never given
  // out for the new address, and the new server's reply is learnt.
  set_server(SERVER2_IP);
  EXPECT_TRUE(proxy_answers({request(SERVER2_IP)}).empty());
  ASSERT_TRUE(expired(2));
  EXPECT_TRUE(proxy_answers({request(SERVER_IP)}).empty()) << "answered for the former server";
  send_frames(server_fd.get(), {reply(SERVER2_IP, SERVER2, SERVER)});
  answers_with(SERVER2_IP, SERVER2);

  // No server known (yet): nothing to answer for.
  set_server(0);
  send_frames(inject_fd.get(),
              {arp_frame(ARP_OP_REQUEST, BROADCAST, CLIENT, CLIENT, CLIENT_IP, ZERO, 0)});
  EXPECT_TRUE(proxy_answers({request(SERVER2_IP)}).empty());
  EXPECT_EQ(expiries(), 3u);
  EXPECT_EQ(logged("Creating ARP cache"), 1u);
}

TEST_F(ArpProxy, HostileFramesNeitherCrashNorAnswer) {
  learn_server();
  auto with = [](bytes f, size_t offset, uint8_t value) {
    f[offset] = value;
    return f;
  };
  const auto good = request(SERVER_IP);
  // Full frames that name the server at the target address's offset but are
  // no Ethernet/IPv4 ARP, then short captures of an otherwise good request:
  // each short one lands in a ring frame that held a full one before, so a
  // read past the capture would find the server's address there and answer.
  std::vector<bytes> hostile;
  for (int lap = 0; lap < 2; lap++) {
    for (int i = 0; i < 8; i++) {
      for (auto [offset, value] :
           {std::pair<size_t, uint8_t>{15, 6}, {16, 0x86}, {18, 8}, {19, 16}})
        hostile.push_back(with(good, offset, value));
    }
    for (size_t len : {22u, 28u, 34u, 38u, 41u}) {
      for (int i = 0; i < 7; i++) hostile.emplace_back(good.begin(), good.begin() + long(len));
    }
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
  auto cut = reply(SERVER_IP, FORGED, SERVER);
  cut.resize(30);
  send_frames(inject_fd.get(), {cut});

  EXPECT_TRUE(sent_by(collect(), port_mac).empty());
  EXPECT_EQ(expiries(), 0u);
  EXPECT_EQ(logged("Creating ARP cache"), 1u);
  // Still running, and still answering with the genuine server's MAC.
  answers_with(SERVER_IP, SERVER);
}

TEST_F(ArpProxy, ReportsAMissingInterface) {
  thread_group t(*lab_, arpproxy_thread, 1, 0, "nosuch0", true);
  EXPECT_EQ(t.start(), std::vector<uint64_t>{ENODEV});
  EXPECT_TRUE(t.ended());
  const std::string c = "Client " + t.cc.uuid + " - ";
  EXPECT_TRUE(logs.contains(c + "Thread arp-nosuch0 started"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, c + "rx socket error"));
  EXPECT_FALSE(logs.contains(c + "Thread arp-nosuch0 listening"));
}

}  // namespace
