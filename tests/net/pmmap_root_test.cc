// The packet-mmap ring sockets on the real kernel, in a throwaway network
// namespace over veth. The listener itself is tested with the Open vSwitch
// listener in pmmap_ovs_listeners_root_test.cc.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "net/listener_fixture.h"
#include "net/pmmap.h"
#include "support/log_capture.h"
#include "support/netns.h"
#include "support/sandbox.h"

namespace {

using namespace listener_test;

uint32_t fanout_option(int fd) {
  uint32_t v = 0;
  socklen_t len = sizeof v;
  EXPECT_EQ(getsockopt(fd, SOL_PACKET, PACKET_FANOUT, &v, &len), 0) << strerror(errno);
  return v;
}

uint32_t expected_group(uint16_t id) {
  return (id ^ (static_cast<uint32_t>(getpid()) & 0xffff)) & 0xffff;
}

struct ring_ns {
  tarn_test::netns ns{"tarnring"};
  client_context client;
  tlt_context tlt;
  ring_ns() {
    EXPECT_EQ(ns.run("ip link add va type veth peer name vb && ip link set va up && "
                     "ip link set vb up"),
              0);
    client.uuid = "c0ffee00-0000-4000-8000-0000000000aa";
    client.mac = {0x02, 0, 0, 0, 1, 1};
    tlt.name = "udp-va-0";
    tlt.interface = "va";
    tlt.client = &client;
    tlt.fanout_group_id = 0x1234;
    tlt.mtu = 1500;  // as the listener reads it from va
  }
};

TEST(PmmapRing, MapsTheGeometryAndJoinsOnlyIpv4ReceiveRingsToTheFanoutGroup) {
  TARN_REQUIRE_ROOT();
  ring_ns r;
  tarn_test::netns_enter in(r.ns);

  for (uint32_t mode : FANOUT_MODES) {
    SCOPED_TRACE(testing::Message() << "fanout mode " << mode);
    pmmap_ring rx;
    const int fd = setup_pmmap_socket(&rx, &r.tlt, htons(ETH_P_IP), PACKET_RX_RING, mode);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(rx.fd, fd);
    ASSERT_NE(rx.mapping, nullptr);
    EXPECT_EQ(rx.kind, PACKET_RX_RING);
    EXPECT_EQ(rx.req.tp_block_size, 4096u);
    EXPECT_EQ(rx.req.tp_block_nr, 16u);
    EXPECT_EQ(rx.req.tp_frame_size, 2048u);
    EXPECT_EQ(rx.req.tp_frame_nr, 32u);
    ASSERT_EQ(rx.frames.size(), 32u);
    for (size_t i = 0; i < rx.frames.size(); i++) {
      EXPECT_EQ(rx.frames[i].start, rx.mapping + i * 2048);
      EXPECT_EQ(rx.frames[i].length, 2048u);
    }
    // The process id is mixed into the group id: two daemons offering the
    // same id end up in different groups.
    EXPECT_EQ(fanout_option(fd), expected_group(0x1234) | (mode << 16));
    release_pmmap_socket(fd, &rx);
    EXPECT_EQ(rx.mapping, nullptr);
    EXPECT_TRUE(rx.frames.empty());
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  }

  // ARP receive rings and transmit rings stay outside any group.
  pmmap_ring arp, tx;
  const int arp_fd = setup_pmmap_socket(&arp, &r.tlt, htons(ETH_P_ARP), PACKET_RX_RING, 6);
  const int tx_fd = setup_pmmap_socket(&tx, &r.tlt, 0, PACKET_TX_RING, 0);
  ASSERT_GE(arp_fd, 0);
  ASSERT_GE(tx_fd, 0);
  EXPECT_EQ(fanout_option(arp_fd), 0u);
  EXPECT_EQ(fanout_option(tx_fd), 0u);
  EXPECT_EQ(tx.kind, PACKET_TX_RING);
  release_pmmap_socket(arp_fd, &arp);
  // `tx` is released by its destructor.
}

TEST(PmmapRing, FailedSetUpLeavesNothingOpen) {
  TARN_REQUIRE_ROOT();
  tarn_test::log_capture log;
  ring_ns r;
  tarn_test::netns_enter in(r.ns);
  const size_t before = open_descriptors();

  r.tlt.interface = "nosuchif0";
  pmmap_ring ring;
  EXPECT_EQ(setup_pmmap_socket(&ring, &r.tlt, htons(ETH_P_IP), PACKET_RX_RING, 0), -1);
  EXPECT_EQ(errno, ENODEV);
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING, "Interface nosuchif0 doesn't exist: "));
  EXPECT_EQ(ring.mapping, nullptr);
  EXPECT_EQ(ring.fd, -1);

  // A receive ring needs the client's MAC for its filter.
  r.tlt.interface = "va";
  r.tlt.client = nullptr;
  EXPECT_EQ(setup_pmmap_socket(&ring, &r.tlt, htons(ETH_P_IP), PACKET_RX_RING, 0), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING, "rx socket error, could not configure_filter"));

  // Joining a group whose members use another mode fails after the mapping.
  r.tlt.client = &r.client;
  pmmap_ring first;
  ASSERT_GE(setup_pmmap_socket(&first, &r.tlt, htons(ETH_P_IP), PACKET_RX_RING, 0), 0);
  const size_t with_first = open_descriptors();
  EXPECT_EQ(setup_pmmap_socket(&ring, &r.tlt, htons(ETH_P_IP), PACKET_RX_RING, 1), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING, "setsockopt PACKET_FANOUT: "));
  EXPECT_EQ(ring.mapping, nullptr);
  EXPECT_EQ(open_descriptors(), with_first);
  release_pmmap_socket(first.fd, &first);
  EXPECT_EQ(open_descriptors(), before);
}

TEST(PmmapRing, GetMacAddressReadsTheInterfacesAddress) {
  TARN_REQUIRE_ROOT();
  ring_ns r;
  ASSERT_EQ(r.ns.run("ip link set va address 02:00:00:00:03:07"), 0);
  tarn_test::netns_enter in(r.ns);
  uint8_t mac[6] = {};
  EXPECT_EQ(get_mac_address("va", mac), 0);
  const uint8_t want[6] = {0x02, 0, 0, 0, 3, 7};
  EXPECT_EQ(memcmp(mac, want, 6), 0);

  // A failed query leaves the buffer as it was and is not an error.
  uint8_t kept[6] = {9, 9, 9, 9, 9, 9};
  EXPECT_EQ(get_mac_address("nosuchif0", kept), 0);
  EXPECT_EQ(get_mac_address("a-name-longer-than-15", kept), 0);
  EXPECT_EQ(kept[0], 9);
  EXPECT_EQ(get_mac_address("va", nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
