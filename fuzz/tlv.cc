// The message layer on arbitrary payloads: the TLV walker and the UEFI
// service reply built on it, every body parser, and the reply builders fed
// with the payload as their request. Each result is checked against what the
// wire layout says it must be.
#include <algorithm>
#include <array>

#include "fuzz_check.h"
#include "protocol/messages.h"
#include "protocol/opcodes.h"

namespace {

uint32_t le32_at(std::span<const uint8_t> p, size_t off) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; i++) v |= uint32_t{p[off + i]} << (8 * i);
  return v;
}

void check_tlv(std::span<const uint8_t> p) {
  msg_tlv_walker w;
  msg_tlv_item item;
  msg_tlv_begin(p, w);
  msg_tlv_step step;
  size_t pos = TARN_HEADER_LEN;
  msg_uefi_service_reply mine{};
  bool applied = true;
  while ((step = msg_tlv_next(w, item)) == msg_tlv_step::item) {
    // Items follow one another without gaps and stay inside the payload.
    FUZZ_CHECK(item.value.data() == p.data() + pos + MSG_TLV_ITEM_HEADER_LEN);
    FUZZ_CHECK(item.value.size() == size_t{p[pos + 2]} + (size_t{p[pos + 3]} << 8));
    pos += MSG_TLV_ITEM_HEADER_LEN + item.value.size();
    FUZZ_CHECK(pos <= p.size());
    if (applied) applied = msg_uefi_service_reply_apply(item, mine);
    uint32_t id = 0;
    FUZZ_CHECK(msg_tlv_parse_vdisk_id(item, id) == (item.value.size() == 4));
  }
  FUZZ_CHECK(step == msg_tlv_step::end ? pos == p.size() : true);
  // Once malformed, always malformed.
  if (step == msg_tlv_step::malformed) FUZZ_CHECK(msg_tlv_next(w, item) == msg_tlv_step::malformed);
  FUZZ_CHECK(msg_tlv_well_formed(p) == (step == msg_tlv_step::end));

  msg_uefi_service_reply reply;
  const bool ok = msg_parse_uefi_service_reply(p, reply);
  FUZZ_CHECK(ok == (applied && step == msg_tlv_step::end));
  // What the items before a fault set is kept.
  FUZZ_CHECK(reply.has_mtu == mine.has_mtu && reply.mtu == mine.mtu);
  FUZZ_CHECK(reply.has_vdisk_params == mine.has_vdisk_params &&
             reply.sector_count == mine.sector_count);
  FUZZ_CHECK(reply.has_connection_handle == mine.has_connection_handle);

  msg_vdisk_info info{};
  const bool filled = msg_uefi_service_reply_fill_vdisk_info(p, reply, info);
  FUZZ_CHECK(filled == msg_is_message(p));
  if (!filled) return;
  // The record decodes to what was filled in, and keeps the header.
  msg_vdisk_info again{};
  FUZZ_CHECK(msg_parse_vdisk_info_reply(info.raw, again));
  FUZZ_CHECK(again.connection_handle == info.connection_handle);
  FUZZ_CHECK(info.connection_handle ==
             (reply.has_connection_handle ? reply.connection_handle : le32_at(p, 8)));
  FUZZ_CHECK(again.sector_count == info.sector_count);
  FUZZ_CHECK(info.sector_count == (reply.has_vdisk_params ? reply.sector_count : 0));
  FUZZ_CHECK(info.key_suffix == (reply.has_vdisk_identity ? reply.key_suffix : 0));
  FUZZ_CHECK(std::equal(p.begin(), p.begin() + 8, info.raw.begin()));
}

