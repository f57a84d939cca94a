// The engine driven datagram by datagram with a recording sender: scenarios
// play rows of {direction, datagram, verdict, log line} and check between them
// what was sent, what the cache holds and what was counted.
#include "protocol/tarn.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "../cache/chunks_fixture.h"
#include "cache/chunks.h"
#include "contexts/proxy_context.h"
#include "control/lifecycle.h"
#include "protocol/collapse.h"
#include "protocol/opcodes.h"
#include "support/log_capture.h"
#include "support/wire_builder.h"

namespace {

using namespace tarn_test;

constexpr uint32_t VDISK_ID = 7, HANDLE = 0x1234, DISK = 0x55;
constexpr uint64_t SECTORS = 8192, END = SECTORS * 512 + 512;  // 4 MiB after the 512-byte lead
const uint8_t MAC[6] = {0x02, 0, 0, 0, 0x01, 0x01};
const char* const KEY = "7-2712847316-4369-8738-1-2-3-4-9";

enum direction { UP, DOWN };  // client to server, server to client
struct step {
  direction d;
  bytes p;
  int verdict;
  const char* log = nullptr;
};
// A read request's vDisk offset (the wire's counts the 512-byte lead).
uint64_t read_at(const bytes& r, size_t at) {
  return (uint64_t{le32(&r[at])} << 32 | le32(&r[at + 4])) - 512;
}

class Engine : public ::testing::Test {
 protected:
  chunks_test::temp_dir dir;
  chunks_test::store st{dir.path, 1 << 20};
  client_context* cc = nullptr;
  std::vector<std::pair<sockaddr_in, bytes>> sent;  // source, payload
  std::vector<bytes> forwarded;                     // held reads sent on after all
  bool send_fails = false;
  tarn_sender sender{record, this};
  sockaddr_in server = address("198.18.0.20", 6905), client = address("198.18.0.101", 40000);
  bytes image;
  log_capture logs;

  static ssize_t record(void* self, const sockaddr_in* s, const sockaddr_in* d, const void* p,
                        size_t n) {
    auto* e = static_cast<Engine*>(self);
    const auto* c = static_cast<const uint8_t*>(p);
    if (!e->send_fails && d->sin_port == e->client.sin_port)
      e->sent.push_back({*s, bytes(c, c + n)});
    return e->send_fails ? -1 : static_cast<ssize_t>(n);
  }
  static ssize_t forward(void* self, const tarn_frame* f, const void* p, size_t n) {
    auto* e = static_cast<Engine*>(self);
    const auto* c = static_cast<const uint8_t*>(p);
    if (f->dst.sin_port == e->server.sin_port) e->forwarded.push_back(bytes(c, c + n));
    return static_cast<ssize_t>(n);
  }
  void SetUp() override {
    logs.clear();  // the process's lines: none of the cases before
    st.ctx.opcode_names = opcode_names_create();
    server_contexts_init(&st.ctx);
    add_server("198.18.0.20", "0d7c8a9e-0000-4000-8000-000000000001");
    cc = st.add_client("");
    std::memcpy(cc->mac.data(), MAC, 6);
    std::mt19937_64 rng(42);
    image = chunks_test::random_bytes(rng, SECTORS * 512);
  }
  void TearDown() override {
    client_context_set_vdisk_key(cc, *cc->session.lock(), "");
    client_contexts_destroy(&st.ctx);
    server_contexts_destroy(&st.ctx);
  }
  void add_server(const char* ip, const char* uuid) {
    uint32_t a;
    inet_pton(AF_INET, ip, &a);
    ASSERT_NE(server_contexts_create(&st.ctx, &st.site, uuid, &a, 1, 6910, 6900), nullptr);
  }

  // The payload may be edited in place (a request's tag), as the engine does.
  int process(bytes& p, direction d) {
    tarn_frame f{};
    std::memcpy(d == UP ? f.src_mac : f.dst_mac, MAC, 6);
    f.src = d == UP ? client : server;
    f.dst = d == UP ? server : client;
    return tarn_process_packet(&st.ctx, &sender, cc, &f, p.data(), p.size());
  }
  int up(bytes& p) { return process(p, UP); }
  int up(bytes&& p) { return process(p, UP); }
  int down(bytes p) { return process(p, DOWN); }
  void run(std::vector<step> steps) {
    for (size_t i = 0; i < steps.size(); i++) {
      SCOPED_TRACE("row " + std::to_string(i));
      EXPECT_EQ(process(steps[i].p, steps[i].d), steps[i].verdict);
      EXPECT_TRUE(!steps[i].log || logs.contains(steps[i].log)) << steps[i].log;
    }
  }

