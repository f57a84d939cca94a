// Checksums against a plain 16-bit big-endian reference written from RFC 768/791.
#include "net/udp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/unique_fd.h"

namespace {

uint16_t reference_sum(const std::vector<uint8_t>& bytes) {
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    sum += (uint32_t{bytes[i]} << 8) | (i + 1 < bytes.size() ? bytes[i + 1] : 0);
  }
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

// The expected UDP checksum of an IPv4 datagram, as a big-endian number.
uint16_t reference_udp_checksum(std::vector<uint8_t> d) {
  const size_t ihl = (d[0] & 15) * 4;
  d[ihl + 6] = d[ihl + 7] = 0;
  std::vector<uint8_t> pseudo(d.begin() + 12, d.begin() + 20);
  pseudo.insert(pseudo.end(), {0, 17, d[ihl + 4], d[ihl + 5]});
  pseudo.insert(pseudo.end(), d.begin() + static_cast<long>(ihl), d.end());
  const uint16_t c = static_cast<uint16_t>(~reference_sum(pseudo));
  return c == 0 ? 0xffff : c;
}

uint16_t stored_udp(const std::vector<uint8_t>& d) {
  const size_t ihl = (d[0] & 15) * 4;
  return static_cast<uint16_t>((d[ihl + 6] << 8) | d[ihl + 7]);
}

// Every length (odd ones included) and header size; and a datagram whose sum
// comes out as 0, which UDP sends as 0xFFFF (0 means "no checksum").
TEST(UdpChecksum, MatchesTheReferenceAndNeverStoresZero) {
  std::mt19937 rng(20261206);
  for (size_t ihl : {20u, 24u, 60u}) {
    for (size_t len = 0; len <= 1472; len += (len < 80 ? 1 : 37)) {
      std::vector<uint8_t> d(ihl + 8 + len);
      for (auto& b : d) b = static_cast<uint8_t>(rng());
      d[0] = static_cast<uint8_t>(0x40 | (ihl / 4));
      d[ihl + 4] = static_cast<uint8_t>((8 + len) >> 8);
      d[ihl + 5] = static_cast<uint8_t>(8 + len);
      calculate_udp_checksum(d.data(), d.size());
      ASSERT_EQ(stored_udp(d), reference_udp_checksum(d)) << "ihl " << ihl << " len " << len;
      if (ihl != 20 || len < 2) continue;
      // Choose the first payload word so that the whole sum is 0xFFFF.
      d[28] = d[29] = 0;
      const uint16_t c = reference_udp_checksum(d);
      d[28] = static_cast<uint8_t>(c >> 8);
      d[29] = static_cast<uint8_t>(c);
      calculate_udp_checksum(d.data(), d.size());
      ASSERT_EQ(stored_udp(d), 0xffff) << len;
    }
  }
}

TEST(IpChecksum, KnownHeaderAndReference) {
  std::vector<uint8_t> h = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                            0xaa, 0xbb, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
  calculate_ip_checksum(h.data());
  EXPECT_EQ(h[10], 0xb8);
  EXPECT_EQ(h[11], 0x61);
  std::mt19937 rng(11);
  for (int i = 0; i < 200; i++) {
    for (auto& b : h) b = static_cast<uint8_t>(rng());
    calculate_ip_checksum(h.data());
    ASSERT_EQ(reference_sum(h), 0xffff);  // a header with a correct checksum sums to all ones
  }
}

// The listeners' sends on the real kernel are in listener_root_test.cc; a
// failed send is negative (the send's result minus the 28 header bytes).
TEST(RawUdpSend, FailedSendIsNegative) {
  struct sockaddr_in src {
  }, dst{};
  uint8_t payload[100] = {};
  unique_fd bad;
  EXPECT_EQ(inet_raw_udp_send(bad.get(), &src, &dst, payload, sizeof payload), -1 - 28);
}

}  // namespace
