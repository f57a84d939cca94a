// Message layer of the streaming protocol: reading and building the UDP
// payloads that clients and servers exchange.
//
// Every message begins with a 22-byte header (opcode, version,
// connectionHandle, tag); every multi-byte field is little-endian and no
// field is aligned. A payload shorter than the header is not a message.
//
// How to use it:
// - The header accessors return 0 for a payload that is not a message.
// - Each body the daemon reads has a plain view record and a
//   `msg_parse_*` function. A parse returns false when the payload is a size
//   mismatch (shorter than the body's minimum, or not exactly the length that
//   the body dictates); the view is then left untouched. Views that expose
//   data hold spans into the payload, valid as long as the payload is.
// - TLV sequences (the UEFI service messages) are read item by item with
//   `msg_tlv_begin` / `msg_tlv_next`, or whole with
//   `msg_parse_uefi_service_reply`.
// - The builders write into a caller's buffer, never allocate, and return
//   the number of bytes written, or 0 when the buffer is too small or the
//   input too short.
// Nothing here allocates, locks or logs, so all of it is safe on the packet
// path and from any thread.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

// ---------------------------------------------------------------------------
// Little-endian loads and stores. Each checks that the field lies inside the
// span before touching it and returns false (leaving *v or the buffer alone)
// when it does not.

namespace msg_detail {

template <typename T>
constexpr T to_from_le(T v) {
  if constexpr (std::endian::native == std::endian::little || sizeof(T) == 1) {
    return v;
  } else if constexpr (sizeof(T) == 2) {
    return static_cast<T>(__builtin_bswap16(v));
  } else if constexpr (sizeof(T) == 4) {
    return static_cast<T>(__builtin_bswap32(v));
  } else {
    return static_cast<T>(__builtin_bswap64(v));
  }
}

constexpr bool fits(size_t size, size_t off, size_t len) {
  return off <= size && size - off >= len;
}

template <typename T>
inline bool load(std::span<const uint8_t> p, size_t off, T* v) {
  if (!fits(p.size(), off, sizeof(T))) return false;
  T raw;
  std::memcpy(&raw, p.data() + off, sizeof(T));
  *v = to_from_le(raw);
  return true;
}

template <typename T>
inline bool store(std::span<uint8_t> p, size_t off, T v) {
  if (!fits(p.size(), off, sizeof(T))) return false;
  T raw = to_from_le(v);
  std::memcpy(p.data() + off, &raw, sizeof(T));
  return true;
}

}  // namespace msg_detail

inline bool msg_load_u8(std::span<const uint8_t> p, size_t off, uint8_t* v) {
  return msg_detail::load(p, off, v);
}
inline bool msg_load_u16(std::span<const uint8_t> p, size_t off, uint16_t* v) {
  return msg_detail::load(p, off, v);
}
inline bool msg_load_u32(std::span<const uint8_t> p, size_t off, uint32_t* v) {
  return msg_detail::load(p, off, v);
}
inline bool msg_load_u64(std::span<const uint8_t> p, size_t off, uint64_t* v) {
  return msg_detail::load(p, off, v);
}
inline bool msg_store_u8(std::span<uint8_t> p, size_t off, uint8_t v) {
  return msg_detail::store(p, off, v);
}
inline bool msg_store_u16(std::span<uint8_t> p, size_t off, uint16_t v) {
  return msg_detail::store(p, off, v);
}
inline bool msg_store_u32(std::span<uint8_t> p, size_t off, uint32_t v) {
  return msg_detail::store(p, off, v);
}
inline bool msg_store_u64(std::span<uint8_t> p, size_t off, uint64_t v) {
  return msg_detail::store(p, off, v);
}

// Read offsets travel as two 32-bit halves, the high half first.
inline bool msg_load_offset(std::span<const uint8_t> p, size_t off, uint64_t* v) {
  uint32_t high, low;
  if (!msg_load_u32(p, off, &high) || !msg_load_u32(p, off + 4, &low)) return false;
  *v = (uint64_t{high} << 32) | low;
  return true;
}
inline bool msg_store_offset(std::span<uint8_t> p, size_t off, uint64_t v) {
  if (!msg_detail::fits(p.size(), off, 8)) return false;
  return msg_store_u32(p, off, static_cast<uint32_t>(v >> 32)) &&
         msg_store_u32(p, off + 4, static_cast<uint32_t>(v));
}

// ---------------------------------------------------------------------------
// Header.

inline constexpr size_t TARN_HEADER_LEN = 22;

