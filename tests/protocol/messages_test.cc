// The message layer on its own: every bound a peer can reach, read from
// payloads whose byte i is i, so that a field read from the wrong place shows
// up as the wrong value. Layouts the engine test checks datagram by datagram
// appear here only for their bounds.
#include "protocol/messages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <span>
#include <tuple>
#include <vector>

#include "protocol/opcodes.h"

namespace {

using bytes = std::vector<uint8_t>;
using fields = std::vector<uint64_t>;

bytes pattern(size_t n) {
  bytes p(n);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i);
  return p;
}

void put(bytes& p, size_t off, const bytes& v) {
  if (p.size() < off + v.size()) p.resize(off + v.size());
  std::copy(v.begin(), v.end(), p.begin() + static_cast<std::ptrdiff_t>(off));
}

// A 22-byte header followed by the given TLV bytes.
bytes tlv_payload(const bytes& items) {
  bytes p(TARN_HEADER_LEN);
  put(p, 0, {0x1D, 0x00, 0x80, 0x80});
  put(p, TARN_HEADER_LEN, items);
  return p;
}

// Each fixed-layout body: its minimum length, the fields it reads and their
// values in the pattern.
struct body_case {
  size_t min_len;
  std::function<bool(std::span<const uint8_t>, fields&)> parse;
  fields expected;
};
#define BODY(len, type, parse, expected, ...)              \
  {                                                        \
    len,                                                   \
        [](std::span<const uint8_t> p, fields& f) {        \
          type r{};                                        \
          return parse(p, r) && (f = {__VA_ARGS__}, true); \
        },                                                 \
        fields expected                                    \
  }
const body_case kBodies[] = {
    BODY(22, msg_header, msg_parse_header, ({0x03020100, 0x07060504, 0x0B0A0908, 14}), r.opcode,
         r.version, r.connection_handle, r.tag),
    BODY(42, msg_login_port_reply, msg_parse_login_port_reply, ({0x25242322, 0x29282726}),
         r.burst_size, r.mtu),
    BODY(42, msg_io_port_reply, msg_parse_io_port_reply, ({0x29282726}), r.mtu),
    BODY(36, msg_login_request, msg_parse_login_request, ({0x19, 0x1E}), r.client_mac[0],
         r.client_mac[5]),
    BODY(172, msg_login_reply, msg_parse_login_reply, ({0x27262524, 0x2B2A2928}),
         r.connection_handle, r.disk_handle),
    BODY(48, msg_io_select_reply, msg_parse_io_select_reply, ({0x1F1E1D1C}), r.vdisk_id),
    BODY(56, msg_uefi_login_reply, msg_parse_uefi_login_reply, ({0x2B2A2928}), r.vdisk_id),
    BODY(34, msg_service_request, msg_parse_service_request, ({0x19181716}), r.vdisk_id),
    BODY(82, msg_vdisk_info, msg_parse_vdisk_info_reply,
         ({0x0B0A0908, 0x232221201F1E1D1C, 0x27262524, 0x41403F3E, 0x45444342, 0x4746, 0x4948, 0x4A,
           0x51, 81}),
         r.connection_handle, r.sector_count, r.write_cache_type, r.key_suffix, r.guid.data1,
         r.guid.data2, r.guid.data3, r.guid.data4[0], r.guid.data4[7], r.raw[81]),
    BODY(36, msg_ext_read_request, msg_parse_ext_read_request,
         ({0x19181716, 0x1D1C1B1A21201F1E, 0x2322}), r.disk_handle, r.offset, r.length),
    BODY(48, msg_mio_read_request, msg_parse_mio_read_request,
         ({0x19181716, 0x1B1A, 0x1C, 0x25242322, 0x292827262D2C2B2A, 0x2F2E}), r.request_id,
         r.field_26, r.thread_id, r.disk_handle, r.offset, r.length),
};
#undef BODY

TEST(Messages, FixedBodiesCheckMinimumAndReadTheirFields) {
  for (const body_case& c : kBodies) {
    SCOPED_TRACE(&c - kBodies);  // the row
    fields f;
    EXPECT_FALSE(c.parse(pattern(c.min_len - 1), f));
    EXPECT_FALSE(c.parse(pattern(21), f));
    for (size_t len : {c.min_len, c.min_len + 17}) {
      f.clear();
      ASSERT_TRUE(c.parse(pattern(len), f)) << len;
      EXPECT_EQ(f, c.expected) << len;
    }
  }
  EXPECT_TRUE(msg_parse_heartbeat_reply(pattern(40)));
  EXPECT_FALSE(msg_parse_heartbeat_reply(pattern(39)));
  bytes short_header = pattern(21);
  EXPECT_FALSE(msg_set_tag(short_header, 0x11));
  EXPECT_EQ(msg_opcode(short_header), 0u);
}

