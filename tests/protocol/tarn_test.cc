// The engine driven datagram by datagram: a small message builder, a client of
// a site whose cache lives in a temporary directory, and a recording sender in
// place of the network. Each case checks the verdict, what was sent, what the
// cache holds and what was counted.
#include "protocol/tarn.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "../cache/chunks_fixture.h"
#include "cache/chunks.h"
#include "contexts/proxy_context.h"
#include "control/lifecycle.h"
#include "protocol/opcodes.h"
#include "support/log_capture.h"
#include "support/wire_builder.h"

namespace {

using tarn_test::address;
using tarn_test::bytes;
using tarn_test::le16;
using tarn_test::le32;
using tarn_test::le_value;
using tarn_test::msg;

constexpr uint32_t VDISK_ID = 7;
constexpr uint32_t HANDLE = 0x1234;
constexpr uint32_t DISK = 0x55;
constexpr uint64_t SECTORS = 8192;  // 4 MiB
const char* SERVER_IP = "198.18.0.20";
const char* CLIENT_IP = "198.18.0.101";
const uint8_t CLIENT_MAC[6] = {0x02, 0, 0, 0, 0x01, 0x01};

struct sent_datagram {
  sockaddr_in src, dst;
  bytes payload;
};

struct recorder {
  std::vector<sent_datagram> sent;
  bool fail = false;
  static ssize_t send(void* arg, const sockaddr_in* src, const sockaddr_in* dst, const void* p,
                      size_t len) {
    auto* self = static_cast<recorder*>(arg);
    if (self->fail) return -1;
    const auto* c = static_cast<const uint8_t*>(p);
    self->sent.push_back({*src, *dst, bytes(c, c + len)});
    return static_cast<ssize_t>(len);
  }
};

class Engine : public ::testing::Test {
 protected:
  chunks_test::temp_dir dir;
  chunks_test::store st{dir.path, 1 << 20};
  client_context* cc = nullptr;
  recorder rec;
  tarn_sender sender{recorder::send, &rec};
  sockaddr_in server = address(SERVER_IP, 6905);
  sockaddr_in client = address(CLIENT_IP, 40000);
  bytes image;

  void SetUp() override {
    // The recorded lines are the process's: start every case without the
    // lines of the ones before.
    tarn_test::log_capture().clear();
    st.ctx.opcode_names = opcode_names_create();
    server_contexts_init(&st.ctx);
    uint32_t a;
    inet_pton(AF_INET, SERVER_IP, &a);
    ASSERT_NE(server_contexts_create(&st.ctx, &st.site, "0d7c8a9e-0000-4000-8000-000000000001", &a,
                                     1, 6910, 6900),
              nullptr);
    cc = st.add_client("");
    cc->vdisk_key[0] = '\0';
    std::memcpy(cc->mac.data(), CLIENT_MAC, 6);
    std::mt19937_64 rng(42);
    image = chunks_test::random_bytes(rng, SECTORS * 512);
  }
  void TearDown() override {
    client_context_set_vdisk_key(cc, "");
    client_contexts_destroy(&st.ctx);
    server_contexts_destroy(&st.ctx);
  }

  int to_server(bytes& p) {
    tarn_frame f{};
    std::memcpy(f.src_mac, CLIENT_MAC, 6);
    f.src = client;
    f.dst = server;
    return tarn_process_packet(&st.ctx, &sender, cc, &f, p.data(), p.size());
  }
  int to_client(bytes& p, const sockaddr_in* from = nullptr) {
    tarn_frame f{};
    std::memcpy(f.dst_mac, CLIENT_MAC, 6);
    f.src = from ? *from : server;
    f.dst = client;
    return tarn_process_packet(&st.ctx, &sender, cc, &f, p.data(), p.size());
  }
  int to_server(msg m) { return to_server(m.b); }
  int to_client(msg m) { return to_client(m.b); }

  msg vdisk_info_v2(uint32_t handle, uint32_t write_cache_type = 1, uint32_t suffix = 9) {
    msg m(LS_GET_VDISK_INFO_REPLY_CODE_V2, 90);
    m.u32(8, handle).u32(28, static_cast<uint32_t>(SECTORS)).u32(32, 0).u32(36, write_cache_type);
    m.u32(62, suffix).u32(66, 0xA1B2C3D4).u16(70, 0x1111).u16(72, 0x2222);
    for (int i = 0; i < 8; i++) m.u8(74 + i, static_cast<uint8_t>(i + 1));
    return m;
  }

