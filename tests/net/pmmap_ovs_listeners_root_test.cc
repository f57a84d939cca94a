// Both listeners (packet-mmap and Open vSwitch) on the real kernel, in the
// network lab: each case runs once per listener.
#include <gtest/gtest.h>
#include <linux/if_packet.h>

#include <memory>
#include <string>
#include <vector>

#include "net/listener_fixture.h"
#include "net/ovs.h"
#include "net/pmmap.h"
#include "support/lab.h"
#include "support/log_capture.h"
#include "support/sandbox.h"

namespace {

using namespace listener_test;

struct listener_kind {
  const char* name;
  tlt_function fn;
  bool raw_sends;           // forwards through the host's routes
  size_t too_long;          // a payload longer than a capture holds (ring frame or buffer)
  size_t fits;              // a large payload that still fits
  const char* short_text;   // the line for a 38-byte frame
  const char* enodev_text;  // a line logged for a missing interface
};

const listener_kind KINDS[] = {
    {"pmmap", pmmap_listener, false, 3000, 1472,
     "pmmap_process_packet skips invalid udp message size 24", "rx socket error"},
    {"ovs", ovs_listener, true, 8500, 7900, "ovs_listener skips invalid udp packet size 38",
     "Couldn't open recev socket"},
};

class Listener : public testing::TestWithParam<listener_kind> {
 protected:
  void SetUp() override {
    TARN_REQUIRE_ROOT();
    lab_ = std::make_unique<tarn_test::lab>();
    if (GetParam().raw_sends) {
      ASSERT_TRUE(lab_->route_through_proxy_port(1));
    }
  }
  std::unique_ptr<listener_group> group(int threads, uint32_t fanout = 0) {
    return std::make_unique<listener_group>(*lab_, GetParam().fn, threads, fanout);
  }
  std::unique_ptr<tarn_test::lab> lab_;
};

TEST_P(Listener, ForwardsTransparentlyWithEveryThreadCountAndFanoutMode) {
  endpoints ep(*lab_);
  ASSERT_TRUE(ep.valid());
  uint32_t seq = 0;
  for (int threads : {1, 2, 4}) {
    for (uint32_t mode : FANOUT_MODES) {
      SCOPED_TRACE(testing::Message() << threads << " threads, fanout mode " << mode);
      auto g = group(threads, mode);
      ASSERT_TRUE(g->start_ready());
      exchange_all(ep, &seq);
      uint64_t forwarded = 0;
      for (int i = 0; i < threads; i++) forwarded += g->counts(i).forwarded;
      EXPECT_EQ(forwarded, 34u);  // 17 requests and their responses
    }
  }
}

// The Open vSwitch listener installs the MIO fanout program too, so that
// both spread a client's traffic alike.
TEST_P(Listener, CbpfKeepsEachThreadIdOnOneThreadAndTheRestOnTheFirst) {
  endpoints ep(*lab_, 1);
  ASSERT_TRUE(ep.valid());
  for (int threads : {2, 4}) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    auto g = group(threads, PACKET_FANOUT_CBPF);
    ASSERT_TRUE(g->start_ready());
    check_mio_spread(*g, ep);
  }
}

// Frames are injected on the proxy port's peer, which also shows what the
// listener sends.
TEST_P(Listener, SkipsShortCapturesAndNeverTakesPaddingForPayload) {
  tarn_test::log_capture log;
  ASSERT_EQ(lab_->run(lab_->host_ns(), "ip link set tp1 address 02:00:00:00:03:01"), 0);
  // A new address flushes the interface's neighbours, permanent ones too.
  if (GetParam().raw_sends) {
    ASSERT_TRUE(lab_->route_through_proxy_port(1));
  }
  unique_fd peer = packet_socket(*lab_, lab_->proxy_peer_if(1));
  unique_fd client = lab_->udp_socket(lab_->client_ns(1), lab_->client_ip(1), 40001);
  ASSERT_TRUE(peer.valid() && client.valid());
  auto g = group(1);
  ASSERT_TRUE(g->start_ready());
  discard_pending(peer.get());

  const sockaddr_in srv = tarn_test::lab_address(lab_->server_ip(), SERVER_PORT);
  const sockaddr_in cli = tarn_test::lab_address(lab_->client_ip(1), 40001);
  // An IPv4 datagram shorter than its header plus 8 bytes.
  auto short_frame = udp_frame(lab_->client_mac(1), lab_->server_mac(), srv, cli, {});
  short_frame.resize(14 + 24);
  short_frame[14 + 3] = 24;  // total length
  ASSERT_EQ(send(peer.get(), short_frame.data(), short_frame.size(), 0), 38);
  ASSERT_TRUE(eventually([&] { return g->counts(0).invalid == 1; }));
  EXPECT_TRUE(quiet(peer.get(), 200)) << "something was sent for a short capture";
  EXPECT_EQ(g->counts(0).processed, 0u);
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_MESSAGE, GetParam().short_text));

  // 0 bytes padded to the Ethernet minimum with non-zero bytes.
  const auto padded = udp_frame(lab_->client_mac(1), lab_->server_mac(), srv, cli, {}, 60);
  ASSERT_EQ(send(peer.get(), padded.data(), padded.size(), 0), 60);
  std::vector<uint8_t> got;
  ASSERT_TRUE(receive(client.get(), &got));
  EXPECT_TRUE(got.empty()) << got.size() << " bytes of padding taken for payload";
  std::vector<uint8_t> sent(2048);
  ASSERT_EQ(recv(peer.get(), sent.data(), sent.size(), MSG_DONTWAIT), 42);
  const uint8_t tp1_mac[6] = {0x02, 0, 0, 0, 3, 1};
  EXPECT_EQ(memcmp(sent.data() + 6, tp1_mac, 6), 0) << "source MAC is the interface's";
  EXPECT_EQ(memcmp(sent.data(), lab_->client_mac(1).data(), 6), 0);
}

