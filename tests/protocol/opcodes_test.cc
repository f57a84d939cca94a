#include "protocol/opcodes.h"

#include <gtest/gtest.h>

namespace {

// The wire values themselves are the generated constants; what can go wrong
// is the lookup: a code listed twice would hide a name, a lost terminator
// would run past the table, and unknown codes or a missing table must give
// no name rather than a stray one.
TEST(Opcodes, NameLookupCoversEveryOpcodeOnceAndNothingElse) {
  size_t count = 0;
  while (tarn_opcodes[count].code != 0) ASSERT_NE(tarn_opcodes[count++].name, nullptr);
  EXPECT_EQ(count, TARN_OPCODE_COUNT);
  std::unique_ptr<opcode_name_table> names = opcode_names_create();
  ASSERT_NE(names, nullptr);
  EXPECT_EQ(names->size(), TARN_OPCODE_COUNT) << "a code is listed twice";
  for (const opcode_entry* e = tarn_opcodes; e->code != 0; ++e)
    EXPECT_STREQ(opcode_name(names.get(), e->code), e->name);
  for (uint32_t unknown : {0u, 0x4080000Fu, 0x4020000Cu, 0x40400014u, 0x00200002u})
    EXPECT_EQ(opcode_name(names.get(), unknown), nullptr) << std::hex << unknown;
  EXPECT_EQ(opcode_name(nullptr, IOS_READ_MIO_REQUEST_CODE), nullptr);
  // Any direction byte but 0x40 is a reply.
  for (uint32_t code : {0x00080000u, 0xC0040001u, 0x41200000u, 0xFF20FFFFu})
    EXPECT_FALSE(opcode_is_request(code)) << std::hex << code;
  EXPECT_TRUE(opcode_is_request(IOS_READ_MIO_REQUEST_CODE));
  EXPECT_EQ(opcode_family(0xFF20FFFFu), OPCODE_FAMILY_IO);
}

}  // namespace
