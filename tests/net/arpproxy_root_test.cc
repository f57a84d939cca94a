// The ARP proxy thread with real ARP frames in the network lab.
//
// The thread runs on the client's proxy port tp1 in the host namespace, as an
// interface group would run it, with its own stop and status channels. The
// client's requests come from the client namespace through the host's
// steering; genuine replies come from the server namespace's kernel (switched
// off with arp_ignore when the server is to be silent) or are sent from there
// by hand; frames that only the proxy port must see are injected on tp1p.
// What reaches the client is captured on its eth0.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "contexts/clients.h"
#include "core/unique_fd.h"
#include "net/arpproxy.h"
#include "net/interface_thread.h"
#include "net/listener_fixture.h"
#include "support/lab.h"
#include "support/log_capture.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
using mac = std::array<uint8_t, 6>;

// The lab's client 1 and server; the others exist only in crafted frames.
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

constexpr auto QUIET = 150ms;  // how long "nothing more arrives" is watched

// The lab with one client and two server addresses, plus what the ARP proxy
// needs beyond its steering: the server's ARP for the client is mirrored to
// tp1p as well, so that the proxy port sees genuine replies.
class arp_lab {
 public:
  arp_lab() : lab_(1, 2) {
    ok_ = lab_.run(host_ns(),
                   "tc filter add dev sif parent ffff: prio 5 protocol arp u32 match u32 "
                   "0xc6120065 0xffffffff at 24 action mirred egress mirror dev tp1p pipe "
                   "action mirred egress redirect dev vif1") == 0;
  }

  bool ok() const { return ok_; }
  std::string host_ns() const { return lab_.host_ns(); }
  std::string server_ns() const { return lab_.server_ns(); }
  std::string client_ns() const { return lab_.client_ns(1); }
  // Whether the server's kernel answers ARP requests for its addresses.
  bool server_replies(bool on) const {
    return lab_.run(server_ns(), std::string("sysctl -qw net.ipv4.conf.all.arp_ignore=") +
                                     (on ? "0" : "8")) == 0;
  }

 private:
  tarn_test::lab lab_;
  bool ok_ = false;
};

std::vector<uint8_t> arp_frame(uint16_t op, const mac& eth_dst, const mac& eth_src,
                               const mac& sender, in_addr_t sender_ip, const mac& target,
                               in_addr_t target_ip) {
  std::vector<uint8_t> f(eth_dst.begin(), eth_dst.end());
  f.insert(f.end(), eth_src.begin(), eth_src.end());
  const uint8_t head[] = {0x08, 0x06, 0, 1, 0x08, 0x00, 6, 4, 0, static_cast<uint8_t>(op)};
  f.insert(f.end(), head, head + sizeof head);
  f.insert(f.end(), sender.begin(), sender.end());
  f.insert(f.end(), reinterpret_cast<const uint8_t*>(&sender_ip),
           reinterpret_cast<const uint8_t*>(&sender_ip) + 4);
  f.insert(f.end(), target.begin(), target.end());
  f.insert(f.end(), reinterpret_cast<const uint8_t*>(&target_ip),
           reinterpret_cast<const uint8_t*>(&target_ip) + 4);
  return f;
}

// The client asking who has `ip`.
std::vector<uint8_t> request(in_addr_t ip, const mac& from = CLIENT) {
  return arp_frame(ARP_OP_REQUEST, BROADCAST, from, from, CLIENT_IP, ZERO, ip);
}

// A reply to the client: `ip` is at `at`, sent by `eth_src`.
std::vector<uint8_t> reply(in_addr_t ip, const mac& at, const mac& eth_src,
                           const mac& eth_dst = CLIENT) {
  return arp_frame(ARP_OP_REPLY, eth_dst, eth_src, at, ip, CLIENT, CLIENT_IP);
}

// The 60 bytes the proxy must send: `ip` is at `at`, from the proxy port.
std::vector<uint8_t> proxy_reply(in_addr_t ip, const mac& at, const mac& port) {
  auto f = arp_frame(ARP_OP_REPLY, CLIENT, port, at, ip, CLIENT, CLIENT_IP);
  f.resize(ARP_REPLY_FRAME_LEN, 0);
  return f;
}

unique_fd packet_socket(const std::string& ns, const char* ifname) {
  tarn_test::lab_enter in(ns);
  unique_fd fd(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL)));
  if (!fd) throw std::runtime_error(std::string("packet socket: ") + strerror(errno));
  struct sockaddr_ll sll {};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons(ETH_P_ALL);
  sll.sll_ifindex = static_cast<int>(if_nametoindex(ifname));
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0)
    throw std::runtime_error(std::string("bind ") + ifname + ": " + strerror(errno));
  return fd;
}

