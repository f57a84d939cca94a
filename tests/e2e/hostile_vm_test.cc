// A hostile VM in the network lab: while two honest VMs boot through the
// production daemon, verifying every byte, the third VM sends whatever
// malformed, truncated, oversized or spoofed protocol traffic it can. The
// honest VMs must be unaffected, the daemon must stay up, and nothing wrong
// may reach the cache.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol/opcodes.h"
#include "support/lab_daemon.h"
#include "support/wire_builder.h"

namespace {

using namespace std::chrono_literals;
using tarn_test::bytes;
using tarn_test::mac_address;
using tarn_test::msg;
namespace fs = std::filesystem;

constexpr int HOSTILE = 3;
constexpr uint16_t LOGIN_PORT = 6910, IO_PORT = 6905;
// Handles the hostile VM makes up; the server knows no such session.
constexpr uint32_t FAKE_CONNECTION = 0x7EAD0001, FAKE_DISK = 0x7EAD0002;
// The simulator's vDisk identity: GUID and key suffix as it serves them.
constexpr uint8_t GUID[16] = {0x78, 0x56, 0x34, 0x12, 0xbc, 0x9a, 0xf0, 0xde,
                              0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
constexpr const char* VDISK_KEY = "1-305419896-39612-57072-1-2-3-4-1";
constexpr uint32_t FRAGMENT_DATA = 1472 - 56;

uint16_t ip_checksum(const uint8_t* p, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < n; i += 2) sum += (p[i] << 8) | p[i + 1];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// The hostile VM's sockets, opened in its namespace: UDP from its own
// address, and a packet socket on its eth0 for frames of its own making.
class hostile_vm {
 public:
  explicit hostile_vm(tarn_test::lab& lab) : lab_(lab) {
    udp_ = lab.udp_socket(lab.client_ns(HOSTILE), lab.client_ip(HOSTILE), 0);
    tarn_test::lab_enter in(lab.client_ns(HOSTILE));
    packet_.reset(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    ifindex_ = static_cast<int>(if_nametoindex("eth0"));
  }
  bool ready() const { return udp_ && packet_ && ifindex_ > 0; }

  void to_server(const bytes& payload, uint16_t port) {
    sockaddr_in to = tarn_test::lab_address(lab_.server_ip(), port);
    sendto(udp_.get(), payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
           sizeof to);
    pace();
  }

  // An Ethernet frame carrying IPv4/UDP; `edit` may damage the headers
  // (IP header at 14, UDP header at 34) after they are built.
  template <typename Edit>
  void frame(const mac_address& src_mac, const mac_address& dst_mac, const std::string& src_ip,
             const std::string& dst_ip, uint16_t dst_port, const bytes& payload, Edit edit) {
    bytes f(42 + payload.size());
    std::copy(dst_mac.begin(), dst_mac.end(), f.begin());
    std::copy(src_mac.begin(), src_mac.end(), f.begin() + 6);
    f[12] = 0x08;
    uint8_t* ip = f.data() + 14;
    const size_t ip_len = 28 + payload.size();
    ip[0] = 0x45;
    ip[2] = static_cast<uint8_t>(ip_len >> 8);
    ip[3] = static_cast<uint8_t>(ip_len);
    ip[8] = 64;
    ip[9] = IPPROTO_UDP;
    inet_pton(AF_INET, src_ip.c_str(), ip + 12);
    inet_pton(AF_INET, dst_ip.c_str(), ip + 16);
    const uint16_t udp_len = static_cast<uint16_t>(8 + payload.size());
    ip[20] = 0xC3;  // source port 50000
    ip[21] = 0x50;
    ip[22] = static_cast<uint8_t>(dst_port >> 8);
    ip[23] = static_cast<uint8_t>(dst_port);
    ip[24] = static_cast<uint8_t>(udp_len >> 8);
    ip[25] = static_cast<uint8_t>(udp_len);
    std::copy(payload.begin(), payload.end(), f.begin() + 42);
    edit(f);
    const uint16_t sum = ip_checksum(f.data() + 14, 20);
    f[24] = static_cast<uint8_t>(sum >> 8);
    f[25] = static_cast<uint8_t>(sum);
    send_frame(f);
  }
  void frame(const mac_address& src_mac, const mac_address& dst_mac, const std::string& src_ip,
             const std::string& dst_ip, uint16_t dst_port, const bytes& payload) {
    frame(src_mac, dst_mac, src_ip, dst_ip, dst_port, payload, [](bytes&) {});
  }

  void send_frame(const bytes& f) {
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = ifindex_;
    to.sll_halen = 6;
    if (f.size() >= 6) std::copy(f.begin(), f.begin() + 6, to.sll_addr);
    sendto(packet_.get(), f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pace();
  }

  size_t sent() const { return sent_; }

 private:
  // Keeps the flood from merely overrunning the receive rings, which would
  // test the kernel rather than the daemon.
  void pace() {
    if (++sent_ % 32 == 0) std::this_thread::sleep_for(1ms);
  }

  tarn_test::lab& lab_;
  unique_fd udp_, packet_;
  int ifindex_ = 0;
  size_t sent_ = 0;
};

bytes mio_request(uint32_t conn, uint32_t disk, uint32_t request_id, uint8_t thread,
                  uint64_t offset, uint16_t length) {
  return msg(IOS_READ_MIO_REQUEST_CODE, 48)
      .u32(4, 3)
      .u32(8, conn)
      .u32(22, request_id)
      .u8(28, thread)
      .u32(34, disk)
      .offset(38, offset)
      .u16(46, length)
      .b;
}

// The fragments a server would send in answer to `request`, with `fill` as
// data.
std::vector<bytes> mio_reply(const bytes& request, uint8_t fill) {
  const uint16_t length = tarn_test::le16(request.data() + 46);
  const uint16_t count = static_cast<uint16_t>((length + FRAGMENT_DATA - 1) / FRAGMENT_DATA);
  std::vector<bytes> fragments;
  for (uint16_t n = 1; n <= count; n++) {
    const uint16_t at = static_cast<uint16_t>((n - 1) * FRAGMENT_DATA);
    const uint16_t len = static_cast<uint16_t>(std::min<uint32_t>(FRAGMENT_DATA, length - at));
    msg m(IOS_READ_MIO_REPLY_CODE, 56 + len);
    std::copy(request.begin() + 4, request.begin() + 48, m.b.begin() + 4);
    m.u16(48, at).u16(50, len).u16(52, n).u16(54, count);
    std::fill(m.b.begin() + 56, m.b.end(), fill);
    fragments.push_back(m.b);
  }
  return fragments;
}

// The daemon's view of a login, played by the VM alone: the server's
// replies sent in the server's name (its IPv4 address, the VM's own
// Ethernet address), then reads the server will never answer (it knows no
// such session) and the VM's own answers to them.
void takeover_and_poison(hostile_vm& vm, tarn_test::lab& lab, uint64_t image_bytes,
                         uint32_t vdisk_id) {
  const mac_address own = lab.client_mac(HOSTILE);
  auto as_server = [&](const bytes& reply) {
    vm.frame(own, own, lab.server_ip(), lab.client_ip(HOSTILE), 50000, reply);
  };
  as_server(msg(LS_IO_PORT_REPLY_CODE, 42).u32(38, 1472).b);
  as_server(msg(LS_LOGIN_REPLY_CODE, 172).u32(36, FAKE_CONNECTION).u32(40, FAKE_DISK).b);
  as_server(msg(LS_IO_SELECT_REPLY_CODE, 48).u32(28, vdisk_id).b);
  vm.to_server(msg(LS_SERVICE_REQUEST_CODE, 34).u32(22, vdisk_id).b, LOGIN_PORT);
  msg info(LS_GET_VDISK_INFO_REPLY_CODE_V2, 96);
  info.u32(8, FAKE_CONNECTION).u32(28, static_cast<uint32_t>(image_bytes / 512)).u32(36, 1);
  info.u32(62, 1).data(66, bytes(GUID, GUID + 16));
  as_server(info.b);
  std::this_thread::sleep_for(50ms);
  uint32_t id = 1;
  // The first sectors (every boot reads them first) and two more places.
  for (uint64_t at : {uint64_t{0}, uint64_t{1} << 20, uint64_t{5} << 20}) {
    bytes request = mio_request(FAKE_CONNECTION, FAKE_DISK, id++, 1, 512 + at, 4096);
    vm.to_server(request, IO_PORT);
    std::this_thread::sleep_for(20ms);
    for (const bytes& f : mio_reply(request, 0xEE)) as_server(f);
  }
  // Extent reads: a guess at the tag per read, every tag once.
  for (int tag = 0; tag < 255; tag++) {
    bytes request = msg(IOS_READ_EXT_REQUEST_CODE, 36)
                        .u32(8, FAKE_CONNECTION)
                        .u32(22, FAKE_DISK)
                        .offset(26, 512 + (uint64_t{2} << 20))
                        .u16(34, 1024)
                        .b;
    vm.to_server(request, IO_PORT);
    msg reply(IOS_READ_EXT_REPLY_CODE, 36 + 1024);
    std::copy(request.begin() + 4, request.end(), reply.b.begin() + 4);
    std::fill(reply.b.begin() + 36, reply.b.end(), 0xEE);
    as_server(reply.u8(14, static_cast<uint8_t>(tag)).b);
  }
}

// Malformed messages of every kind: each opcode with short, minimal and
// over-long bodies, and absurd values where the engine reads fields.
std::vector<bytes> junk_messages(std::mt19937& rng, uint64_t image_bytes) {
  std::vector<uint32_t> opcodes;
  for (uint32_t direction : {0x40u, 0x80u})
    for (uint32_t family : {0x08u, 0x80u, 0x40u, 0x20u, 0x04u})
      for (uint32_t n = 0; n < 30; n++) opcodes.push_back(direction << 24 | family << 16 | n);
  for (uint32_t odd : {0u, 0xFFFFFFFFu, 0x00200002u, 0xC0200002u, 0x40FF0000u})
    opcodes.push_back(odd);
  const uint64_t offsets[] = {0,
                              511,
                              512,
                              image_bytes,
                              image_bytes + 512,
                              uint64_t{1} << 32,
                              uint64_t{1} << 63,
                              ~uint64_t{0} - 511,
                              ~uint64_t{0}};
  const uint16_t u16s[] = {0, 1, 33, 511, 1416, 4096, 32768, 65000, 65535};
  const uint32_t handles[] = {0,          FAKE_CONNECTION, FAKE_DISK, 0x00010001,
                              0x00D00001, 0x80010001,      0xFFFFFFFF};
  auto pick = [&](const auto& table) { return table[rng() % std::size(table)]; };
  std::vector<bytes> out;
  for (size_t len = 0; len < 22; len++) {
    bytes b(len);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    // Headers cut short, with and without a known opcode in front.
    out.push_back(b);
    if (len >= 4) out.push_back(msg(IOS_READ_MIO_REPLY_CODE, len).b);
  }
  for (uint32_t opcode : opcodes) {
    for (size_t len :
         {size_t{22}, size_t{33}, size_t{35}, size_t{41}, size_t{47}, size_t{48}, size_t{55},
          size_t{56}, size_t{81}, size_t{171}, size_t{172}, size_t{600}, size_t{1472}}) {
      msg m(opcode, len);
      for (size_t i = 4; i < len; i++) m.b[i] = static_cast<uint8_t>(rng());
      m.u32(4, pick(std::array<uint32_t, 5>{0, 3, 4, 5, 0xFFFFFFFF}));
      m.u32(8, pick(handles));
      if (len >= 48) {
        // Extent and MIO fields: handles, offsets, lengths, ThreadId.
        m.u32(22, pick(handles)).u32(34, pick(handles));
        m.offset(26, pick(offsets)).u16(34, pick(u16s));
        m.offset(38, pick(offsets)).u16(46, pick(u16s));
        m.u8(28, static_cast<uint8_t>(pick(std::array<uint8_t, 4>{0, 1, 0x80, 0xFF})));
      }
      if (len >= 56)
        m.u16(48, pick(u16s)).u16(50, pick(u16s)).u16(52, pick(u16s)).u16(54, pick(u16s));
      out.push_back(m.b);
    }
  }
  // TLV sequences that end wrongly, claim too much, or carry known items
  // with wrong lengths.
  for (uint32_t opcode : {LS_UEFI_SERVICE_TLV_REQUEST_CODE, LS_UEFI_SERVICE_TLV_REPLY_CODE,
                          LS_LOGIN_PORT_TLV_REPLY_CODE}) {
    out.push_back(msg(opcode, 22).tlv(9, {1, 0, 0}).b);
    out.push_back(msg(opcode, 22).tlv(101, bytes(27, 0xFF)).b);
    out.push_back(msg(opcode, 22).tlv(134, bytes(4, 0xFF)).tlv(135, bytes(4, 0xFF)).b);
    out.push_back(msg(opcode, 22).tlv(138, bytes(5, 1)).b);
    out.push_back(msg(opcode, 22).tlv(141, bytes(23, 1)).b);
    bytes claims = msg(opcode, 22).tlv(9, tarn_test::le_value(1)).b;
    claims[24] = 0xFF;
    claims[25] = 0xFF;
    out.push_back(claims);
    msg many(opcode, 22);
    for (int i = 0; i < 300; i++) many.tlv(static_cast<uint16_t>(i), {});
    many.b.resize(many.b.size() + 3);
    out.push_back(many.b);
  }
  return out;
}

TEST(HostileVm, OtherVmsAndTheCacheAreUnaffected) {
  TARN_REQUIRE_ROOT();
  tarn_test::lab_daemon_options options;
  options.clients = HOSTILE;
  tarn_test::lab_daemon s(options);
  ASSERT_TRUE(s.configure()) << s.sandbox().err();
  tarn_test::lab& lab = s.lab();
  hostile_vm vm(lab);
  ASSERT_TRUE(vm.ready());

  // Before any honest VM reads: a login and reads played from the VM's side.
  takeover_and_poison(vm, lab, s.image_bytes(), tarn_test::lab_daemon::VDISK_ID);

  auto first = s.boot(1, {"--trace-reads", "3000"});
  auto second = s.boot(2, {"--trace-reads", "3000", "--uefi"});
  std::mt19937 rng(2026);
  const std::vector<bytes> junk = junk_messages(rng, s.image_bytes());
  const mac_address own = lab.client_mac(HOSTILE), server = lab.server_mac();
  const std::string own_ip = lab.client_ip(HOSTILE), server_ip = lab.server_ip();

  // Rounds until both honest VMs are done, bounded in count and time.
  const auto begun = std::chrono::steady_clock::now();
  int rounds = 0;
  auto honest_done = [&] { return first->wait(0ms).has_value() && second->wait(0ms).has_value(); };
  while (rounds < tarn_test::soak_or(8, 20) && !honest_done() &&
         std::chrono::steady_clock::now() - begun < 60s) {
    rounds++;
    for (const bytes& m : junk) {
      // Plainly from its own address, to both ports.
      vm.to_server(m, rng() % 2 ? LOGIN_PORT : IO_PORT);
      switch (rng() % 4) {
        case 0:  // in another VM's name
          vm.frame(own, server, lab.client_ip(1), server_ip, IO_PORT, m);
          break;
        case 1:  // in the server's name, to another VM and to itself
          vm.frame(own, lab.client_mac(1), server_ip, lab.client_ip(1), 50000, m);
          vm.frame(own, own, server_ip, own_ip, 50000, m);
          break;
        case 2:  // damaged IPv4/UDP headers around it
          vm.frame(own, server, own_ip, server_ip, IO_PORT, m, [&](bytes& f) {
            switch (rng() % 5) {
              case 0:
                f[14] = static_cast<uint8_t>(0x40 | (rng() % 16));
                break;  // header length
              case 1:
                f[16] = 0xFF, f[17] = 0xFF;
                break;  // total length
              case 2:
                f[38] = 0xFF, f[39] = static_cast<uint8_t>(rng());
                break;  // UDP length
              case 3:
                f[20] = 0x20;
                break;  // a first fragment
              default:
                f.resize(14 + rng() % 28);
                break;  // cut short
            }
          });
          break;
        default:  // from the server's own Ethernet address: only the host can tell
          vm.frame(server, own, server_ip, own_ip, 50000, m);
          break;
      }
    }
  }
  printf("hostile VM: %zu datagrams and frames in %d rounds\n", vm.sent(), rounds);

  for (auto* honest : {first.get(), second.get()}) {
    tarn_test::json_value r = tarn_test::vm_report(*honest, 180s);
    ASSERT_TRUE(r);
    EXPECT_EQ(tarn_test::report_int(r.get(), "bad_bytes"), 0) << honest->err();
    EXPECT_EQ(tarn_test::report_int(r.get(), "failed"), 0) << honest->err();
    EXPECT_EQ(tarn_test::report_int(r.get(), "reads"), 3000);
  }

  // The daemon is up, answers, and the vDisk the honest VMs use holds only
  // the image's bytes. (Frames forged with the server's Ethernet address
  // may have linked the hostile VM to vDisks of its own making.)
  ASSERT_TRUE(s.sandbox().running()) << s.sandbox().err();
  EXPECT_TRUE(tarn_test::control_result(s.socket_path(), "context-state"));
  const std::string caches =
      s.sandbox().path(std::string("/opt/vextal/tarnproxy/caches/") + tarn_test::lab_daemon::VDI);
  uint64_t checked = 0, wrong = 0;
  s.check_vdisk_dir(caches + "/" + VDISK_KEY, &checked, &wrong);
  EXPECT_GT(checked, 0u);
  EXPECT_EQ(wrong, 0u);

  ASSERT_TRUE(s.sandbox().send_signal(SIGTERM));
  auto exit = s.sandbox().wait_exit(30s);
  ASSERT_TRUE(exit.has_value());
  EXPECT_TRUE(exit->exited && exit->code == 0) << *exit;
}

}  // namespace