inline constexpr size_t MSG_OPCODE_OFF = 0;
inline constexpr size_t MSG_VERSION_OFF = 4;
inline constexpr size_t MSG_CONNECTION_HANDLE_OFF = 8;
inline constexpr size_t MSG_TAG_OFF = 14;

// Flag in connectionHandle: set in the forced relogon reply, and not part of
// the handle when an MIO read reply is matched against the session.
inline constexpr uint32_t MSG_CONNECTION_HANDLE_FLAG = 0x80000000u;

struct msg_header {
  uint32_t opcode;
  uint32_t version;
  uint32_t connection_handle;
  uint8_t tag;
};

inline bool msg_is_message(std::span<const uint8_t> p) {
  return p.size() >= TARN_HEADER_LEN;
}

bool msg_parse_header(std::span<const uint8_t> p, msg_header& out);

// 0 when the payload is not a message (no opcode is 0).
uint32_t msg_opcode(std::span<const uint8_t> p);
uint32_t msg_version(std::span<const uint8_t> p);
uint32_t msg_connection_handle(std::span<const uint8_t> p);
uint8_t msg_tag(std::span<const uint8_t> p);

// Overwrites the tag in place; false when the payload is not a message.
bool msg_set_tag(std::span<uint8_t> p, uint8_t tag);

// ---------------------------------------------------------------------------
// Login-conversation bodies.

struct msg_login_port_reply {
  uint32_t burst_size;  // largest I/O the client may ask for, in bytes
  uint32_t mtu;         // packet size the server allows the client
};
bool msg_parse_login_port_reply(std::span<const uint8_t> p, msg_login_port_reply& out);

struct msg_io_port_reply {
  uint32_t mtu;
};
bool msg_parse_io_port_reply(std::span<const uint8_t> p, msg_io_port_reply& out);

// LS_LOGIN_REQUEST_CODE and LS_LOGIN_REQUEST_CODE_V2.
struct msg_login_request {
  std::array<uint8_t, 6> client_mac;  // wire order
};
bool msg_parse_login_request(std::span<const uint8_t> p, msg_login_request& out);

struct msg_login_reply {
  uint32_t connection_handle;  // of the new session
  uint32_t disk_handle;        // the session's handle for I/O on the vDisk
};
bool msg_parse_login_reply(std::span<const uint8_t> p, msg_login_reply& out);

// LS_IO_SELECT_REPLY_CODE and LS_IO_SELECT_REPLY_CODE_V2.
struct msg_io_select_reply {
  uint32_t vdisk_id;
};
bool msg_parse_io_select_reply(std::span<const uint8_t> p, msg_io_select_reply& out);

struct msg_uefi_login_reply {
  uint32_t vdisk_id;
};
bool msg_parse_uefi_login_reply(std::span<const uint8_t> p, msg_uefi_login_reply& out);

// LS_SERVICE_REQUEST_CODE, LS_OPTIONS_REQUEST_CODE, LS_SERVICE_REQUEST_CODE_V2,
// LS_RECONNECT_REQUEST_CODE_V2 and LS_UEFI_SERVICE_REQUEST_CODE.
struct msg_service_request {
  uint32_t vdisk_id;  // the vDisk the client asks to use
};
bool msg_parse_service_request(std::span<const uint8_t> p, msg_service_request& out);

// LS_HEARTBEAT_REPLY_CODE: only its length is checked.
bool msg_parse_heartbeat_reply(std::span<const uint8_t> p);

// ---------------------------------------------------------------------------
// vDisk info record: the first 82 bytes of LS_GET_VDISK_INFO_REPLY_CODE_V2,
// kept raw per client and decoded when needed.

inline constexpr size_t MSG_VDISK_INFO_LEN = 82;

// Write cache types 0 and 5 mean the server caches the client's writes, so
// the client's reads must not be served from a local cache.
constexpr bool msg_write_cache_on_server(uint32_t write_cache_type) {
  return write_cache_type == 0 || write_cache_type == 5;
}

struct msg_guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  std::array<uint8_t, 8> data4;
};

struct msg_vdisk_info {
  std::array<uint8_t, MSG_VDISK_INFO_LEN> raw;  // the record as received
  uint32_t connection_handle;                   // @8
  uint64_t sector_count;                        // @28, 512-byte sectors
  uint32_t write_cache_type;                    // @36
  uint32_t key_suffix;                          // @62, last part of the vdisk_key
  msg_guid guid;                                // @66
};

