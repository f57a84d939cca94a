#include "protocol/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <vector>

#include "protocol/opcodes.h"

namespace {

using bytes = std::vector<uint8_t>;

// A payload whose byte i is i (mod 256): a field read from the wrong offset
// shows up as the wrong value.
bytes pattern(size_t n) {
  bytes p(n);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i);
  return p;
}

void put(bytes& p, size_t off, std::initializer_list<uint8_t> v) {
  if (p.size() < off + v.size()) p.resize(off + v.size());
  std::copy(v.begin(), v.end(), p.begin() + static_cast<std::ptrdiff_t>(off));
}

// A 22-byte header followed by the given TLV bytes.
bytes tlv_payload(std::initializer_list<uint8_t> items) {
  bytes p(TARN_HEADER_LEN);
  put(p, 0, {0x1D, 0x00, 0x80, 0x80});
  put(p, TARN_HEADER_LEN, items);
  return p;
}

TEST(Messages, LoadsAndStoresStayInsideTheSpan) {
  const bytes buf = {0x44, 0x33, 0x22, 0x11, 0x01, 0x00, 0x00, 0x00};
  uint16_t v16 = 0;
  uint32_t v32 = 0;
  uint64_t v64 = 0;
  uint8_t v8 = 0;
  EXPECT_TRUE(msg_load_u32(buf, 0, &v32));
  EXPECT_EQ(v32, 0x11223344u);
  EXPECT_TRUE(msg_load_u64(buf, 0, &v64));
  EXPECT_EQ(v64, 0x0000000111223344u);
  EXPECT_TRUE(msg_load_u16(buf, 6, &v16));
  EXPECT_TRUE(msg_load_u8(buf, 7, &v8));
  EXPECT_FALSE(msg_load_u32(buf, 5, &v32));
  EXPECT_FALSE(msg_load_u64(buf, 1, &v64));
  EXPECT_FALSE(msg_load_u16(buf, 7, &v16));
  EXPECT_FALSE(msg_load_u8(buf, 8, &v8));
  EXPECT_FALSE(msg_load_u32(buf, SIZE_MAX - 1, &v32));
  EXPECT_FALSE(msg_load_offset(buf, 1, &v64));

  bytes out(8, 0xEE);
  EXPECT_TRUE(msg_store_u32(out, 1, 0x11223344));
  EXPECT_EQ(out, (bytes{0xEE, 0x44, 0x33, 0x22, 0x11, 0xEE, 0xEE, 0xEE}));
  // A store that does not fit writes nothing at all.
  EXPECT_FALSE(msg_store_u32(out, 5, 0));
  EXPECT_FALSE(msg_store_offset(out, 1, 0));
  EXPECT_EQ(out, (bytes{0xEE, 0x44, 0x33, 0x22, 0x11, 0xEE, 0xEE, 0xEE}));
}