mac interface_mac(const std::string& ns, const char* ifname) {
  tarn_test::lab_enter in(ns);
  unique_fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  struct ifreq ifr {};
  snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname);
  mac m{};
  if (ioctl(fd.get(), SIOCGIFHWADDR, &ifr) == 0) memcpy(m.data(), ifr.ifr_hwaddr.sa_data, 6);
  return m;
}

void send_frames(int fd, const std::vector<std::vector<uint8_t>>& frames) {
  for (const auto& f : frames)
    ASSERT_EQ(send(fd, f.data(), f.size(), 0), static_cast<ssize_t>(f.size())) << strerror(errno);
}

struct seen_frame {
  std::vector<uint8_t> bytes;
  clock_type::time_point at;
};

// Everything that arrives on `fd` (not what it sent itself) for `window`.
std::vector<seen_frame> collect(int fd, std::chrono::milliseconds window) {
  std::vector<seen_frame> got;
  const auto deadline = clock_type::now() + window;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    if (left.count() <= 0) break;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) break;
    std::vector<uint8_t> buf(2048);
    struct sockaddr_ll from {};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd, buf.data(), buf.size(), MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) continue;
    if (from.sll_pkttype == PACKET_OUTGOING) continue;
    buf.resize(static_cast<size_t>(n));
    got.push_back({std::move(buf), clock_type::now()});
  }
  return got;
}

void drain(int fd) {
  char buf[2048];
  for (int i = 0; i < 1000 && recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0; i++) {
  }
}

std::vector<seen_frame> sent_by(const std::vector<seen_frame>& frames, const mac& src) {
  std::vector<seen_frame> out;
  for (const auto& f : frames) {
    if (f.bytes.size() >= 14 && memcmp(f.bytes.data() + 6, src.data(), 6) == 0) out.push_back(f);
  }
  return out;
}

// arpproxy_thread on its own thread in a namespace, with the client record
// and the two channels an interface group would give it.
class proxy_thread {
 public:
  explicit proxy_thread(const std::string& uuid) {
    client.uuid = uuid;
    client.mac = CLIENT;
    client.interface = "tp1";
    client.server_address.sin_family = AF_INET;
    set_server(SERVER_IP);
  }
  ~proxy_thread() {
    stop();
    // The channels are ours to close.
    tlt_.efd = -1;
    tlt_.status_efd = -1;
  }
  proxy_thread(const proxy_thread&) = delete;
  proxy_thread& operator=(const proxy_thread&) = delete;