  // The classic login conversation, up to the link.
  void login(uint32_t handle = HANDLE, uint32_t disk = DISK, uint32_t mtu = 1500) {
    ASSERT_EQ(to_client(msg(LS_LOGIN_PORT_REPLY_CODE, 42).u32(34, 32768).u32(38, mtu)), 1);
    ASSERT_EQ(to_server(msg(LS_LOGIN_REQUEST_CODE, 40).data(25, bytes(CLIENT_MAC, CLIENT_MAC + 6))),
              1);
    ASSERT_EQ(to_client(msg(LS_LOGIN_REPLY_CODE, 172).u32(8, handle).u32(36, handle).u32(40, disk)),
              1);
    ASSERT_EQ(to_client(msg(LS_IO_SELECT_REPLY_CODE, 48).u32(28, VDISK_ID)), 1);
    ASSERT_EQ(to_server(msg(LS_SERVICE_REQUEST_CODE, 34).u32(22, VDISK_ID)), 1);
    ASSERT_EQ(to_client(vdisk_info_v2(handle)), 1);
  }

  msg ext_request(uint64_t offset, uint16_t length, uint32_t handle = HANDLE) {
    return msg(IOS_READ_EXT_REQUEST_CODE, 36)
        .u32(8, handle)
        .u16(12, 0xBEEF)
        .u32(22, DISK)
        .offset(26, offset)
        .u16(34, length)
        .u8(20, 0x77);
  }
  // The server's answer to `request` (its header echoed, tag included).
  bytes ext_reply(const bytes& request) {
    uint16_t length = le16(&request[34]);
    uint64_t offset = (uint64_t{le32(&request[26])} << 32) | le32(&request[30]);
    bytes r(36 + length);
    std::memcpy(r.data(), request.data(), 36);
    std::memcpy(r.data(), le_value(IOS_READ_EXT_REPLY_CODE).data(), 4);
    if (offset >= 512) std::memcpy(r.data() + 36, image.data() + offset - 512, length);
    return r;
  }
  msg mio_request(uint8_t thread, uint32_t id, uint64_t offset, uint16_t length,
                  uint32_t version = 3) {
    return msg(IOS_READ_MIO_REQUEST_CODE, 48)
        .u32(4, version)
        .u32(8, HANDLE)
        .u32(22, id)
        .u16(26, 1)
        .u8(28, thread)
        .u32(34, DISK)
        .offset(38, offset)
        .u16(46, length);
  }
  // Fragment `number` (from 1) of the server's reply, room bytes each.
  bytes mio_fragment(const bytes& request, uint16_t number, uint32_t room = 1444) {
    uint16_t length = le16(&request[46]);
    uint64_t offset = (uint64_t{le32(&request[38])} << 32) | le32(&request[42]);
    uint16_t count = static_cast<uint16_t>((length + room - 1) / room);
    uint32_t at = (number - 1) * room;
    uint16_t n = static_cast<uint16_t>(std::min<uint32_t>(room, length - at));
    msg m(IOS_READ_MIO_REPLY_CODE, 56 + n);
    std::memcpy(m.b.data() + 4, request.data() + 4, 44);
    m.u16(48, static_cast<uint16_t>(at)).u16(50, n).u16(52, number).u16(54, count);
    std::memcpy(m.b.data() + 56, image.data() + offset - 512 + at, n);
    return m.b;
  }

  bytes cached(uint64_t vdisk_offset, size_t n) {
    bytes out(n);
    int32_t got = cache_get_data(&st.ctx, cc, vdisk_offset, out.data(), n);
    return got == static_cast<int32_t>(n) ? out : bytes{};
  }
  bytes slice(uint64_t vdisk_offset, size_t n) {
    return bytes(image.begin() + vdisk_offset, image.begin() + vdisk_offset + n);
  }
  void prime_activity() { cc->last_server_activity = g_get_real_time() / G_USEC_PER_SEC; }
};

TEST_F(Engine, ClassicLoginLinksTheClientWithItsVdisk) {
  tarn_test::log_capture logs;
  login();
  EXPECT_STREQ(cc->vdisk_key, "7-2712847316-4369-8738-1-2-3-4-9");
  EXPECT_EQ(cc->status.load(), CLIENTSTATUS_INITIALISED);
  EXPECT_EQ(cc->packet_size, 1500u);
  EXPECT_EQ(cc->burst_size, 32768u);
  EXPECT_FALSE(cc->login_pending);
  vdisk_context* vc = vdisk_contexts_get(&st.ctx, cc);
  ASSERT_NE(vc, nullptr);
  EXPECT_EQ(vc->state.lock()->size, SECTORS * 512);
  EXPECT_EQ(vc->state.lock()->end_offset, SECTORS * 512 + 512);
  vdisk_contexts_put(&st.ctx, vc);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_MESSAGE,
                            "Client " + cc->uuid + " - linked with vdisk_key 7-2712847316"));
  // Port and login messages are named in the log; the bytes were counted.
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_MESSAGE, "Packet: LS_LOGIN_REPLY_CODE"));
  EXPECT_EQ(st.ctx.metrics.client_sent_b.load(), 40u + 34u);
  EXPECT_EQ(cc->metrics.server_sent_b.load(), 42u + 172u + 48u + 90u);

  // A service request for the same vDisk keeps the link but refreshes the
  // relogon count and the client address.
  cc->relogon_count = 3;
  client = address(CLIENT_IP, 40001);
  EXPECT_EQ(to_server(msg(LS_SERVICE_REQUEST_CODE, 34).u32(22, VDISK_ID)), 1);
  EXPECT_EQ(cc->relogon_count.load(), 0u);
  EXPECT_EQ(cc->client_address.sin_port, htons(40001));
  EXPECT_STREQ(cc->vdisk_key, "7-2712847316-4369-8738-1-2-3-4-9");
}

