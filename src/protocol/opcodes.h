// Opcodes of the streaming protocol.
//
// Every protocol message starts with a 32-bit little-endian opcode built as
// direction << 24 | family << 16 | number. The direction byte is 0x40 for a
// message a client sends to its server (a request) and 0x80 for one a server
// sends to a client (a reply); anything but 0x40 counts as a reply. A request
// and a reply with the same family and number form a pair.
//
// Use the named constants to dispatch on a message, `opcode_is_request` to
// tell which end sent it and `opcode_family` to route it. `tarn_opcodes`
// lists every known opcode with its name; `opcode_names_create` turns it into
// the lookup table that log lines use to name opcodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

inline constexpr uint32_t OPCODE_DIRECTION_REQUEST = 0x40;
inline constexpr uint32_t OPCODE_DIRECTION_REPLY = 0x80;

inline constexpr uint32_t OPCODE_FAMILY_PORT = 0x08;
inline constexpr uint32_t OPCODE_FAMILY_LOGIN = 0x80;
inline constexpr uint32_t OPCODE_FAMILY_INFO = 0x40;
inline constexpr uint32_t OPCODE_FAMILY_IO = 0x20;
inline constexpr uint32_t OPCODE_FAMILY_SERVER = 0x04;

// Every known opcode, once: the constants below and `tarn_opcodes` are both
// made from this list, so a name cannot drift from its code.
#define TARN_OPCODES(X)                                                       \
  /* Port family (0x08). */                                                   \
  X(LS_LOGIN_PORT_REQUEST_CODE, 0x40080000)                                   \
  X(LS_LOGIN_PORT_REPLY_CODE, 0x80080000)                                     \
  X(LS_IO_PORT_REQUEST_CODE, 0x40080001)                                      \
  X(LS_IO_PORT_REPLY_CODE, 0x80080001)                                        \
  X(LS_LOGIN_PORT_TLV_REQUEST_CODE, 0x40080002)                               \
  X(LS_LOGIN_PORT_TLV_REPLY_CODE, 0x80080002)                                 \
  /* Login family (0x80). */                                                  \
  X(LS_LOGIN_REQUEST_CODE, 0x40800000)                                        \
  X(LS_LOGIN_REPLY_CODE, 0x80800000)                                          \
  X(LS_LOGOFF_REQUEST_CODE, 0x40800001)                                       \
  X(LS_LOGOFF_REPLY_CODE, 0x80800001)                                         \
  X(LS_VERIFY_SIGN_REQUEST_CODE, 0x40800002)                                  \
  X(LS_SIGN_REQUIRED_REPLY_CODE, 0x80800002)                                  \
  X(LS_VERIFY_NAMEPWD_REQUEST_CODE, 0x40800003)                               \
  X(LS_NAMEPWD_REQUIRED_REPLY_CODE, 0x80800003)                               \
  X(LS_SELECT_DISK_REQUEST_CODE, 0x40800004)                                  \
  X(LS_SELECT_DISK_REPLY_CODE, 0x80800004)                                    \
  X(LS_SERVICE_REQUEST_CODE, 0x40800005)                                      \
  X(LS_IO_SELECT_REPLY_CODE, 0x80800006)                                      \
  X(LS_PROV_BOOT_HD_REPLY_CODE, 0x80800007)                                   \
  X(LS_ERROR_REPLY_CODE, 0x80800008)                                          \
  X(LS_PXE_CHAIN_REPLY_CODE, 0x80800009)                                      \
  X(LS_VERIFY_USER_REQUEST_CODE, 0x4080000A)                                  \
  X(LS_VERIFY_USER_REPLY_CODE, 0x8080000A)                                    \
  X(LS_LOGIN_PAUSE_REPLY_CODE, 0x8080000B)                                    \
  X(LS_LOGIN_BOOT_TEXT_DISPLAYED_CODE, 0x4080000C)                            \
  X(LS_LOGIN_BOOT_TEXT_CODE, 0x8080000C)                                      \
  X(LS_LOGIN_INPUT_STRING_RESPONSE_CODE, 0x4080000D)                          \
  X(LS_LOGIN_INPUT_STRING_CODE, 0x8080000D)                                   \
  X(LS_LOGIN_REBOOT_REQ_CODE, 0x8080000E)                                     \
  X(LS_RECONNECT_REQUEST_CODE, 0x40800010)                                    \
  X(LS_DELL_LOGIN_REQUEST_CODE, 0x40800011)                                   \
  X(LS_SMBIOS_READ_REQUEST_CODE, 0x40800012)                                  \
  X(LS_SMBIOS_READ_REPLY_CODE, 0x80800012)                                    \
  X(LS_SMBIOS_WRITE_REQUEST_CODE, 0x40800013)                                 \
  X(LS_SMBIOS_WRITE_REPLY_CODE, 0x80800013)                                   \
  X(LS_VERIFY_USERID_REQUEST_CODE, 0x40800014)                                \
  X(LS_USERID_REQUIRED_REPLY_CODE, 0x80800014)                                \
  X(LS_OPTIONS_REQUEST_CODE, 0x40800015)                                      \
  X(LS_OPTIONS_REPLY_CODE, 0x80800015)                                        \
  X(LS_LOGIN_REQUEST_CODE_V2, 0x40800016)                                     \
  X(LS_DELL_LOGIN_REQUEST_CODE_V2, 0x40800017)                                \
  X(LS_IO_SELECT_REPLY_CODE_V2, 0x80800018)                                   \
  X(LS_SERVICE_REQUEST_CODE_V2, 0x40800019)                                   \
  X(LS_RECONNECT_REQUEST_CODE_V2, 0x4080001A)                                 \
  X(LS_UEFI_LOGIN_REQUEST_CODE, 0x4080001B)                                   \
  X(LS_UEFI_LOGIN_REPLY_CODE, 0x8080001B)                                     \
  X(LS_UEFI_SERVICE_REQUEST_CODE, 0x4080001C)                                 \
  X(LS_UEFI_SERVICE_REPLY_CODE, 0x8080001C)                                   \
  X(LS_UEFI_SERVICE_TLV_REQUEST_CODE, 0x4080001D)                             \
  X(LS_UEFI_SERVICE_TLV_REPLY_CODE, 0x8080001D)                               \
  /* Info family (0x40). */                                                   \
  X(IOS_IS_ALIVE_REQUEST_CODE, 0x40400000)                                    \
  X(IOS_IS_ALIVE_REPLY_CODE, 0x80400000)                                      \
  X(LS_HEARTBEAT_REQUEST_CODE, 0x40400001)                                    \
  X(LS_HEARTBEAT_REPLY_CODE, 0x80400001)                                      \
  X(LS_GET_PERSONALITY_REQUEST_CODE, 0x40400002)                              \
  X(LS_GET_PERSONALITY_REPLY_CODE, 0x80400002)                                \
  X(LS_GET_ACTIVE_DIR_REQUEST_CODE, 0x40400003)                               \
  X(LS_GET_ACTIVE_DIR_REPLY_CODE, 0x80400003)                                 \
  X(LS_SET_ACTIVE_DIR_REQUEST_CODE, 0x40400004)                               \
  X(LS_SET_ACTIVE_DIR_REPLY_CODE, 0x80400004)                                 \
  X(LS_LOG_BOOT_TIME_REQUEST_CODE, 0x40400005)                                \
  X(LS_LOG_BOOT_TIME_REPLY_CODE, 0x80400005)                                  \
  X(LS_RELEASE_LICENSE_REQUEST_CODE, 0x40400006)                              \
  X(LS_RELEASE_LICENSE_REPLY_CODE, 0x80400006)                                \
  X(LS_GET_CLIENT_CONFIG_REQUEST_CODE, 0x40400007)                            \
  X(LS_GET_CLIENT_CONFIG_REPLY_CODE, 0x80400007)                              \
  X(LS_SET_PREFOOTER_REQUEST_CODE, 0x40400008)                                \
  X(LS_SET_PREFOOTER_REPLY_CODE, 0x80400008)                                  \
  X(LS_DEBUG_REQUEST_CODE, 0x40400009)                                        \
  X(LS_CLIENT_STATUS_REQUEST_CODE, 0x4040000A)                                \
  X(LS_CLIENT_STATUS_REPLY_CODE, 0x8040000A)                                  \
  X(LS_IDENTIFY_USER_REQUEST_CODE, 0x4040000B)                                \
  X(LS_IDENTIFY_USER_REPLY_CODE, 0x8040000B)                                  \
  X(LS_CLIENT_LICENSE_ID_REQUEST_CODE, 0x4040000C)                            \
  X(LS_CLIENT_LICENSE_ID_REPLY_CODE, 0x8040000C)                              \
  X(LS_GET_VDISK_INFO_REQUEST_CODE, 0x4040000D)                               \
  X(LS_GET_VDISK_INFO_REPLY_CODE, 0x8040000D)                                 \
  X(LS_GET_CLIENT_NAME_REQUEST_CODE, 0x4040000F)                              \
  X(LS_GET_CLIENT_NAME_REPLY_CODE, 0x8040000F)                                \
  X(LS_GET_TIMEZONE_REQUEST_CODE, 0x40400010)                                 \
  X(LS_GET_TIMEZONE_REPLY_CODE, 0x80400010)                                   \
  X(LS_TLV_OPTIONS_REQUEST_CODE, 0x40400011)                                  \
  X(LS_TLV_OPTIONS_REPLY_CODE, 0x80400011)                                    \
  X(LS_GET_VDISK_INFO_REQUEST_CODE_V2, 0x40400012)                            \
  X(LS_GET_VDISK_INFO_REPLY_CODE_V2, 0x80400012)                              \
  /* I/O family (0x20). */                                                    \
  X(IOS_READ_EXT_REQUEST_CODE, 0x40200000)                                    \
  X(IOS_READ_EXT_REPLY_CODE, 0x80200000)                                      \
  X(IOS_WRITE_EXT_REQUEST_CODE, 0x40200001)                                   \
  X(IOS_WRITE_EXT_REPLY_CODE, 0x80200001)                                     \
  X(IOS_READ_MIO_REQUEST_CODE, 0x40200002)                                    \
  X(IOS_READ_MIO_REPLY_CODE, 0x80200002)                                      \
  X(IOS_WRITE_MIO_REQUEST_CODE, 0x40200003)                                   \
  X(IOS_WRITE_MIO_REPLY_CODE, 0x80200003)                                     \
  X(IOS_READ_MIO_CACHE_REQUEST_CODE, 0x40200004)                              \
  X(IOS_READ_MIO_CACHE_REPLY_CODE, 0x80200004)                                \
  X(IOS_WRITE_MIO_CACHE_REQUEST_CODE, 0x40200005)                             \
  X(IOS_WRITE_MIO_CACHE_REPLY_CODE, 0x80200005)                               \
  /* These two names run against their direction bits; the values are what */ \
  /* peers send, so the names stand as they are. */                           \
  X(IOS_RELAY_REPLY_CODE, 0x40200006)                                         \
  X(IOS_RELAY_REQUEST_CODE, 0x80200006)                                       \
  X(IOS_WRITE_EXT_CACHE_REQUEST_CODE, 0x40200007)                             \
  X(IOS_WRITE_EXT_CACHE_REPLY_CODE, 0x80200007)                               \
  X(IOS_GET_VHD_INFO_REQUEST_CODE, 0x40200008)                                \
  X(IOS_GET_VHD_INFO_REPLY_CODE, 0x80200008)                                  \
  X(IOS_FLUSH_MIO_REQUEST_CODE, 0x40200009)                                   \
  X(IOS_FLUSH_MIO_REPLY_CODE, 0x80200009)                                     \
  X(IOS_UNMAP_MIO_REQUEST_CODE, 0x4020000A)                                   \
  X(IOS_UNMAP_MIO_REPLY_CODE, 0x8020000A)                                     \
  X(IOS_REQUEST_MIO_REQUEST_CODE, 0x4020000B)                                 \
  X(IOS_REQUEST_MIO_REPLY_CODE, 0x8020000B)                                   \
  /* Server family (0x04). */                                                 \
  X(LS_SERVER_INFO_NOTICE_CODE, 0x40040000)                                   \
  X(LS_RELAY_REQUEST_CODE, 0x40040001)                                        \
  X(LS_RELAY_REPLY_CODE, 0x80040001)                                          \
  X(LS_REBALANCE_REQUEST_CODE, 0x40040003)                                    \
  X(LS_REBALANCE_REPLY_CODE, 0x80040003)                                      \
  X(LS_BSCFG_GETLIST_REQUEST_CODE, 0x40040004)                                \
  X(LS_BSCFG_GETLIST_REPLY_CODE, 0x80040004)                                  \
  X(LS_BSCFG_GETPROP_REQUEST_CODE, 0x40040005)                                \
  X(LS_BSCFG_GETPROP_REPLY_CODE, 0x80040005)                                  \
  X(LS_BSCFG_SETPROP_REQUEST_CODE, 0x40040006)                                \
  X(LS_BSCFG_SETPROP_REPLY_CODE, 0x80040006)                                  \
  X(LS_BIOS_BSCFG_GETPROP_REQUEST_CODE, 0x40040007)                           \
  X(LS_BIOS_BSCFG_GETPROP_REPLY_CODE, 0x80040007)                             \
  X(LS_BIOS_BSCFG_SETPROP_REQUEST_CODE, 0x40040008)                           \
  X(LS_BIOS_BSCFG_SETPROP_REPLY_CODE, 0x80040008)                             \
  X(LS_SERVER_CONFIG_CHANGED_REQUEST_CODE, 0x40040009)                        \
  X(LS_SERVER_CONFIG_CHANGED_REPLY_CODE, 0x80040009)                          \
  X(LS_VSCFG_GETPROP_REQUEST_CODE, 0x4004000A)                                \
  X(LS_VSCFG_GETPROP_REPLY_CODE, 0x8004000A)                                  \
  X(LS_VACFG_SETPROP_REQUEST_CODE, 0x4004000B)                                \
  X(LS_VACFG_SETPROP_REPLY_CODE, 0x8004000B)

