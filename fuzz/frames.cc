// Captured Ethernet frames through the listeners' own frame checks into the
// engine, for one client of a site whose cache lives in a temporary
// directory, with a recording sender in place of the network.
//
// Input: byte 0 picks the client's session state before the frames (see
// `setup`), byte 1 its packet size and two switches; then frames, each a
// 16-bit little-endian length (bit 15: the capture was cut short) and that
// many bytes, Ethernet header first.
//
// Checked on every frame: the engine edits nothing of a datagram but an
// extent read's tag; what it sends goes from the server to the client, fits
// one datagram and the client's packet size, and serves only bytes that a
// server sent for that offset of that vDisk. At the end: nothing was cached
// but under a vDisk key the client had.
#include <arpa/inet.h>

#include <filesystem>
#include <set>
#include <vector>

#include "cache/chunks.h"
#include "cache/chunks_fixture.h"
#include "contexts/proxy_context.h"
#include "fuzz_check.h"
#include "net/listener.h"
#include "net/udp.h"
#include "protocol/messages.h"
#include "protocol/opcodes.h"
#include "protocol/tarn.h"
#include "support/wire_builder.h"

namespace {

using tarn_test::address;
using tarn_test::bytes;
using tarn_test::msg;

constexpr uint32_t VDISK_ID = 7;
constexpr uint32_t HANDLE = 0x1234;
constexpr uint32_t DISK = 0x55;
constexpr uint32_t SECTORS = 8192;  // 4 MiB
constexpr uint8_t CLIENT_MAC[6] = {0x02, 0, 0, 0, 0x01, 0x01};
constexpr uint32_t PACKET_SIZES[8] = {1500, 9000, 576, 57, 65507, 65536, 0, 1444 + 56 + 1};
constexpr size_t MAX_FRAMES = 64;

struct world {
  fuzz::temp_dir dir{"frames"};
  chunks_test::store st{dir.path, 1 << 20};
  sockaddr_in server = address("198.18.0.20", 6905);
  sockaddr_in client = address("198.18.0.101", 40000);
  world() {
    fuzz::quiet_logs();
    st.ctx.opcode_names = opcode_names_create();
    server_contexts_init(&st.ctx);
    uint32_t a = server.sin_addr.s_addr;
    if (server_contexts_create(&st.ctx, &st.site, "0d7c8a9e-0000-4000-8000-000000000001", &a, 1,
                               6910, 6900) == nullptr)
      std::abort();
  }
};

world& the_world() {
  static world w;
  return w;
}

// One input's client and what it was seen to do.
struct run {
  run(world& world_, client_context* client) : w(world_), cc(client) {}
  world& w;
  client_context* cc;
  // The client's session as the engine found it, copied before each frame:
  // the sender runs under the engine's lock on it.
  client_session seen;
  std::set<std::string> keys;  // every vDisk key the client had
  std::vector<bytes> sent;
  // The data of the servers' read replies, by vDisk key and vDisk offset.
  struct server_data {
    std::string key;
    uint64_t offset;
    bytes data;
  };
  std::vector<server_data> replies;

  // Every byte served from the cache was sent by a server for that offset
  // of that vDisk.
  void check_served(std::span<const uint8_t> out) {
    uint64_t offset;
    std::span<const uint8_t> data;
    msg_ext_read_reply ext;
    msg_mio_read_reply mio;
    if (msg_opcode(out) == IOS_READ_EXT_REPLY_CODE && msg_parse_ext_read_reply(out, ext)) {
      offset = ext.offset - MSG_VDISK_DATA_OFFSET;
      data = ext.data;
    } else if (msg_opcode(out) == IOS_READ_MIO_REPLY_CODE && msg_parse_mio_read_reply(out, mio)) {
      offset = mio.offset - MSG_VDISK_DATA_OFFSET + mio.fragment_offset;
      data = mio.data;
    } else {
      FUZZ_CHECK(false);  // the engine builds no other message
      return;
    }
    std::vector<bool> vouched(data.size());
    size_t left = data.size();
    for (auto it = replies.rbegin(); it != replies.rend() && left != 0; ++it) {
      if (it->key != seen.vdisk_key) continue;
      for (size_t i = 0; i < data.size(); i++) {
        if (vouched[i] || offset + i < it->offset || offset + i >= it->offset + it->data.size())
          continue;
        if (it->data[offset + i - it->offset] == data[i]) vouched[i] = true, left--;
      }
    }
    FUZZ_CHECK(left == 0);
  }
  void record_reply(std::span<const uint8_t> p) {
    msg_ext_read_reply ext;
    msg_mio_read_reply mio;
    if (seen.vdisk_key[0] == '\0') return;
    if (msg_opcode(p) == IOS_READ_EXT_REPLY_CODE && msg_parse_ext_read_reply(p, ext)) {
      if (ext.offset >= MSG_VDISK_DATA_OFFSET)
        replies.push_back({seen.vdisk_key, ext.offset - MSG_VDISK_DATA_OFFSET,
                           bytes(ext.data.begin(), ext.data.end())});
    } else if (msg_opcode(p) == IOS_READ_MIO_REPLY_CODE && msg_parse_mio_read_reply(p, mio)) {
      if (mio.offset >= MSG_VDISK_DATA_OFFSET)
        replies.push_back({seen.vdisk_key, mio.offset - MSG_VDISK_DATA_OFFSET + mio.fragment_offset,
                           bytes(mio.data.begin(), mio.data.end())});
    }
  }