TEST_F(Engine, SessionFieldsAndRefusals) {
  tarn_test::log_capture logs;
  // Burst size 65536 is taken, 65537 refused; MTU 0 is stored silently.
  to_client(msg(LS_LOGIN_PORT_REPLY_CODE, 42).u32(34, 65536).u32(38, 0));
  EXPECT_EQ(cc->burst_size, 65536u);
  EXPECT_EQ(cc->packet_size, 0u);
  to_client(msg(LS_LOGIN_PORT_REPLY_CODE, 42).u32(34, 65537).u32(38, 70000));
  EXPECT_EQ(cc->burst_size, 65536u);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "invalid burst_size=65537"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "MTU 70000 exceeds IP_MAXPACKET"));
  EXPECT_FALSE(logs.contains(G_LOG_LEVEL_MESSAGE, "Setting packet size to 0"));
  EXPECT_TRUE(cc->login_pending);

  // Login requests: too short, or a MAC field that is not the frame's.
  EXPECT_EQ(to_server(msg(LS_LOGIN_REQUEST_CODE, 35).data(25, bytes(CLIENT_MAC, CLIENT_MAC + 6))),
            0);
  EXPECT_EQ(to_server(msg(LS_LOGIN_REQUEST_CODE_V2, 36).u8(25, 0x0e)), 0);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_MESSAGE, "Dropping packet with spoofed MAC"));

  // A short login reply is a size mismatch: forwarded, nothing changed.
  EXPECT_EQ(to_client(msg(LS_LOGIN_REPLY_CODE, 171).u32(36, 99)), 1);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "Size mismatch: LS_LOGIN_REPLY_CODE"));
  EXPECT_NE(cc->connection_handle, 99u);

  // Messages shorter than a header, and families the engine does not
  // handle, pass uncounted.
  const uint64_t before = st.ctx.metrics.server_sent_b.load();
  bytes tiny(21, 0);
  EXPECT_EQ(to_client(tiny), 1);
  EXPECT_EQ(to_client(msg(LS_RELAY_REPLY_CODE, 30)), 1);
  EXPECT_EQ(st.ctx.metrics.server_sent_b.load(), before);

  // A reply from an address that is no server of the site.
  sockaddr_in stranger = address("198.18.0.99", 6905);
  bytes reply = msg(LS_HEARTBEAT_REPLY_CODE, 40).b;
  EXPECT_EQ(to_client(reply, &stranger), 1);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "Client is sending server message."));
  EXPECT_EQ(st.ctx.metrics.server_sent_b.load(), before);
}

TEST_F(Engine, CachingIsRefusedForServerWriteCacheOldInfoAndNewKeys) {
  // Server-side write caching.
  to_client(msg(LS_LOGIN_REPLY_CODE, 172).u32(36, HANDLE).u32(40, DISK));
  to_client(msg(LS_IO_SELECT_REPLY_CODE, 48).u32(28, VDISK_ID));
  to_server(msg(LS_SERVICE_REQUEST_CODE, 34).u32(22, VDISK_ID));
  to_client(vdisk_info_v2(HANDLE, 5));
  EXPECT_TRUE(cc->read_cache_disabled);
  EXPECT_EQ(cc->status.load(), CLIENTSTATUS_INCOMPATIBLE_WRITE_CACHE_MODE);
  EXPECT_STREQ(cc->vdisk_key, "");
  // The same session with a usable write cache type links.
  to_client(vdisk_info_v2(HANDLE, 1));
  EXPECT_FALSE(cc->read_cache_disabled);
  ASSERT_STRNE(cc->vdisk_key, "");
  // Another key in the same association: the cache goes off.
  to_client(vdisk_info_v2(HANDLE, 1, 10));
  EXPECT_TRUE(cc->read_cache_disabled);
  // Info for another session is ignored.
  tarn_test::log_capture logs;
  to_client(vdisk_info_v2(HANDLE + 1));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_MESSAGE, "Skipping update_vdisk"));
  // The V1 info reply disables the cache only for an unlinked client.
  client_context_set_vdisk_key(cc, "");
  cc->read_cache_disabled = 0;
  to_client(msg(LS_GET_VDISK_INFO_REPLY_CODE, 22));
  EXPECT_TRUE(cc->read_cache_disabled);
  EXPECT_EQ(cc->status.load(), CLIENTSTATUS_INCOMPATIBLE_PROTOCOL_VERSION);
}