  // Starts the thread in `ns` on `ifname`; returns what it reported on its
  // status channel, or 0 if it reported nothing within 10 s.
  uint64_t start(const std::string& ns, const std::string& ifname) {
    efd_.reset(eventfd(0, EFD_CLOEXEC));
    status_efd_.reset(eventfd(0, EFD_CLOEXEC));
    tlt_.name = "arp-" + ifname;
    tlt_.interface = ifname;
    tlt_.client = &client;
    tlt_.efd = efd_.get();
    tlt_.status_efd = status_efd_.get();
    {
      tarn_test::lab_enter in(ns);  // the new thread starts in the namespace
      thread_ = std::thread([this] {
        arpproxy_thread(&tlt_);
        done_.store(true, std::memory_order_release);
      });
    }
    struct pollfd p = {status_efd_.get(), POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return 0;
    eventfd_t value = 0;
    return eventfd_read(status_efd_.get(), &value) == 0 ? value : 0;
  }

  void set_server(in_addr_t ip) {
    std::atomic_ref<in_addr_t>(client.server_address.sin_addr.s_addr)
        .store(ip, std::memory_order_relaxed);
  }

  void signal(uint64_t value) { ASSERT_EQ(eventfd_write(efd_.get(), value), 0); }

  // Whether the thread function has returned within `timeout`.
  bool ended_within(std::chrono::milliseconds timeout) const {
    return listener_test::eventually([this] { return done_.load(std::memory_order_acquire); },
                                     timeout);
  }

  // Asks it to stop and joins it; a thread that does not end within 10 s
  // would hang the join, so that ends the test run instead.
  void stop() {
    if (!thread_.joinable()) return;
    if (!done_.load(std::memory_order_acquire)) eventfd_write(efd_.get(), INTERFACE_THREAD_STOP);
    if (!ended_within(10s)) {
      fprintf(stderr, "arpproxy_thread did not stop within 10 s\n");
      abort();
    }
    thread_.join();
  }

  client_context client;

 private:
  tlt_context tlt_;
  unique_fd efd_, status_efd_;
  std::thread thread_;
  std::atomic<bool> done_{false};
};

bool wait_for_count(const tarn_test::log_capture& logs, const std::string& text, size_t n) {
  return listener_test::eventually([&] { return logs.count(text) >= n; });
}

class ArpProxyLab : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) return;
    try {
      lab_ = new arp_lab();
    } catch (const std::exception& e) {
      lab_error_ = e.what();
    }
  }
  static void TearDownTestSuite() {
    delete lab_;
    lab_ = nullptr;
  }

  void SetUp() override {
    TARN_REQUIRE_ROOT();
    ASSERT_TRUE(lab_ != nullptr && lab_->ok()) << "the lab could not be built " << lab_error_;
    ASSERT_TRUE(lab_->server_replies(true));
    port_mac = interface_mac(lab_->host_ns(), "tp1");
    client_fd = packet_socket(lab_->client_ns(), "eth0");
    inject_fd = packet_socket(lab_->host_ns(), "tp1p");
    server_fd = packet_socket(lab_->server_ns(), "eth0");
    uuid = std::string("0a5e7c11-0000-4000-8000-") +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    uuid.resize(36, '0');
    proxy = std::make_unique<proxy_thread>(uuid);
    ASSERT_EQ(proxy->start(lab_->host_ns(), "tp1"), INTERFACE_THREAD_READY);
    logs.clear();
  }

  void TearDown() override {
    proxy.reset();
    if (lab_ != nullptr) lab_->server_replies(true);
  }

  std::string line(const std::string& text) const { return "Client " + uuid + " - " + text; }
  size_t timer_expiries() const { return logs.count(line("Timer expired, sending ARP response")); }
  size_t caches_created() const { return logs.count(line("Creating ARP cache")); }

  // The client asks (each frame one request) and watches its eth0.
  std::vector<seen_frame> ask(const std::vector<std::vector<uint8_t>>& frames,
                              std::chrono::milliseconds window = QUIET) {
    drain(client_fd.get());
    send_frames(client_fd.get(), frames);
    return collect(client_fd.get(), window);
  }

  // Teaches the proxy the server's MAC through the server kernel's own reply.
  void learn_server() {
    ASSERT_TRUE(lab_->server_replies(true));
    auto got = ask({request(SERVER_IP)});
    ASSERT_EQ(sent_by(got, SERVER).size(), 1u) << "the server did not answer";
    ASSERT_TRUE(sent_by(got, port_mac).empty());
  }

  static arp_lab* lab_;
  static std::string lab_error_;
  tarn_test::log_capture logs;
  mac port_mac{};
  unique_fd client_fd, inject_fd, server_fd;
  std::string uuid;
  std::unique_ptr<proxy_thread> proxy;
};

arp_lab* ArpProxyLab::lab_ = nullptr;
std::string ArpProxyLab::lab_error_;

TEST_F(ArpProxyLab, AnswersOnceForALateServerAndNeverForAPromptOne) {
  // The first request only starts the cache; the server's reply teaches it.
  learn_server();
  EXPECT_EQ(caches_created(), 1u);

  // The server answers within the 1 ms: the armed timer is cancelled.
  for (int i = 0; i < 10; i++) {
    auto got = ask({request(SERVER_IP)});
    EXPECT_EQ(sent_by(got, SERVER).size(), 1u) << "round " << i;
    EXPECT_TRUE(sent_by(got, port_mac).empty()) << "proxy answered in round " << i;
  }
  EXPECT_EQ(timer_expiries(), 0u);

  // The server is silent: one 60-byte reply in its name, no sooner than 1 ms.
  ASSERT_TRUE(lab_->server_replies(false));
  const auto asked = clock_type::now();
  auto got = ask({request(SERVER_IP)});
  EXPECT_TRUE(sent_by(got, SERVER).empty());
  auto answers = sent_by(got, port_mac);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].bytes, proxy_reply(SERVER_IP, SERVER, port_mac));
  EXPECT_GE(answers[0].at - asked, 1ms);
  EXPECT_EQ(timer_expiries(), 1u);

  // Requests while the timer runs neither re-arm it nor add answers.
  got = ask({request(SERVER_IP), request(SERVER_IP), request(SERVER_IP)});
  EXPECT_EQ(sent_by(got, port_mac).size(), 1u);
  EXPECT_EQ(timer_expiries(), 2u);

  // Expiry disarmed the entry: the next request is answered again.
  got = ask({request(SERVER_IP)});
  EXPECT_EQ(sent_by(got, port_mac).size(), 1u);
  EXPECT_EQ(caches_created(), 1u);
}

