#include "protocol/messages.h"

#include <algorithm>

#include "protocol/opcodes.h"

namespace {

// Minimum payload lengths, header included.
constexpr size_t LOGIN_PORT_REPLY_MIN = 42;
constexpr size_t IO_PORT_REPLY_MIN = 42;
constexpr size_t LOGIN_REQUEST_MIN = 36;
constexpr size_t LOGIN_REPLY_MIN = 172;
constexpr size_t IO_SELECT_REPLY_MIN = 48;
constexpr size_t UEFI_LOGIN_REPLY_MIN = 56;
constexpr size_t SERVICE_REQUEST_MIN = 34;
constexpr size_t HEARTBEAT_REPLY_MIN = 40;

// Request bytes that the built replies repeat: up to the extent length field,
// up to the MIO fragment fields, and what the forced relogon keeps.
constexpr size_t EXT_COPY_END = 34;
constexpr size_t MIO_COPY_END = 48;
constexpr size_t RELOGON_COPY_END = 38;

// The body's length has been checked before these run, so the loads cannot
// fail; the zero default only keeps the value defined if that ever changes.
uint8_t u8_at(std::span<const uint8_t> p, size_t off) {
  uint8_t v = 0;
  msg_load_u8(p, off, &v);
  return v;
}

uint16_t u16_at(std::span<const uint8_t> p, size_t off) {
  uint16_t v = 0;
  msg_load_u16(p, off, &v);
  return v;
}

uint32_t u32_at(std::span<const uint8_t> p, size_t off) {
  uint32_t v = 0;
  msg_load_u32(p, off, &v);
  return v;
}

uint64_t u64_at(std::span<const uint8_t> p, size_t off) {
  uint64_t v = 0;
  msg_load_u64(p, off, &v);
  return v;
}

uint64_t offset_at(std::span<const uint8_t> p, size_t off) {
  uint64_t v = 0;
  msg_load_offset(p, off, &v);
  return v;
}

msg_guid guid_at(std::span<const uint8_t> p, size_t off) {
  msg_guid g{};
  g.data1 = u32_at(p, off);
  g.data2 = u16_at(p, off + 4);
  g.data3 = u16_at(p, off + 6);
  std::copy_n(p.begin() + static_cast<std::ptrdiff_t>(off + 8), g.data4.size(), g.data4.begin());
  return g;
}

void store_guid(std::span<uint8_t> p, size_t off, const msg_guid& g) {
  msg_store_u32(p, off, g.data1);
  msg_store_u16(p, off + 4, g.data2);
  msg_store_u16(p, off + 6, g.data3);
  std::copy(g.data4.begin(), g.data4.end(), p.begin() + static_cast<std::ptrdiff_t>(off + 8));
}

// memmove rather than memcpy: the extent reply's data may already be in
// place, and a zero-length copy must not hand a null pointer to the library.
void copy_bytes(uint8_t* dst, const uint8_t* src, size_t n) {
  if (n != 0 && dst != src) std::memmove(dst, src, n);
}

}  // namespace

// ---------------------------------------------------------------------------
// Header.

bool msg_parse_header(std::span<const uint8_t> p, msg_header& out) {
  if (!msg_is_message(p)) return false;
  out.opcode = u32_at(p, MSG_OPCODE_OFF);
  out.version = u32_at(p, MSG_VERSION_OFF);
  out.connection_handle = u32_at(p, MSG_CONNECTION_HANDLE_OFF);
  out.tag = u8_at(p, MSG_TAG_OFF);
  return true;
}

uint32_t msg_opcode(std::span<const uint8_t> p) {
  return msg_is_message(p) ? u32_at(p, MSG_OPCODE_OFF) : 0;
}

uint32_t msg_version(std::span<const uint8_t> p) {
  return msg_is_message(p) ? u32_at(p, MSG_VERSION_OFF) : 0;
}

uint32_t msg_connection_handle(std::span<const uint8_t> p) {
  return msg_is_message(p) ? u32_at(p, MSG_CONNECTION_HANDLE_OFF) : 0;
}

uint8_t msg_tag(std::span<const uint8_t> p) {
  return msg_is_message(p) ? u8_at(p, MSG_TAG_OFF) : 0;
}

bool msg_set_tag(std::span<uint8_t> p, uint8_t tag) {
  return p.size() >= TARN_HEADER_LEN && msg_store_u8(p, MSG_TAG_OFF, tag);
}

// ---------------------------------------------------------------------------
// Login-conversation bodies.