  static bytes info(uint32_t handle, uint32_t write_cache_type = 1, uint32_t suffix = 9) {
    msg m(LS_GET_VDISK_INFO_REPLY_CODE_V2, 90);
    m.u32(8, handle).u32(28, static_cast<uint32_t>(SECTORS)).u32(36, write_cache_type);
    m.u32(62, suffix).u32(66, 0xA1B2C3D4).u16(70, 0x1111).u16(72, 0x2222);
    return m.data(74, {1, 2, 3, 4, 5, 6, 7, 8}).b;
  }
  static bytes port_reply(uint32_t burst, uint32_t mtu) {
    return msg(LS_LOGIN_PORT_REPLY_CODE, 42).u32(34, burst).u32(38, mtu).b;
  }
  static bytes login_reply() {
    return msg(LS_LOGIN_REPLY_CODE, 172).u32(8, HANDLE).u32(36, HANDLE).u32(40, DISK).b;
  }
  static bytes select() { return msg(LS_IO_SELECT_REPLY_CODE, 48).u32(28, VDISK_ID).b; }
  static bytes service() { return msg(LS_SERVICE_REQUEST_CODE, 34).u32(22, VDISK_ID).b; }
  // The classic login conversation, up to the link.
  void login() {
    run({{DOWN, port_reply(32768, 1500), 1},
         {UP, msg(LS_LOGIN_REQUEST_CODE, 40).data(25, bytes(MAC, MAC + 6)).b, 1},
         {DOWN, login_reply(), 1},
         {DOWN, select(), 1},
         {UP, service(), 1},
         {DOWN, info(HANDLE), 1}});
  }
  void prime_activity() { cc->last_server_activity = g_get_real_time() / G_USEC_PER_SEC; }

