// The ARP proxy's frame parser. Each frame sits in a heap block of exactly
// its own length, so that under ASan a read past the capture fails the test.
#include "net/arpproxy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

// A request from 02:00:00:00:01:01 (198.18.0.101) for 198.18.0.20, which
// names 02:00:00:00:02:00 as its target: 42 bytes, no padding.
const std::vector<uint8_t> REQUEST = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2,   0,  0, 0,   1,
                                      1,    0x08, 0x06, 0,    1,    0x08, 0,   6,  4, 0,   1,
                                      2,    0,    0,    0,    1,    1,    198, 18, 0, 101, 2,
                                      0,    0,    0,    2,    0,    198,  18,  0,  20};

bool parse(const std::vector<uint8_t>& frame, arp_message* out) {
  auto copy = std::make_unique<uint8_t[]>(frame.size() ? frame.size() : 1);
  if (!frame.empty()) memcpy(copy.get(), frame.data(), frame.size());
  return arp_frame_parse(copy.get(), frame.size(), out);
}

TEST(ArpFrameParse, TakesWholeEthernetIpv4MessagesOnly) {
  ASSERT_EQ(REQUEST.size(), ARP_FRAME_MIN_LEN);
  arp_message m{};
  ASSERT_TRUE(parse(REQUEST, &m));
  EXPECT_EQ(memcmp(m.eth_dst, REQUEST.data(), 6), 0);
  EXPECT_EQ(memcmp(m.eth_src, REQUEST.data() + 6, 6), 0);
  EXPECT_EQ(m.operation, ARP_OP_REQUEST);
  EXPECT_EQ(memcmp(m.sender_mac, REQUEST.data() + 6, 6), 0);
  EXPECT_EQ(memcmp(&m.sender_ip, REQUEST.data() + 28, 4), 0);
  EXPECT_EQ(memcmp(m.target_mac, REQUEST.data() + 32, 6), 0);
  EXPECT_EQ(memcmp(&m.target_ip, REQUEST.data() + 38, 4), 0);

  auto padded = REQUEST;
  padded.resize(60, 0);
  EXPECT_TRUE(parse(padded, &m)) << "Ethernet padding is allowed";

  for (size_t len = 0; len < ARP_FRAME_MIN_LEN; len++) {
    arp_message untouched{};
    untouched.operation = 0x5a5a;
    EXPECT_FALSE(parse({REQUEST.begin(), REQUEST.begin() + static_cast<long>(len)}, &untouched))
        << len << " bytes";
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

}  // namespace
