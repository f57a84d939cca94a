// Checksums against a plain 16-bit big-endian reference written from RFC 768/791.
#include "net/udp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

uint16_t reference_sum(const std::vector<uint8_t>& bytes) {
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    uint32_t hi = bytes[i], lo = i + 1 < bytes.size() ? bytes[i + 1] : 0;
    sum += (hi << 8) | lo;
  }
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

// The expected UDP checksum of an IPv4 datagram, as a big-endian number.
uint16_t reference_udp_checksum(std::vector<uint8_t> dgram) {
  const size_t ihl = (dgram[0] & 15) * 4;
  dgram[ihl + 6] = dgram[ihl + 7] = 0;
  std::vector<uint8_t> pseudo(dgram.begin() + 12, dgram.begin() + 20);
  pseudo.push_back(0);
  pseudo.push_back(17);
  pseudo.push_back(dgram[ihl + 4]);
  pseudo.push_back(dgram[ihl + 5]);
  pseudo.insert(pseudo.end(), dgram.begin() + static_cast<long>(ihl), dgram.end());
  uint16_t c = static_cast<uint16_t>(~reference_sum(pseudo));
  return c == 0 ? 0xffff : c;
}

std::vector<uint8_t> datagram(size_t payload_len, std::mt19937& rng, size_t ihl = 20) {
  std::vector<uint8_t> d(ihl + 8 + payload_len);
  for (auto& b : d) b = static_cast<uint8_t>(rng());
  d[0] = static_cast<uint8_t>(0x40 | (ihl / 4));
  d[9] = 17;
  const uint16_t udp_len = static_cast<uint16_t>(8 + payload_len);
  d[ihl + 4] = static_cast<uint8_t>(udp_len >> 8);
  d[ihl + 5] = static_cast<uint8_t>(udp_len);
  return d;
}

uint16_t stored_udp(const std::vector<uint8_t>& d) {
  const size_t ihl = (d[0] & 15) * 4;
  return static_cast<uint16_t>((d[ihl + 6] << 8) | d[ihl + 7]);
}

TEST(UdpChecksum, MatchesTheReferenceForEveryLengthAndHeaderSize) {
  std::mt19937 rng(20261206);
  for (size_t ihl : {20u, 24u, 60u}) {
    for (size_t len = 0; len <= 1472; len += (len < 80 ? 1 : 37)) {
      auto d = datagram(len, rng, ihl);
      calculate_udp_checksum(d.data(), d.size());
      ASSERT_EQ(stored_udp(d), reference_udp_checksum(d)) << "ihl " << ihl << " len " << len;
    }
  }
}

TEST(UdpChecksum, ZeroIsSentAsAllOnes) {
  std::mt19937 rng(7);
  for (size_t len : {2u, 3u, 100u, 101u}) {
    auto d = datagram(len, rng);
    // Choose the first payload word so that the whole sum comes out as 0xFFFF.
    d[28] = d[29] = 0;
    uint16_t c = reference_udp_checksum(d);
    d[28] = static_cast<uint8_t>(c >> 8);
    d[29] = static_cast<uint8_t>(c);
    calculate_udp_checksum(d.data(), d.size());
    EXPECT_EQ(stored_udp(d), 0xffff) << len;
  }
}

TEST(IpChecksum, KnownHeaderAndReference) {
  std::vector<uint8_t> h = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                            0xaa, 0xbb, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
  calculate_ip_checksum(h.data());
  EXPECT_EQ(h[10], 0xb8);
  EXPECT_EQ(h[11], 0x61);
  // A header with a correct checksum sums to all ones.
  EXPECT_EQ(reference_sum(h), 0xffff);

  std::mt19937 rng(11);
  for (int i = 0; i < 200; i++) {
    for (auto& b : h) b = static_cast<uint8_t>(rng());
    calculate_ip_checksum(h.data());
    ASSERT_EQ(reference_sum(h), 0xffff);
  }
}

}  // namespace
