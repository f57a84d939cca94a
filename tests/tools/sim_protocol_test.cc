// The simulators' own codec: byte order, split offsets, TLV framing and the
// fragment arithmetic, which the server and the VM must agree on with any
// peer, not only with each other.
#include "sim_protocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(sim_protocol, fields_are_little_endian_and_offsets_split_high_half_first) {
  uint8_t m[16] = {};
  sim_put32(m, 1, 0x40200002);
  EXPECT_EQ(m[1], 0x02);
  EXPECT_EQ(m[2], 0x00);
  EXPECT_EQ(m[3], 0x20);
  EXPECT_EQ(m[4], 0x40);
  EXPECT_EQ(sim_get32(m, 1), 0x40200002u);
  sim_put16(m, 9, 0xBEEF);
  EXPECT_EQ(m[9], 0xEF);
  EXPECT_EQ(m[10], 0xBE);
  EXPECT_EQ(sim_get16(m, 9), 0xBEEF);

  uint8_t o[8] = {};
  sim_put_offset(o, 0, 0x100000000ull);
  EXPECT_EQ(sim_get32(o, 0), 1u);
  EXPECT_EQ(sim_get32(o, 4), 0u);
  sim_put_offset(o, 0, 0x0123456789ABCDEFull);
  EXPECT_EQ(sim_get_offset(o, 0), 0x0123456789ABCDEFull);

  auto msg = sim_message(IOS_READ_MIO_REQUEST_CODE, SIM_MIO_REQUEST_SIZE, SIM_VERSION_TLV);
  ASSERT_EQ(msg.size(), SIM_MIO_REQUEST_SIZE);
  EXPECT_EQ(sim_get32(msg.data(), 0), IOS_READ_MIO_REQUEST_CODE);
  EXPECT_EQ(sim_get32(msg.data(), SIM_OFF_VERSION), 4u);
  // A message is never shorter than its header.
  EXPECT_EQ(sim_message(LS_HEARTBEAT_REQUEST_CODE, 4, 3).size(), SIM_HEADER_SIZE);
}

TEST(sim_protocol, fragments_fill_the_packet_size_less_the_fragment_header) {
  EXPECT_EQ(sim_fragment_room(1500), 1444u);
  EXPECT_EQ(sim_fragment_count(16384, 1500), 12u);
  EXPECT_EQ(sim_fragment_count(1444, 1500), 1u);
  EXPECT_EQ(sim_fragment_count(1445, 1500), 2u);
  EXPECT_EQ(sim_fragment_count(32768, 1500), 23u);
  EXPECT_EQ(sim_fragment_count(65535, 9000), 8u);
  // No room for data: no fragments rather than a division by zero.
  EXPECT_EQ(sim_fragment_room(56), 0u);
  EXPECT_EQ(sim_fragment_count(100, 56), 0u);
}

TEST(sim_protocol, tlv_sequences_must_end_exactly_at_the_end_of_the_message) {
  std::vector<uint8_t> m = sim_message(LS_UEFI_SERVICE_TLV_REPLY_CODE, SIM_HEADER_SIZE, 4);
  auto empty = sim_tlv_parse(m.data(), m.size());
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());

  sim_tlv_append32(m, SIM_TLV_MTU, 1500);
  uint8_t identity[SIM_TLV_IDENTITY_SIZE] = {};
  identity[4] = 7;
  sim_tlv_append(m, SIM_TLV_IDENTITY, identity, sizeof identity);
  sim_tlv_append(m, 77, nullptr, 0);
  auto items = sim_tlv_parse(m.data(), m.size());
  ASSERT_TRUE(items);
  ASSERT_EQ(items->size(), 3u);
  EXPECT_EQ((*items)[0].type, SIM_TLV_MTU);
  EXPECT_EQ((*items)[0].length, 4);
  EXPECT_EQ(sim_get32((*items)[0].value, 0), 1500u);
  EXPECT_EQ((*items)[1].type, SIM_TLV_IDENTITY);
  EXPECT_EQ(sim_get32((*items)[1].value, 4), 7u);
  EXPECT_EQ((*items)[2].length, 0);

  for (int stray = 1; stray <= 3; stray++) {
    std::vector<uint8_t> bad = m;
    bad.resize(bad.size() + static_cast<size_t>(stray));
    EXPECT_FALSE(sim_tlv_parse(bad.data(), bad.size())) << stray << " stray bytes";
  }
  std::vector<uint8_t> overlong = m;
  sim_put16(overlong.data(), SIM_HEADER_SIZE + 2, 5);  // the MTU item claims one byte too many
  EXPECT_FALSE(sim_tlv_parse(overlong.data(), overlong.size()));
  EXPECT_FALSE(sim_tlv_parse(m.data(), SIM_HEADER_SIZE - 1));
}

TEST(sim_protocol, command_line_numbers_are_checked) {
  uint64_t v = 0;
  EXPECT_TRUE(sim_parse_u64("0x10", 100, &v));
  EXPECT_EQ(v, 16u);
  EXPECT_TRUE(sim_parse_u64("4294967295", UINT32_MAX, &v));
  EXPECT_FALSE(sim_parse_u64("4294967296", UINT32_MAX, &v));
  EXPECT_FALSE(sim_parse_u64("-1", UINT64_MAX, &v));
  EXPECT_FALSE(sim_parse_u64("12x", 100, &v));
  EXPECT_FALSE(sim_parse_u64("", 100, &v));

  double p = 0;
  EXPECT_TRUE(sim_parse_probability("0.25", &p));
  EXPECT_DOUBLE_EQ(p, 0.25);
  EXPECT_TRUE(sim_parse_probability("1", &p));
  EXPECT_FALSE(sim_parse_probability("1.5", &p));
  EXPECT_FALSE(sim_parse_probability("-0.1", &p));
  EXPECT_FALSE(sim_parse_probability("nan", &p));
  EXPECT_FALSE(sim_parse_probability("0.1x", &p));
}

}  // namespace