TEST_F(Engine, ServerChangesAndLogoffResetTheAssociation) {
  uint32_t second;
  inet_pton(AF_INET, "198.18.0.21", &second);
  server_contexts_create(&st.ctx, &st.site, "0d7c8a9e-0000-4000-8000-000000000002", &second, 1,
                         6910, 6900);
  login();
  ASSERT_STRNE(cc->vdisk_key, "");
  // Another port of the same server keeps the link.
  server = address(SERVER_IP, 6910);
  to_client(msg(LS_HEARTBEAT_REPLY_CODE, 40));
  EXPECT_STRNE(cc->vdisk_key, "");
  EXPECT_EQ(cc->server_address.sin_port, htons(6910));
  // Another server of the site resets it.
  server = address("198.18.0.21", 6910);
  to_client(msg(LS_HEARTBEAT_REPLY_CODE, 40));
  EXPECT_STREQ(cc->vdisk_key, "");
  EXPECT_EQ(cc->vdisk_id, CLIENT_VDISK_ID_NONE);
  login();
  ASSERT_STRNE(cc->vdisk_key, "");
  to_server(msg(LS_LOGOFF_REQUEST_CODE, 22));
  EXPECT_STREQ(cc->vdisk_key, "");
  EXPECT_TRUE(cc->login_pending);
}

TEST_F(Engine, UefiLoginThroughTlvMessages) {
  tarn_test::log_capture logs;
  to_client(msg(LS_LOGIN_PORT_TLV_REPLY_CODE, 22));
  EXPECT_TRUE(cc->login_pending);
  to_client(msg(LS_UEFI_LOGIN_REPLY_CODE, 56).u32(40, VDISK_ID));
  msg request(LS_UEFI_SERVICE_TLV_REQUEST_CODE, 22);
  request.tlv(3, {1, 2}).tlv(9, le_value(VDISK_ID));
  EXPECT_EQ(to_server(request), 1);
  EXPECT_EQ(cc->vdisk_id, VDISK_ID);
  EXPECT_TRUE(cc->uefi_boot);

  bytes params(28, 0);
  std::memcpy(&params[2], le_value(DISK).data(), 4);
  std::memcpy(&params[10], le_value(static_cast<uint32_t>(SECTORS)).data(), 4);
  std::memcpy(&params[18], le_value(1).data(), 4);
  bytes identity(24, 0);
  std::memcpy(&identity[4], le_value(9).data(), 4);
  std::memcpy(&identity[8], le_value(0xA1B2C3D4).data(), 4);
  // The header carries another handle: the item's value wins.
  msg reply(LS_UEFI_SERVICE_TLV_REPLY_CODE, 22);
  reply.u32(8, 0xDEAD)
      .tlv(101, params)
      .tlv(134, le_value(1500))
      .tlv(135, le_value(16384))
      .tlv(138, le_value(HANDLE))
      .tlv(141, identity);
  EXPECT_EQ(to_client(reply), 1);
  EXPECT_EQ(cc->connection_handle, HANDLE);
  EXPECT_EQ(cc->login_id, DISK);
  EXPECT_EQ(cc->packet_size, 1500u);
  EXPECT_FALSE(cc->login_pending);
  EXPECT_STREQ(cc->vdisk_key, "7-2712847316-0-0-0-0-0-0-9");

  // A sequence that ends with stray bytes keeps what came before the fault
  // and does not link anew.
  client_context_set_vdisk_key(cc, "");
  msg bad(LS_UEFI_SERVICE_TLV_REPLY_CODE, 22);
  bad.tlv(134, le_value(9000));
  bad.b.push_back(0);
  EXPECT_EQ(to_client(bad), 1);
  EXPECT_EQ(cc->packet_size, 9000u);
  EXPECT_STREQ(cc->vdisk_key, "");
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "Size mismatch: LS_UEFI_SERVICE_TLV_REPLY_CODE"));
}

