#include "protocol/opcodes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

namespace {

// The opcode tables as peers define them, independently of protocol/opcodes.h
// (which the simulators share). Per family, "number=STEM" names the pair
// STEM_REQUEST_CODE / STEM_REPLY_CODE; "number=REQUEST/REPLY" names irregular
// pairs, either half empty where the pair has none.
const std::pair<uint32_t, const char*> kRows[] = {
    {0x08, "0=LS_LOGIN_PORT 1=LS_IO_PORT 2=LS_LOGIN_PORT_TLV "},
    {0x80,
     "0=LS_LOGIN 1=LS_LOGOFF 2=LS_VERIFY_SIGN_REQUEST_CODE/LS_SIGN_REQUIRED_REPLY_CODE "
     "3=LS_VERIFY_NAMEPWD_REQUEST_CODE/LS_NAMEPWD_REQUIRED_REPLY_CODE 4=LS_SELECT_DISK "
     "5=LS_SERVICE_REQUEST_CODE/ 6=/LS_IO_SELECT_REPLY_CODE 7=/LS_PROV_BOOT_HD_REPLY_CODE "
     "8=/LS_ERROR_REPLY_CODE 9=/LS_PXE_CHAIN_REPLY_CODE 10=LS_VERIFY_USER "
     "11=/LS_LOGIN_PAUSE_REPLY_CODE "
     "12=LS_LOGIN_BOOT_TEXT_DISPLAYED_CODE/LS_LOGIN_BOOT_TEXT_CODE "
     "13=LS_LOGIN_INPUT_STRING_RESPONSE_CODE/LS_LOGIN_INPUT_STRING_CODE "
     "14=/LS_LOGIN_REBOOT_REQ_CODE 16=LS_RECONNECT_REQUEST_CODE/ "
     "17=LS_DELL_LOGIN_REQUEST_CODE/ 18=LS_SMBIOS_READ 19=LS_SMBIOS_WRITE "
     "20=LS_VERIFY_USERID_REQUEST_CODE/LS_USERID_REQUIRED_REPLY_CODE 21=LS_OPTIONS "
     "22=LS_LOGIN_REQUEST_CODE_V2/ 23=LS_DELL_LOGIN_REQUEST_CODE_V2/ "
     "24=/LS_IO_SELECT_REPLY_CODE_V2 25=LS_SERVICE_REQUEST_CODE_V2/ "
     "26=LS_RECONNECT_REQUEST_CODE_V2/ 27=LS_UEFI_LOGIN 28=LS_UEFI_SERVICE "
     "29=LS_UEFI_SERVICE_TLV "},
    {0x40,
     "0=IOS_IS_ALIVE 1=LS_HEARTBEAT 2=LS_GET_PERSONALITY 3=LS_GET_ACTIVE_DIR "
     "4=LS_SET_ACTIVE_DIR 5=LS_LOG_BOOT_TIME 6=LS_RELEASE_LICENSE 7=LS_GET_CLIENT_CONFIG "
     "8=LS_SET_PREFOOTER 9=LS_DEBUG_REQUEST_CODE/ 10=LS_CLIENT_STATUS 11=LS_IDENTIFY_USER "
     "12=LS_CLIENT_LICENSE_ID 13=LS_GET_VDISK_INFO 15=LS_GET_CLIENT_NAME "
     "16=LS_GET_TIMEZONE 17=LS_TLV_OPTIONS "
     "18=LS_GET_VDISK_INFO_REQUEST_CODE_V2/LS_GET_VDISK_INFO_REPLY_CODE_V2 "},
    {0x20,
     "0=IOS_READ_EXT 1=IOS_WRITE_EXT 2=IOS_READ_MIO 3=IOS_WRITE_MIO 4=IOS_READ_MIO_CACHE "
     "5=IOS_WRITE_MIO_CACHE 6=IOS_RELAY_REPLY_CODE/IOS_RELAY_REQUEST_CODE "
     "7=IOS_WRITE_EXT_CACHE 8=IOS_GET_VHD_INFO 9=IOS_FLUSH_MIO 10=IOS_UNMAP_MIO "
     "11=IOS_REQUEST_MIO "},
    {0x04,
     "0=LS_SERVER_INFO_NOTICE_CODE/ 1=LS_RELAY 3=LS_REBALANCE 4=LS_BSCFG_GETLIST "
     "5=LS_BSCFG_GETPROP 6=LS_BSCFG_SETPROP 7=LS_BIOS_BSCFG_GETPROP "
     "8=LS_BIOS_BSCFG_SETPROP 9=LS_SERVER_CONFIG_CHANGED 10=LS_VSCFG_GETPROP "
     "11=LS_VACFG_SETPROP "},
};

const opcode_entry* find_entry(const char* name) {
  for (const opcode_entry* e = tarn_opcodes; e->name != nullptr; ++e)
    if (std::strcmp(e->name, name) == 0) return e;
  return nullptr;
}

// Every name the rows give is found with its wire value; with 130 entries,
// 130 names and 130 distinct codes in the name table, none is missing or twice.
TEST(Opcodes, TableHoldsEveryOpcodeOnceWithItsWireValueAndName) {
  size_t count = 0, named = 0;
  while (tarn_opcodes[count].code != 0) ASSERT_NE(tarn_opcodes[count++].name, nullptr);
  EXPECT_EQ(count, 130u);
  EXPECT_EQ(tarn_opcodes[count].name, nullptr);
  for (const auto& [family, names_text] : kRows) {
    std::istringstream items(names_text);
    for (std::string item; items >> item;) {
      const size_t eq = item.find('='), slash = item.find('/');
      const auto number = static_cast<uint32_t>(std::stoul(item.substr(0, eq)));
      const bool pair = slash == std::string::npos;
      const std::string stem = item.substr(eq + 1, pair ? std::string::npos : slash - eq - 1);
      const std::string halves[2] = {pair ? stem + "_REQUEST_CODE" : stem,
                                     pair ? stem + "_REPLY_CODE" : item.substr(slash + 1)};
      for (uint32_t direction : {0x40u, 0x80u}) {
        const std::string& name = halves[direction == 0x40 ? 0 : 1];
        if (name.empty()) continue;
        ++named;
        const opcode_entry* e = find_entry(name.c_str());
        ASSERT_NE(e, nullptr) << name;
        EXPECT_EQ(e->code, direction << 24 | family << 16 | number) << name;
        EXPECT_EQ(opcode_family(e->code), family) << name;
        EXPECT_EQ(opcode_is_request(e->code), direction == 0x40) << name;
      }
    }
  }
  EXPECT_EQ(named, 130u);
  std::unique_ptr<opcode_name_table> names = opcode_names_create();
  ASSERT_NE(names, nullptr);
  EXPECT_EQ(names->size(), 130u);
  for (const opcode_entry* e = tarn_opcodes; e->code != 0; ++e)
    EXPECT_STREQ(opcode_name(names.get(), e->code), e->name);
  // Codes beyond the table: no direction bit 0x40 alone, no name.
  for (uint32_t code : {0x00080000u, 0xC0040001u, 0x41200000u, 0xFF20FFFFu}) {
    EXPECT_FALSE(opcode_is_request(code)) << std::hex << code;
    EXPECT_EQ(opcode_family(code), (code >> 16) & 0xFF) << std::hex << code;
  }
  for (uint32_t unknown : {0u, 0x4080000Fu, 0x4020000Cu, 0x40400014u, 0x00200002u})
    EXPECT_EQ(opcode_name(names.get(), unknown), nullptr) << std::hex << unknown;
  EXPECT_EQ(opcode_name(nullptr, IOS_READ_MIO_REQUEST_CODE), nullptr);
}

}  // namespace
