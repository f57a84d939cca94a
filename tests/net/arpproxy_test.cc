// The ARP proxy's frame parser, and releasing an entry.
// Each frame sits in a buffer of exactly its own length, so that under ASan a
// read past the capture fails the test.
#include "net/arpproxy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/timerfd.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "support/log_capture.h"

namespace {

using mac = std::array<uint8_t, 6>;
const mac CLIENT = {0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
const mac SERVER = {0x02, 0x00, 0x00, 0x00, 0x02, 0x00};
const mac BROADCAST = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
const uint8_t CLIENT_IP[4] = {198, 18, 0, 101};
const uint8_t SERVER_IP[4] = {198, 18, 0, 20};

uint32_t ip(const uint8_t a[4]) {
  uint32_t v;
  memcpy(&v, a, 4);
  return v;
}

// An Ethernet/IPv4 ARP frame of 42 bytes (no padding), as veth delivers it.
std::vector<uint8_t> arp_frame(uint16_t op, const mac& eth_dst, const mac& eth_src) {
  std::vector<uint8_t> f(eth_dst.begin(), eth_dst.end());
  f.insert(f.end(), eth_src.begin(), eth_src.end());
  const uint8_t head[] = {0x08, 0x06, 0, 1, 0x08, 0x00, 6, 4, 0, static_cast<uint8_t>(op)};
  f.insert(f.end(), head, head + sizeof head);
  f.insert(f.end(), eth_src.begin(), eth_src.end());
  f.insert(f.end(), CLIENT_IP, CLIENT_IP + 4);
  f.insert(f.end(), SERVER.begin(), SERVER.end());
  f.insert(f.end(), SERVER_IP, SERVER_IP + 4);
  return f;
}

bool parse(const std::vector<uint8_t>& frame, arp_message* out) {
  // A heap block of exactly the frame's size: ASan sees any overrun.
  auto copy = std::make_unique<uint8_t[]>(frame.size() ? frame.size() : 1);
  if (!frame.empty()) memcpy(copy.get(), frame.data(), frame.size());
  return arp_frame_parse(copy.get(), frame.size(), out);
}

TEST(ArpFrameParse, TakesWholeEthernetIpv4MessagesOnly) {
  const auto request = arp_frame(ARP_OP_REQUEST, BROADCAST, CLIENT);
  ASSERT_EQ(request.size(), ARP_FRAME_MIN_LEN);

  arp_message m{};
  ASSERT_TRUE(parse(request, &m));
  EXPECT_EQ(memcmp(m.eth_dst, BROADCAST.data(), 6), 0);
  EXPECT_EQ(memcmp(m.eth_src, CLIENT.data(), 6), 0);
  EXPECT_EQ(m.operation, ARP_OP_REQUEST);
  EXPECT_EQ(memcmp(m.sender_mac, CLIENT.data(), 6), 0);
  EXPECT_EQ(m.sender_ip, ip(CLIENT_IP));
  EXPECT_EQ(memcmp(m.target_mac, SERVER.data(), 6), 0);
  EXPECT_EQ(m.target_ip, ip(SERVER_IP));

  auto padded = request;
  padded.resize(60, 0);
  EXPECT_TRUE(parse(padded, &m)) << "Ethernet padding is allowed";

  for (size_t len = 0; len < ARP_FRAME_MIN_LEN; len++) {
    std::vector<uint8_t> cut(request.begin(), request.begin() + static_cast<ptrdiff_t>(len));
    arp_message untouched{};
    untouched.operation = 0x5a5a;
    EXPECT_FALSE(parse(cut, &untouched)) << len << " bytes";
    EXPECT_EQ(untouched.operation, 0x5a5a) << "output written for a " << len << "-byte capture";
  }

  struct {
    const char* what;
    size_t offset;
    uint8_t value;
  } broken[] = {
      {"EtherType IPv4", 13, 0x00},     {"hardware type 6 (IEEE 802)", 15, 6},
      {"protocol type IPv6", 16, 0x86}, {"hardware length 8", 18, 8},
      {"hardware length 0", 18, 0},     {"protocol length 16", 19, 16},
      {"protocol length 0", 19, 0},
  };
  for (const auto& b : broken) {
    auto f = padded;
    f[b.offset] = b.value;
    EXPECT_FALSE(parse(f, &m)) << b.what;
  }
}

TEST(ArpEntryFree, ClosesTheTimerAndRefusesNull) {
  tarn_test::log_capture logs;
  auto* e = new arp_entry();
  e->timer.reset(timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC));
  const int fd = e->timer.get();
  ASSERT_GE(fd, 0);
  arp_entry_free(e);
  errno = 0;
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);

  arp_entry_free(nullptr);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_CRITICAL, "data != NULL"));
}

}  // namespace