TEST_F(ArpProxyLab, AnswersOnlyWithWhatAReplyFromAnotherStationTaught) {
  ASSERT_TRUE(lab_->server_replies(false));
  auto got = ask({request(SERVER_IP)});
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(caches_created(), 1u);

  // Nothing learnt yet: the timer runs out and nothing is sent.
  got = ask({request(SERVER_IP)});
  ASSERT_TRUE(wait_for_count(logs, line("Timer expired, sending ARP response"), 1));
  EXPECT_TRUE(sent_by(got, port_mac).empty());

  // Replies that the filter keeps away teach nothing: one sent from the proxy
  // port's own MAC, one addressed to another station.
  send_frames(inject_fd.get(),
              {reply(SERVER_IP, FORGED, port_mac), reply(SERVER_IP, FORGED, SERVER, OTHER)});
  got = ask({request(SERVER_IP)});
  ASSERT_TRUE(wait_for_count(logs, line("Timer expired, sending ARP response"), 2));
  EXPECT_TRUE(sent_by(got, port_mac).empty());

  // Requests from other stations do not reach it: no cache is started.
  send_frames(inject_fd.get(), {request(SERVER_IP, OTHER), request(SERVER_IP, OTHER)});
  got = collect(client_fd.get(), QUIET);
  EXPECT_EQ(caches_created(), 1u);
  EXPECT_EQ(timer_expiries(), 2u);

  // A reply from another station does teach it, whatever MAC it names.
  send_frames(server_fd.get(), {reply(SERVER_IP, FORGED, SERVER)});
  got = ask({request(SERVER_IP)});
  auto answers = sent_by(got, port_mac);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].bytes, proxy_reply(SERVER_IP, FORGED, port_mac));
}

TEST_F(ArpProxyLab, FollowsTheServerAddressAndIgnoresOthers) {
  learn_server();
  ASSERT_TRUE(lab_->server_replies(false));

  // Another address asked for or answered: no timer, no answer, nothing learnt.
  auto got = ask({request(SERVER2_IP), request(SERVER2_IP)});
  send_frames(server_fd.get(), {reply(SERVER2_IP, FORGED, SERVER)});
  got = collect(client_fd.get(), QUIET);
  EXPECT_TRUE(sent_by(got, port_mac).empty());
  EXPECT_EQ(timer_expiries(), 0u);
  got = ask({request(SERVER_IP)});
  auto answers = sent_by(got, port_mac);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].bytes, proxy_reply(SERVER_IP, SERVER, port_mac));

  // The client moves to another server: the old server's MAC is never given
  // out for the new address, and the new server's reply is learnt.
  proxy->set_server(SERVER2_IP);
  got = ask({request(SERVER2_IP)});
  ASSERT_TRUE(wait_for_count(logs, line("Timer expired, sending ARP response"), 2));
  EXPECT_TRUE(sent_by(got, port_mac).empty());
  got = ask({request(SERVER_IP)});
  EXPECT_TRUE(sent_by(got, port_mac).empty()) << "answered for the former server";
  send_frames(server_fd.get(), {reply(SERVER2_IP, SERVER2, SERVER)});
  got = ask({request(SERVER2_IP)});
  answers = sent_by(got, port_mac);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].bytes, proxy_reply(SERVER2_IP, SERVER2, port_mac));

  // No server known (yet): nothing to answer for.
  proxy->set_server(0);
  send_frames(inject_fd.get(),
              {arp_frame(ARP_OP_REQUEST, BROADCAST, CLIENT, CLIENT, CLIENT_IP, ZERO, 0)});
  got = ask({request(SERVER2_IP)});
  EXPECT_TRUE(sent_by(got, port_mac).empty());
  EXPECT_EQ(timer_expiries(), 3u);
  EXPECT_EQ(caches_created(), 1u);
}

