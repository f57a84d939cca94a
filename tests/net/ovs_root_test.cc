// What is particular to the Open vSwitch listener on the real kernel: its
// raw transmit socket, and a receive socket that sees only its interface. The
// cases it shares with the packet-mmap listener are in
// pmmap_ovs_listeners_root_test.cc.
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "net/listener_fixture.h"
#include "net/ovs.h"
#include "support/lab.h"
#include "support/log_capture.h"
#include "support/sandbox.h"

namespace {

using namespace listener_test;
using tarn_test::lab;

int int_option(int fd, int level, int name) {
  int v = -1;
  socklen_t len = sizeof v;
  EXPECT_EQ(getsockopt(fd, level, name, &v, &len), 0);
  return v;
}

struct ovs_lab {
  lab l;
  ovs_lab() { EXPECT_TRUE(l.route_through_proxy_port(1)); }
};

TEST(OvsTransmit, OpensARawUdpSocketThatSendsAnyAddress) {
  TARN_REQUIRE_ROOT();
  unique_fd fd(open_transmit_socket(nullptr));
  ASSERT_TRUE(fd.valid());
  EXPECT_EQ(int_option(fd.get(), SOL_SOCKET, SO_TYPE), SOCK_RAW);
  EXPECT_EQ(int_option(fd.get(), SOL_SOCKET, SO_PROTOCOL), IPPROTO_UDP);
  EXPECT_EQ(int_option(fd.get(), SOL_SOCKET, SO_REUSEADDR), 1);
  EXPECT_EQ(int_option(fd.get(), IPPROTO_IP, IP_HDRINCL), 1);
  EXPECT_EQ(int_option(fd.get(), IPPROTO_IP, IP_TRANSPARENT), 1);
}

// A packet socket sees frames of every interface unless it is bound to one;
// SO_BINDTODEVICE alone does not restrict what it receives.
TEST(OvsListener, CapturesOnlyOnItsOwnInterface) {
  TARN_REQUIRE_ROOT();
  ovs_lab lab;
  ASSERT_EQ(lab.l.run(lab.l.host_ns(),
                      "ip link add xa type veth peer name xb && ip link set xa up && "
                      "ip link set xb up"),
            0);
  unique_fd other = packet_socket(lab.l, "xb");
  unique_fd peer = packet_socket(lab.l, lab.l.proxy_peer_if(1));
  unique_fd client = lab.l.udp_socket(lab.l.client_ns(1), lab.l.client_ip(1), 40001);
  ASSERT_TRUE(other.valid() && peer.valid() && client.valid());
  listener_group g(lab.l, ovs_listener, 1, 0);
  ASSERT_TRUE(g.start_ready());

  const auto frame = udp_frame(lab.l.client_mac(1), lab.l.server_mac(),
                               tarn_test::lab_address(lab.l.server_ip(), SERVER_PORT),
                               tarn_test::lab_address(lab.l.client_ip(1), 40001), pattern(50, 1));
  ASSERT_EQ(send(other.get(), frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
  std::vector<uint8_t> got;
  EXPECT_FALSE(receive(client.get(), &got, nullptr, 300)) << "captured on another interface";
  EXPECT_EQ(g.counts(0).captured, 0u);

  ASSERT_EQ(send(peer.get(), frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
  ASSERT_TRUE(receive(client.get(), &got));
  EXPECT_EQ(got, pattern(50, 1));
  EXPECT_EQ(g.counts(0).captured, 1u);
}

}  // namespace
