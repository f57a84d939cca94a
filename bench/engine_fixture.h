// The streaming-protocol engine driven in-process for the engine benchmarks:
// one site whose chunk store lives in a temporary directory, one server, one
// client logged in and linked with a vDisk, a little-endian message builder
// and a sender that only counts what the engine sends.
//
//   engine_fixture e;
//   if (!e.setup(1472)) ...;          // packet size of the client
//   auto req = e.ext_request(512 + 4096, 1024);
//   e.to_server(req);                 // 1: forwarded, 0: answered here
//
// Logging below warnings is dropped: a benchmark measures the packet path, not
// the journal.
#pragma once

#include <arpa/inet.h>
#include <glib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "cache/chunks.h"
#include "cache/chunks_fixture.h"
#include "contexts/proxy_context.h"
#include "control/lifecycle.h"
#include "core/log.h"
#include "protocol/opcodes.h"
#include "protocol/tarn.h"
#include "support/wire_builder.h"

namespace engine_bench {

using tarn_test::address;
using tarn_test::bytes;
using tarn_test::le16;
using tarn_test::le32;
using tarn_test::msg;

inline constexpr uint32_t VDISK_ID = 7;
inline constexpr uint32_t HANDLE = 0x1234;
inline constexpr uint32_t DISK = 0x55;
inline constexpr uint64_t CHUNK_SIZE = 10485760;
// A large vDisk, so that the miss benchmarks always find sectors not yet
// cached; chunk files are sparse, only what is written takes room.
inline constexpr uint64_t SECTORS = uint64_t{64} << 21;  // 64 GiB
inline constexpr const char* SERVER_IP = "198.18.0.20";
inline constexpr const char* CLIENT_IP = "198.18.0.101";
inline constexpr uint8_t CLIENT_MAC[6] = {0x02, 0, 0, 0, 0x01, 0x01};
// The header in front of every MIO reply fragment's data.
inline constexpr uint32_t MIO_HEADER = 56;

inline void quiet_logs() {
  g_log_set_writer_func(
      [](GLogLevelFlags level, const GLogField* fields, gsize n, gpointer data) {
        if ((level & (G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG)) != 0) {
          return G_LOG_WRITER_HANDLED;
        }
        return log_writer(level, fields, n, data);
      },
      nullptr, nullptr);
}

// Counts the datagrams and bytes the engine sends; keeps none of them.
struct counting_sender {
  uint64_t datagrams = 0;
  uint64_t bytes_sent = 0;
  static ssize_t send(void* arg, const sockaddr_in*, const sockaddr_in*, const void*, size_t len) {
    auto* self = static_cast<counting_sender*>(arg);
    self->datagrams++;
    self->bytes_sent += len;
    return static_cast<ssize_t>(len);
  }
};

class engine_fixture {
 public:
  engine_fixture() = default;
  engine_fixture(const engine_fixture&) = delete;
  engine_fixture& operator=(const engine_fixture&) = delete;
  ~engine_fixture() {
    if (!st_) return;
    client_context_set_vdisk_key(cc_, *cc_->session.lock(), "");
    client_contexts_destroy(&st_->ctx);
    server_contexts_destroy(&st_->ctx);
  }

  // Builds the site and logs the client in with `packet_size`; false if the
  // engine did not link the client with its vDisk.
  bool setup(uint32_t packet_size) {
    if (dir_.path.empty()) return false;
    st_ = std::make_unique<chunks_test::store>(dir_.path, CHUNK_SIZE);
    st_->ctx.opcode_names = opcode_names_create();
    server_contexts_init(&st_->ctx);
    uint32_t a;
    inet_pton(AF_INET, SERVER_IP, &a);
    if (server_contexts_create(&st_->ctx, &st_->site, "0d7c8a9e-0000-4000-8000-000000000001", &a, 1,
                               6910, 6900) == nullptr) {
      return false;
    }
    cc_ = st_->add_client("");
    cc_->session.lock()->vdisk_key[0] = '\0';
    std::memcpy(cc_->mac.data(), CLIENT_MAC, 6);
    return login(packet_size) && cc_->session.lock_shared()->vdisk_key[0] != '\0';
  }

  proxy_context* ctx() { return &st_->ctx; }
  client_context* client() { return cc_; }
  counting_sender& sent() { return rec_; }

  int to_server(bytes& p) {
    tarn_frame f{};
    std::memcpy(f.src_mac, CLIENT_MAC, 6);
    f.src = client_;
    f.dst = server_;
    return tarn_process_packet(&st_->ctx, &sender_, cc_, &f, p.data(), p.size());
  }
  int to_client(bytes& p) {
    tarn_frame f{};
    std::memcpy(f.dst_mac, CLIENT_MAC, 6);
    f.src = server_;
    f.dst = client_;
    return tarn_process_packet(&st_->ctx, &sender_, cc_, &f, p.data(), p.size());
  }

  // Extent reads are served only while the server was heard from lately.
  void prime_activity() { cc_->last_server_activity = g_get_real_time() / G_USEC_PER_SEC; }