TEST_P(Listener, NeverForwardsACaptureCutShort) {
  tarn_test::log_capture log;
  // Sized for the MTU of 1500 it starts with, the listener then gets jumbo
  // frames.
  auto g = group(1);
  ASSERT_TRUE(g->start_ready());
  ASSERT_EQ(
      lab_->run(lab_->host_ns(), "for i in vif1 tp1 tp1p sif; do ip link set $i mtu 9000; done"),
      0);
  ASSERT_EQ(lab_->run(lab_->client_ns(1), "ip link set eth0 mtu 9000"), 0);
  ASSERT_EQ(lab_->run(lab_->server_ns(), "ip link set eth0 mtu 9000"), 0);
  endpoints ep(*lab_, 1);

  std::vector<uint8_t> got;
  ASSERT_TRUE(send_to(ep.clients[0].get(), pattern(GetParam().too_long, 1), ep.server_addr));
  EXPECT_FALSE(receive(ep.server.get(), &got, nullptr, 300)) << "a cut-short capture went out";
  EXPECT_EQ(g->counts(0).truncated, 1u);
  EXPECT_EQ(g->counts(0).processed, 0u);
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING, "skips a"));

  const auto whole = pattern(GetParam().fits, 2);
  ASSERT_TRUE(send_to(ep.clients[0].get(), whole, ep.server_addr));
  ASSERT_TRUE(receive(ep.server.get(), &got));
  EXPECT_EQ(got, whole);

  // Started on the jumbo link, it takes the longest datagram the link carries.
  g = group(1);
  ASSERT_TRUE(g->start_ready());
  const auto jumbo = pattern(9000 - 28, 3);
  ASSERT_TRUE(send_to(ep.clients[0].get(), jumbo, ep.server_addr));
  ASSERT_TRUE(receive(ep.server.get(), &got));
  EXPECT_EQ(got, jumbo);
}

TEST_P(Listener, PassesFragmentsOnWhole) {
  endpoints ep(*lab_, 1);
  auto g = group(2);
  ASSERT_TRUE(g->start_ready());
  // 3000 bytes leave the client as three fragments, 2000 the server as two.
  const auto big = pattern(3000, 3);
  ASSERT_TRUE(send_to(ep.clients[0].get(), big, ep.server_addr));
  std::vector<uint8_t> got;
  sockaddr_in from{};
  ASSERT_TRUE(receive(ep.server.get(), &got, &from));
  EXPECT_EQ(got, big);
  const auto back = pattern(2000, 4);
  ASSERT_TRUE(send_to(ep.server.get(), back, from));
  ASSERT_TRUE(receive(ep.clients[0].get(), &got));
  EXPECT_EQ(got, back);
  EXPECT_EQ(g->counts(0).fragments + g->counts(1).fragments, 5u);
  EXPECT_TRUE(quiet(ep.server.get()));
}

TEST_P(Listener, OnlyTheStopValueStopsTheThread) {
  endpoints ep(*lab_, 1);
  auto g = group(1);
  ASSERT_TRUE(g->start_ready());
  uint32_t seq = 9;
  for (uint64_t value : {uint64_t{1}, uint64_t{0xDEADBEEE}, uint64_t{0xDEADBEEF0}}) {
    ASSERT_TRUE(g->signal(0, value)) << "the thread did not read " << value;
    const auto p = pattern(100, seq++);
    ASSERT_TRUE(send_to(ep.clients[0].get(), p, ep.server_addr));
    std::vector<uint8_t> got;
    ASSERT_TRUE(receive(ep.server.get(), &got)) << "stopped by " << value;
    EXPECT_EQ(got, p);
  }
  EXPECT_TRUE(g->running(0));
  g->stop();  // joins: the stop value ends it
  EXPECT_FALSE(g->running(0));
}

TEST_P(Listener, ReportsEnodevForAMissingInterface) {
  tarn_test::log_capture log;
  listener_group g(*lab_, GetParam().fn, 1, 0, "nosuchif0");
  EXPECT_EQ(g.start(), std::vector<uint64_t>{19});
  g.stop();
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING, GetParam().enodev_text));
}

INSTANTIATE_TEST_SUITE_P(Both, Listener, testing::ValuesIn(KINDS),
                         [](const testing::TestParamInfo<listener_kind>& kind) {
                           return std::string(kind.param.name);
                         });

}  // namespace
