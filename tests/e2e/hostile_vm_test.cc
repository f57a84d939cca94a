// A hostile VM in the network lab: while two honest VMs boot the same trace
// through the production daemon, verifying every byte, the third VM sends
// whatever malformed, truncated, oversized or spoofed protocol traffic it
// can, and the server sends duplicated, reordered, stale and misdirected
// replies. The honest VMs must be unaffected, the daemon must stay up and
// serve from the cache, and nothing wrong may reach the cache.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <filesystem>
#include <functional>
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
    sockaddr_in to = tarn_test::address(lab_.server_ip().c_str(), port);
    sendto(udp_.get(), payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
           sizeof to);
    pace();
  }

  // An Ethernet frame carrying IPv4/UDP from port 50000; `edit` may damage
  // the headers (IP header at 14, UDP header at 34) after they are built.
  void frame(const mac_address& src_mac, const mac_address& dst_mac, const std::string& src_ip,
             const std::string& dst_ip, uint16_t dst_port, const bytes& payload,
             const std::function<void(bytes&)>& edit = {}) {
    bytes f(42);
    auto be16 = [&f](size_t at, size_t v) {
      f[at] = static_cast<uint8_t>(v >> 8);
      f[at + 1] = static_cast<uint8_t>(v);
    };
    std::copy(dst_mac.begin(), dst_mac.end(), f.begin());
    std::copy(src_mac.begin(), src_mac.end(), f.begin() + 6);
    be16(12, 0x0800);
    be16(14, 0x4500);
    be16(16, 28 + payload.size());
    be16(22, 64 << 8 | IPPROTO_UDP);
    inet_pton(AF_INET, src_ip.c_str(), f.data() + 26);
    inet_pton(AF_INET, dst_ip.c_str(), f.data() + 30);
    be16(34, 50000);
    be16(36, dst_port);
    be16(38, 8 + payload.size());
    f.insert(f.end(), payload.begin(), payload.end());
    if (edit) edit(f);
    if (f.size() >= 34) be16(24, ip_checksum(f.data() + 14, 20));
    send_frame(f);
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

// Malformed messages of every kind: the UDP payloads of the frames in the
// frame fuzzer's corpus (each of a 16-bit length, bit 15 a cut-short mark,
// and the frame), which it kept for the engine paths they reach; and each of
// those cut short.
std::vector<bytes> junk_messages() {
  std::vector<bytes> out;
  for (const auto& file : fs::directory_iterator(TARN_SOURCE_DIR "/fuzz/corpus/frames")) {
    const std::string in = tarn_test::read_text(file.path());
    const auto* p = reinterpret_cast<const uint8_t*>(in.data());
    for (size_t at = 2, len = 0; at + 2 <= in.size(); at += 2 + len) {
      len = std::min<size_t>(tarn_test::le16(p + at) & 0x7FFF, in.size() - at - 2);
      const uint8_t* f = p + at + 2;
      if (len < 42 || f[12] != 0x08 || f[13] != 0 || f[23] != IPPROTO_UDP) continue;
      const size_t udp = 14 + (f[14] & 0x0F) * 4u + 8;
      if (udp > len) continue;
      out.emplace_back(f + udp, f + len);
      out.emplace_back(f + udp, f + udp + (len - udp) / 2);
    }
  }
  return out;
}

TEST(HostileVm, OtherVmsAndTheCacheAreUnaffectedWhileTheServerMisbehaves) {
  TARN_REQUIRE_ROOT();
  tarn_test::lab_daemon_options options;
  options.clients = HOSTILE;
  options.server_args = {"--duplicate", "0.05",  "--reorder",      "0.1",   "--stale-tag", "0.05",
                         "--drop",      "0.002", "--wrong-handle", "0.002", "--delay-us",  "200",
                         "--seed",      "7"};
  tarn_test::lab_daemon s(options);
  ASSERT_TRUE(s.configure()) << s.sandbox().err();
  tarn_test::lab& lab = s.lab();
  hostile_vm vm(lab);
  ASSERT_TRUE(vm.ready());

  // Before any honest VM reads: a login and reads played from the VM's side.
  takeover_and_poison(vm, lab, s.image_bytes(), tarn_test::lab_daemon::VDISK_ID);

  const std::string reads = std::to_string(tarn_test::soak_or(3000, 5000));
  auto first = s.boot(1, {"--trace-reads", reads});
  auto second = s.boot(2, {"--trace-reads", reads, "--uefi"});
  std::mt19937 rng(2026);
  const std::vector<bytes> junk = junk_messages();
  const mac_address own = lab.client_mac(HOSTILE), server = lab.server_mac();
  const std::string own_ip = lab.client_ip(HOSTILE), server_ip = lab.server_ip();

  // Header length, total length, UDP length, a first fragment, cut short.
  const std::function<void(bytes&)> damage[] = {
      [&](bytes& f) { f[14] = static_cast<uint8_t>(0x40 | (rng() % 16)); },
      [](bytes& f) { f[16] = f[17] = 0xFF; },
      [&](bytes& f) { f[38] = 0xFF, f[39] = static_cast<uint8_t>(rng()); },
      [](bytes& f) { f[20] = 0x20; },
      [&](bytes& f) { f.resize(14 + rng() % 28); },
  };
  // Each message also goes out as a frame: in another VM's name; in the
  // server's name, to another VM and to itself; in damaged IPv4/UDP headers;
  // from the server's own Ethernet address, which only the host can tell.
  const std::function<void(const bytes&)> spoof[] = {
      [&](const bytes& m) { vm.frame(own, server, lab.client_ip(1), server_ip, IO_PORT, m); },
      [&](const bytes& m) {
        vm.frame(own, lab.client_mac(1), server_ip, lab.client_ip(1), 50000, m);
        vm.frame(own, own, server_ip, own_ip, 50000, m);
      },
      [&](const bytes& m) {
        vm.frame(own, server, own_ip, server_ip, IO_PORT, m,
                 [&](bytes& f) { damage[rng() % std::size(damage)](f); });
      },
      [&](const bytes& m) { vm.frame(server, own, server_ip, own_ip, 50000, m); },
  };
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
      spoof[rng() % std::size(spoof)](m);
    }
  }
  printf("hostile VM: %zu datagrams and frames in %d rounds\n", vm.sent(), rounds);

  for (auto* honest : {first.get(), second.get()}) {
    tarn_test::json_value r = tarn_test::vm_report(*honest, 180s);
    ASSERT_TRUE(r);
    EXPECT_EQ(tarn_test::report_int(r.get(), "bad_bytes"), 0) << honest->err();
    EXPECT_EQ(tarn_test::report_int(r.get(), "failed"), 0) << honest->err();
    EXPECT_EQ(tarn_test::report_int(r.get(), "reads"), std::stoll(reads));
  }

  // The daemon is up, answers, and the vDisk the honest VMs use holds only
  // the image's bytes. (Frames forged with the server's Ethernet address
  // may have linked the hostile VM to vDisks of its own making.) The honest
  // VMs' misses waited for each other's reads in flight, to be answered from
  // the cache once stored or, their covering reply lost or not recognised,
  // sent on to the server; how many of each depends on the host's speed (a
  // sanitizer build's VMs rarely meet), so the counts are only printed.
  ASSERT_TRUE(s.sandbox().running()) << s.sandbox().err();
  const tarn_test::json_value metrics = tarn_test::control_result(s.socket_path(), "metrics");
  const auto counter = [&](const char* name) {
    return tarn_test::json_path_int(metrics.get(), {"server_metrics", name});
  };
  printf("held reads: %lld, answered from the cache %lld, timed out %lld\n",
         static_cast<long long>(counter("held_reads")),
         static_cast<long long>(counter("held_answered_reads")),
         static_cast<long long>(counter("held_timed_out_reads")));
  EXPECT_GT(counter("cache_hit_reads"), 0);
  uint64_t checked = 0, wrong = 0;
  s.check_vdisk_dir(s.sandbox().path(std::string("/opt/vextal/tarnproxy/caches/") +
                                     tarn_test::lab_daemon::VDI + "/" + VDISK_KEY),
                    &checked, &wrong);
  EXPECT_GT(checked, 0u);
  EXPECT_EQ(wrong, 0u);
}

}  // namespace