TEST_F(ArpProxyLab, HostileFramesNeitherCrashNorAnswer) {
  learn_server();
  ASSERT_TRUE(lab_->server_replies(false));

  auto with = [](std::vector<uint8_t> f, size_t offset, uint8_t value) {
    f[offset] = value;
    return f;
  };
  auto cut = [](std::vector<uint8_t> f, size_t len) {
    f.resize(len);
    return f;
  };
  const auto good = request(SERVER_IP);
  // Full frames that name the server at the target address's offset but are
  // no Ethernet/IPv4 ARP, then short captures of an otherwise good request:
  // each short one lands in a ring frame that held a full one before, so a
  // read past the capture would find the server's address there and answer.
  std::vector<std::vector<uint8_t>> hostile;
  for (int lap = 0; lap < 2; lap++) {
    for (int i = 0; i < 8; i++) {
      hostile.push_back(with(good, 15, 6));     // hardware type IEEE 802
      hostile.push_back(with(good, 16, 0x86));  // protocol type IPv6
      hostile.push_back(with(good, 18, 8));     // hardware length 8
      hostile.push_back(with(good, 19, 16));    // protocol length 16
    }
    for (size_t len : {22u, 28u, 34u, 38u, 41u}) {
      for (int i = 0; i < 7; i++) hostile.push_back(cut(good, len));
    }
  }
  // A request whose sender address is a group or no address.
  hostile.push_back(
      arp_frame(ARP_OP_REQUEST, BROADCAST, CLIENT, BROADCAST, CLIENT_IP, ZERO, SERVER_IP));
  hostile.push_back(arp_frame(ARP_OP_REQUEST, BROADCAST, CLIENT, ZERO, CLIENT_IP, ZERO, SERVER_IP));
  for (size_t i = 0; i < hostile.size(); i += 16) {
    std::vector<std::vector<uint8_t>> batch(
        hostile.begin() + static_cast<ptrdiff_t>(i),
        hostile.begin() + static_cast<ptrdiff_t>(std::min(i + 16, hostile.size())));
    send_frames(inject_fd.get(), batch);
    std::this_thread::sleep_for(5ms);  // let the thread keep up with its 32 frames
  }
  // Replies that would poison the client: the server at a group address, and
  // a reply cut short before the sender's address.
  send_frames(server_fd.get(),
              {reply(SERVER_IP, BROADCAST, SERVER), reply(SERVER_IP, ZERO, SERVER)});
  send_frames(inject_fd.get(), {cut(reply(SERVER_IP, FORGED, SERVER), 30)});

  auto got = collect(client_fd.get(), QUIET);
  EXPECT_TRUE(sent_by(got, port_mac).empty());
  EXPECT_EQ(timer_expiries(), 0u);
  EXPECT_EQ(caches_created(), 1u);

  // Still running, and still answering with the genuine server's MAC.
  got = ask({good});
  auto answers = sent_by(got, port_mac);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].bytes, proxy_reply(SERVER_IP, SERVER, port_mac));
}

TEST(ArpProxyThread, StartsStopsAndReportsFailure) {
  TARN_REQUIRE_ROOT();
  arp_lab lab;
  ASSERT_TRUE(lab.ok());
  tarn_test::log_capture logs;
  logs.clear();
  const std::string uuid = "0a5e7c11-0000-4000-8000-000000000001";
  const std::string c = "Client " + uuid + " - ";

  // No such interface: the thread reports the error and is gone.
  {
    proxy_thread t(uuid);
    EXPECT_EQ(t.start(lab.host_ns(), "nosuch0"), static_cast<uint64_t>(ENODEV));
    EXPECT_TRUE(t.ended_within(5s));
  }
  EXPECT_TRUE(logs.contains(c + "Thread arp-nosuch0 started"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, c + "rx socket error"));
  EXPECT_FALSE(logs.contains(c + "Thread arp-nosuch0 listening"));

  // Ready, deaf to anything but the stop value, and leaving no descriptor
  // behind (rings, poll set, the cache entry's timer).
  const size_t fds_before = listener_test::open_descriptors();
  {
    proxy_thread t(uuid);
    ASSERT_EQ(t.start(lab.host_ns(), "tp1"), INTERFACE_THREAD_READY);
    // Logged just after ready is reported.
    EXPECT_TRUE(wait_for_count(logs, c + "Thread arp-tp1 listening on interface tp1", 1));
    unique_fd client = packet_socket(lab.client_ns(), "eth0");
    send_frames(client.get(), {request(SERVER_IP)});
    EXPECT_TRUE(wait_for_count(logs, c + "Creating ARP cache", 1));
    // efd adds up what is written: each value is read before the next.
    t.signal(1);
    EXPECT_FALSE(t.ended_within(50ms));
    t.signal(INTERFACE_THREAD_STOP + 1);
    EXPECT_FALSE(t.ended_within(50ms));
    t.signal(INTERFACE_THREAD_STOP);
    EXPECT_TRUE(t.ended_within(5s));
  }
  EXPECT_TRUE(logs.contains(c + "Thread arp-tp1 terminating"));
  EXPECT_EQ(listener_test::open_descriptors(), fds_before);
  EXPECT_FALSE(logs.contains(G_LOG_LEVEL_WARNING, c + "epoll"));
}

}  // namespace