  static ssize_t send(void* arg, const sockaddr_in* src, const sockaddr_in* dst, const void* p,
                      size_t len) {
    auto* r = static_cast<run*>(arg);
    const tarn_frame* f = r->current;
    // From the server side of the frame being handled to its client side.
    const bool request = opcode_is_request(r->opcode);
    const sockaddr_in* server = request ? &f->dst : &f->src;
    const sockaddr_in* client = request ? &f->src : &f->dst;
    FUZZ_CHECK(src->sin_addr.s_addr == server->sin_addr.s_addr &&
               src->sin_port == server->sin_port);
    FUZZ_CHECK(dst->sin_addr.s_addr == client->sin_addr.s_addr &&
               dst->sin_port == client->sin_port);
    FUZZ_CHECK(len >= TARN_HEADER_LEN && len <= TARN_MAX_PAYLOAD);
    std::span<const uint8_t> out(static_cast<const uint8_t*>(p), len);
    if (len == MSG_RELOGON_REPLY_LEN && (msg_connection_handle(out) & MSG_CONNECTION_HANDLE_FLAG)) {
      // The forced relogon goes out whatever the packet size.
    } else {
      FUZZ_CHECK(len <= r->seen.packet_size);
      r->check_served(out);
    }
    r->sent.emplace_back(out.begin(), out.end());
    return static_cast<ssize_t>(len);
  }
  const tarn_frame* current = nullptr;
  uint32_t opcode = 0;
  tarn_sender sender{send, this};

  int deliver(const tarn_frame& f, uint8_t* payload, size_t len) {
    current = &f;
    opcode = msg_opcode(std::span<const uint8_t>(payload, len));
    seen = *cc->session.lock_shared();
    if (!opcode_is_request(opcode)) record_reply(std::span<const uint8_t>(payload, len));
    const int v = tarn_process_packet(&w.st.ctx, &sender, cc, &f, payload, len);
    seen = *cc->session.lock_shared();
    if (seen.vdisk_key[0] != '\0') keys.insert(seen.vdisk_key);
    return v;
  }
  int to_server(msg m) {
    tarn_frame f{};
    std::memcpy(f.src_mac, CLIENT_MAC, 6);
    f.src = w.client;
    f.dst = w.server;
    return deliver(f, m.b.data(), m.b.size());
  }
  int to_client(msg m) {
    tarn_frame f{};
    std::memcpy(f.dst_mac, CLIENT_MAC, 6);
    f.src = w.server;
    f.dst = w.client;
    return deliver(f, m.b.data(), m.b.size());
  }

  void classic_login(uint32_t mtu, uint32_t write_cache_type) {
    to_client(msg(LS_LOGIN_PORT_REPLY_CODE, 42).u32(34, 32768).u32(38, mtu));
    to_server(msg(LS_LOGIN_REQUEST_CODE, 40).data(25, bytes(CLIENT_MAC, CLIENT_MAC + 6)));
    to_client(msg(LS_LOGIN_REPLY_CODE, 172).u32(8, HANDLE).u32(36, HANDLE).u32(40, DISK));
    to_client(msg(LS_IO_SELECT_REPLY_CODE, 48).u32(28, VDISK_ID));
    to_server(msg(LS_SERVICE_REQUEST_CODE, 34).u32(22, VDISK_ID));
    msg info(LS_GET_VDISK_INFO_REPLY_CODE_V2, 90);
    info.u32(8, HANDLE).u32(28, SECTORS).u32(36, write_cache_type).u32(62, 9).u32(66, 0xA1B2C3D4);
    to_client(info);
  }
  void uefi_login(uint32_t mtu) {
    to_client(msg(LS_LOGIN_PORT_TLV_REPLY_CODE, 22));
    to_client(msg(LS_UEFI_LOGIN_REPLY_CODE, 56).u32(40, VDISK_ID));
    to_server(msg(LS_UEFI_SERVICE_TLV_REQUEST_CODE, 22).tlv(9, tarn_test::le_value(VDISK_ID)));
    bytes params(28, 0), identity(24, 0);
    std::memcpy(&params[2], tarn_test::le_value(DISK).data(), 4);
    std::memcpy(&params[10], tarn_test::le_value(SECTORS).data(), 4);
    std::memcpy(&params[18], tarn_test::le_value(1).data(), 4);
    std::memcpy(&identity[4], tarn_test::le_value(9).data(), 4);
    to_client(msg(LS_UEFI_SERVICE_TLV_REPLY_CODE, 22)
                  .tlv(101, params)
                  .tlv(134, tarn_test::le_value(mtu))
                  .tlv(135, tarn_test::le_value(16384))
                  .tlv(138, tarn_test::le_value(HANDLE))
                  .tlv(141, identity));
  }