  static bytes ext_request(uint64_t offset, uint16_t length, uint32_t handle = HANDLE) {
    msg m(IOS_READ_EXT_REQUEST_CODE, 36);
    m.u32(8, handle).u16(12, 0xBEEF).u8(20, 0x77).u32(22, DISK);
    return m.offset(26, offset).u16(34, length).b;
  }
  // The image's bytes at `at` after `head`; 0xAB outside the image.
  bytes with_data(bytes head, uint64_t at, size_t n) {
    const size_t h = head.size();
    head.resize(h + n, 0xAB);
    if (at < image.size() && n <= image.size() - at) std::copy_n(image.begin() + at, n, &head[h]);
    return head;
  }
  // The server's answer to `request`, its header (tag included) echoed.
  bytes ext_reply(const bytes& request) {
    msg r(IOS_READ_EXT_REPLY_CODE, 36);
    std::memcpy(r.b.data() + 4, request.data() + 4, 32);
    return with_data(r.b, read_at(request, 26), le16(&request[34]));
  }
  static bytes mio_request(uint8_t thread, uint32_t id, uint64_t offset, uint16_t length,
                           uint32_t version = 3) {
    msg m(IOS_READ_MIO_REQUEST_CODE, 48);
    m.u32(4, version).u32(8, HANDLE).u32(22, id).u16(26, 1).u8(28, thread).u32(34, DISK);
    return m.offset(38, offset).u16(46, length).b;
  }
  // Fragment `number` (from 1) of the server's reply, `room` bytes each.
  bytes mio_fragment(const bytes& request, uint16_t number, uint32_t room = 1444) {
    const uint16_t length = le16(&request[46]);
    const uint32_t from = (number - 1) * room;
    const auto n = static_cast<uint16_t>(std::min<uint32_t>(room, length - from));
    msg m(IOS_READ_MIO_REPLY_CODE, 56);
    std::memcpy(m.b.data() + 4, request.data() + 4, 44);
    m.u16(48, static_cast<uint16_t>(from)).u16(50, n).u16(52, number);
    m.u16(54, static_cast<uint16_t>((length + room - 1) / room));
    return with_data(m.b, read_at(request, 38) + from, n);
  }
  bytes cached(uint64_t vdisk_offset, size_t n) {
    bytes out(n);
    const int32_t got =
        cache_get_data(&st.ctx, cc, *cc->session.lock_shared(), vdisk_offset, out.data(), n);
    return got == static_cast<int32_t>(n) ? out : bytes{};
  }
  bytes slice(uint64_t at, size_t n) { return bytes(image.begin() + at, image.begin() + at + n); }
};

TEST_F(Engine, LoginLinksTheClientAndMalformedSessionMessagesChangeNothing) {
  login();
  EXPECT_STREQ(cc->session.lock_shared()->vdisk_key, KEY);
  EXPECT_EQ(cc->status.load(), CLIENTSTATUS_INITIALISED);
  EXPECT_FALSE(cc->session.lock_shared()->login_pending);
  EXPECT_EQ(cc->metrics.server_sent_b.load(), 42u + 172u + 48u + 90u);
  // A service request for the same vDisk keeps the link and refreshes the
  // relogon count and the client's address.
  cc->relogon_count = 3;
  client.sin_port = htons(40001);
  EXPECT_EQ(up(service()), 1);
  EXPECT_EQ(cc->relogon_count.load(), 0u);
  EXPECT_EQ(cc->session.lock_shared()->client_address.sin_port, htons(40001));
  EXPECT_STREQ(cc->session.lock_shared()->vdisk_key, KEY);
  // Burst size 65536 is taken, 65537 refused; MTU 0 is stored silently.
  run({{DOWN, port_reply(65536, 0), 1}});
  EXPECT_EQ(cc->session.lock_shared()->packet_size, 0u);
  run({{DOWN, port_reply(65537, 70000), 1, "invalid burst_size=65537"},
       {UP, msg(LS_LOGIN_REQUEST_CODE, 35).data(25, bytes(MAC, MAC + 6)).b, 0},
       {UP, msg(LS_LOGIN_REQUEST_CODE_V2, 36).u8(25, 0x0e).b, 0,
        "Dropping packet with spoofed MAC"},
       {DOWN, msg(LS_LOGIN_REPLY_CODE, 171).u32(36, 99).b, 1,
        "Size mismatch: LS_LOGIN_REPLY_CODE"}});
  EXPECT_FALSE(logs.contains("Setting packet size to 0"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "MTU 70000 exceeds IP_MAXPACKET"));
  EXPECT_EQ(cc->session.lock_shared()->burst_size, 65536u);
  EXPECT_NE(cc->session.lock_shared()->connection_handle, 99u);
  // Shorter than a header, a family the engine does not handle, a reply from
  // no server of the site: forwarded uncounted.
  const uint64_t before = st.ctx.metrics.server_sent_b.load();
  run({{DOWN, bytes(21, 0), 1}, {DOWN, msg(LS_RELAY_REPLY_CODE, 30).b, 1}});
  server = address("198.18.0.99", 6905);
  run({{DOWN, msg(LS_HEARTBEAT_REPLY_CODE, 40).b, 1, "Client is sending server message."}});
  EXPECT_EQ(st.ctx.metrics.server_sent_b.load(), before);
}

TEST_F(Engine, AssociationChangesResetTheLinkOrSwitchCachingOff) {
  add_server("198.18.0.21", "0d7c8a9e-0000-4000-8000-000000000002");
  // Another port of the same server keeps the link; another server of the
  // site resets it, as does a logoff.
  login();
  server = address("198.18.0.20", 6910);
  down(msg(LS_HEARTBEAT_REPLY_CODE, 40).b);
  EXPECT_STREQ(cc->session.lock_shared()->vdisk_key, KEY);
  EXPECT_EQ(cc->server_address.sin_port, htons(6910));
  server = address("198.18.0.21", 6910);
  down(msg(LS_HEARTBEAT_REPLY_CODE, 40).b);
  EXPECT_STREQ(cc->session.lock_shared()->vdisk_key, "");
  EXPECT_EQ(cc->session.lock_shared()->vdisk_id, CLIENT_VDISK_ID_NONE);
  login();
  up(msg(LS_LOGOFF_REQUEST_CODE, 22).b);
  EXPECT_STREQ(cc->session.lock_shared()->vdisk_key, "");
  EXPECT_TRUE(cc->session.lock_shared()->login_pending);
  // Server-side write caching refuses the cache; a usable type links.
  run({{DOWN, login_reply(), 1},
       {DOWN, select(), 1},
       {UP, service(), 1},
       {DOWN, info(HANDLE, 5), 1}});
  EXPECT_TRUE(cc->session.lock_shared()->read_cache_disabled);
  EXPECT_EQ(cc->status.load(), CLIENTSTATUS_INCOMPATIBLE_WRITE_CACHE_MODE);
  EXPECT_STREQ(cc->session.lock_shared()->vdisk_key, "");
  down(info(HANDLE));
  EXPECT_FALSE(cc->session.lock_shared()->read_cache_disabled);
  EXPECT_STREQ(cc->session.lock_shared()->vdisk_key, KEY);
  // Info for another session is ignored; another key in the same association
  // switches the cache off; so does the V1 info reply for an unlinked client.
  run({{DOWN, info(HANDLE + 1), 1, "Skipping update_vdisk"}});
  EXPECT_FALSE(cc->session.lock_shared()->read_cache_disabled);
  down(info(HANDLE, 1, 10));
  EXPECT_TRUE(cc->session.lock_shared()->read_cache_disabled);
  client_context_set_vdisk_key(cc, *cc->session.lock(), "");
  cc->session.lock()->read_cache_disabled = 0;
  down(msg(LS_GET_VDISK_INFO_REPLY_CODE, 22).b);
  EXPECT_TRUE(cc->session.lock_shared()->read_cache_disabled);
  EXPECT_EQ(cc->status.load(), CLIENTSTATUS_INCOMPATIBLE_PROTOCOL_VERSION);
}

// (A UEFI login through the TLV messages links as the classic one does: the
// boot storms' UEFI VMs are served from the cache.) Stray bytes after the
// items: what came before stays, no link.
TEST_F(Engine, UefiServiceReplyWithStrayBytesKeepsWhatCameBefore) {
  down(msg(LS_LOGIN_PORT_TLV_REPLY_CODE, 22).b);
  EXPECT_TRUE(cc->session.lock_shared()->login_pending);
  bytes bad = msg(LS_UEFI_SERVICE_TLV_REPLY_CODE, 22).tlv(134, le_value(9000)).b;
  bad.push_back(0);
  run({{DOWN, bad, 1, "Size mismatch: LS_UEFI_SERVICE_TLV_REPLY_CODE"}});
  EXPECT_EQ(cc->session.lock_shared()->packet_size, 9000u);
}

// How many reads each latency histogram of the client holds: hit, miss, held.
std::array<uint64_t, 3> latency_counts(const client_context* c) {
  std::array<uint64_t, 3> out;
  for (size_t k = 0; k < 3; k++) out[k] = metrics_histogram_read(c->metrics.latency[k]).count;
  return out;
}

TEST_F(Engine, ExtentReadsAreCachedOnlyFromTheRecordedReplyAndServedInTheServersName) {
  login();
  prime_activity();
  // Below offset 512: neither served nor cached. Two misses before the first
  // reply: that reply answers no recorded read, and clears the record.
  bytes low = ext_request(511, 512), first = ext_request(512, 1024),
        second = ext_request(8704, 1024);
  run({{UP, low, 1}, {DOWN, ext_reply(low), 1}});
  up(first);
  up(second);
  run({{DOWN, ext_reply(first), 1, "Invalid response from server. DO NOT CACHE"},
       {DOWN, ext_reply(second), 1}});
  EXPECT_TRUE(cached(0, 1024).empty());
  EXPECT_TRUE(cached(8192, 1024).empty());
  // A reply one byte too long is not cached; the right one is.
  bytes request = ext_request(512 + 4096, 1024);
  EXPECT_EQ(up(request), 1);
  bytes longer = ext_reply(request);
  longer.push_back(0);
  run({{DOWN, longer, 1, "Size mismatch: IOS_READ_EXT_REPLY_CODE"}});
  EXPECT_EQ(cc->status.load(), CLIENTSTATUS_CACHING);
  EXPECT_TRUE(cached(4096, 1024).empty());
  EXPECT_EQ(down(ext_reply(request)), 1);
  EXPECT_EQ(cached(4096, 1024), slice(4096, 1024));
  // A hit is dropped and answered in the server's name as the server would.
  bytes again = ext_request(512 + 4096, 1024);
  EXPECT_EQ(up(again), 0);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].first.sin_addr.s_addr, server.sin_addr.s_addr);
  EXPECT_EQ(sent[0].first.sin_port, server.sin_port);
  EXPECT_EQ(sent[0].second, ext_reply(again));
  EXPECT_EQ(cc->metrics.ext.cache_hit_reads.load(), 1u);
  EXPECT_EQ(cc->metrics.ext.cache_missed_reads.load(), 4u);
  EXPECT_EQ(cc->metrics.proxy_saved_b.load(), 36u + 1024);
  // Part cached, part not: a miss. Length 0: a bare header.
  EXPECT_EQ(up(ext_request(512 + 4608, 1024)), 1);
  EXPECT_EQ(up(ext_request(512 + 4096, 0)), 0);
  EXPECT_EQ(sent.back().second.size(), 36u);
  // A reply longer than the packet size would need IP fragments, which the
  // engine never sends: cached or not, such a read goes to the server.
  bytes big = ext_request(512 + 65536, 2048);
  up(big);
  down(ext_reply(big));
  ASSERT_EQ(cached(65536, 2048), slice(65536, 2048));
  EXPECT_EQ(up(ext_request(512 + 65536, 2048)), 1);
  EXPECT_EQ(sent.size(), 2u);

  // An idle client's reads go to the server uncounted; forwarding refreshes
  // the activity.
  cc->last_server_activity = g_get_real_time() / G_USEC_PER_SEC - 3;
  const uint64_t reads = metrics_total_reads(&cc->metrics);
  run({{UP, ext_request(512 + 4096, 512), 1, "Timer expired"}});
  EXPECT_EQ(metrics_total_reads(&cc->metrics), reads);
  EXPECT_EQ(up(ext_request(512 + 4096, 512)), 0);
  // A handle with bit 31 set is outdated in an extent reply.
  bytes ext = ext_request(512 + 8192, 512);
  up(ext);
  bytes outdated = ext_reply(ext);
  outdated[11] |= 0x80;
  EXPECT_EQ(down(outdated), 1);
  EXPECT_STREQ(cc->session.lock_shared()->vdisk_key, "");
  // Every hit is timed; of the misses, those whose recorded reply came (the
  // read of 4096 and the long one).
  EXPECT_EQ(latency_counts(cc), (std::array<uint64_t, 3>{3, 2, 0}));
  EXPECT_EQ(cc->metrics.ext.cache_hit_reads.load(), 3u);
}