#define TARN_OPCODE_CONSTANT(name, code) inline constexpr uint32_t name = code;
TARN_OPCODES(TARN_OPCODE_CONSTANT)
#undef TARN_OPCODE_CONSTANT

// Number of opcodes in `tarn_opcodes`, not counting its terminating entry.
#define TARN_OPCODE_ONE(name, code) +1
inline constexpr size_t TARN_OPCODE_COUNT = 0 TARN_OPCODES(TARN_OPCODE_ONE);
#undef TARN_OPCODE_ONE

// Bits 24-31.
constexpr uint32_t opcode_direction(uint32_t code) {
  return code >> 24;
}

// True exactly when the direction byte is 0x40; every other value, including
// ones that are neither 0x40 nor 0x80, is treated as a reply.
constexpr bool opcode_is_request(uint32_t code) {
  return opcode_direction(code) == OPCODE_DIRECTION_REQUEST;
}

// Bits 16-23.
constexpr uint32_t opcode_family(uint32_t code) {
  return (code >> 16) & 0xFF;
}

struct opcode_entry {
  uint32_t code;
  const char* name;
};

// Every known opcode with its constant's name, in family order, ended by
// {0, nullptr}.
extern const opcode_entry tarn_opcodes[];

// Code to name. The names point into `tarn_opcodes` and are not copied.
struct opcode_name_table : std::unordered_map<uint32_t, const char*> {};

// Builds the lookup table from `tarn_opcodes`, up to its zero entry. Called
// once at start-up; the table is read-only afterwards, so listener threads
// may share it without a lock.
std::unique_ptr<opcode_name_table> opcode_names_create();

// The opcode's name, or nullptr for an unknown code or a null table (GLib
// prints that as "(null)" in a "%s" conversion).
const char* opcode_name(const opcode_name_table* names, uint32_t code);