TEST(Messages, OffsetsTravelHighHalfFirst) {
  bytes out(8, 0xEE);
  ASSERT_TRUE(msg_store_offset(out, 0, 0x0000000100000000u));
  EXPECT_EQ(out, (bytes{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  ASSERT_TRUE(msg_store_offset(out, 0, 0x0123456789ABCDEFu));
  EXPECT_EQ(out, (bytes{0x67, 0x45, 0x23, 0x01, 0xEF, 0xCD, 0xAB, 0x89}));

  bytes req(36);
  put(req, 26, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
  msg_ext_read_request r{};
  ASSERT_TRUE(msg_parse_ext_read_request(req, r));
  EXPECT_EQ(r.offset, 0x0000000100000000u);
}

TEST(Messages, HeaderNeedsTwentyTwoBytes) {
  bytes p = {0x02, 0x00, 0x20, 0x40, 0x04, 0x00, 0x00, 0x00, 0x78, 0x56, 0x34,
             0x92, 0xAA, 0xBB, 0x5C, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  ASSERT_EQ(p.size(), 21u);
  msg_header h{};
  EXPECT_FALSE(msg_is_message(p));
  EXPECT_FALSE(msg_parse_header(p, h));
  EXPECT_EQ(msg_opcode(p), 0u);
  EXPECT_EQ(msg_connection_handle(p), 0u);
  EXPECT_FALSE(msg_set_tag(p, 0x11));
  EXPECT_EQ(p[14], 0x5C);

  p.push_back(0x07);
  ASSERT_TRUE(msg_parse_header(p, h));
  EXPECT_EQ(h.opcode, 0x40200002u);
  EXPECT_EQ(h.version, 4u);
  EXPECT_EQ(h.connection_handle, 0x92345678u);
  EXPECT_EQ(h.tag, 0x5C);
  EXPECT_EQ(msg_opcode(p), IOS_READ_MIO_REQUEST_CODE);
  EXPECT_EQ(msg_version(p), 4u);
  EXPECT_EQ(msg_connection_handle(p), 0x92345678u);
  EXPECT_EQ(msg_tag(p), 0x5C);

  bytes tagged = p;
  ASSERT_TRUE(msg_set_tag(tagged, 0x11));
  p[14] = 0x11;
  EXPECT_EQ(tagged, p);
}

// Every fixed-layout body: its minimum length and the fields it yields from
// a payload whose byte i is i.
struct body_case {
  const char* name;
  size_t min_len;
  std::function<bool(std::span<const uint8_t>, std::vector<uint64_t>&)> parse;
  std::vector<uint64_t> expected;
};

const body_case kBodies[] = {
    {"login port reply",
     42,
     [](auto p, auto& f) {
       msg_login_port_reply r{};
       if (!msg_parse_login_port_reply(p, r)) return false;
       f = {r.burst_size, r.mtu};
       return true;
     },
     {0x25242322, 0x29282726}},
    {"io port reply",
     42,
     [](auto p, auto& f) {
       msg_io_port_reply r{};
       if (!msg_parse_io_port_reply(p, r)) return false;
       f = {r.mtu};
       return true;
     },
     {0x29282726}},
    {"login request",
     36,
     [](auto p, auto& f) {
       msg_login_request r{};
       if (!msg_parse_login_request(p, r)) return false;
       f.assign(r.client_mac.begin(), r.client_mac.end());
       return true;
     },
     {0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E}},
    {"login reply",
     172,
     [](auto p, auto& f) {
       msg_login_reply r{};
       if (!msg_parse_login_reply(p, r)) return false;
       f = {r.connection_handle, r.disk_handle};
       return true;
     },
     {0x27262524, 0x2B2A2928}},
    {"io select reply",
     48,
     [](auto p, auto& f) {
       msg_io_select_reply r{};
       if (!msg_parse_io_select_reply(p, r)) return false;
       f = {r.vdisk_id};
       return true;
     },
     {0x1F1E1D1C}},
    {"uefi login reply",
     56,
     [](auto p, auto& f) {
       msg_uefi_login_reply r{};
       if (!msg_parse_uefi_login_reply(p, r)) return false;
       f = {r.vdisk_id};
       return true;
     },
     {0x2B2A2928}},
    {"service request",
     34,
     [](auto p, auto& f) {
       msg_service_request r{};
       if (!msg_parse_service_request(p, r)) return false;
       f = {r.vdisk_id};
       return true;
     },
     {0x19181716}},
    {"heartbeat reply", 40, [](auto p, auto&) { return msg_parse_heartbeat_reply(p); }, {}},
    {"vdisk info reply v2",
     82,
     [](auto p, auto& f) {
       msg_vdisk_info r{};
       if (!msg_parse_vdisk_info_reply(p, r)) return false;
       f = {r.connection_handle, r.sector_count, r.write_cache_type, r.key_suffix,
            r.guid.data1,        r.guid.data2,   r.guid.data3};
       f.insert(f.end(), r.guid.data4.begin(), r.guid.data4.end());
       f.push_back(std::equal(r.raw.begin(), r.raw.end(), p.begin()));
       return true;
     },
     {0x0B0A0908, 0x232221201F1E1D1C, 0x27262524, 0x41403F3E, 0x45444342, 0x4746, 0x4948, 0x4A,
      0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x50, 0x51, 1}},
    {"ext read request",
     36,
     [](auto p, auto& f) {
       msg_ext_read_request r{};
       if (!msg_parse_ext_read_request(p, r)) return false;
       f = {r.disk_handle, r.offset, r.length};
       return true;
     },
     {0x19181716, 0x1D1C1B1A21201F1E, 0x2322}},
    {"mio read request",
     48,
     [](auto p, auto& f) {
       msg_mio_read_request r{};
       if (!msg_parse_mio_read_request(p, r)) return false;
       f = {r.request_id, r.field_26, r.thread_id, r.disk_handle, r.offset, r.length};
       return true;
     },
     {0x19181716, 0x1B1A, 0x1C, 0x25242322, 0x292827262D2C2B2A, 0x2F2E}},
};

TEST(Messages, FixedBodiesCheckMinimumAndReadTheirFields) {
  for (const body_case& c : kBodies) {
    SCOPED_TRACE(c.name);
    std::vector<uint64_t> fields;
    EXPECT_FALSE(c.parse(pattern(c.min_len - 1), fields));
    EXPECT_FALSE(c.parse(pattern(21), fields));
    for (size_t len : {c.min_len, c.min_len + 17}) {
      fields.clear();
      ASSERT_TRUE(c.parse(pattern(len), fields)) << len;
      EXPECT_EQ(fields, c.expected) << len;
    }
  }
}

TEST(Messages, ExtReadReplyMustMatchItsLengthExactly) {
  bytes p = {0x00, 0x00, 0x20, 0x80, 0x03, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x00,
             0x00, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAA, 0x00, 0x00, 0x00,
             0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x03, 0x00, 0xDE, 0xAD, 0xBE};
  msg_ext_read_reply r{};
  ASSERT_TRUE(msg_parse_ext_read_reply(p, r));
  EXPECT_EQ(r.disk_handle, 0xAAu);
  EXPECT_EQ(r.offset, 0x0000000100000200u);
  EXPECT_EQ(r.length, 3u);
  EXPECT_EQ(bytes(r.data.begin(), r.data.end()), (bytes{0xDE, 0xAD, 0xBE}));

  bytes longer = p;
  longer.push_back(0x00);
  EXPECT_FALSE(msg_parse_ext_read_reply(longer, r));
  for (size_t len : {38u, 36u, 35u})
    EXPECT_FALSE(msg_parse_ext_read_reply(std::span(p).first(len), r)) << len;

  bytes empty(p.begin(), p.begin() + 36);
  put(empty, 34, {0x00, 0x00});
  ASSERT_TRUE(msg_parse_ext_read_reply(empty, r));
  EXPECT_TRUE(r.data.empty());
}

TEST(Messages, MioReadReplyMustMatchItsFragmentLengthExactly) {
  bytes p(56);
  put(p, 0, {0x02, 0x00, 0x20, 0x80, 0x03, 0x00, 0x00, 0x00});
  put(p, 22, {0x07, 0x00, 0x00, 0x00});
  put(p, 28, {0x81});
  put(p, 34, {0xAA, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x40});
  put(p, 48, {0xA4, 0x05, 0x02, 0x00, 0x02, 0x00, 0x0C, 0x00, 0x5A, 0xA5});
  ASSERT_EQ(p.size(), 58u);

  msg_mio_read_reply r{};
  ASSERT_TRUE(msg_parse_mio_read_reply(p, r));
  EXPECT_EQ(r.request_id, 7u);
  EXPECT_EQ(r.thread_id, 0x81);
  EXPECT_EQ(r.disk_handle, 0xAAu);
  EXPECT_EQ(r.offset, 0x1000u);
  EXPECT_EQ(r.length, 0x4000u);
  EXPECT_EQ(r.fragment_offset, 1444u);
  EXPECT_EQ(r.fragment_length, 2u);
  EXPECT_EQ(r.fragment_number, 2u);
  EXPECT_EQ(r.fragment_count, 12u);
  EXPECT_EQ(bytes(r.data.begin(), r.data.end()), (bytes{0x5A, 0xA5}));

  bytes longer = p;
  longer.push_back(0x00);
  EXPECT_FALSE(msg_parse_mio_read_reply(longer, r));
  for (size_t len : {57u, 56u, 55u})
    EXPECT_FALSE(msg_parse_mio_read_reply(std::span(p).first(len), r)) << len;
}

TEST(Messages, TlvSequenceMustEndWithThePayload) {
  struct {
    const char* name;
    bytes payload;
    size_t items;
    bool well_formed;
  } cases[] = {
      {"empty", tlv_payload({}), 0, true},
      {"one item", tlv_payload({0x09, 0x00, 0x04, 0x00, 0x2A, 0x00, 0x00, 0x00}), 1, true},
      {"empty value then item",
       tlv_payload({0xC8, 0x00, 0x00, 0x00, 0x09, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00}), 2,
       true},
      {"one stray byte", tlv_payload({0x09, 0x00, 0x01, 0x00, 0x2A, 0x00}), 1, false},
      {"two stray bytes", tlv_payload({0x09, 0x00, 0x01, 0x00, 0x2A, 0x00, 0x00}), 1, false},
      {"three stray bytes", tlv_payload({0x09, 0x00, 0x01, 0x00, 0x2A, 0x00, 0x00, 0x00}), 1,
       false},
      {"only stray bytes", tlv_payload({0x09, 0x00, 0x04}), 0, false},
      {"value overruns", tlv_payload({0x09, 0x00, 0x05, 0x00, 0x01, 0x00, 0x00, 0x00}), 0, false},
      {"length near 64k", tlv_payload({0x09, 0x00, 0xFF, 0xFF, 0x01}), 0, false},
      {"not a message", bytes(21), 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    msg_tlv_walker w;
    msg_tlv_item item;
    msg_tlv_begin(c.payload, w);
    size_t items = 0;
    msg_tlv_step step;
    while ((step = msg_tlv_next(w, item)) == msg_tlv_step::item) ++items;
    EXPECT_EQ(items, c.items);
    EXPECT_EQ(step, c.well_formed ? msg_tlv_step::end : msg_tlv_step::malformed);
    // The verdict sticks once reached.
    EXPECT_EQ(msg_tlv_next(w, item), step);
    EXPECT_EQ(msg_tlv_well_formed(c.payload), c.well_formed);
  }
}

TEST(Messages, TlvVdiskIdItemNeedsFourBytes) {
  const bytes value = {0x2A, 0x01, 0x00, 0x00, 0x00};
  struct {
    size_t length;
    bool ok;
  } cases[] = {{4, true}, {3, false}, {5, false}, {0, false}};
  for (const auto& c : cases) {
    uint32_t id = 0;
    msg_tlv_item item{MSG_TLV_VDISK_ID, std::span(value).first(c.length)};
    EXPECT_EQ(msg_tlv_parse_vdisk_id(item, id), c.ok) << c.length;
    if (c.ok) {
      EXPECT_EQ(id, 0x12Au);
    }
  }
}

bytes full_uefi_reply() {
  return tlv_payload({
      // vDisk parameters, L = 28.
      0x65, 0x00, 0x1C, 0x00,                          //
      0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x00, 0x00,  // disk handle @2
      0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x02, 0x00,  // sectors low @10, high @14
      0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00,  // write cache type @18
      0x00, 0x00, 0x00, 0x00,                          //
      // MTU 1500, burst size 16384, connection handle 0xDEADBEEF.
      0x86, 0x00, 0x04, 0x00, 0xDC, 0x05, 0x00, 0x00,  //
      0x87, 0x00, 0x04, 0x00, 0x00, 0x40, 0x00, 0x00,  //
      0x8A, 0x00, 0x04, 0x00, 0xEF, 0xBE, 0xAD, 0xDE,  //
      // vDisk identity, L = 24: key suffix @4, GUID @8.
      0x8D, 0x00, 0x18, 0x00,                          //
      0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00,  //
      0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE,  //
      0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  //
      // Unlisted types, skipped whatever their length.
      0xC8, 0x00, 0x03, 0x00, 0xFF, 0xFF, 0xFF,  //
      0x09, 0x00, 0x02, 0x00, 0xFF, 0xFF,        //
  });
}

TEST(Messages, UefiServiceReplyReadsEveryListedItem) {
  msg_uefi_service_reply r{};
  ASSERT_TRUE(msg_parse_uefi_service_reply(full_uefi_reply(), r));
  EXPECT_TRUE(r.has_vdisk_params);
  EXPECT_EQ(r.disk_handle, 0x44332211u);
  EXPECT_EQ(r.sector_count, 0x0000000200000010u);
  EXPECT_EQ(r.write_cache_type, 3u);
  EXPECT_TRUE(r.has_mtu);
  EXPECT_EQ(r.mtu, 1500u);
  EXPECT_TRUE(r.has_burst_size);
  EXPECT_EQ(r.burst_size, 16384u);
  EXPECT_TRUE(r.has_connection_handle);
  EXPECT_EQ(r.connection_handle, 0xDEADBEEFu);
  EXPECT_TRUE(r.has_vdisk_identity);
  EXPECT_EQ(r.key_suffix, 7u);
  EXPECT_EQ(r.guid.data1, 0x12345678u);
  EXPECT_EQ(r.guid.data2, 0x9ABCu);
  EXPECT_EQ(r.guid.data3, 0xDEF0u);
  EXPECT_EQ(r.guid.data4, (std::array<uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}));

  ASSERT_TRUE(msg_parse_uefi_service_reply(tlv_payload({}), r));
  EXPECT_FALSE(r.has_vdisk_params || r.has_mtu || r.has_burst_size || r.has_connection_handle ||
               r.has_vdisk_identity);
}

TEST(Messages, UefiServiceReplyItemLengths) {
  struct {
    uint16_t type;
    uint16_t length;
    bool ok;
  } cases[] = {
      {101, 28, true},  {101, 40, true}, {101, 27, false}, {134, 4, true},  {134, 3, false},
      {134, 5, false},  {135, 8, false}, {138, 0, false},  {141, 24, true}, {141, 23, false},
      {141, 25, false}, {9, 1, true},    {200, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << "/" << c.length);
    bytes p = tlv_payload({static_cast<uint8_t>(c.type), static_cast<uint8_t>(c.type >> 8),
                           static_cast<uint8_t>(c.length), static_cast<uint8_t>(c.length >> 8)});
    p.resize(p.size() + c.length);
    msg_uefi_service_reply r{};
    EXPECT_EQ(msg_parse_uefi_service_reply(p, r), c.ok);
  }

  // Items ahead of a fault stay applied; the faulty one is not.
  msg_uefi_service_reply r{};
  EXPECT_FALSE(
      msg_parse_uefi_service_reply(tlv_payload({0x86, 0x00, 0x04, 0x00, 0xDC, 0x05, 0x00, 0x00,  //
                                                0x87, 0x00, 0x02, 0x00, 0x00, 0x40}),
                                   r));
  EXPECT_TRUE(r.has_mtu);
  EXPECT_EQ(r.mtu, 1500u);
  EXPECT_FALSE(r.has_burst_size);
}

TEST(Messages, UefiServiceReplyFillsTheVdiskInfoRecord) {
  bytes p = full_uefi_reply();
  put(p, 4, {0x04, 0x00, 0x00, 0x00, 0x11, 0x11, 0x11, 0x11});
  msg_uefi_service_reply r{};
  ASSERT_TRUE(msg_parse_uefi_service_reply(p, r));
  msg_vdisk_info info{};
  ASSERT_TRUE(msg_uefi_service_reply_fill_vdisk_info(p, r, info));

  bytes expected(82);
  put(expected, 0, {0x1D, 0x00, 0x80, 0x80, 0x04, 0x00, 0x00, 0x00, 0xEF, 0xBE, 0xAD, 0xDE});
  put(expected, 28, {0x10, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00});
  put(expected, 62, {0x07, 0x00, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A,
                     0xF0, 0xDE, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08});
  EXPECT_EQ(bytes(info.raw.begin(), info.raw.end()), expected);
  EXPECT_EQ(info.connection_handle, 0xDEADBEEFu);
  EXPECT_EQ(info.sector_count, 0x0000000200000010u);
  EXPECT_EQ(info.write_cache_type, 3u);
  EXPECT_EQ(info.key_suffix, 7u);

  // Without items the record is the header and zeros.
  const msg_uefi_service_reply none{};
  ASSERT_TRUE(msg_uefi_service_reply_fill_vdisk_info(p, none, info));
  bytes header_only(82);
  put(header_only, 0, {0x1D, 0x00, 0x80, 0x80, 0x04, 0x00, 0x00, 0x00, 0x11, 0x11, 0x11, 0x11});
  EXPECT_EQ(bytes(info.raw.begin(), info.raw.end()), header_only);
  EXPECT_FALSE(msg_uefi_service_reply_fill_vdisk_info(bytes(21), none, info));
}

TEST(Messages, BuildExtReadReply) {
  const bytes request = pattern(36);
  const bytes data = {0xD0, 0xD1};
  const bytes expected = {0x00, 0x00, 0x20, 0x80, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                          0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13,
                          0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D,
                          0x1E, 0x1F, 0x20, 0x21, 0x02, 0x00, 0xD0, 0xD1};

  bytes out(64, 0xEE);
  ASSERT_EQ(msg_build_ext_read_reply(out, request, data), 38u);
  EXPECT_EQ(bytes(out.begin(), out.begin() + 38), expected);
  EXPECT_EQ(out[38], 0xEE);

  // The cache may read straight into the reply's data area.
  bytes in_place(38, 0xEE);
  put(in_place, 36, {0xD0, 0xD1});
  ASSERT_EQ(msg_build_ext_read_reply(in_place, request, std::span(in_place).subspan(36)), 38u);
  EXPECT_EQ(in_place, expected);

  bytes small(37);
  EXPECT_EQ(msg_build_ext_read_reply(small, request, data), 0u);
  EXPECT_EQ(msg_build_ext_read_reply(out, std::span(request).first(33), data), 0u);
  bytes huge(65536);
  bytes big_out(36 + huge.size());
  EXPECT_EQ(msg_build_ext_read_reply(big_out, request, huge), 0u);
  EXPECT_EQ(msg_build_ext_read_reply(big_out, request, std::span(huge).first(65535)), 65571u);
}

TEST(Messages, BuildMioReadReplyFragment) {
  const bytes request = pattern(48);
  const bytes data = {0xE0, 0xE1, 0xE2};
  const bytes expected = {0x02, 0x00, 0x20, 0x80, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B,
                          0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                          0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23,
                          0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,
                          0xA4, 0x05, 0x03, 0x00, 0x02, 0x00, 0x0C, 0x00, 0xE0, 0xE1, 0xE2};

  bytes out(64, 0xEE);
  ASSERT_EQ(msg_build_mio_read_reply(out, request, {1444, 2, 12}, data), 59u);
  EXPECT_EQ(bytes(out.begin(), out.begin() + 59), expected);
  EXPECT_EQ(out[59], 0xEE);

  // What the daemon sends must read back as a well-formed reply.
  msg_mio_read_reply r{};
  ASSERT_TRUE(msg_parse_mio_read_reply(std::span(out).first(59), r));
  EXPECT_EQ(r.length, 0x2F2Eu);
  EXPECT_EQ(r.fragment_length, 3u);

  bytes small(58);
  EXPECT_EQ(msg_build_mio_read_reply(small, request, {0, 1, 1}, data), 0u);
  EXPECT_EQ(msg_build_mio_read_reply(out, std::span(request).first(47), {0, 1, 1}, data), 0u);
}

TEST(Messages, BuildForcedRelogonReply) {
  bytes request = pattern(48);
  put(request, 0, {0x02, 0x00, 0x20, 0x40});
  const bytes expected = {0x02, 0x00, 0x20, 0x80, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x8B,
                          0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                          0x18, 0x19, 0xFF, 0xFF, 0x1C, 0x1D, 0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23,
                          0x24, 0x25, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

  bytes out(56, 0xEE);
  ASSERT_EQ(msg_build_forced_relogon_reply(out, request), 56u);
  EXPECT_EQ(out, expected);

  bytes small(55);
  EXPECT_EQ(msg_build_forced_relogon_reply(small, request), 0u);
  EXPECT_EQ(msg_build_forced_relogon_reply(out, std::span(request).first(37)), 0u);
}

TEST(Messages, BuildPrepopulationMioRequest) {
  const msg_prepop_request req = {true,        0x01020304,          0x0A0B0C0D, 0x05,
                                  0x11223344u, 0x0000000100000000u, 0x4000};
  const bytes expected = {0x02, 0x00, 0x20, 0x40, 0x04, 0x00, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x0C,
                          0x0B, 0x0A, 0x01, 0x00, 0x85, 0x00, 0x00, 0x00, 0x00, 0x00, 0x44, 0x33,
                          0x22, 0x11, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40};

  bytes out(64, 0xEE);
  ASSERT_EQ(msg_build_prepop_mio_request(out, req), 48u);
  EXPECT_EQ(bytes(out.begin(), out.begin() + 48), expected);
  EXPECT_EQ(out[48], 0xEE);

  msg_prepop_request classic = req;
  classic.tlv_login = false;
  classic.thread_id = 0x83;
  ASSERT_EQ(msg_build_prepop_mio_request(out, classic), 48u);
  EXPECT_EQ(msg_version(out), 3u);
  EXPECT_EQ(out[28], 0x83);

  bytes small(47);
  EXPECT_EQ(msg_build_prepop_mio_request(small, req), 0u);
}

}  // namespace