TEST_F(Engine, MioRepliesAreReassembledAndServedInFragments) {
  login();
  bytes request = mio_request(2, 100, 512 + 65536, 16384);
  EXPECT_EQ(up(request), 1);
  // Twelve fragments out of order, one twice, one with bit 31 of the handle
  // set (ignored in MIO replies): stored when the last arrives.
  for (uint16_t n : {12, 3, 1, 2, 2, 4, 5, 6, 7, 8, 9, 10}) {
    bytes f = mio_fragment(request, n);
    f[11] |= n == 3 ? 0x80 : 0;
    EXPECT_EQ(process(f, DOWN), 1);
    EXPECT_TRUE(cached(65536, 16384).empty()) << "stored before fragment 11 arrived";
  }
  EXPECT_EQ(down(mio_fragment(request, 11)), 1);
  EXPECT_EQ(cached(65536, 16384), slice(65536, 16384));
  // Served as the server sends it: eleven fragments of 1444 bytes, one of 500.
  bytes again = mio_request(3, 101, 512 + 65536, 16384);
  EXPECT_EQ(up(again), 0);
  ASSERT_EQ(sent.size(), 12u);
  for (uint16_t i = 0; i < 12; i++) EXPECT_EQ(sent[i].second, mio_fragment(again, i + 1)) << i;
  EXPECT_EQ(cc->metrics.mio.cache_missed_reads.load(), 1u);
  EXPECT_EQ(cc->metrics.proxy_saved_b.load(), 12u * 56 + 16384);
  // Length 0: a hit with nothing sent. A send that fails lets the read through.
  EXPECT_EQ(up(mio_request(3, 102, 512 + 65536, 0)), 0);
  EXPECT_EQ(sent.size(), 12u);
  EXPECT_EQ(cc->metrics.mio.cache_hit_reads.load(), 2u);
  send_fails = true;
  EXPECT_EQ(up(mio_request(3, 103, 512 + 65536, 1444)), 1);
  // A read of zeros is stored (sparse) and reads back as zeros. Where the
  // listener can pass a reply on at once, the one that completes the read
  // goes through it (before the write), once, and is not forwarded again.
  std::fill(image.begin() + 40960, image.begin() + 40960 + 4096, 0);
  int passes = 0;
  sender.pass = [](void* n) { ++*static_cast<int*>(n); };
  sender.pass_arg = &passes;
  bytes zeros = mio_request(1, 1, 512 + 40960, 4096);
  up(zeros);
  std::vector<int> verdicts;
  for (uint16_t n = 1; n <= 3; n++) verdicts.push_back(down(mio_fragment(zeros, n)));
  EXPECT_EQ(verdicts, std::vector<int>({1, 1, 0}));
  EXPECT_EQ(passes, 1);
  EXPECT_EQ(cached(40960, 4096), bytes(4096, 0));
}