// Parses the reply, or decodes a stored record (which is the same 82 bytes).
bool msg_parse_vdisk_info_reply(std::span<const uint8_t> p, msg_vdisk_info& out);

// ---------------------------------------------------------------------------
// I/O bodies.

inline constexpr size_t MSG_EXT_READ_HEADER_LEN = 36;
inline constexpr size_t MSG_MIO_REQUEST_LEN = 48;
inline constexpr size_t MSG_MIO_REPLY_HEADER_LEN = 56;

// Byte offsets below this lie before the vDisk's data; offset 512 is byte 0
// of the vDisk.
inline constexpr uint64_t MSG_VDISK_DATA_OFFSET = 512;

// High bit of ThreadId: the MIO was issued by the daemon for prepopulation.
inline constexpr uint8_t MSG_THREAD_ID_PREPOP = 0x80;

// MIO version: 3 after the classic login messages, 4 after the TLV ones.
inline constexpr uint32_t MSG_MIO_VERSION_CLASSIC = 3;
inline constexpr uint32_t MSG_MIO_VERSION_TLV = 4;
constexpr uint32_t msg_mio_version(bool tlv_login) {
  return tlv_login ? MSG_MIO_VERSION_TLV : MSG_MIO_VERSION_CLASSIC;
}

struct msg_ext_read_request {
  uint32_t disk_handle;
  uint64_t offset;  // protocol offset, 512 ahead of the vDisk
  uint16_t length;
};
bool msg_parse_ext_read_request(std::span<const uint8_t> p, msg_ext_read_request& out);

// Exactly 36 + length bytes: trailing bytes make it a mismatch.
struct msg_ext_read_reply {
  uint32_t disk_handle;
  uint64_t offset;
  uint16_t length;
  std::span<const uint8_t> data;  // `length` bytes at 36
};
bool msg_parse_ext_read_reply(std::span<const uint8_t> p, msg_ext_read_reply& out);

struct msg_mio_read_request {
  uint32_t request_id;
  uint16_t field_26;  // not interpreted; 1 in the requests the daemon builds
  uint8_t thread_id;
  uint32_t disk_handle;
  uint64_t offset;
  uint16_t length;
};
bool msg_parse_mio_read_request(std::span<const uint8_t> p, msg_mio_read_request& out);

// Exactly 56 + fragment length bytes. Bytes 4-47 repeat the request, so
// `length` is the whole read's length, not the fragment's.
struct msg_mio_read_reply {
  uint32_t request_id;
  uint8_t thread_id;
  uint32_t disk_handle;
  uint64_t offset;
  uint16_t length;
  uint16_t fragment_offset;  // within the read's data
  uint16_t fragment_length;
  uint16_t fragment_number;  // from 1
  uint16_t fragment_count;
  std::span<const uint8_t> data;  // the fragment's bytes at 56
};
bool msg_parse_mio_read_reply(std::span<const uint8_t> p, msg_mio_read_reply& out);

// ---------------------------------------------------------------------------
// TLV sequences: from offset 22 to the end of the payload, items of a 16-bit
// type, a 16-bit value length L and L bytes of value, without padding. A
// sequence is well-formed only when its last item ends exactly at the end of
// the payload; an empty sequence is well-formed.
//
//   msg_tlv_walker w;
//   msg_tlv_item item;
//   msg_tlv_begin(p, w);
//   msg_tlv_step step;
//   while ((step = msg_tlv_next(w, item)) == msg_tlv_step::item) { ... }
//   if (step == msg_tlv_step::malformed) { size mismatch }

inline constexpr size_t MSG_TLV_ITEM_HEADER_LEN = 4;

inline constexpr uint16_t MSG_TLV_VDISK_ID = 9;
inline constexpr uint16_t MSG_TLV_VDISK_PARAMS = 101;
inline constexpr uint16_t MSG_TLV_MTU = 134;
inline constexpr uint16_t TLV_OPTION_IO_BURST_SIZE = 135;
inline constexpr uint16_t MSG_TLV_CONNECTION_HANDLE = 138;
inline constexpr uint16_t MSG_TLV_VDISK_IDENTITY = 141;

struct msg_tlv_item {
  uint16_t type;
  std::span<const uint8_t> value;  // L bytes
};

struct msg_tlv_walker {
  std::span<const uint8_t> payload;
  size_t pos;
  bool malformed;
};

enum class msg_tlv_step { item, end, malformed };