TEST_F(Engine, ExtentReadMissIsTaggedCachedAndThenServed) {
  login();
  prime_activity();
  const uint64_t offset = 512 + 4096;
  bytes request = ext_request(offset, 1024).b;
  EXPECT_EQ(to_server(request), 1);
  EXPECT_NE(request[14], 255);
  EXPECT_EQ(cc->metrics.ext.cache_missed_reads.load(), 1u);
  EXPECT_EQ(cc->status.load(), CLIENTSTATUS_CACHING);
  bytes reply = ext_reply(request);
  EXPECT_EQ(to_client(reply), 1);
  EXPECT_EQ(cached(4096, 1024), slice(4096, 1024));

  // Served from the cache: dropped, answered in the server's name.
  bytes again = ext_request(offset, 1024).b;
  EXPECT_EQ(to_server(again), 0);
  ASSERT_EQ(rec.sent.size(), 1u);
  const sent_datagram& d = rec.sent[0];
  EXPECT_EQ(d.src.sin_addr.s_addr, server.sin_addr.s_addr);
  EXPECT_EQ(d.src.sin_port, server.sin_port);
  EXPECT_EQ(d.dst.sin_port, client.sin_port);
  ASSERT_EQ(d.payload.size(), 36u + 1024);
  EXPECT_EQ(le32(d.payload.data()), IOS_READ_EXT_REPLY_CODE);
  EXPECT_TRUE(std::equal(d.payload.begin() + 4, d.payload.begin() + 34, again.begin() + 4));
  EXPECT_EQ(le16(&d.payload[34]), 1024);
  EXPECT_TRUE(std::equal(d.payload.begin() + 36, d.payload.end(), image.begin() + 4096));
  EXPECT_EQ(cc->metrics.ext.cache_hit_reads.load(), 1u);
  EXPECT_EQ(cc->metrics.proxy_saved_b.load(), 36u + 1024);

  // Part cached, part not: a miss.
  EXPECT_EQ(to_server(ext_request(offset + 512, 1024)), 1);
  EXPECT_EQ(cc->metrics.ext.cache_missed_reads.load(), 2u);
  // Length 0 at or above 512 is answered with a bare header.
  EXPECT_EQ(to_server(ext_request(offset, 0)), 0);
  EXPECT_EQ(rec.sent.back().payload.size(), 36u);

  // A reply longer than the packet size would need IP fragments, which the
  // engine never sends: cached or not, such a read goes to the server.
  bytes big = ext_request(512 + 65536, 2048).b;
  to_server(big);
  bytes big_reply = ext_reply(big);
  to_client(big_reply);
  ASSERT_EQ(cached(65536, 2048), slice(65536, 2048));
  const size_t sent = rec.sent.size();
  EXPECT_EQ(to_server(ext_request(512 + 65536, 2048)), 1);
  EXPECT_EQ(rec.sent.size(), sent);
}

TEST_F(Engine, ExtentRepliesThatDoNotAnswerTheRecordedReadAreNotCached) {
  tarn_test::log_capture logs;
  login();
  prime_activity();
  // Below offset 512: neither served nor cached.
  bytes low = ext_request(511, 512).b;
  EXPECT_EQ(to_server(low), 1);
  bytes low_reply = ext_reply(low);
  EXPECT_EQ(to_client(low_reply), 1);

  // Two misses before the first reply: only the second reply is stored.
  bytes first = ext_request(512, 1024).b;
  bytes second = ext_request(512 + 8192, 1024).b;
  to_server(first);
  to_server(second);
  bytes first_reply = ext_reply(first);
  bytes second_reply = ext_reply(second);
  EXPECT_EQ(to_client(first_reply), 1);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_MESSAGE, "Invalid response from server. DO NOT CACHE"));
  EXPECT_TRUE(cached(0, 1024).empty());
  EXPECT_EQ(to_client(second_reply), 1);
  EXPECT_TRUE(cached(8192, 1024).empty()) << "the record was cleared by the first reply";

  // A stale tag is not cached; nor is a reply one byte too long.
  bytes third = ext_request(512 + 16384, 1024).b;
  to_server(third);
  bytes stale = ext_reply(third);
  stale[14] ^= 1;
  to_client(stale);
  EXPECT_TRUE(cached(16384, 1024).empty());
  bytes fourth = ext_request(512 + 16384, 1024).b;
  to_server(fourth);
  bytes longer = ext_reply(fourth);
  longer.push_back(0);
  EXPECT_EQ(to_client(longer), 1);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "Size mismatch: IOS_READ_EXT_REPLY_CODE"));
  EXPECT_TRUE(cached(16384, 1024).empty());
  bytes fourth_reply = ext_reply(fourth);
  to_client(fourth_reply);
  EXPECT_EQ(cached(16384, 1024), slice(16384, 1024));
}