TEST_F(Engine, MissesOfAReadAnotherClientHasInFlightWaitForItsStoredReply) {
  st.ctx.collapse_forwarding = true;
  sender.forward = forward;
  client_context* a = cc;
  client_context* b = st.add_client("");
  std::memcpy(b->mac.data(), MAC, 6);
  login();
  prime_activity();
  cc = b;
  login();
  prime_activity();
  const auto as = [&](client_context* who, bytes p) {
    cc = who;
    return up(p);
  };
  const auto serve_b = [&](int64_t later_us = 0) {
    tarn_serve_held(&st.ctx, b, &sender, g_get_monotonic_time() + later_us);
  };
  // B's reads that A's MIO in flight covers wholly are held; one reaching
  // past it goes to the server. Nothing is answered before A's reply is stored.
  bytes a_read = mio_request(2, 100, 512 + 65536, 16384);
  bytes b_mio = mio_request(5, 7, 512 + 65536, 16384), b_ext = ext_request(512 + 69632, 1024);
  EXPECT_EQ(as(a, a_read), 1);
  EXPECT_EQ(as(b, b_mio), 0);
  EXPECT_EQ(as(b, b_ext), 0);
  EXPECT_EQ(as(b, mio_request(6, 8, 512 + 65536 + 8192, 16384)), 1);
  serve_b();
  EXPECT_TRUE(sent.empty() && forwarded.empty());
  cc = a;
  for (uint16_t n = 1; n <= 12; n++) down(mio_fragment(a_read, n));
  ASSERT_EQ(b->held_count.load(), 2u);
  // Answered from the cache as hits, exactly as the server would have.
  serve_b();
  ASSERT_EQ(sent.size(), 13u);
  for (uint16_t i = 0; i < 12; i++) EXPECT_EQ(sent[i].second, mio_fragment(b_mio, i + 1)) << i;
  EXPECT_EQ(sent[12].second, ext_reply(b_ext));
  EXPECT_EQ(b->metrics.held_reads.load(), 2u);
  EXPECT_EQ(b->metrics.held_answered_reads.load(), 2u);
  EXPECT_EQ(b->metrics.mio.cache_hit_reads + b->metrics.ext.cache_hit_reads, 2u);
  EXPECT_EQ(b->held_count.load(), 0u);

  // A covering reply that never comes: held until the deadline, then sent
  // on, and tracked so that its own reply is stored.
  bytes lost = mio_request(3, 101, 512 + 131072, 4096),
        b_lost = mio_request(5, 9, 512 + 131072, 4096);
  as(a, lost);
  EXPECT_EQ(as(b, b_lost), 0);
  serve_b();
  EXPECT_TRUE(forwarded.empty());
  serve_b(COLLAPSE_WAIT_MAX_US + 1);
  ASSERT_EQ(forwarded.size(), 1u);
  EXPECT_EQ(forwarded[0], b_lost);
  EXPECT_EQ(b->metrics.held_timed_out_reads.load(), 1u);
  cc = b;
  for (uint16_t n = 1; n <= 3; n++) down(mio_fragment(b_lost, n));
  EXPECT_EQ(cached(131072, 4096), slice(131072, 4096));
  // A covering read replaced by the next one (its reply no longer
  // recognised) sends what waited on it at once, deadline or not.
  bytes a_ext = ext_request(512 + 196608, 1024);
  as(a, a_ext);
  EXPECT_EQ(as(b, ext_request(512 + 196608, 1024)), 0);
  as(a, ext_request(512 + 262144, 1024));
  serve_b();
  EXPECT_EQ(forwarded.size(), 2u);
  // A client unlinked (or removed) loses what it held: never answered.
  bytes last = mio_request(4, 102, 512 + 327680, 4096);
  as(a, last);
  EXPECT_EQ(as(b, mio_request(5, 10, 512 + 327680, 4096)), 0);
  client_context_set_vdisk_key(b, *b->session.lock(), "");
  EXPECT_EQ(b->held_count.load(), 0u);
  cc = a;
  for (uint16_t n = 1; n <= 3; n++) down(mio_fragment(last, n));
  const size_t answers = sent.size();
  serve_b(COLLAPSE_WAIT_MAX_US + 1);
  EXPECT_EQ(sent.size(), answers);
  EXPECT_EQ(forwarded.size(), 2u);
  // Off, every miss goes to the server.
  st.ctx.collapse_forwarding = false;
  as(a, mio_request(2, 103, 512 + 393216, 4096));
  cc = b;
  login();
  EXPECT_EQ(as(b, mio_request(5, 11, 512 + 393216, 4096)), 1);
  cc = a;
  // Held reads answered are timed as held, not as hits; a held read sent on
  // is timed as the miss it became, from when it was sent. A's reads whose
  // replies came are its timed misses.
  EXPECT_EQ(latency_counts(b), (std::array<uint64_t, 3>{0, 1, 2}));
  EXPECT_EQ(latency_counts(a), (std::array<uint64_t, 3>{0, 2, 0}));
  EXPECT_EQ(metrics_histogram_read(st.ctx.metrics.latency[2]).count, 2u);
}

