// The filter programs on the real kernel, inside a throwaway network
// namespace joined by veth.
#include <gtest/gtest.h>

#include "net/listener_fixture.h"
#include "support/netns.h"
#include "support/sandbox.h"

namespace {

using listener_test::bytes;
using mac = tarn_test::mac_address;
const mac CLIENT = {0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
const mac SERVER = {0x02, 0x00, 0x00, 0x00, 0x02, 0x00};
const mac IFACE = {0x02, 0x00, 0x00, 0x00, 0x03, 0x00};
const mac OTHER = {0x02, 0x00, 0x00, 0x00, 0x04, 0x00};
const mac BROADCAST = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

bytes ether(const mac& dst, const mac& src, uint16_t type, std::vector<uint8_t> body) {
  bytes f(dst.begin(), dst.end());
  f.insert(f.end(), src.begin(), src.end());
  f.insert(f.end(), {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type)});
  f.insert(f.end(), body.begin(), body.end());
  f.resize(60, 0);
  return f;
}

bytes ipv4(const mac& dst, const mac& src, uint8_t proto, uint8_t sport, uint8_t dport) {
  return ether(dst, src, ETH_P_IP, {0x45, 0, 0,   28,  0,  0, 0,  0, 64,    proto, 0,     0, 198,
                                    18,   0, 101, 198, 18, 0, 20, 0, sport, 0,     dport, 0, 8});
}

bytes arp(const mac& dst, const mac& src, uint8_t op) {
  bytes body = {0, 1, 8, 0, 6, 4, 0, op};
  body.insert(body.end(), src.begin(), src.end());
  return ether(dst, src, ETH_P_ARP, body);
}

TEST(Filters, PassOnlyTheClientsUnicastUdpOrTheArpTheProxyNeeds) {
  TARN_REQUIRE_ROOT();
  tarn_test::netns ns("tarnudp");
  ASSERT_EQ(ns.run("ip link add va type veth peer name vb && ip link set va up && "
                   "ip link set vb up"),
            0);
  unique_fd tx = listener_test::packet_socket(ns.name(), "va");
  unique_fd udp_rx = listener_test::packet_socket(ns.name(), "vb");
  unique_fd arp_rx = listener_test::packet_socket(ns.name(), "vb");
  ASSERT_TRUE(tx.valid() && udp_rx.valid() && arp_rx.valid());
  ASSERT_EQ(configure_filter(udp_rx.get(), CLIENT.data()), 0);
  ASSERT_EQ(configure_arp_filter(arp_rx.get(), IFACE.data(), CLIENT.data()), 0);
  listener_test::discard_pending(udp_rx.get());
  listener_test::discard_pending(arp_rx.get());

  struct {
    const char* what;
    bytes frame;
    bool udp, arp;  // whether each filter passes it
  } cases[] = {
      {"UDP from the client", ipv4(SERVER, CLIENT, 17, 12, 69), true, false},
      {"UDP to the client", ipv4(CLIENT, SERVER, 17, 69, 12), true, false},
      {"UDP to the client on port 53", ipv4(CLIENT, SERVER, 17, 53, 53), true, false},
      {"UDP between others", ipv4(SERVER, OTHER, 17, 12, 69), false, false},
      {"broadcast UDP from the client", ipv4(BROADCAST, CLIENT, 17, 68, 67), false, false},
      {"TCP to the client", ipv4(CLIENT, SERVER, 6, 80, 12), false, false},
      {"ARP request from the client", arp(BROADCAST, CLIENT, 1), false, true},
      {"ARP request from another MAC", arp(BROADCAST, OTHER, 1), false, false},
      {"ARP reply to the client from the server", arp(CLIENT, SERVER, 2), false, true},
      {"ARP reply to the client from the interface", arp(CLIENT, IFACE, 2), false, false},
      {"ARP reply to someone else", arp(OTHER, SERVER, 2), false, false},
      {"other ARP operation", arp(CLIENT, SERVER, 3), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(listener_test::inject(tx.get(), c.frame));
    for (auto [fd, pass] : {std::pair{udp_rx.get(), c.udp}, {arp_rx.get(), c.arp}}) {
      // Delivery over veth is immediate; the wait only bounds a drop.
      bytes got;
      EXPECT_EQ(listener_test::receive(fd, &got, nullptr, pass ? 2000 : 100), pass);
      if (pass) {
        EXPECT_EQ(got, c.frame);
      }
    }
  }
}

}  // namespace