  // Rewrites the 8-byte vDisk offset field at `at` of a request.
  static void set_offset(bytes& request, size_t at, uint64_t vdisk_offset) {
    const uint64_t v = vdisk_offset + 512;
    for (size_t i = 0; i < 4; i++) {
      request[at + i] = static_cast<uint8_t>(v >> (32 + 8 * i));
      request[at + 4 + i] = static_cast<uint8_t>(v >> (8 * i));
    }
  }

  static bytes heartbeat_reply() { return msg(LS_HEARTBEAT_REPLY_CODE, 40).b; }

  static bytes ext_request(uint64_t offset, uint16_t length) {
    return msg(IOS_READ_EXT_REQUEST_CODE, 36)
        .u32(8, HANDLE)
        .u16(12, 0xBEEF)
        .u8(20, 0x77)
        .u32(22, DISK)
        .offset(26, offset)
        .u16(34, length)
        .b;
  }
  // The server's answer to `request`, its header (tag included) echoed.
  static bytes ext_reply(const bytes& request, uint8_t fill) {
    const uint16_t length = le16(&request[34]);
    bytes r(36 + length, fill);
    std::memcpy(r.data(), request.data(), 36);
    const uint32_t code = IOS_READ_EXT_REPLY_CODE;
    for (size_t i = 0; i < 4; i++) r[i] = static_cast<uint8_t>(code >> (8 * i));
    return r;
  }
  static bytes mio_request(uint8_t thread, uint32_t id, uint64_t offset, uint16_t length) {
    return msg(IOS_READ_MIO_REQUEST_CODE, 48)
        .u32(4, 3)
        .u32(8, HANDLE)
        .u32(22, id)
        .u16(26, 1)
        .u8(28, thread)
        .u32(34, DISK)
        .offset(38, offset)
        .u16(46, length)
        .b;
  }
  // Fragment `number` (from 1) of the server's reply at `packet_size`.
  static bytes mio_fragment(const bytes& request, uint16_t number, uint32_t packet_size,
                            uint8_t fill) {
    const uint32_t room = packet_size - MIO_HEADER;
    const uint16_t length = le16(&request[46]);
    const auto count = static_cast<uint16_t>((length + room - 1) / room);
    const uint32_t at = (number - 1u) * room;
    const auto n = static_cast<uint16_t>(std::min<uint32_t>(room, length - at));
    msg m(IOS_READ_MIO_REPLY_CODE, MIO_HEADER + n);
    std::memcpy(m.b.data() + 4, request.data() + 4, 44);
    m.u16(48, static_cast<uint16_t>(at)).u16(50, n).u16(52, number).u16(54, count);
    std::fill(m.b.begin() + MIO_HEADER, m.b.end(), fill);
    return m.b;
  }
  static uint16_t mio_fragment_count(uint16_t length, uint32_t packet_size) {
    return static_cast<uint16_t>((length + packet_size - MIO_HEADER - 1) /
                                 (packet_size - MIO_HEADER));
  }

  // Fills [vdisk_offset, +n) of the cache.
  bool warm(uint64_t vdisk_offset, uint32_t n) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; i++) data[i] = static_cast<uint8_t>(i * 131 + 7);
    return cache_put_data(&st_->ctx, cc_, *cc_->session.lock_shared(), vdisk_offset, data.data(),
                          n) == static_cast<int32_t>(n);
  }

 private:
  bool login(uint32_t packet_size) {
    bytes port = msg(LS_LOGIN_PORT_REPLY_CODE, 42).u32(34, 32768).u32(38, packet_size).b;
    bytes request = msg(LS_LOGIN_REQUEST_CODE, 40).b;
    std::memcpy(request.data() + 25, CLIENT_MAC, 6);
    bytes reply = msg(LS_LOGIN_REPLY_CODE, 172).u32(8, HANDLE).u32(36, HANDLE).u32(40, DISK).b;
    bytes select = msg(LS_IO_SELECT_REPLY_CODE, 48).u32(28, VDISK_ID).b;
    bytes service = msg(LS_SERVICE_REQUEST_CODE, 34).u32(22, VDISK_ID).b;
    msg info(LS_GET_VDISK_INFO_REPLY_CODE_V2, 90);
    info.u32(8, HANDLE)
        .u32(28, static_cast<uint32_t>(SECTORS))
        .u32(32, static_cast<uint32_t>(SECTORS >> 32));
    info.u32(36, 1).u32(62, 9).u32(66, 0xA1B2C3D4).u16(70, 0x1111).u16(72, 0x2222);
    for (int i = 0; i < 8; i++) info.u8(static_cast<size_t>(74 + i), static_cast<uint8_t>(i + 1));
    return to_client(port) == 1 && to_server(request) == 1 && to_client(reply) == 1 &&
           to_client(select) == 1 && to_server(service) == 1 && to_client(info.b) == 1;
  }

  chunks_test::temp_dir dir_;
  std::unique_ptr<chunks_test::store> st_;
  client_context* cc_ = nullptr;
  counting_sender rec_;
  tarn_sender sender_{counting_sender::send, &rec_};
  sockaddr_in server_ = address(SERVER_IP, 6905);
  sockaddr_in client_ = address(CLIENT_IP, 40000);
};

}  // namespace engine_bench