// Read replies must match their stated lengths exactly.
TEST(Messages, ReadRepliesMustMatchTheirLengthExactly) {
  const std::pair<size_t, uint8_t> ext[] = {{39, 3}, {40, 3}, {38, 3}, {35, 0}, {36, 0}};
  for (auto [size, length] : ext) {
    bytes p = pattern(36);
    put(p, 34, {length, 0});
    p.resize(size, 0x24);
    msg_ext_read_reply r{};
    const bool exact = size == 36u + length;
    EXPECT_EQ(msg_parse_ext_read_reply(p, r), exact) << size;
    EXPECT_TRUE(!exact || bytes(r.data.begin(), r.data.end()) == bytes(p.begin() + 36, p.end()));
  }
  auto mio = [](size_t size) {
    bytes p = pattern(size);
    put(p, 50, {2, 0});  // two bytes of data
    return p;
  };
  msg_mio_read_reply r{};
  for (size_t size : {59u, 57u, 55u}) EXPECT_FALSE(msg_parse_mio_read_reply(mio(size), r)) << size;
  const bytes exact = mio(58);
  ASSERT_TRUE(msg_parse_mio_read_reply(exact, r));
  EXPECT_EQ((fields{r.request_id, r.thread_id, r.disk_handle, r.offset, r.length, r.fragment_offset,
                    r.fragment_number, r.fragment_count, r.data[1]}),
            (fields{0x19181716, 0x1C, 0x25242322, 0x292827262D2C2B2A, 0x2F2E, 0x3130, 0x3534,
                    0x3736, 57}));
}

// {payload, items before the verdict, well formed}.
TEST(Messages, TlvSequenceMustEndWithThePayload) {
  const std::tuple<bytes, size_t, bool> cases[] = {
      {tlv_payload({}), 0, true},
      {bytes(21), 0, false},
      {tlv_payload({0x09, 0, 4, 0, 0x2A, 0, 0, 0}), 1, true},
      {tlv_payload({0xC8, 0, 0, 0, 0x09, 0, 4, 0, 1, 0, 0, 0}), 2, true},
      {tlv_payload({0x09, 0, 1, 0, 0x2A, 0}), 1, false},
      {tlv_payload({0x09, 0, 1, 0, 0x2A, 0, 0, 0}), 1, false},
      {tlv_payload({0x09, 0, 4}), 0, false},
      {tlv_payload({0x09, 0, 5, 0, 1, 0, 0, 0}), 0, false},
      {tlv_payload({0x09, 0, 0xFF, 0xFF, 1}), 0, false},
  };
  for (const auto& [payload, count, well_formed] : cases) {
    SCOPED_TRACE(testing::PrintToString(payload));
    msg_tlv_walker w;
    msg_tlv_item item;
    msg_tlv_begin(payload, w);
    size_t n = 0;
    msg_tlv_step step;
    while ((step = msg_tlv_next(w, item)) == msg_tlv_step::item) ++n;
    EXPECT_EQ(n, count);
    EXPECT_EQ(step, well_formed ? msg_tlv_step::end : msg_tlv_step::malformed);
    EXPECT_EQ(msg_tlv_next(w, item), step) << "the verdict sticks";
    EXPECT_EQ(msg_tlv_well_formed(payload), well_formed);
  }
  const bytes value = {0x2A, 0x01, 0x00, 0x00, 0x00};
  for (size_t length : {4u, 3u, 5u, 0u}) {
    uint32_t id = 0;
    const msg_tlv_item vdisk_id{MSG_TLV_VDISK_ID, std::span(value).first(length)};
    EXPECT_EQ(msg_tlv_parse_vdisk_id(vdisk_id, id), length == 4) << length;
    EXPECT_EQ(id, length == 4 ? 0x12Au : 0u);
  }
}