TEST_F(Engine, IdleClientsReadsGoToTheServerUncounted) {
  tarn_test::log_capture logs;
  login();
  prime_activity();
  bytes request = ext_request(512, 512).b;
  to_server(request);
  bytes reply = ext_reply(request);
  to_client(reply);
  ASSERT_FALSE(cached(0, 512).empty());
  cc->last_server_activity = g_get_real_time() / G_USEC_PER_SEC - 3;
  const uint64_t reads = metrics_total_reads(&cc->metrics);
  EXPECT_EQ(to_server(ext_request(512, 512)), 1);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_MESSAGE, "Timer expired"));
  EXPECT_EQ(metrics_total_reads(&cc->metrics), reads);
  // Forwarding refreshed the activity: the next read is served.
  EXPECT_EQ(to_server(ext_request(512, 512)), 0);
}

TEST_F(Engine, OutdatedHandlesResetTheAssociation) {
  tarn_test::log_capture logs;
  login();
  prime_activity();
  EXPECT_EQ(to_server(ext_request(512, 512, HANDLE + 1)), 1);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_MESSAGE, "Detected outdated handle."));
  EXPECT_STREQ(cc->vdisk_key, "");

  // Bit 31 of the handle is ignored in MIO replies only.
  login();
  bytes mio = mio_request(1, 10, 512, 1024).b;
  to_server(mio);
  bytes fragment = mio_fragment(mio, 1);
  fragment[11] |= 0x80;
  EXPECT_EQ(to_client(fragment), 1);
  EXPECT_EQ(cached(0, 1024), slice(0, 1024));
  bytes ext = ext_request(512 + 4096, 512).b;
  to_server(ext);
  bytes ext_r = ext_reply(ext);
  ext_r[11] |= 0x80;
  to_client(ext_r);
  EXPECT_STREQ(cc->vdisk_key, "");
}

TEST_F(Engine, MioRepliesAreReassembledAndServedInFragments) {
  login();
  bytes request = mio_request(2, 100, 512 + 65536, 16384).b;
  EXPECT_EQ(to_server(request), 1);
  EXPECT_EQ(cc->metrics.mio.cache_missed_reads.load(), 1u);
  // Twelve fragments arriving out of order, one of them twice.
  const int order[] = {12, 3, 1, 2, 2, 4, 5, 6, 7, 8, 9, 10};
  for (int n : order) {
    bytes f = mio_fragment(request, static_cast<uint16_t>(n));
    EXPECT_EQ(to_client(f), 1);
    EXPECT_TRUE(cached(65536, 16384).empty()) << "stored before fragment 11 arrived";
  }
  bytes last = mio_fragment(request, 11);
  EXPECT_EQ(to_client(last), 1);
  EXPECT_EQ(cached(65536, 16384), slice(65536, 16384));

  // Served: eleven fragments of 1444 bytes and one of 500.
  rec.sent.clear();
  bytes again = mio_request(3, 101, 512 + 65536, 16384).b;
  EXPECT_EQ(to_server(again), 0);
  ASSERT_EQ(rec.sent.size(), 12u);
  bytes joined;
  for (size_t i = 0; i < 12; i++) {
    const bytes& p = rec.sent[i].payload;
    EXPECT_EQ(le32(p.data()), IOS_READ_MIO_REPLY_CODE);
    EXPECT_TRUE(std::equal(p.begin() + 4, p.begin() + 48, again.begin() + 4));
    EXPECT_EQ(le16(&p[48]), i * 1444);
    EXPECT_EQ(le16(&p[50]), i < 11 ? 1444 : 500);
    EXPECT_EQ(le16(&p[52]), i + 1);
    EXPECT_EQ(le16(&p[54]), 12);
    EXPECT_EQ(p.size(), 56u + le16(&p[50]));
    joined.insert(joined.end(), p.begin() + 56, p.end());
  }
  EXPECT_EQ(joined, slice(65536, 16384));
  EXPECT_EQ(cc->metrics.mio.cache_hit_reads.load(), 1u);
  EXPECT_EQ(cc->metrics.proxy_saved_b.load(), 12u * 56 + 16384);

  // Length 0: a hit with nothing sent.
  rec.sent.clear();
  EXPECT_EQ(to_server(mio_request(3, 102, 512 + 65536, 0)), 0);
  EXPECT_TRUE(rec.sent.empty());
  EXPECT_EQ(cc->metrics.mio.cache_hit_reads.load(), 2u);

  // A send that fails lets the request through.
  rec.fail = true;
  EXPECT_EQ(to_server(mio_request(3, 103, 512 + 65536, 1444)), 1);
}