bool msg_parse_login_port_reply(std::span<const uint8_t> p, msg_login_port_reply& out) {
  if (p.size() < LOGIN_PORT_REPLY_MIN) return false;
  out.burst_size = u32_at(p, 34);
  out.mtu = u32_at(p, 38);
  return true;
}

bool msg_parse_io_port_reply(std::span<const uint8_t> p, msg_io_port_reply& out) {
  if (p.size() < IO_PORT_REPLY_MIN) return false;
  out.mtu = u32_at(p, 38);
  return true;
}

bool msg_parse_login_request(std::span<const uint8_t> p, msg_login_request& out) {
  if (p.size() < LOGIN_REQUEST_MIN) return false;
  std::copy_n(p.begin() + 25, out.client_mac.size(), out.client_mac.begin());
  return true;
}

bool msg_parse_login_reply(std::span<const uint8_t> p, msg_login_reply& out) {
  if (p.size() < LOGIN_REPLY_MIN) return false;
  out.connection_handle = u32_at(p, 36);
  out.disk_handle = u32_at(p, 40);
  return true;
}

bool msg_parse_io_select_reply(std::span<const uint8_t> p, msg_io_select_reply& out) {
  if (p.size() < IO_SELECT_REPLY_MIN) return false;
  out.vdisk_id = u32_at(p, 28);
  return true;
}

bool msg_parse_uefi_login_reply(std::span<const uint8_t> p, msg_uefi_login_reply& out) {
  if (p.size() < UEFI_LOGIN_REPLY_MIN) return false;
  out.vdisk_id = u32_at(p, 40);
  return true;
}

bool msg_parse_service_request(std::span<const uint8_t> p, msg_service_request& out) {
  if (p.size() < SERVICE_REQUEST_MIN) return false;
  out.vdisk_id = u32_at(p, 22);
  return true;
}

bool msg_parse_heartbeat_reply(std::span<const uint8_t> p) {
  return p.size() >= HEARTBEAT_REPLY_MIN;
}

// ---------------------------------------------------------------------------
// vDisk info record.

bool msg_parse_vdisk_info_reply(std::span<const uint8_t> p, msg_vdisk_info& out) {
  if (p.size() < MSG_VDISK_INFO_LEN) return false;
  std::copy_n(p.begin(), MSG_VDISK_INFO_LEN, out.raw.begin());
  out.connection_handle = u32_at(p, MSG_CONNECTION_HANDLE_OFF);
  out.sector_count = u64_at(p, 28);
  out.write_cache_type = u32_at(p, 36);
  out.key_suffix = u32_at(p, 62);
  out.guid = guid_at(p, 66);
  return true;
}

// ---------------------------------------------------------------------------
// I/O bodies.

bool msg_parse_ext_read_request(std::span<const uint8_t> p, msg_ext_read_request& out) {
  if (p.size() < MSG_EXT_READ_HEADER_LEN) return false;
  out.disk_handle = u32_at(p, 22);
  out.offset = offset_at(p, 26);
  out.length = u16_at(p, 34);
  return true;
}

bool msg_parse_ext_read_reply(std::span<const uint8_t> p, msg_ext_read_reply& out) {
  if (p.size() < MSG_EXT_READ_HEADER_LEN) return false;
  const uint16_t length = u16_at(p, 34);
  if (p.size() != MSG_EXT_READ_HEADER_LEN + length) return false;
  out.disk_handle = u32_at(p, 22);
  out.offset = offset_at(p, 26);
  out.length = length;
  out.data = p.subspan(MSG_EXT_READ_HEADER_LEN, length);
  return true;
}

bool msg_parse_mio_read_request(std::span<const uint8_t> p, msg_mio_read_request& out) {
  if (p.size() < MSG_MIO_REQUEST_LEN) return false;
  out.request_id = u32_at(p, 22);
  out.field_26 = u16_at(p, 26);
  out.thread_id = u8_at(p, 28);
  out.disk_handle = u32_at(p, 34);
  out.offset = offset_at(p, 38);
  out.length = u16_at(p, 46);
  return true;
}