TEST_F(Engine, MioFragmentsThatDoNotFitTheRecordedReadAreNeverStored) {
  login();
  bytes request = mio_request(1, 7, 512 + 8192, 2888);
  up(request);
  // Another request id; an offset that does not match the number; pieces
  // smaller than the packet size allows, two claiming to cover the read (the
  // mask would say complete with half the data missing): unhandled.
  bytes other = mio_fragment(request, 1), shifted = mio_fragment(request, 2);
  bytes small1 = mio_fragment(request, 1, 1000), small2 = mio_fragment(request, 2, 1000);
  other[22] ^= 1;
  shifted[48] ^= 4;
  small1[54] = small2[54] = 2;
  run({{DOWN, other, 1}, {DOWN, shifted, 1}, {DOWN, small1, 1}, {DOWN, small2, 1}});
  EXPECT_EQ(cc->metrics.unhandled_mio.load(), 4u);
  EXPECT_TRUE(cached(8192, 512).empty());
  // The real fragments complete it; whole sectors only, the tail waits.
  run({{DOWN, mio_fragment(request, 1), 1}, {DOWN, mio_fragment(request, 2), 1}});
  EXPECT_EQ(cached(8192, 2560), slice(8192, 2560));
  // A reply version that does not match the login's passes untouched.
  bytes v3 = mio_request(1, 8, 512 + 20480, 512);
  up(v3);
  bytes wrong = mio_fragment(v3, 1);
  wrong[4] = 4;
  EXPECT_EQ(down(wrong), 1);
  EXPECT_TRUE(cached(20480, 512).empty());
  // A late prepopulation reply of an earlier session, and one without a
  // record: unhandled and dropped, the present session undisturbed.
  bytes late = mio_request(0x82, 10, 512, 100);
  late[8] ^= 0x40;
  EXPECT_EQ(down(mio_fragment(late, 1)), 0);
  EXPECT_EQ(down(mio_fragment(mio_request(0x81, 9, 512, 100), 1)), 0);
  EXPECT_EQ(cc->metrics.unhandled_mio.load(), 6u);
  EXPECT_STREQ(cc->session.lock_shared()->vdisk_key, KEY);
  // Reads whose replies were lost expire: prepopulation counts the records
  // left as reads in flight.
  for (uint8_t t = 1; t <= 4; t++) up(mio_request(t, 50 + t, 512 + 40960, 1024));
  for (auto& [mid, f] : cc->mio_fragments) f->deadline = g_get_monotonic_time() - 1;
  up(mio_request(5, 55, 512 + 40960, 1024));
  EXPECT_EQ(client_mio_frament_count(cc), 1u);
}

