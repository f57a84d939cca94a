#include "protocol/opcodes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

// The opcode tables as peers define them: family, number, request name and
// reply name (nullptr where the pair has no such half).
struct opcode_row {
  uint32_t family;
  uint32_t number;
  const char* request;
  const char* reply;
};

const opcode_row kRows[] = {
    {0x08, 0, "LS_LOGIN_PORT_REQUEST_CODE", "LS_LOGIN_PORT_REPLY_CODE"},
    {0x08, 1, "LS_IO_PORT_REQUEST_CODE", "LS_IO_PORT_REPLY_CODE"},
    {0x08, 2, "LS_LOGIN_PORT_TLV_REQUEST_CODE", "LS_LOGIN_PORT_TLV_REPLY_CODE"},
    {0x80, 0, "LS_LOGIN_REQUEST_CODE", "LS_LOGIN_REPLY_CODE"},
    {0x80, 1, "LS_LOGOFF_REQUEST_CODE", "LS_LOGOFF_REPLY_CODE"},
    {0x80, 2, "LS_VERIFY_SIGN_REQUEST_CODE", "LS_SIGN_REQUIRED_REPLY_CODE"},
    {0x80, 3, "LS_VERIFY_NAMEPWD_REQUEST_CODE", "LS_NAMEPWD_REQUIRED_REPLY_CODE"},
    {0x80, 4, "LS_SELECT_DISK_REQUEST_CODE", "LS_SELECT_DISK_REPLY_CODE"},
    {0x80, 5, "LS_SERVICE_REQUEST_CODE", nullptr},
    {0x80, 6, nullptr, "LS_IO_SELECT_REPLY_CODE"},
    {0x80, 7, nullptr, "LS_PROV_BOOT_HD_REPLY_CODE"},
    {0x80, 8, nullptr, "LS_ERROR_REPLY_CODE"},
    {0x80, 9, nullptr, "LS_PXE_CHAIN_REPLY_CODE"},
    {0x80, 10, "LS_VERIFY_USER_REQUEST_CODE", "LS_VERIFY_USER_REPLY_CODE"},
    {0x80, 11, nullptr, "LS_LOGIN_PAUSE_REPLY_CODE"},
    {0x80, 12, "LS_LOGIN_BOOT_TEXT_DISPLAYED_CODE", "LS_LOGIN_BOOT_TEXT_CODE"},
    {0x80, 13, "LS_LOGIN_INPUT_STRING_RESPONSE_CODE", "LS_LOGIN_INPUT_STRING_CODE"},
    {0x80, 14, nullptr, "LS_LOGIN_REBOOT_REQ_CODE"},
    {0x80, 16, "LS_RECONNECT_REQUEST_CODE", nullptr},
    {0x80, 17, "LS_DELL_LOGIN_REQUEST_CODE", nullptr},
    {0x80, 18, "LS_SMBIOS_READ_REQUEST_CODE", "LS_SMBIOS_READ_REPLY_CODE"},
    {0x80, 19, "LS_SMBIOS_WRITE_REQUEST_CODE", "LS_SMBIOS_WRITE_REPLY_CODE"},
    {0x80, 20, "LS_VERIFY_USERID_REQUEST_CODE", "LS_USERID_REQUIRED_REPLY_CODE"},
    {0x80, 21, "LS_OPTIONS_REQUEST_CODE", "LS_OPTIONS_REPLY_CODE"},
    {0x80, 22, "LS_LOGIN_REQUEST_CODE_V2", nullptr},
    {0x80, 23, "LS_DELL_LOGIN_REQUEST_CODE_V2", nullptr},
    {0x80, 24, nullptr, "LS_IO_SELECT_REPLY_CODE_V2"},
    {0x80, 25, "LS_SERVICE_REQUEST_CODE_V2", nullptr},
    {0x80, 26, "LS_RECONNECT_REQUEST_CODE_V2", nullptr},
    {0x80, 27, "LS_UEFI_LOGIN_REQUEST_CODE", "LS_UEFI_LOGIN_REPLY_CODE"},
    {0x80, 28, "LS_UEFI_SERVICE_REQUEST_CODE", "LS_UEFI_SERVICE_REPLY_CODE"},
    {0x80, 29, "LS_UEFI_SERVICE_TLV_REQUEST_CODE", "LS_UEFI_SERVICE_TLV_REPLY_CODE"},
    {0x40, 0, "IOS_IS_ALIVE_REQUEST_CODE", "IOS_IS_ALIVE_REPLY_CODE"},
    {0x40, 1, "LS_HEARTBEAT_REQUEST_CODE", "LS_HEARTBEAT_REPLY_CODE"},
    {0x40, 2, "LS_GET_PERSONALITY_REQUEST_CODE", "LS_GET_PERSONALITY_REPLY_CODE"},
    {0x40, 3, "LS_GET_ACTIVE_DIR_REQUEST_CODE", "LS_GET_ACTIVE_DIR_REPLY_CODE"},
    {0x40, 4, "LS_SET_ACTIVE_DIR_REQUEST_CODE", "LS_SET_ACTIVE_DIR_REPLY_CODE"},
    {0x40, 5, "LS_LOG_BOOT_TIME_REQUEST_CODE", "LS_LOG_BOOT_TIME_REPLY_CODE"},
    {0x40, 6, "LS_RELEASE_LICENSE_REQUEST_CODE", "LS_RELEASE_LICENSE_REPLY_CODE"},
    {0x40, 7, "LS_GET_CLIENT_CONFIG_REQUEST_CODE", "LS_GET_CLIENT_CONFIG_REPLY_CODE"},
    {0x40, 8, "LS_SET_PREFOOTER_REQUEST_CODE", "LS_SET_PREFOOTER_REPLY_CODE"},
    {0x40, 9, "LS_DEBUG_REQUEST_CODE", nullptr},
    {0x40, 10, "LS_CLIENT_STATUS_REQUEST_CODE", "LS_CLIENT_STATUS_REPLY_CODE"},
    {0x40, 11, "LS_IDENTIFY_USER_REQUEST_CODE", "LS_IDENTIFY_USER_REPLY_CODE"},
    {0x40, 12, "LS_CLIENT_LICENSE_ID_REQUEST_CODE", "LS_CLIENT_LICENSE_ID_REPLY_CODE"},
    {0x40, 13, "LS_GET_VDISK_INFO_REQUEST_CODE", "LS_GET_VDISK_INFO_REPLY_CODE"},
    {0x40, 15, "LS_GET_CLIENT_NAME_REQUEST_CODE", "LS_GET_CLIENT_NAME_REPLY_CODE"},
    {0x40, 16, "LS_GET_TIMEZONE_REQUEST_CODE", "LS_GET_TIMEZONE_REPLY_CODE"},
    {0x40, 17, "LS_TLV_OPTIONS_REQUEST_CODE", "LS_TLV_OPTIONS_REPLY_CODE"},
    {0x40, 18, "LS_GET_VDISK_INFO_REQUEST_CODE_V2", "LS_GET_VDISK_INFO_REPLY_CODE_V2"},
    {0x20, 0, "IOS_READ_EXT_REQUEST_CODE", "IOS_READ_EXT_REPLY_CODE"},
    {0x20, 1, "IOS_WRITE_EXT_REQUEST_CODE", "IOS_WRITE_EXT_REPLY_CODE"},
    {0x20, 2, "IOS_READ_MIO_REQUEST_CODE", "IOS_READ_MIO_REPLY_CODE"},
    {0x20, 3, "IOS_WRITE_MIO_REQUEST_CODE", "IOS_WRITE_MIO_REPLY_CODE"},
    {0x20, 4, "IOS_READ_MIO_CACHE_REQUEST_CODE", "IOS_READ_MIO_CACHE_REPLY_CODE"},
    {0x20, 5, "IOS_WRITE_MIO_CACHE_REQUEST_CODE", "IOS_WRITE_MIO_CACHE_REPLY_CODE"},
    {0x20, 6, "IOS_RELAY_REPLY_CODE", "IOS_RELAY_REQUEST_CODE"},
    {0x20, 7, "IOS_WRITE_EXT_CACHE_REQUEST_CODE", "IOS_WRITE_EXT_CACHE_REPLY_CODE"},
    {0x20, 8, "IOS_GET_VHD_INFO_REQUEST_CODE", "IOS_GET_VHD_INFO_REPLY_CODE"},
    {0x20, 9, "IOS_FLUSH_MIO_REQUEST_CODE", "IOS_FLUSH_MIO_REPLY_CODE"},
    {0x20, 10, "IOS_UNMAP_MIO_REQUEST_CODE", "IOS_UNMAP_MIO_REPLY_CODE"},
    {0x20, 11, "IOS_REQUEST_MIO_REQUEST_CODE", "IOS_REQUEST_MIO_REPLY_CODE"},
    {0x04, 0, "LS_SERVER_INFO_NOTICE_CODE", nullptr},
    {0x04, 1, "LS_RELAY_REQUEST_CODE", "LS_RELAY_REPLY_CODE"},
    {0x04, 3, "LS_REBALANCE_REQUEST_CODE", "LS_REBALANCE_REPLY_CODE"},
    {0x04, 4, "LS_BSCFG_GETLIST_REQUEST_CODE", "LS_BSCFG_GETLIST_REPLY_CODE"},
    {0x04, 5, "LS_BSCFG_GETPROP_REQUEST_CODE", "LS_BSCFG_GETPROP_REPLY_CODE"},
    {0x04, 6, "LS_BSCFG_SETPROP_REQUEST_CODE", "LS_BSCFG_SETPROP_REPLY_CODE"},
    {0x04, 7, "LS_BIOS_BSCFG_GETPROP_REQUEST_CODE", "LS_BIOS_BSCFG_GETPROP_REPLY_CODE"},
    {0x04, 8, "LS_BIOS_BSCFG_SETPROP_REQUEST_CODE", "LS_BIOS_BSCFG_SETPROP_REPLY_CODE"},
    {0x04, 9, "LS_SERVER_CONFIG_CHANGED_REQUEST_CODE", "LS_SERVER_CONFIG_CHANGED_REPLY_CODE"},
    {0x04, 10, "LS_VSCFG_GETPROP_REQUEST_CODE", "LS_VSCFG_GETPROP_REPLY_CODE"},
    {0x04, 11, "LS_VACFG_SETPROP_REQUEST_CODE", "LS_VACFG_SETPROP_REPLY_CODE"},
};