bool msg_parse_mio_read_reply(std::span<const uint8_t> p, msg_mio_read_reply& out) {
  if (p.size() < MSG_MIO_REPLY_HEADER_LEN) return false;
  const uint16_t fragment_length = u16_at(p, 50);
  if (p.size() != MSG_MIO_REPLY_HEADER_LEN + fragment_length) return false;
  out.request_id = u32_at(p, 22);
  out.thread_id = u8_at(p, 28);
  out.disk_handle = u32_at(p, 34);
  out.offset = offset_at(p, 38);
  out.length = u16_at(p, 46);
  out.fragment_offset = u16_at(p, 48);
  out.fragment_length = fragment_length;
  out.fragment_number = u16_at(p, 52);
  out.fragment_count = u16_at(p, 54);
  out.data = p.subspan(MSG_MIO_REPLY_HEADER_LEN, fragment_length);
  return true;
}

// ---------------------------------------------------------------------------
// TLV sequences.

void msg_tlv_begin(std::span<const uint8_t> p, msg_tlv_walker& w) {
  w.payload = p;
  w.pos = TARN_HEADER_LEN;
  w.malformed = !msg_is_message(p);
}

msg_tlv_step msg_tlv_next(msg_tlv_walker& w, msg_tlv_item& item) {
  if (w.malformed) return msg_tlv_step::malformed;
  const size_t left = w.payload.size() - w.pos;
  if (left == 0) return msg_tlv_step::end;
  if (left < MSG_TLV_ITEM_HEADER_LEN) {
    w.malformed = true;
    return msg_tlv_step::malformed;
  }
  const uint16_t length = u16_at(w.payload, w.pos + 2);
  if (MSG_TLV_ITEM_HEADER_LEN + length > left) {
    w.malformed = true;
    return msg_tlv_step::malformed;
  }
  item.type = u16_at(w.payload, w.pos);
  item.value = w.payload.subspan(w.pos + MSG_TLV_ITEM_HEADER_LEN, length);
  w.pos += MSG_TLV_ITEM_HEADER_LEN + length;
  return msg_tlv_step::item;
}

bool msg_tlv_well_formed(std::span<const uint8_t> p) {
  msg_tlv_walker w;
  msg_tlv_item item;
  msg_tlv_begin(p, w);
  msg_tlv_step step;
  while ((step = msg_tlv_next(w, item)) == msg_tlv_step::item) {
  }
  return step == msg_tlv_step::end;
}

bool msg_tlv_parse_vdisk_id(const msg_tlv_item& item, uint32_t& vdisk_id) {
  if (item.value.size() != 4) return false;
  vdisk_id = u32_at(item.value, 0);
  return true;
}

bool msg_uefi_service_reply_apply(const msg_tlv_item& item, msg_uefi_service_reply& out) {
  const std::span<const uint8_t> v = item.value;
  switch (item.type) {
    case MSG_TLV_VDISK_PARAMS:
      if (v.size() < 28) return false;
      out.has_vdisk_params = true;
      out.disk_handle = u32_at(v, 2);
      // Low half at 10, high at 14: one little-endian 64-bit value, not a
      // read offset's high-first pair.
      out.sector_count = u64_at(v, 10);
      out.write_cache_type = u32_at(v, 18);
      return true;
    case MSG_TLV_MTU:
      if (v.size() != 4) return false;
      out.has_mtu = true;
      out.mtu = u32_at(v, 0);
      return true;
    case TLV_OPTION_IO_BURST_SIZE:
      if (v.size() != 4) return false;
      out.has_burst_size = true;
      out.burst_size = u32_at(v, 0);
      return true;
    case MSG_TLV_CONNECTION_HANDLE:
      if (v.size() != 4) return false;
      out.has_connection_handle = true;
      out.connection_handle = u32_at(v, 0);
      return true;
    case MSG_TLV_VDISK_IDENTITY:
      if (v.size() != 24) return false;
      out.has_vdisk_identity = true;
      out.key_suffix = u32_at(v, 4);
      out.guid = guid_at(v, 8);
      return true;
    default:
      return true;
  }
}

bool msg_parse_uefi_service_reply(std::span<const uint8_t> p, msg_uefi_service_reply& out) {
  out = msg_uefi_service_reply{};
  msg_tlv_walker w;
  msg_tlv_item item;
  msg_tlv_begin(p, w);
  msg_tlv_step step;
  while ((step = msg_tlv_next(w, item)) == msg_tlv_step::item) {
    if (!msg_uefi_service_reply_apply(item, out)) return false;
  }
  return step == msg_tlv_step::end;
}