  // 0 logged out; 1 logging in; 2 logged in (classic); 3 logged in (TLV);
  // 4 prepopulating with four reads in flight; 5 logged in, but the server
  // caches writes so the read cache is off.
  void setup(uint8_t state, uint8_t knobs) {
    const uint32_t mtu = PACKET_SIZES[knobs & 7];
    w.st.ctx.workaround_migrate_freeze = knobs & 0x08;
    switch (state % 6) {
      case 0:
        break;
      case 1:
        to_client(msg(LS_LOGIN_PORT_REPLY_CODE, 42).u32(34, 32768).u32(38, mtu));
        break;
      case 2:
        classic_login(mtu, 1);
        break;
      case 3:
        uefi_login(mtu);
        break;
      case 4: {
        (knobs & 0x20) ? uefi_login(mtu) : classic_login(mtu, 1);
        cc->prepopulate = 1;
        // What a prepopulation run leaves behind once it has sent its reads.
        std::lock_guard<std::mutex> hold(cc->mio_mutex);
        for (uint8_t i = 0; i < 4; i++) {
          const uint8_t id = client_prepop_thread_id(cc);
          mio_fragment* f = client_mio_fragment_add(cc, id, 16384, seen.packet_size);
          if (f == nullptr) continue;
          f->request_id = cc->prepop_sequence++;
          f->offset = MSG_VDISK_DATA_OFFSET + uint64_t{i} * 16384;
          f->length = 16384;
          f->deadline = g_get_monotonic_time() + TARN_MIO_DEADLINE_US;
        }
        break;
      }
      case 5:
        classic_login(mtu, 0);
        break;
    }
    // Requests forwarded a moment ago let extent reads be served.
    if (knobs & 0x10) cc->last_server_activity = g_get_real_time() / G_USEC_PER_SEC;
  }
};

void one_frame(run& r, std::span<const uint8_t> captured, bool cut_short) {
  // A copy of exactly the captured size, so that a read beyond it is caught.
  std::vector<uint8_t> frame(captured.begin(), captured.end());
  const size_t wire = captured.size() + (cut_short ? 1 : 0);
  listener_capture cap;
  const listener_verdict v = listener_check_frame(frame.data(), frame.size(), wire, &cap);
  if (cut_short) FUZZ_CHECK(v == LISTENER_TRUNCATED);
  if (v != LISTENER_DATAGRAM) return;
  FUZZ_CHECK(cap.ip == frame.data() + 14 && cap.ihl >= 20 && cap.ip_len >= cap.ihl + 8 &&
             14 + cap.ip_len <= frame.size());
  tarn_frame f;
  listener_fill_frame(frame.data(), cap, &f);
  uint8_t* ip = frame.data() + 14;
  uint8_t* payload = ip + cap.ihl + 8;
  const size_t len = cap.ip_len - cap.ihl - 8;
  const bytes before(payload, payload + len);
  r.deliver(f, payload, len);
  // The engine edits only the tag of the extent reads it lets through.
  for (size_t i = 0; i < len; i++) {
    if (payload[i] == before[i]) continue;
    FUZZ_CHECK(i == MSG_TAG_OFF && msg_opcode(before) == IOS_READ_EXT_REQUEST_CODE);
  }
  calculate_udp_checksum(ip, cap.ip_len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  world& w = the_world();
  fuzz::reader in{std::span<const uint8_t>(data, size)};
  auto cc = std::make_unique<client_context>();
  cc->uuid = "c1e2d3f4-0000-4000-8000-000000000001";
  cc->site_context = &w.st.site;
  std::memcpy(cc->mac.data(), CLIENT_MAC, 6);
  run r{w, cc.get()};
  const uint8_t state = in.u8();
  r.setup(state, in.u8());
  for (size_t n = 0; n < MAX_FRAMES && !in.empty(); n++) {
    const uint16_t head = in.u16();
    one_frame(r, in.take(head & 0x7fff), head & 0x8000);
  }

  if (std::getenv("TARN_FUZZ_VERBOSE") != nullptr) {
    std::fprintf(stderr, "state %u: %zu datagrams sent, key \"%s\", status %u, packet size %u\n",
                 state % 6, r.sent.size(), r.seen.vdisk_key, cc->status.load(), r.seen.packet_size);
  }
  // Nothing lands in the cache but under a key the client had.
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(w.dir.path, ec))
    FUZZ_CHECK(r.keys.count(e.path().filename().string()) == 1);

  client_context_set_vdisk_key(cc.get(), *cc->session.lock(), "");
  w.dir.clear();
  return 0;
}
