// The filter programs and the raw sender on the real kernel, inside throwaway
// network namespaces joined by veth.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <vector>

#include "core/unique_fd.h"
#include "net/udp.h"
#include "support/netns.h"
#include "support/sandbox.h"

namespace {

using mac = std::array<uint8_t, 6>;
const mac CLIENT = {0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
const mac SERVER = {0x02, 0x00, 0x00, 0x00, 0x02, 0x00};
const mac IFACE = {0x02, 0x00, 0x00, 0x00, 0x03, 0x00};
const mac OTHER = {0x02, 0x00, 0x00, 0x00, 0x04, 0x00};
const mac BROADCAST = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

std::vector<uint8_t> ether(const mac& dst, const mac& src, uint16_t type) {
  std::vector<uint8_t> f(dst.begin(), dst.end());
  f.insert(f.end(), src.begin(), src.end());
  f.push_back(static_cast<uint8_t>(type >> 8));
  f.push_back(static_cast<uint8_t>(type));
  return f;
}

std::vector<uint8_t> ipv4(const mac& dst, const mac& src, uint8_t proto, uint16_t sport,
                          uint16_t dport) {
  auto f = ether(dst, src, ETH_P_IP);
  uint8_t ip[28] = {0x45, 0, 0, 28, 0, 0, 0, 0, 64, proto, 0, 0, 198, 18, 0, 101, 198, 18, 0, 20};
  ip[20] = static_cast<uint8_t>(sport >> 8);
  ip[21] = static_cast<uint8_t>(sport);
  ip[22] = static_cast<uint8_t>(dport >> 8);
  ip[23] = static_cast<uint8_t>(dport);
  ip[25] = 8;
  f.insert(f.end(), ip, ip + sizeof ip);
  f.resize(60, 0);
  return f;
}

std::vector<uint8_t> arp(const mac& dst, const mac& src, uint16_t op) {
  auto f = ether(dst, src, ETH_P_ARP);
  uint8_t body[28] = {0, 1, 8, 0, 6, 4, 0, static_cast<uint8_t>(op)};
  memcpy(body + 8, src.data(), 6);
  f.insert(f.end(), body, body + sizeof body);
  f.resize(60, 0);
  return f;
}

unique_fd packet_socket(const char* ifname) {
  unique_fd fd(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL)));
  EXPECT_TRUE(fd.valid()) << strerror(errno);
  struct sockaddr_ll sll {};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons(ETH_P_ALL);
  sll.sll_ifindex = static_cast<int>(if_nametoindex(ifname));
  EXPECT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&sll), sizeof sll), 0) << strerror(errno);
  return fd;
}

void drain(int fd) {
  char buf[2048];
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
  }
}

