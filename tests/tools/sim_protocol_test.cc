// The simulators' TLV parser must refuse any sequence that does not end
// exactly at the end of the message: the VM checks the daemon's TLV replies
// with it, so a lenient parser would hide a daemon that frames them wrongly.
#include "sim_protocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(sim_protocol, tlv_sequences_must_end_exactly_at_the_end_of_the_message) {
  auto items = [](const std::vector<uint8_t>& m) {
    auto parsed = sim_tlv_parse(m.data(), m.size());
    return parsed ? static_cast<int>(parsed->size()) : -1;
  };
  std::vector<uint8_t> m = sim_message(LS_UEFI_SERVICE_TLV_REPLY_CODE, SIM_HEADER_SIZE, 4);
  EXPECT_EQ(items(m), 0);
  EXPECT_EQ(items(std::vector<uint8_t>(m.begin(), m.end() - 1)), -1);
  sim_tlv_append32(m, SIM_TLV_MTU, 1500);
  sim_tlv_append(m, 77, nullptr, 0);
  EXPECT_EQ(items(m), 2);
  std::vector<uint8_t> bad = m;
  for (int stray = 1; stray <= 3; stray++) {
    bad.push_back(0);
    EXPECT_EQ(items(bad), -1) << stray << " stray bytes";
  }
  bad = m;
  sim_put16(bad.data(), SIM_HEADER_SIZE + 2, 5);  // the MTU item claims one byte too many
  EXPECT_EQ(items(bad), -1);
}

}  // namespace
