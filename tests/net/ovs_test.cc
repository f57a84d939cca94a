// The pieces of the listeners that need no network: how a captured frame is
// taken and the log rate limit. What queue_data builds is in pmmap_test.cc,
// with the transmit ring it fills.
#include "net/ovs.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/tarn.h"

namespace {

// A frame of `payload` bytes of UDP: 14 + ihl + 8 + payload bytes.
std::vector<uint8_t> frame(size_t payload, size_t ihl = 20) {
  std::vector<uint8_t> f(14 + ihl + 8 + payload, 0x5c);
  const uint8_t eth[14] = {2, 0, 0, 0, 1, 1, 2, 0, 0, 0, 2, 0, 0x08, 0x00};
  memcpy(f.data(), eth, 14);
  uint8_t* ip = f.data() + 14;
  memset(ip, 0, ihl);
  ip[0] = static_cast<uint8_t>(0x40 | (ihl / 4));
  const size_t total = ihl + 8 + payload;
  ip[2] = static_cast<uint8_t>(total >> 8);
  ip[3] = static_cast<uint8_t>(total);
  ip[8] = 64;
  ip[9] = 17;
  const uint8_t addrs[8] = {198, 18, 0, 101, 198, 18, 0, 20};
  memcpy(ip + 12, addrs, 8);
  uint8_t* udp = ip + ihl;
  const uint8_t ports[4] = {0x9c, 0x41, 0x1a, 0xf5};  // 40001 -> 6901
  memcpy(udp, ports, 4);
  udp[4] = static_cast<uint8_t>((8 + payload) >> 8);
  udp[5] = static_cast<uint8_t>(8 + payload);
  return f;
}

std::vector<uint8_t> with(std::vector<uint8_t> f, size_t at, uint8_t value) {
  f[at] = value;
  return f;
}

std::vector<uint8_t> shortened(std::vector<uint8_t> f, size_t to) {
  f.resize(to);
  return f;
}

std::vector<uint8_t> padded(std::vector<uint8_t> f, size_t to) {
  f.resize(to, 0xee);
  return f;
}

TEST(ListenerCheckFrame, TakesOnlyWholeDatagramsAndNeverPaddingOrMissingBytes) {
  struct {
    const char* what;
    std::vector<uint8_t> f;
    size_t captured_cut;  // bytes missing from the capture
    listener_verdict verdict;
    size_t ip_len, ihl;
  } cases[] = {
      {"a datagram of 0 bytes (42-byte frame)", frame(0), 0, LISTENER_DATAGRAM, 28, 20},
      {"0 bytes padded to 60", padded(frame(0), 60), 0, LISTENER_DATAGRAM, 28, 20},
      {"1472 bytes", frame(1472), 0, LISTENER_DATAGRAM, 1500, 20},
      {"a 24-byte IP header: payload at 46", frame(10, 24), 0, LISTENER_DATAGRAM, 42, 24},
      {"the capture cut short", frame(1472), 100, LISTENER_TRUNCATED, 0, 0},
      {"the capture cut inside the headers", frame(100), 120, LISTENER_TRUNCATED, 0, 0},
      {"shorter than its total length", with(frame(10), 17, 60), 0, LISTENER_INVALID, 0, 0},
      {"total length below header + 8", with(frame(10), 17, 27), 0, LISTENER_INVALID, 0, 0},
      {"no room for the IP header", shortened(frame(0), 33), 0, LISTENER_INVALID, 0, 0},
      {"header length below 20", with(frame(10), 14, 0x44), 0, LISTENER_INVALID, 0, 0},
      {"IP version 6", with(frame(10), 14, 0x65), 0, LISTENER_INVALID, 0, 0},
      {"not UDP", with(frame(10), 23, 6), 0, LISTENER_INVALID, 0, 0},
      {"not IPv4", with(frame(10), 12, 0x86), 0, LISTENER_INVALID, 0, 0},
      {"first fragment (more fragments)", with(frame(100), 20, 0x20), 0, LISTENER_FRAGMENT, 128,
       20},
      {"later fragment (offset)", with(frame(100), 21, 0xb9), 0, LISTENER_FRAGMENT, 128, 20},
      {"a later fragment's 4 bytes", with(with(frame(0), 21, 0xb9), 17, 24), 0, LISTENER_FRAGMENT,
       24, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t wire = c.f.size();
    const size_t captured = wire - c.captured_cut;
    // Only the captured bytes exist: anything read beyond them is caught by
    // ASan.
    std::vector<uint8_t> capture(c.f.begin(), c.f.begin() + static_cast<long>(captured));
    listener_capture cap;
    EXPECT_EQ(listener_check_frame(capture.data(), captured, wire, &cap), c.verdict);
    if (c.verdict == LISTENER_DATAGRAM || c.verdict == LISTENER_FRAGMENT) {
      EXPECT_EQ(cap.ip_len, c.ip_len);
      EXPECT_EQ(cap.ihl, c.ihl);
      EXPECT_EQ(cap.ip, capture.data() + 14);
    }
  }
}

TEST(ListenerLogLimit, LetsTheFirstLineOutThenOnePerIntervalCountingTheRest) {
  listener_log_limit limit;
  uint64_t held = 99;
  ASSERT_TRUE(listener_log_due(&limit, &held));
  EXPECT_EQ(held, 0u);
  for (int i = 0; i < 5; i++) EXPECT_FALSE(listener_log_due(&limit, &held));
  limit.last_us -= LISTENER_LOG_INTERVAL_US;  // as if the interval had passed
  ASSERT_TRUE(listener_log_due(&limit, &held));
  EXPECT_EQ(held, 5u);
  EXPECT_FALSE(listener_log_due(&limit, &held));
}

}  // namespace