// Whether `frame`, sent on the other end of the veth, reaches `rx`.
bool passes(int tx, int rx, const std::vector<uint8_t>& frame) {
  drain(rx);
  EXPECT_EQ(send(tx, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
  struct pollfd p = {rx, POLLIN, 0};
  // Delivery over veth is immediate; the wait only bounds a drop.
  if (poll(&p, 1, 200) <= 0) return false;
  std::vector<uint8_t> got(2048);
  ssize_t n = recv(rx, got.data(), got.size(), 0);
  return n == static_cast<ssize_t>(frame.size()) &&
         memcmp(got.data(), frame.data(), frame.size()) == 0;
}

struct veth_ns {
  tarn_test::netns ns{"tarnudp"};
  veth_ns() {
    EXPECT_EQ(ns.run("ip link add va type veth peer name vb && ip link set va up && "
                     "ip link set vb up"),
              0);
  }
};

TEST(Filters, ReceiveFilterPassesOnlyTheClientsUnicastUdp) {
  TARN_REQUIRE_ROOT();
  veth_ns lab;
  tarn_test::netns_enter in(lab.ns);
  unique_fd tx = packet_socket("va");
  unique_fd rx = packet_socket("vb");
  ASSERT_EQ(configure_filter(rx.get(), CLIENT.data()), 0);
  drain(rx.get());

  struct {
    const char* what;
    std::vector<uint8_t> frame;
    bool pass;
  } cases[] = {
      {"UDP from the client", ipv4(SERVER, CLIENT, 17, 1234, 6901), true},
      {"UDP to the client", ipv4(CLIENT, SERVER, 17, 6901, 1234), true},
      {"UDP to the client on port 53", ipv4(CLIENT, SERVER, 17, 53, 53), true},
      {"UDP between others", ipv4(SERVER, OTHER, 17, 1234, 6901), false},
      {"broadcast UDP from the client", ipv4(BROADCAST, CLIENT, 17, 68, 67), false},
      {"TCP to the client", ipv4(CLIENT, SERVER, 6, 80, 1234), false},
      {"ARP from the client", arp(SERVER, CLIENT, 1), false},
  };
  for (const auto& c : cases) EXPECT_EQ(passes(tx.get(), rx.get(), c.frame), c.pass) << c.what;
}

TEST(Filters, ArpFilterPassesClientRequestsAndForeignRepliesToTheClient) {
  TARN_REQUIRE_ROOT();
  veth_ns lab;
  tarn_test::netns_enter in(lab.ns);
  unique_fd tx = packet_socket("va");
  unique_fd rx = packet_socket("vb");
  ASSERT_EQ(configure_arp_filter(rx.get(), IFACE.data(), CLIENT.data()), 0);
  drain(rx.get());

  struct {
    const char* what;
    std::vector<uint8_t> frame;
    bool pass;
  } cases[] = {
      {"request from the client", arp(BROADCAST, CLIENT, 1), true},
      {"request from another MAC", arp(BROADCAST, OTHER, 1), false},
      {"reply to the client from the server", arp(CLIENT, SERVER, 2), true},
      {"reply to the client from the interface", arp(CLIENT, IFACE, 2), false},
      {"reply to someone else", arp(OTHER, SERVER, 2), false},
      {"other ARP operation", arp(CLIENT, SERVER, 3), false},
      {"UDP to the client", ipv4(CLIENT, SERVER, 17, 6901, 1234), false},
  };
  for (const auto& c : cases) EXPECT_EQ(passes(tx.get(), rx.get(), c.frame), c.pass) << c.what;
}

TEST(Filters, AttachFailureIsReported) {
  unique_fd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  unique_fd bad;  // -1: not a socket
  EXPECT_EQ(configure_filter(bad.get(), CLIENT.data()), -1);
  EXPECT_EQ(configure_filter(udp.get(), CLIENT.data()), 0);  // any socket takes a filter
}

// The receiving kernel validates what the raw sender built (odd lengths
// included); a capture shows the checksum that came out as 0 sent as 0xFFFF.
TEST(RawUdpSend, ReceiverAcceptsEveryDatagram) {
  TARN_REQUIRE_ROOT();
  tarn_test::netns a("tarnrawa"), b("tarnrawb");
  ASSERT_EQ(a.run("ip link add va type veth peer name vb netns " + b.name() +
                  " && ip addr add 198.18.5.1/24 dev va && ip link set va up"),
            0);
  ASSERT_EQ(b.run("ip addr add 198.18.5.2/24 dev vb && ip link set vb up"), 0);

  unique_fd server, capture;
  {
    tarn_test::netns_enter in(b);
    capture = packet_socket("vb");
    server.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(6901);
    inet_pton(AF_INET, "198.18.5.2", &addr.sin_addr);
    ASSERT_EQ(bind(server.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }
  tarn_test::netns_enter in(a);
  unique_fd raw(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
  ASSERT_TRUE(raw.valid());
  int one = 1;
  ASSERT_EQ(setsockopt(raw.get(), IPPROTO_IP, IP_HDRINCL, &one, sizeof one), 0);

  struct sockaddr_in src {
  }, dst{};
  src.sin_family = dst.sin_family = AF_INET;
  src.sin_port = htons(5000);
  dst.sin_port = htons(6901);
  inet_pton(AF_INET, "198.18.5.77", &src.sin_addr);  // not an address of this host
  inet_pton(AF_INET, "198.18.5.2", &dst.sin_addr);

  std::vector<std::vector<uint8_t>> payloads;
  for (size_t len : {0u, 1u, 100u, 101u, 1471u, 1472u}) {
    std::vector<uint8_t> p(len);
    for (size_t i = 0; i < len; i++) p[i] = static_cast<uint8_t>(i * 7 + len);
    payloads.push_back(p);
  }
  // A payload whose UDP checksum comes out as 0 and must travel as 0xFFFF:
  // pick its first word so the sum is all ones (pseudo header included).
  {
    std::vector<uint8_t> p = {0, 0, 0x12, 0x34, 0x56};
    std::vector<uint8_t> sum_of = {198, 18, 5,    77,   198,  18,   5, 2,  0, 17,
                                   0,   13, 0x13, 0x88, 0x1a, 0xf5, 0, 13, 0, 0};
    sum_of.insert(sum_of.end(), p.begin(), p.end());
    uint32_t s = 0;
    for (size_t i = 0; i < sum_of.size(); i += 2)
      s += (uint32_t{sum_of[i]} << 8) | (i + 1 < sum_of.size() ? sum_of[i + 1] : 0);
    while (s >> 16) s = (s & 0xffff) + (s >> 16);
    uint16_t word = static_cast<uint16_t>(~s);
    p[0] = static_cast<uint8_t>(word >> 8);
    p[1] = static_cast<uint8_t>(word);
    payloads.push_back(p);
  }

  for (const auto& p : payloads) {
    ASSERT_EQ(inet_raw_udp_send(raw.get(), &src, &dst, p.data(), p.size()),
              static_cast<ssize_t>(p.size()));
    struct pollfd pfd = {server.get(), POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 2000), 1) << "payload of " << p.size() << " bytes not delivered";
    std::vector<uint8_t> got(2000);
    struct sockaddr_in from {};
    socklen_t fl = sizeof from;
    ssize_t n =
        recvfrom(server.get(), got.data(), got.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl);
    ASSERT_EQ(n, static_cast<ssize_t>(p.size()));
    if (!p.empty()) {
      EXPECT_EQ(memcmp(got.data(), p.data(), p.size()), 0);
    }
    EXPECT_EQ(from.sin_addr.s_addr, src.sin_addr.s_addr);
    EXPECT_EQ(from.sin_port, src.sin_port);
  }
  // The last datagram is the one whose checksum is 0: find it on the wire.
  bool seen = false;
  std::vector<uint8_t> frame(2048);
  for (int i = 0; i < 64 && !seen; i++) {
    ssize_t n = recv(capture.get(), frame.data(), frame.size(), MSG_DONTWAIT);
    if (n < 0) break;
    if (n >= 47 && frame[12] == 0x08 && frame[13] == 0x00 && frame[23] == 17 &&
        frame[14 + 24] == 0 && frame[14 + 25] == 13) {
      EXPECT_EQ(frame[14 + 26], 0xff);
      EXPECT_EQ(frame[14 + 27], 0xff);
      seen = true;
    }
  }
  EXPECT_TRUE(seen);
}

TEST(RawUdpSend, FailedSendIsNegative) {
  unique_fd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in src {
  }, dst{};
  src.sin_family = dst.sin_family = AF_INET;
  uint8_t payload[100] = {};
  unique_fd bad;
  EXPECT_EQ(inet_raw_udp_send(bad.get(), &src, &dst, payload, sizeof payload), -1 - 28);
}

}  // namespace