void msg_tlv_begin(std::span<const uint8_t> p, msg_tlv_walker& w);
// The next item; `end` once the sequence ended exactly at the end of the
// payload, `malformed` (and from then on) when it did not or the payload is
// not a message.
msg_tlv_step msg_tlv_next(msg_tlv_walker& w, msg_tlv_item& item);
bool msg_tlv_well_formed(std::span<const uint8_t> p);

// LS_UEFI_SERVICE_TLV_REQUEST_CODE: the value of a vdisk_id item (type 9).
// False when the item's value is not exactly 4 bytes, a size mismatch.
bool msg_tlv_parse_vdisk_id(const msg_tlv_item& item, uint32_t& vdisk_id);

// What LS_UEFI_SERVICE_TLV_REPLY_CODE carried. Each has_ flag says whether
// the item was seen; a later item of the same type overrides an earlier one.
struct msg_uefi_service_reply {
  bool has_vdisk_params;
  uint32_t disk_handle;
  uint64_t sector_count;
  uint32_t write_cache_type;

  bool has_mtu;
  uint32_t mtu;

  bool has_burst_size;
  uint32_t burst_size;

  bool has_connection_handle;
  uint32_t connection_handle;

  bool has_vdisk_identity;
  uint32_t key_suffix;
  msg_guid guid;
};

// Applies one item to `out`. Unlisted types are ignored (true); a listed type
// with a value of the wrong length is a size mismatch (false, `out`
// unchanged).
bool msg_uefi_service_reply_apply(const msg_tlv_item& item, msg_uefi_service_reply& out);

// Clears `out` and applies every item in order. On a size mismatch it
// returns false but keeps what the items before the fault set, because the
// daemon acts on those as they arrive.
bool msg_parse_uefi_service_reply(std::span<const uint8_t> p, msg_uefi_service_reply& out);

// Builds the vDisk info record that the TLV reply stands for: zeros, the
// reply's 22-byte header, then the items that were present written where
// LS_GET_VDISK_INFO_REPLY_CODE_V2 carries them (a connection-handle item
// overrides the header's handle). The decoded fields are filled as well.
// False when the payload is not a message.
bool msg_uefi_service_reply_fill_vdisk_info(std::span<const uint8_t> p,
                                            const msg_uefi_service_reply& reply,
                                            msg_vdisk_info& out);

// ---------------------------------------------------------------------------
// Builders. `out` must not overlap `request`.

// Extent read reply from the cache: bytes 4-33 of the request, opcode
// IOS_READ_EXT_REPLY_CODE, the length at 34, the data at 36. The data may
// already sit at out[36...] (the cache can read straight into place); it is
// then left where it is. Needs 34 request bytes and 36 + data.size() <=
// out.size(), data.size() <= 65535.
size_t msg_build_ext_read_reply(std::span<uint8_t> out, std::span<const uint8_t> request,
                                std::span<const uint8_t> data);

// One fragment of an MIO read reply: bytes 4-47 of the request (so the total
// length at 46 is the requested one), opcode IOS_READ_MIO_REPLY_CODE, the
// fragment fields at 48-55 (fragment length = data.size()), the data at 56.
// Needs 48 request bytes and 56 + data.size() <= out.size().
struct msg_mio_fragment {
  uint16_t offset;  // of the fragment's data within the read
  uint16_t number;  // from 1
  uint16_t count;
};
size_t msg_build_mio_read_reply(std::span<uint8_t> out, std::span<const uint8_t> request,
                                const msg_mio_fragment& fragment, std::span<const uint8_t> data);

// Forced relogon reply, 56 bytes: bytes 0-37 of the MIO request with opcode
// IOS_READ_MIO_REPLY_CODE, the connectionHandle flag set, bytes 26 and 27
// 0xFF, the rest zero. The client answers it by logging in again. Needs 38
// request bytes.
inline constexpr size_t MSG_RELOGON_REPLY_LEN = 56;
size_t msg_build_forced_relogon_reply(std::span<uint8_t> out, std::span<const uint8_t> request);

// Prepopulation MIO request, 48 bytes, zero apart from the fields below; the
// tag is 0, the field at 26 is 1 and ThreadId gets its prepopulation bit.
struct msg_prepop_request {
  bool tlv_login;  // version 4 when set, else 3
  uint32_t connection_handle;
  uint32_t request_id;
  uint8_t thread_id;
  uint32_t disk_handle;
  uint64_t offset;
  uint16_t length;
};
size_t msg_build_prepop_mio_request(std::span<uint8_t> out, const msg_prepop_request& req);