void check_bodies(std::span<const uint8_t> p) {
  msg_header h;
  FUZZ_CHECK(msg_parse_header(p, h) == msg_is_message(p));
  FUZZ_CHECK(msg_opcode(p) == (msg_is_message(p) ? le32_at(p, 0) : 0));
  msg_login_port_reply lp;
  FUZZ_CHECK(msg_parse_login_port_reply(p, lp) == (p.size() >= 42));
  msg_io_port_reply ip;
  FUZZ_CHECK(msg_parse_io_port_reply(p, ip) == (p.size() >= 42));
  msg_login_request lr;
  if (msg_parse_login_request(p, lr))
    FUZZ_CHECK(std::equal(lr.client_mac.begin(), lr.client_mac.end(), p.begin() + 25));
  msg_login_reply lrep;
  msg_parse_login_reply(p, lrep);
  msg_io_select_reply sel;
  msg_parse_io_select_reply(p, sel);
  msg_uefi_login_reply ul;
  msg_parse_uefi_login_reply(p, ul);
  msg_service_request sr;
  msg_parse_service_request(p, sr);
  msg_parse_heartbeat_reply(p);
  msg_vdisk_info vi;
  if (msg_parse_vdisk_info_reply(p, vi))
    FUZZ_CHECK(std::equal(vi.raw.begin(), vi.raw.end(), p.begin()));

  msg_ext_read_request er;
  if (msg_parse_ext_read_request(p, er)) FUZZ_CHECK(p.size() >= MSG_EXT_READ_HEADER_LEN);
  msg_ext_read_reply erep;
  if (msg_parse_ext_read_reply(p, erep)) {
    FUZZ_CHECK(p.size() == MSG_EXT_READ_HEADER_LEN + erep.length);
    FUZZ_CHECK(erep.data.size() == erep.length && erep.data.data() == p.data() + 36);
  }
  msg_mio_read_request mr;
  if (msg_parse_mio_read_request(p, mr)) FUZZ_CHECK(p.size() >= MSG_MIO_REQUEST_LEN);
  msg_mio_read_reply mrep;
  if (msg_parse_mio_read_reply(p, mrep)) {
    FUZZ_CHECK(p.size() == MSG_MIO_REPLY_HEADER_LEN + mrep.fragment_length);
    FUZZ_CHECK(mrep.data.size() == mrep.fragment_length);
  }
}

// The builders take the payload as the request they answer; what they build
// must parse back to the same fields.
void check_builders(std::span<const uint8_t> p) {
  static std::array<uint8_t, MSG_MIO_REPLY_HEADER_LEN + 65536> out;
  fuzz::reader r{p};
  const uint16_t cut = r.u16();
  auto data = p.subspan(std::min<size_t>(cut % 1024, p.size()));

  size_t n = msg_build_ext_read_reply(out, p, data);
  FUZZ_CHECK(n == (p.size() >= 34 ? 36 + data.size() : 0));
  if (n != 0) {
    msg_ext_read_reply rep;
    FUZZ_CHECK(msg_parse_ext_read_reply(std::span<const uint8_t>(out.data(), n), rep));
    FUZZ_CHECK(msg_opcode(std::span<const uint8_t>(out.data(), n)) == IOS_READ_EXT_REPLY_CODE);
    FUZZ_CHECK(rep.length == data.size() && std::equal(data.begin(), data.end(), rep.data.begin()));
    FUZZ_CHECK(std::equal(p.begin() + 4, p.begin() + 34, out.begin() + 4));
  }

  const msg_mio_fragment frag{r.u16(), r.u16(), r.u16()};
  n = msg_build_mio_read_reply(out, p, frag, data);
  FUZZ_CHECK(n == (p.size() >= 48 ? 56 + data.size() : 0));
  if (n != 0) {
    msg_mio_read_reply rep;
    FUZZ_CHECK(msg_parse_mio_read_reply(std::span<const uint8_t>(out.data(), n), rep));
    FUZZ_CHECK(rep.fragment_offset == frag.offset && rep.fragment_number == frag.number &&
               rep.fragment_count == frag.count);
    FUZZ_CHECK(std::equal(data.begin(), data.end(), rep.data.begin()));
    FUZZ_CHECK(std::equal(p.begin() + 4, p.begin() + 48, out.begin() + 4));
  }

  n = msg_build_forced_relogon_reply(out, p);
  FUZZ_CHECK(n == (p.size() >= 38 ? MSG_RELOGON_REPLY_LEN : 0));
  if (n != 0) {
    msg_mio_read_reply rep;
    std::span<const uint8_t> built(out.data(), n);
    FUZZ_CHECK(msg_parse_mio_read_reply(built, rep) && rep.fragment_length == 0);
    FUZZ_CHECK(msg_connection_handle(built) & MSG_CONNECTION_HANDLE_FLAG);
  }

  msg_prepop_request req{};
  req.tlv_login = r.u8() & 1;
  req.connection_handle = r.u32();
  req.request_id = r.u32();
  req.thread_id = r.u8();
  req.disk_handle = r.u32();
  const uint64_t high = r.u32();
  req.offset = (high << 32) | r.u32();
  req.length = r.u16();
  n = msg_build_prepop_mio_request(out, req);
  FUZZ_CHECK(n == MSG_MIO_REQUEST_LEN);
  msg_mio_read_request back;
  std::span<const uint8_t> built(out.data(), n);
  FUZZ_CHECK(msg_parse_mio_read_request(built, back));
  FUZZ_CHECK(back.request_id == req.request_id && back.disk_handle == req.disk_handle &&
             back.offset == req.offset && back.length == req.length &&
             back.thread_id == (req.thread_id | MSG_THREAD_ID_PREPOP));
  FUZZ_CHECK(msg_version(built) == msg_mio_version(req.tlv_login));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> p(data, size);
  check_tlv(p);
  check_bodies(p);
  check_builders(p);
  return 0;
}