TEST_F(Engine, NothingAtOrPastTheVdisksEndIsCachedOrServed) {
  login();
  prime_activity();
  // At the end, across it, past it, far past it: answered by the server
  // (0xAB past the end), never stored. Extent first: the reply must answer
  // the tagged read.
  for (uint64_t offset : {END, END - 512, END + 4096, 512 + (uint64_t{100} << 30)}) {
    SCOPED_TRACE(offset);
    bytes ext = ext_request(offset, 1024), mio = mio_request(1, 1, offset, 1024);
    EXPECT_EQ(up(ext), 1);
    EXPECT_EQ(up(mio), 1);
    run({{DOWN, ext_reply(ext), 1}, {DOWN, mio_fragment(mio, 1), 1}});
    EXPECT_TRUE(cached(offset - 512, 1024).empty());
  }
  EXPECT_TRUE(cached(SECTORS * 512 - 512, 512).empty());
  // Bytes past the end in the cache (an older daemon's) are never served.
  ASSERT_EQ(
      cache_put_data(&st.ctx, cc, *cc->session.lock_shared(), SECTORS * 512, image.data(), 1024),
      1024);
  run({{UP, ext_request(END, 1024), 1}, {UP, mio_request(2, 99, END, 1024), 1}});
  EXPECT_TRUE(sent.empty());
}