// Each listed item of a UEFI service reply with a length it accepts or
// refuses; unlisted types are skipped whatever their length. (What the items
// carry, the engine test checks through the link they make.)
TEST(Messages, UefiServiceReplyItemLengths) {
  const std::tuple<uint8_t, uint8_t, bool> cases[] = {
      {101, 28, true},  {101, 40, true}, {101, 27, false}, {134, 4, true},  {134, 3, false},
      {134, 5, false},  {135, 8, false}, {138, 0, false},  {141, 24, true}, {141, 23, false},
      {141, 25, false}, {9, 1, true},    {200, 0, true}};
  for (auto [type, length, ok] : cases) {
    bytes p = tlv_payload({type, 0, length, 0});
    p.resize(p.size() + length);
    msg_uefi_service_reply r{};
    EXPECT_EQ(msg_parse_uefi_service_reply(p, r), ok) << +type << "/" << +length;
  }
  // The vDisk-info record the reply stands for keeps the header's handle
  // unless a connection-handle item overrides it.
  for (const bytes& items : {bytes{}, bytes{138, 0, 4, 0, 0x44, 0x33, 0x22, 0x11}}) {
    bytes p = tlv_payload(items);
    put(p, 8, {0xAA, 0xBB, 0xCC, 0xDD});
    msg_uefi_service_reply r{};
    msg_vdisk_info info{};
    ASSERT_TRUE(msg_parse_uefi_service_reply(p, r));
    ASSERT_TRUE(msg_uefi_service_reply_fill_vdisk_info(p, r, info));
    EXPECT_EQ(info.connection_handle, items.empty() ? 0xDDCCBBAAu : 0x11223344u);
  }
}

// Builders refuse a buffer or a request too small, and never write past
// what they report.
TEST(Messages, BuildersCheckTheirBounds) {
  const bytes request = pattern(48), data = {0xD0, 0xD1};
  bytes out(64, 0xEE);
  EXPECT_EQ(msg_build_ext_read_reply(out, request, data), 38u);
  EXPECT_EQ(out[38], 0xEE);
  EXPECT_EQ(msg_build_ext_read_reply(std::span(out).first(37), request, data), 0u);
  EXPECT_EQ(msg_build_ext_read_reply(out, std::span(request).first(33), data), 0u);
  bytes huge(65536), big_out(36 + huge.size());
  EXPECT_EQ(msg_build_ext_read_reply(big_out, request, huge), 0u);
  EXPECT_EQ(msg_build_ext_read_reply(big_out, request, std::span(huge).first(65535)), 65571u);
  // The cache may read straight into the reply's data area.
  bytes in_place(38, 0xEE);
  put(in_place, 36, {0xD0, 0xD1});
  ASSERT_EQ(msg_build_ext_read_reply(in_place, request, std::span(in_place).subspan(36)), 38u);
  EXPECT_EQ(bytes(in_place.begin() + 34, in_place.end()), (bytes{0x02, 0x00, 0xD0, 0xD1}));

  EXPECT_EQ(msg_build_mio_read_reply(out, request, {1444, 2, 12}, data), 58u);
  EXPECT_EQ(out[58], 0xEE);
  EXPECT_EQ(msg_build_mio_read_reply(std::span(out).first(57), request, {0, 1, 1}, data), 0u);
  EXPECT_EQ(msg_build_mio_read_reply(out, std::span(request).first(47), {0, 1, 1}, data), 0u);
  EXPECT_EQ(msg_build_forced_relogon_reply(std::span(out).first(55), request), 0u);
  EXPECT_EQ(msg_build_forced_relogon_reply(out, std::span(request).first(37)), 0u);

  // Prepopulation requests (the prepopulation run checks the layout against
  // the server simulator, which ignores the version): the version follows the
  // login's flavour, and the thread id carries the prepopulation bit.
  msg_prepop_request req = {true, 0x01020304, 0x0A0B0C0D, 0x05, 0x11223344u, 1ull << 32, 0x4000};
  out.assign(64, 0xEE);
  ASSERT_EQ(msg_build_prepop_mio_request(out, req), 48u);
  EXPECT_EQ(msg_opcode(out), IOS_READ_MIO_REQUEST_CODE);
  EXPECT_EQ((fields{msg_version(out), out[28], out[48]}), (fields{4, 0x85, 0xEE}));
  req.tlv_login = false;
  ASSERT_EQ(msg_build_prepop_mio_request(out, req), 48u);
  EXPECT_EQ(msg_version(out), 3u);
  EXPECT_EQ(msg_build_prepop_mio_request(std::span(out).first(47), req), 0u);
}

}  // namespace