TEST_F(Engine, MioFragmentsThatDoNotFitTheRecordedReadAreNeverStored) {
  login();
  bytes request = mio_request(1, 7, 512 + 8192, 2888).b;
  to_server(request);
  // Fragment 1 of a different request id, and a fragment whose offset does
  // not match its number: both unhandled and forwarded, the read incomplete.
  bytes other = mio_fragment(request, 1);
  other[22] ^= 1;
  EXPECT_EQ(to_client(other), 1);
  bytes shifted = mio_fragment(request, 2);
  shifted[48] ^= 4;
  EXPECT_EQ(to_client(shifted), 1);
  EXPECT_EQ(cc->metrics.unhandled_mio.load(), 2u);
  // A server that cuts the read into smaller pieces than the packet size
  // allows claims two fragments cover it: the mask would say complete with
  // half the data missing.
  bytes small1 = mio_fragment(request, 1, 1000);
  small1[54] = 2;
  bytes small2 = mio_fragment(request, 2, 1000);
  small2[54] = 2;
  to_client(small1);
  to_client(small2);
  EXPECT_TRUE(cached(8192, 512).empty());
  // The real fragments still complete it.
  bytes f1 = mio_fragment(request, 1), f2 = mio_fragment(request, 2);
  to_client(f1);
  to_client(f2);
  // Whole sectors only: the tail waits for the next write to complete it.
  EXPECT_EQ(cached(8192, 2560), slice(8192, 2560));

  // A reply version that does not match the login flavour passes untouched.
  bytes v4 = mio_request(1, 8, 512 + 20480, 100, 3).b;
  to_server(v4);
  bytes wrong = mio_fragment(v4, 1);
  wrong[4] = 4;
  const uint64_t unhandled = cc->metrics.unhandled_mio.load();
  EXPECT_EQ(to_client(wrong), 1);
  EXPECT_EQ(cc->metrics.unhandled_mio.load(), unhandled);
  EXPECT_TRUE(cached(20480, 100).empty());

  // A late prepopulation reply from an earlier session is dropped without
  // disturbing the present one.
  bytes late = mio_request(0x82, 10, 512, 100).b;
  late[8] ^= 0x40;
  bytes late_reply = mio_fragment(late, 1);
  EXPECT_EQ(to_client(late_reply), 0);
  EXPECT_STRNE(cc->vdisk_key, "");

  // A prepopulation reply without a record is unhandled and dropped.
  bytes prepop = mio_request(0x81, 9, 512, 100).b;
  bytes prepop_reply = mio_fragment(prepop, 1);
  EXPECT_EQ(to_client(prepop_reply), 0);
  EXPECT_EQ(cc->metrics.unhandled_mio.load(), unhandled + 2);

  // Reads whose replies were lost expire: prepopulation counts the records
  // left as reads in flight.
  for (uint8_t t = 1; t <= 4; t++) to_server(mio_request(t, 50 + t, 512 + 40960, 1024));
  for (auto& [id, f] : cc->mio_fragments) f->deadline = g_get_monotonic_time() - 1;
  to_server(mio_request(5, 55, 512 + 40960, 1024));
  EXPECT_EQ(client_mio_frament_count(cc), 1u);
}

TEST_F(Engine, NothingAtOrPastTheVdisksEndIsCachedOrServed) {
  login();
  prime_activity();
  const uint64_t end = SECTORS * 512 + 512;
  image.resize(image.size() + 8192, 0xAB);  // what a server answers past the end
  // At the end, across it, far past it: answered by the server, never stored.
  for (uint64_t offset : {end, end - 512, end + 4096}) {
    SCOPED_TRACE(offset);
    bytes ext = ext_request(offset, 1024).b;
    EXPECT_EQ(to_server(ext), 1);
    bytes reply = ext_reply(ext);
    EXPECT_EQ(to_client(reply), 1);
    bytes mio = mio_request(1, static_cast<uint32_t>(offset), offset, 1024).b;
    EXPECT_EQ(to_server(mio), 1);
    bytes fragment = mio_fragment(mio, 1);
    EXPECT_EQ(to_client(fragment), 1);
    EXPECT_TRUE(cached(offset - 512, 1024).empty());
  }
  EXPECT_TRUE(cached(SECTORS * 512 - 512, 512).empty());
  bytes far = ext_request(512 + (uint64_t{100} << 30), 512).b;
  to_server(far);
  bytes far_reply(36 + 512, 0xAB);
  std::memcpy(far_reply.data(), far.data(), 36);
  std::memcpy(far_reply.data(), le_value(IOS_READ_EXT_REPLY_CODE).data(), 4);
  EXPECT_EQ(to_client(far_reply), 1);
  EXPECT_TRUE(cached(uint64_t{100} << 30, 512).empty());
  // Bytes past the end in the cache (an older daemon's) are never served.
  ASSERT_EQ(cache_put_data(&st.ctx, cc, SECTORS * 512, image.data(), 1024), 1024);
  EXPECT_EQ(to_server(ext_request(end, 1024)), 1);
  EXPECT_EQ(to_server(mio_request(2, 99, end, 1024)), 1);
  EXPECT_TRUE(rec.sent.empty());
}