TEST_F(Engine, ClientsWithoutVdiskAreToldToLogInAgainAtMostFiveTimes) {
  down(login_reply());
  for (int i = 0; i < 7; i++) EXPECT_EQ(up(mio_request(1, 0, 512, 512)), i < 5 ? 0 : 1) << i;
  ASSERT_EQ(sent.size(), 5u);
  // The request's header as a reply, the handle's bit 31 set, 0xFFFF at 26,
  // zeros from 38.
  msg expected(IOS_READ_MIO_REPLY_CODE, 56);
  std::memcpy(expected.b.data() + 4, mio_request(1, 0, 512, 512).data() + 4, 34);
  expected.u8(11, expected.b[11] | 0x80).u16(26, 0xFFFF);
  EXPECT_EQ(sent[0].second, expected.b);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_MESSAGE, "Forcing relogon (4)"));
  // Association starts the count again.
  run({{DOWN, select(), 1}, {UP, service(), 1}});
  EXPECT_EQ(cc->relogon_count.load(), 0u);
}

TEST_F(Engine, APeerRepeatingAFaultCannotFloodTheLog) {
  const bytes fault = msg(LS_LOGIN_REPLY_CODE, 100).b;
  for (int i = 0; i < 1000; i++) ASSERT_EQ(down(fault), 1);
  const size_t written = logs.count("Size mismatch: LS_LOGIN_REPLY_CODE");
  EXPECT_GT(written, 0u);
  EXPECT_LE(written + logs.count("Packet: LS_LOGIN_REPLY_CODE"), size_t{CLIENT_LOG_BURST});
  // A later window says how many lines were left out, then logs again.
  cc->log_rate.window = g_get_monotonic_time() - CLIENT_LOG_WINDOW_US - 1;
  run({{DOWN, fault, 1, "more log lines about its traffic were not written"}});
  EXPECT_EQ(logs.count("Size mismatch: LS_LOGIN_REPLY_CODE"), written + 1);
  // Changes of the client's state are written however many lines were left
  // out: operators search for them.
  for (int i = 0; i < 1000; i++) down(fault);
  login();
  EXPECT_EQ(up(ext_request(512, 512, HANDLE + 1)), 1);
  for (const char* line : {"linked with vdisk_key 7-", "Associating vdisk 7",
                           "Detected outdated handle.", "Resetting vdisk context."})
    EXPECT_TRUE(logs.contains(G_LOG_LEVEL_MESSAGE, line)) << line;
  EXPECT_STREQ(cc->session.lock_shared()->vdisk_key, "");
}

TEST_F(Engine, HeartbeatRepliesCloserThanTheGapAreDroppedOnlyWithTheWorkaround) {
  const bytes beat = msg(LS_HEARTBEAT_REPLY_CODE, 40).b;
  run({{DOWN, beat, 1}, {DOWN, beat, 1}});
  st.ctx.workaround_migrate_freeze = true;
  run({{DOWN, beat, 1}, {DOWN, beat, 0}});
  cc->session.lock()->last_heartbeat_reply -= 1000;
  run({{DOWN, beat, 1}, {DOWN, msg(LS_HEARTBEAT_REPLY_CODE, 39).b, 1}});  // a size mismatch
  // Measured on the monotonic clock, which a step of the wall clock leaves alone.
  EXPECT_NEAR(static_cast<double>(cc->session.lock_shared()->last_heartbeat_reply),
              g_get_monotonic_time() / 1000.0, 1000);
}

}  // namespace
