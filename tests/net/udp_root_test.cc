// Checksums against a plain big-endian reference written from RFC 768/791,
// and the filter programs on the real kernel in a throwaway namespace.
#include <gtest/gtest.h>

#include <random>

#include "net/listener_fixture.h"
#include "support/netns.h"
#include "support/sandbox.h"

namespace {

using namespace listener_test;

// The expected UDP checksum of an IPv4 datagram, as a big-endian number.
uint16_t reference_udp_checksum(bytes d, size_t ihl) {
  d[ihl + 6] = d[ihl + 7] = 0;
  bytes pseudo(d.begin() + 12, d.begin() + 20);
  pseudo.insert(pseudo.end(), {0, 17, d[ihl + 4], d[ihl + 5]});
  pseudo.insert(pseudo.end(), d.begin() + static_cast<long>(ihl), d.end());
  const uint16_t c = static_cast<uint16_t>(~ones_sum(pseudo.data(), pseudo.size()));
  return c == 0 ? 0xffff : c;
}

// Every length (odd ones too) and header size; and sums that come out as 0,
// which UDP sends as 0xFFFF (0 means "no checksum").
TEST(Checksums, MatchTheReferenceAndUdpNeverStoresZero) {
  std::mt19937 rng(20261206);
  for (size_t ihl : {20u, 24u, 60u}) {
    for (size_t len = 0; len <= 1472; len += (len < 80 ? 1 : 37)) {
      bytes d(ihl + 8 + len);
      for (auto& b : d) b = static_cast<uint8_t>(rng());
      d[0] = static_cast<uint8_t>(0x40 | (ihl / 4));
      d[ihl + 4] = static_cast<uint8_t>((8 + len) >> 8);
      d[ihl + 5] = static_cast<uint8_t>(8 + len);
      const bool zero_sum = ihl == 60 && len >= 2;
      if (zero_sum) {  // the first payload word makes the sum 0xFFFF
        d[68] = d[69] = 0;
        const uint16_t c = reference_udp_checksum(d, ihl);
        d[68] = static_cast<uint8_t>(c >> 8);
        d[69] = static_cast<uint8_t>(c);
      }
      calculate_udp_checksum(d.data(), d.size());
      const int stored = (d[ihl + 6] << 8) | d[ihl + 7];
      ASSERT_EQ(stored, reference_udp_checksum(d, ihl)) << ihl << " " << len;
      ASSERT_TRUE(!zero_sum || stored == 0xffff) << len;
      // As a receiver checks it: any damage shows, and so does a UDP length
      // longer than the datagram.
      ASSERT_TRUE(udp_checksum_valid(d.data(), d.size())) << ihl << " " << len;
      const size_t hit = len != 0 ? ihl + 8 + len / 2 : ihl + 1;  // a payload or port byte
      d[hit] ^= 0x10;
      ASSERT_FALSE(udp_checksum_valid(d.data(), d.size())) << ihl << " " << len;
      d[hit] ^= 0x10;
      d[ihl + 5]++;
      ASSERT_FALSE(udp_checksum_valid(d.data(), d.size())) << ihl << " " << len;
      d[ihl + 5]--;
      // An edit of the first payload bytes (what the engine may change) is
      // followed incrementally to the same checksum; none stays none.
      const size_t span = std::min<size_t>(len, 22);
      const bytes before(d.begin() + static_cast<long>(ihl + 8),
                         d.begin() + static_cast<long>(ihl + 8 + span));
      if (span != 0) d[ihl + 8 + rng() % span] ^= static_cast<uint8_t>(1 + rng() % 255);
      udp_checksum_update(d.data(), ihl, 8, before.data(), span);
      ASSERT_EQ((d[ihl + 6] << 8) | d[ihl + 7], reference_udp_checksum(d, ihl))
          << ihl << " " << len;
      d[ihl + 6] = d[ihl + 7] = 0;
      udp_checksum_update(d.data(), ihl, 8, before.data(), span);
      ASSERT_EQ(d[ihl + 6] | d[ihl + 7], 0);
      // A header with a correct checksum sums to all ones.
      calculate_ip_checksum(d.data());
      ASSERT_EQ(ones_sum(d.data(), 20), 0xffff);
    }
  }
  // A failed send is negative: the send's result minus the 28 header bytes.
  sockaddr_in a{};
  EXPECT_EQ(inet_raw_udp_send(-1, &a, &a, "x", 1), -1 - 28);
}

bytes ipv4(const mac& dst, const mac& src, uint8_t proto, uint8_t sport, uint8_t dport) {
  bytes f(dst.begin(), dst.end());
  f.insert(f.end(), src.begin(), src.end());
  f.insert(f.end(), {8,   0,  0x45, 0,   0,   28, 0, 0,  0, 0,     64, proto, 0, 0,
                     198, 18, 0,    101, 198, 18, 0, 20, 0, sport, 0,  dport, 0, 8});
  f.resize(60, 0);
  return f;
}

bytes arp(const mac& dst, const mac& src, uint8_t op) {
  auto f = arp_frame(op, dst, src, src, CLIENT_IP, ZERO, SERVER_IP);
  f.resize(60, 0);
  return f;
}

TEST(Filters, PassOnlyTheClientsUnicastUdpOrTheArpTheProxyNeeds) {
  TARN_REQUIRE_ROOT();
  tarn_test::netns ns("tarnudp");
  ASSERT_EQ(ns.run("ip link add va type veth peer name vb && ip link set va up && "
                   "ip link set vb up"),
            0);
  unique_fd tx = packet_socket(ns.name(), "va"), udp_rx = packet_socket(ns.name(), "vb"),
            arp_rx = packet_socket(ns.name(), "vb");
  ASSERT_TRUE(tx.valid() && udp_rx.valid() && arp_rx.valid());
  ASSERT_EQ(configure_filter(udp_rx.get(), CLIENT.data()), 0);
  ASSERT_EQ(configure_arp_filter(arp_rx.get(), IFACE.data(), CLIENT.data()), 0);
  discard_pending(udp_rx.get());
  discard_pending(arp_rx.get());

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
    ASSERT_TRUE(inject(tx.get(), c.frame));
    for (auto [fd, pass] : {std::pair{udp_rx.get(), c.udp}, {arp_rx.get(), c.arp}}) {
      bytes got;  // delivery over veth is immediate; the wait only bounds a drop
      EXPECT_EQ(receive(fd, &got, nullptr, pass ? 2000 : 100), pass);
      EXPECT_TRUE(!pass || got == c.frame);
    }
  }
}

}  // namespace