const opcode_entry* find_entry(const char* name) {
  for (const opcode_entry* e = tarn_opcodes; e->name != nullptr; ++e)
    if (std::strcmp(e->name, name) == 0) return e;
  return nullptr;
}

TEST(Opcodes, TableHoldsEveryOpcodeOnceWithItsWireValue) {
  size_t count = 0;
  std::set<uint32_t> codes;
  std::set<std::string> names;
  for (const opcode_entry* e = tarn_opcodes; e->code != 0; ++e, ++count) {
    ASSERT_NE(e->name, nullptr);
    codes.insert(e->code);
    names.insert(e->name);
  }
  EXPECT_EQ(count, 130u);
  EXPECT_EQ(tarn_opcodes[count].name, nullptr);
  EXPECT_EQ(codes.size(), 130u);
  EXPECT_EQ(names.size(), 130u);

  size_t named = 0;
  for (const opcode_row& row : kRows) {
    for (uint32_t direction : {0x40u, 0x80u}) {
      const char* name = direction == 0x40 ? row.request : row.reply;
      if (name == nullptr) continue;
      ++named;
      SCOPED_TRACE(name);
      const opcode_entry* e = find_entry(name);
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(e->code, direction << 24 | row.family << 16 | row.number);
      EXPECT_EQ(opcode_family(e->code), row.family);
      EXPECT_EQ(opcode_is_request(e->code), direction == 0x40);
    }
  }
  EXPECT_EQ(named, 130u);
}