TEST_F(Engine, ZeroReadsAreStoredSparse) {
  login();
  std::fill(image.begin() + 40960, image.begin() + 40960 + 4096, 0);
  bytes request = mio_request(1, 1, 512 + 40960, 4096).b;
  to_server(request);
  for (uint16_t n = 1; n <= 3; n++) {
    bytes f = mio_fragment(request, n);
    to_client(f);
  }
  EXPECT_EQ(cached(40960, 4096), bytes(4096, 0));
}

TEST_F(Engine, ClientsWithoutVdiskAreToldToLogInAgainAtMostFiveTimes) {
  tarn_test::log_capture logs;
  to_client(msg(LS_LOGIN_REPLY_CODE, 172).u32(36, HANDLE).u32(40, DISK));
  for (int i = 0; i < 7; i++) {
    bytes request = mio_request(1, static_cast<uint32_t>(i), 512, 512).b;
    EXPECT_EQ(to_server(request), i < 5 ? 0 : 1) << i;
  }
  ASSERT_EQ(rec.sent.size(), 5u);
  const bytes& r = rec.sent[0].payload;
  ASSERT_EQ(r.size(), 56u);
  EXPECT_EQ(le32(r.data()), IOS_READ_MIO_REPLY_CODE);
  EXPECT_EQ(le32(&r[8]), HANDLE | 0x80000000u);
  EXPECT_EQ(r[26], 0xFF);
  EXPECT_EQ(r[27], 0xFF);
  EXPECT_TRUE(std::all_of(r.begin() + 38, r.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_MESSAGE, "Forcing relogon (4)"));
  // Association starts the count again.
  to_client(msg(LS_IO_SELECT_REPLY_CODE, 48).u32(28, VDISK_ID));
  to_server(msg(LS_SERVICE_REQUEST_CODE, 34).u32(22, VDISK_ID));
  EXPECT_EQ(cc->relogon_count.load(), 0u);
}

TEST_F(Engine, APeerRepeatingAFaultCannotFloodTheLog) {
  tarn_test::log_capture logs;
  for (int i = 0; i < 1000; i++) {
    bytes short_reply = msg(LS_LOGIN_REPLY_CODE, 100).b;
    EXPECT_EQ(to_client(short_reply), 1);  // still forwarded every time
  }
  const size_t written = logs.count("Size mismatch: LS_LOGIN_REPLY_CODE");
  EXPECT_GT(written, 0u);
  EXPECT_LE(written + logs.count("Packet: LS_LOGIN_REPLY_CODE"),
            static_cast<size_t>(CLIENT_LOG_BURST));
  // A later window says how many lines were left out, then logs again.
  cc->log_window = g_get_monotonic_time() - CLIENT_LOG_WINDOW_US - 1;
  bytes another = msg(LS_LOGIN_REPLY_CODE, 100).b;
  to_client(another);
  EXPECT_TRUE(
      logs.contains(G_LOG_LEVEL_WARNING, "more log lines about its traffic were not written"));
  EXPECT_EQ(logs.count("Size mismatch: LS_LOGIN_REPLY_CODE"), written + 1);
  // Changes of the client's state are written however many lines were left
  // out: operators search for them.
  for (int i = 0; i < 1000; i++) to_client(msg(LS_LOGIN_REPLY_CODE, 100));
  login();
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_MESSAGE, "linked with vdisk_key"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_MESSAGE, "Associating vdisk 7"));
  EXPECT_EQ(to_server(ext_request(512, 512, HANDLE + 1)), 1);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_MESSAGE, "Resetting vdisk context."));
}

TEST_F(Engine, HeartbeatRepliesCloserThanTheGapAreDroppedOnlyWithTheWorkaround) {
  EXPECT_EQ(to_client(msg(LS_HEARTBEAT_REPLY_CODE, 40)), 1);
  EXPECT_EQ(to_client(msg(LS_HEARTBEAT_REPLY_CODE, 40)), 1);
  st.ctx.workaround_migrate_freeze = true;
  EXPECT_EQ(to_client(msg(LS_HEARTBEAT_REPLY_CODE, 40)), 1);
  EXPECT_EQ(to_client(msg(LS_HEARTBEAT_REPLY_CODE, 40)), 0);
  cc->last_heartbeat_reply -= 1000;
  EXPECT_EQ(to_client(msg(LS_HEARTBEAT_REPLY_CODE, 40)), 1);
  // Measured on the monotonic clock, which a step of the wall clock leaves alone.
  EXPECT_NEAR(static_cast<double>(cc->last_heartbeat_reply), g_get_monotonic_time() / 1000.0, 1000);
  // A short heartbeat reply is a size mismatch and still forwarded.
  EXPECT_EQ(to_client(msg(LS_HEARTBEAT_REPLY_CODE, 39)), 1);
}

}  // namespace
