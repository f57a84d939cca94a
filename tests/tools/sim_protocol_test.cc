// The simulators' TLV parser must refuse any sequence that does not end
// exactly at the end of the message: the VM checks the daemon's TLV replies
// with it, so a lenient parser would hide a daemon that frames them wrongly.
#include "sim_protocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(sim_protocol, tlv_sequences_must_end_exactly_at_the_end_of_the_message) {
  std::vector<uint8_t> m = sim_message(LS_UEFI_SERVICE_TLV_REPLY_CODE, SIM_HEADER_SIZE, 4);
  auto empty = sim_tlv_parse(m.data(), m.size());
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  sim_tlv_append32(m, SIM_TLV_MTU, 1500);
  sim_tlv_append(m, 77, nullptr, 0);
  auto items = sim_tlv_parse(m.data(), m.size());
  ASSERT_TRUE(items);
  ASSERT_EQ(items->size(), 2u);
  EXPECT_EQ((*items)[0].type, SIM_TLV_MTU);
  EXPECT_EQ(sim_get32((*items)[0].value, 0), 1500u);
  EXPECT_EQ((*items)[1].length, 0);
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

}  // namespace