TEST(Opcodes, DirectionIsRequestOnlyForTopByte0x40) {
  struct {
    uint32_t code;
    bool request;
    uint32_t family;
  } cases[] = {
      {IOS_RELAY_REPLY_CODE, true, 0x20},     // named a reply, sent as a request
      {IOS_RELAY_REQUEST_CODE, false, 0x20},  // and the other way round
      {LS_LOGIN_REQUEST_CODE, true, 0x80},
      {LS_HEARTBEAT_REPLY_CODE, false, 0x40},
      {0x00080000, false, 0x08},
      {0xC0040001, false, 0x04},
      {0x41200000, false, 0x20},
      {0xFF20FFFF, false, 0x20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.code);
    EXPECT_EQ(opcode_is_request(c.code), c.request);
    EXPECT_EQ(opcode_family(c.code), c.family);
  }
}

TEST(Opcodes, NameTableLooksUpEveryCode) {
  std::unique_ptr<opcode_name_table> names = opcode_names_create();
  ASSERT_NE(names, nullptr);
  EXPECT_EQ(names->size(), 130u);

  EXPECT_STREQ(opcode_name(names.get(), 0x40200002), "IOS_READ_MIO_REQUEST_CODE");
  EXPECT_STREQ(opcode_name(names.get(), 0x40200006), "IOS_RELAY_REPLY_CODE");
  // Names are shared with the constant table, not copied.
  for (const opcode_entry* e = tarn_opcodes; e->code != 0; ++e)
    EXPECT_EQ(opcode_name(names.get(), e->code), e->name);

  for (uint32_t unknown : {0u, 0x4080000Fu, 0x4020000Cu, 0x40400014u, 0x00200002u})
    EXPECT_EQ(opcode_name(names.get(), unknown), nullptr) << std::hex << unknown;
  EXPECT_EQ(opcode_name(nullptr, IOS_READ_MIO_REQUEST_CODE), nullptr);
}

}  // namespace