bool msg_uefi_service_reply_fill_vdisk_info(std::span<const uint8_t> p,
                                            const msg_uefi_service_reply& reply,
                                            msg_vdisk_info& out) {
  if (!msg_is_message(p)) return false;
  std::array<uint8_t, MSG_VDISK_INFO_LEN> record{};
  std::copy_n(p.begin(), TARN_HEADER_LEN, record.begin());
  if (reply.has_connection_handle)
    msg_store_u32(record, MSG_CONNECTION_HANDLE_OFF, reply.connection_handle);
  if (reply.has_vdisk_params) {
    msg_store_u64(record, 28, reply.sector_count);
    msg_store_u32(record, 36, reply.write_cache_type);
  }
  if (reply.has_vdisk_identity) {
    msg_store_u32(record, 62, reply.key_suffix);
    store_guid(record, 66, reply.guid);
  }
  return msg_parse_vdisk_info_reply(record, out);
}

// ---------------------------------------------------------------------------
// Builders.

size_t msg_build_ext_read_reply(std::span<uint8_t> out, std::span<const uint8_t> request,
                                std::span<const uint8_t> data) {
  const size_t len = MSG_EXT_READ_HEADER_LEN + data.size();
  if (request.size() < EXT_COPY_END || data.size() > UINT16_MAX || out.size() < len) return 0;
  copy_bytes(out.data() + MSG_EXT_READ_HEADER_LEN, data.data(), data.size());
  copy_bytes(out.data() + 4, request.data() + 4, EXT_COPY_END - 4);
  msg_store_u32(out, MSG_OPCODE_OFF, IOS_READ_EXT_REPLY_CODE);
  msg_store_u16(out, 34, static_cast<uint16_t>(data.size()));
  return len;
}

size_t msg_build_mio_read_reply(std::span<uint8_t> out, std::span<const uint8_t> request,
                                const msg_mio_fragment& fragment, std::span<const uint8_t> data) {
  const size_t len = MSG_MIO_REPLY_HEADER_LEN + data.size();
  if (request.size() < MIO_COPY_END || data.size() > UINT16_MAX || out.size() < len) return 0;
  copy_bytes(out.data() + 4, request.data() + 4, MIO_COPY_END - 4);
  msg_store_u32(out, MSG_OPCODE_OFF, IOS_READ_MIO_REPLY_CODE);
  msg_store_u16(out, 48, fragment.offset);
  msg_store_u16(out, 50, static_cast<uint16_t>(data.size()));
  msg_store_u16(out, 52, fragment.number);
  msg_store_u16(out, 54, fragment.count);
  copy_bytes(out.data() + MSG_MIO_REPLY_HEADER_LEN, data.data(), data.size());
  return len;
}

size_t msg_build_forced_relogon_reply(std::span<uint8_t> out, std::span<const uint8_t> request) {
  if (request.size() < RELOGON_COPY_END || out.size() < MSG_RELOGON_REPLY_LEN) return 0;
  copy_bytes(out.data(), request.data(), RELOGON_COPY_END);
  std::fill(out.begin() + RELOGON_COPY_END, out.begin() + MSG_RELOGON_REPLY_LEN, 0);
  msg_store_u32(out, MSG_OPCODE_OFF, IOS_READ_MIO_REPLY_CODE);
  msg_store_u32(out, MSG_CONNECTION_HANDLE_OFF,
                u32_at(out, MSG_CONNECTION_HANDLE_OFF) | MSG_CONNECTION_HANDLE_FLAG);
  out[26] = 0xFF;
  out[27] = 0xFF;
  return MSG_RELOGON_REPLY_LEN;
}

size_t msg_build_prepop_mio_request(std::span<uint8_t> out, const msg_prepop_request& req) {
  if (out.size() < MSG_MIO_REQUEST_LEN) return 0;
  std::fill(out.begin(), out.begin() + MSG_MIO_REQUEST_LEN, 0);
  msg_store_u32(out, MSG_OPCODE_OFF, IOS_READ_MIO_REQUEST_CODE);
  msg_store_u32(out, MSG_VERSION_OFF, msg_mio_version(req.tlv_login));
  msg_store_u32(out, MSG_CONNECTION_HANDLE_OFF, req.connection_handle);
  msg_store_u32(out, 22, req.request_id);
  msg_store_u16(out, 26, 1);
  msg_store_u8(out, 28, static_cast<uint8_t>(req.thread_id | MSG_THREAD_ID_PREPOP));
  msg_store_u32(out, 34, req.disk_handle);
  msg_store_offset(out, 38, req.offset);
  msg_store_u16(out, 46, req.length);
  return MSG_MIO_REQUEST_LEN;
}
