// The lab's simulators end to end, without the daemon: tarn-sim-server in the
// lab's server namespace, tarn-sim-vm in client namespaces, real UDP over the
// lab's direct path. A VM must boot with every byte verified in both login
// flavours and through the server's fault knobs, and must fail loudly when
// the data is wrong, which is what makes its successes worth anything.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/opcodes.h"
#include "support/lab.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr size_t IMAGE_BYTES = 4u << 20;

std::string tool(const char* name) {
  return (fs::path(TARN_DAEMON_PATH).parent_path() / "tools" / name).string();
}

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

using json_ptr = std::unique_ptr<json_object, decltype(&json_object_put)>;

json_ptr parse_json(const std::string& text) {
  return json_ptr(json_tokener_parse(text.c_str()), &json_object_put);
}

// A member of an object, or -1 when absent, so that a missing member fails
// the comparisons below instead of passing as 0.
int64_t member(json_object* o, const char* key) {
  json_object* v = nullptr;
  if (o == nullptr || !json_object_object_get_ex(o, key, &v)) return -1;
  return json_object_get_int64(v);
}

json_object* child(json_object* o, const char* key) {
  json_object* v = nullptr;
  if (o == nullptr || !json_object_object_get_ex(o, key, &v)) return nullptr;
  return v;
}

// The wire checks below read fields with helpers of their own rather than the
// simulators' codec, so that a shared mistake cannot pass unnoticed.
uint32_t le32(const std::vector<uint8_t>& m, size_t off) {
  if (off + 4 > m.size()) return 0xDEADBEEF;
  return m[off] | m[off + 1] << 8 | m[off + 2] << 16 | static_cast<uint32_t>(m[off + 3]) << 24;
}
uint16_t le16(const std::vector<uint8_t>& m, size_t off) {
  if (off + 2 > m.size()) return 0xDEAD;
  return static_cast<uint16_t>(m[off] | m[off + 1] << 8);
}
void set32(std::vector<uint8_t>& m, size_t off, uint32_t v) {
  for (int i = 0; i < 4; i++) m[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
std::vector<uint8_t> request(uint32_t opcode, size_t size) {
  std::vector<uint8_t> m(size);
  set32(m, 0, opcode);
  set32(m, 4, 3);
  return m;
}

struct datagram {
  std::vector<uint8_t> bytes;
  uint16_t port = 0;  // the sender's
};

// Sends `m` to the server's `port` and gathers what comes back until nothing
// has arrived for `quiet` (at most 200 datagrams).
std::vector<datagram> ask(int fd, const std::string& server_ip, uint16_t port,
                          const std::vector<uint8_t>& m, std::chrono::milliseconds quiet = 300ms) {
  sockaddr_in to = tarn_test::lab_address(server_ip, port);
  std::vector<datagram> replies;
  if (sendto(fd, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
    ADD_FAILURE() << "sendto: " << strerror(errno);
    return replies;
  }
  pollfd p{fd, POLLIN, 0};
  while (replies.size() < 200 && poll(&p, 1, static_cast<int>(quiet.count())) > 0) {
    datagram d;
    d.bytes.resize(65536);
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    ssize_t n =
        recvfrom(fd, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl);
    if (n < 0) break;
    d.bytes.resize(static_cast<size_t>(n));
    d.port = ntohs(from.sin_port);
    replies.push_back(std::move(d));
  }
  return replies;
}

struct vm_outcome {
  int code = -1;
  json_ptr report{nullptr, &json_object_put};
  std::string errors;
  int64_t operator[](const char* key) const { return member(report.get(), key); }
};

class sim_lab : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
    lab_ = std::make_unique<tarn_test::lab>(clients());
    ASSERT_TRUE(lab_->steer(false));
    char dir_template[] = "/tmp/tarn-sim-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
    write_image(image_a(), 1);
    write_image(image_b(), 2);
  }

  void TearDown() override {
    if (server_ > 0) {
      kill(server_, SIGKILL);
      waitpid(server_, nullptr, 0);
    }
    lab_.reset();
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  // Clients in the lab; a fixture that boots a crowd asks for more.
  virtual int clients() const { return 2; }

  std::string image_a() const { return dir_ + "/a.img"; }
  std::string image_b() const { return dir_ + "/b.img"; }
  std::string stats_path() const { return dir_ + "/stats.json"; }

  static void write_image(const std::string& path, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<uint64_t> words(IMAGE_BYTES / sizeof(uint64_t));
    for (auto& w : words) w = rng();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(words.data()),
               static_cast<std::streamsize>(IMAGE_BYTES));
  }

  // Starts the server in the server namespace and waits, at most 10 s, for
  // its ready file.
  void start_server(const std::vector<std::string>& extra) {
    const std::string ready = dir_ + "/ready";
    std::vector<std::string> args = {"ip",
                                     "netns",
                                     "exec",
                                     lab_->server_ns(),
                                     tool("tarn-sim-server"),
                                     "--bind",
                                     lab_->server_ip(),
                                     "--image",
                                     "1=" + image_a(),
                                     "--image",
                                     "2=" + image_b(),
                                     "--stats",
                                     stats_path(),
                                     "--ready-file",
                                     ready};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    server_ = fork();
    ASSERT_GE(server_, 0);
    if (server_ == 0) {
      int null = open("/dev/null", O_WRONLY);
      if (null >= 0) dup2(null, 1);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    for (int i = 0; i < 200 && !fs::exists(ready); i++) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(fs::exists(ready)) << "tarn-sim-server did not become ready";
  }

  // Ends the server with SIGTERM (at most 10 s) and returns the statistics it
  // wrote on the way out.
  json_ptr stop_server() {
    EXPECT_GT(server_, 0);
    if (server_ <= 0) return json_ptr(nullptr, &json_object_put);
    kill(server_, SIGTERM);
    int status = -1;
    for (int i = 0; i < 200; i++) {
      if (waitpid(server_, &status, WNOHANG) == server_) {
        server_ = 0;
        break;
      }
      std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(server_, 0) << "tarn-sim-server ignored SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    json_ptr stats = parse_json(slurp(stats_path()));
    EXPECT_NE(stats, nullptr) << slurp(stats_path());
    return stats;
  }

  // Runs a VM in client i's namespace and reads its JSON report. The VM gives
  // up on its reads after 20 s, before the lab's 30 s bound kills it, so a
  // failing run still reports.
  vm_outcome run_vm(int i, const std::string& args) const {
    const std::string out = dir_ + "/vm" + std::to_string(i) + ".json";
    const std::string err = dir_ + "/vm" + std::to_string(i) + ".err";
    vm_outcome o;
    o.code = lab_->run(lab_->client_ns(i), tool("tarn-sim-vm") + " --server " + lab_->server_ip() +
                                               " --json --deadline-ms 20000 " + args + " >" + out +
                                               " 2>" + err);
    o.report = parse_json(slurp(out));
    o.errors = slurp(err);
    return o;
  }

  std::unique_ptr<tarn_test::lab> lab_;
  std::string dir_;
  pid_t server_ = 0;
};

// Eight VMs at once, as a host boots them after a restart.
class sim_lab_crowd : public sim_lab {
 protected:
  int clients() const override { return 8; }
};

TEST_F(sim_lab_crowd, classic_and_uefi_vms_boot_concurrently_with_every_byte_verified) {
  ASSERT_NO_FATAL_FAILURE(start_server({}));
  // Odd clients boot vDisk 1 with the classic login, even ones vDisk 2 with
  // the UEFI login; each has a trace of its own. --sweep ends every trace
  // with a pass over the whole vDisk, so every byte of both images is
  // compared at least once per VM.
  std::vector<vm_outcome> vms(clients());
  std::vector<std::thread> threads;
  for (int i = 1; i <= clients(); i++) {
    threads.emplace_back([&, i] {
      bool uefi = i % 2 == 0;
      vms[i - 1] =
          run_vm(i, "--image " + (uefi ? image_b() : image_a()) + " --vdisk-id " +
                        (uefi ? "2 --flavour uefi" : "1") + " --trace-seed " + std::to_string(i) +
                        " --trace-reads 200 --sweep --heartbeat-ms 20 --timeout-ms 1000");
    });
  }
  for (auto& t : threads) t.join();
  json_ptr stats = stop_server();
  ASSERT_NE(stats, nullptr);

  int64_t served = 0;
  for (int i = 1; i <= clients(); i++) {
    const vm_outcome& vm = vms[i - 1];
    SCOPED_TRACE("client " + std::to_string(i));
    ASSERT_NE(vm.report, nullptr) << vm.errors;
    EXPECT_EQ(vm.code, 0) << vm.errors;
    EXPECT_EQ(vm["errors"], 0);
    EXPECT_EQ(vm["failed"], 0);
    EXPECT_EQ(vm["reads"], vm["trace_reads"]);
    EXPECT_GT(vm["trace_reads"], 200);  // the sweep's reads come on top
    EXPECT_GE(vm["bytes"], static_cast<int64_t>(IMAGE_BYTES));
    EXPECT_EQ(vm["vdisk_id"], i % 2 == 0 ? 2 : 1);
    EXPECT_EQ(vm["mtu"], 1500);
    EXPECT_EQ(vm["burst"], 32768);
    EXPECT_GT(vm["heartbeat_replies"], 0);

    // What the server counts as served is what the VM verified; a resent
    // read is served twice but verified once.
    json_object* c = child(child(stats.get(), "clients"), lab_->client_ip(i).c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(member(c, "logins"), 1);
    if (vm["retries"] == 0) {
      EXPECT_EQ(member(c, "data_bytes"), vm["bytes"]);
      EXPECT_EQ(member(c, "reads"), vm["reads"]);
    } else {
      EXPECT_GE(member(c, "data_bytes"), vm["bytes"]);
    }
    served += member(c, "data_bytes");
  }
  EXPECT_EQ(member(stats.get(), "data_bytes"), served);
  EXPECT_EQ(member(stats.get(), "sessions"), clients());
  json_object* requests = child(stats.get(), "requests");
  EXPECT_EQ(member(requests, "login"), clients() / 2);
  EXPECT_EQ(member(requests, "uefi_login"), clients() / 2);
  EXPECT_EQ(member(requests, "uefi_service_tlv"), clients() / 2);
  EXPECT_EQ(member(requests, "vdisk_info_v2"), clients() / 2);
  EXPECT_GT(member(requests, "read_mio"), 0);
  EXPECT_GT(member(requests, "read_ext"), 0);
}

TEST_F(sim_lab, reads_verify_through_drops_duplicates_reordering_and_bad_replies) {
  ASSERT_NO_FATAL_FAILURE(
      start_server({"--drop", "0.02", "--duplicate", "0.05", "--reorder", "0.3", "--stale-tag",
                    "0.2", "--wrong-handle", "0.03", "--delay-us", "100", "--seed", "3"}));
  vm_outcome vm = run_vm(
      1, "--image " + image_a() + " --vdisk-id 1 --trace-reads 300 --timeout-ms 40 --retries 20");
  json_ptr stats = stop_server();

  ASSERT_NE(vm.report, nullptr) << vm.errors;
  EXPECT_EQ(vm.code, 0) << vm.errors;
  EXPECT_EQ(vm["errors"], 0);
  EXPECT_EQ(vm["reads"], 300);
  // The faults reached the VM and were absorbed rather than never happening.
  EXPECT_GT(vm["retries"], 0);
  EXPECT_GT(vm["duplicates"], 0);
  EXPECT_GT(vm["stray"], 0);
  json_object* faults = child(stats.get(), "faults");
  for (const char* kind : {"dropped", "duplicated", "reordered", "stale_tag", "wrong_handle"})
    EXPECT_GT(member(faults, kind), 0) << kind << " in " << json_object_to_json_string(stats.get());
  EXPECT_EQ(member(faults, "relogon"), 0);
}

TEST_F(sim_lab, forced_relogons_and_a_v1_info_reply_are_followed) {
  ASSERT_NO_FATAL_FAILURE(start_server({"--relogon", "0.05", "--info-v1", "--seed", "5"}));
  vm_outcome vm =
      run_vm(1, "--image " + image_a() + " --vdisk-id 1 --trace-reads 300 --timeout-ms 200");
  json_ptr stats = stop_server();

  ASSERT_NE(vm.report, nullptr) << vm.errors;
  EXPECT_EQ(vm.code, 0) << vm.errors;
  EXPECT_EQ(vm["errors"], 0);
  EXPECT_EQ(vm["reads"], 300);
  EXPECT_GT(vm["relogons"], 0);
  json_object* info_v1 = child(vm.report.get(), "info_v1");
  EXPECT_TRUE(info_v1 != nullptr && json_object_get_boolean(info_v1));
  // Each relogon is a full new login, and the old session's handles are gone
  // from the reads that follow it.
  json_object* c1 = child(child(stats.get(), "clients"), lab_->client_ip(1).c_str());
  EXPECT_EQ(member(c1, "logins"), vm["relogons"] + 1);
  EXPECT_EQ(member(child(stats.get(), "requests"), "vdisk_info_v2"), vm["relogons"] + 1);
  EXPECT_EQ(member(child(stats.get(), "rejected"), "stale_handle"), -1);
}

TEST_F(sim_lab, server_replies_have_the_layouts_clients_parse) {
  ASSERT_NO_FATAL_FAILURE(
      start_server({"--mtu", "1000", "--burst", "20000", "--write-cache-type", "5", "--key-suffix",
                    "42", "--guid", "00112233445566778899aabbccddeeff"}));
  unique_fd fd = lab_->udp_socket(lab_->client_ns(1), lab_->client_ip(1), 0);
  ASSERT_TRUE(fd);
  const std::string srv = lab_->server_ip();
  std::vector<uint8_t> image;
  {
    std::ifstream in(image_b(), std::ios::binary);
    image.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_EQ(image.size(), IMAGE_BYTES);

  auto port_reply = ask(fd.get(), srv, 6910, request(LS_LOGIN_PORT_REQUEST_CODE, 42));
  ASSERT_EQ(port_reply.size(), 1u);
  EXPECT_EQ(port_reply[0].port, 6910);
  EXPECT_EQ(le32(port_reply[0].bytes, 0), LS_LOGIN_PORT_REPLY_CODE);
  EXPECT_GE(port_reply[0].bytes.size(), 42u);
  EXPECT_EQ(le32(port_reply[0].bytes, 34), 20000u);
  EXPECT_EQ(le32(port_reply[0].bytes, 38), 1000u);
  // Any request is answered from the port it was sent to.
  auto io_reply = ask(fd.get(), srv, 6905, request(LS_IO_PORT_REQUEST_CODE, 42));
  ASSERT_EQ(io_reply.size(), 1u);
  EXPECT_EQ(io_reply[0].port, 6905);
  EXPECT_EQ(le32(io_reply[0].bytes, 0), LS_IO_PORT_REPLY_CODE);
  EXPECT_EQ(le32(io_reply[0].bytes, 38), 1000u);

  // Two logins: handles of their own, never with bit 31.
  uint32_t connection[2], disk[2];
  for (int i = 0; i < 2; i++) {
    auto login = ask(fd.get(), srv, 6910,
                     request(i == 0 ? LS_LOGIN_REQUEST_CODE : LS_LOGIN_REQUEST_CODE_V2, 64));
    ASSERT_EQ(login.size(), 1u);
    const auto& m = login[0].bytes;
    EXPECT_EQ(le32(m, 0), LS_LOGIN_REPLY_CODE);
    EXPECT_EQ(m.size(), 172u);
    connection[i] = le32(m, 36);
    disk[i] = le32(m, 40);
    EXPECT_EQ(le32(m, 8), connection[i]);
    EXPECT_EQ(connection[i] & 0x80000000u, 0u);
    EXPECT_EQ(disk[i] & 0x80000000u, 0u);
  }
  EXPECT_NE(connection[0], connection[1]);
  EXPECT_NE(disk[0], disk[1]);

  auto select = request(LS_SELECT_DISK_REQUEST_CODE, 34);
  set32(select, 8, connection[1]);
  set32(select, 22, 2);
  auto selected = ask(fd.get(), srv, 6910, select);
  ASSERT_EQ(selected.size(), 1u);
  EXPECT_EQ(le32(selected[0].bytes, 0), LS_IO_SELECT_REPLY_CODE);
  EXPECT_GE(selected[0].bytes.size(), 48u);
  EXPECT_EQ(le32(selected[0].bytes, 28), 2u);

  auto info_request = request(LS_GET_VDISK_INFO_REQUEST_CODE_V2, 34);
  set32(info_request, 8, connection[1]);
  auto info = ask(fd.get(), srv, 6910, info_request);
  ASSERT_EQ(info.size(), 1u);
  {
    const auto& m = info[0].bytes;
    EXPECT_EQ(le32(m, 0), LS_GET_VDISK_INFO_REPLY_CODE_V2);
    EXPECT_GE(m.size(), 82u);
    EXPECT_EQ(le32(m, 8), connection[1]);
    EXPECT_EQ(le32(m, 28), IMAGE_BYTES / 512);
    EXPECT_EQ(le32(m, 32), 0u);
    EXPECT_EQ(le32(m, 36), 5u);
    EXPECT_EQ(le32(m, 62), 42u);
    EXPECT_EQ(le32(m, 66), 0x33221100u);
    EXPECT_EQ(le16(m, 70), 0x5544);
    EXPECT_EQ(le16(m, 72), 0x7766);
    EXPECT_EQ(m[74], 0x88);
    EXPECT_EQ(m[81], 0xFF);
  }

  // Extent read straddling the vDisk's start: zeros below protocol offset
  // 512, then the image; header bytes 4-33 (tag included) come back as sent.
  auto ext = request(IOS_READ_EXT_REQUEST_CODE, 36);
  set32(ext, 8, connection[1]);
  ext[12] = 0xA1;
  ext[14] = 0x5C;
  ext[20] = 0x7E;
  set32(ext, 22, disk[1]);
  set32(ext, 30, 256);
  ext[34] = 0x00;
  ext[35] = 0x04;  // 1024 bytes
  auto ext_reply = ask(fd.get(), srv, 6905, ext);
  ASSERT_EQ(ext_reply.size(), 1u);
  {
    const auto& m = ext_reply[0].bytes;
    EXPECT_EQ(le32(m, 0), IOS_READ_EXT_REPLY_CODE);
    ASSERT_EQ(m.size(), 36u + 1024);
    EXPECT_TRUE(std::equal(m.begin() + 4, m.begin() + 34, ext.begin() + 4));
    EXPECT_EQ(le16(m, 34), 1024);
    EXPECT_TRUE(
        std::all_of(m.begin() + 36, m.begin() + 36 + 256, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(m.begin() + 36 + 256, m.end(), image.begin()));
  }
  // The first session's handles with the second's disk: nobody's, not served.
  set32(ext, 8, connection[0]);
  EXPECT_TRUE(ask(fd.get(), srv, 6905, ext, 200ms).empty());

  // An MIO of 2000 bytes at vDisk byte 4096 with a packet size of 1000: three
  // fragments of 944, 944 and 112 bytes, each echoing bytes 4-47.
  auto mio = request(IOS_READ_MIO_REQUEST_CODE, 48);
  set32(mio, 8, connection[1]);
  set32(mio, 22, 77);
  mio[26] = 1;
  mio[28] = 2;
  set32(mio, 34, disk[1]);
  set32(mio, 42, 4096 + 512);
  mio[46] = 2000 & 0xFF;
  mio[47] = 2000 >> 8;
  auto fragments = ask(fd.get(), srv, 6905, mio);
  ASSERT_EQ(fragments.size(), 3u);
  std::vector<uint8_t> data(2000, 0);
  for (size_t i = 0; i < fragments.size(); i++) {
    const auto& m = fragments[i].bytes;
    SCOPED_TRACE("fragment " + std::to_string(i + 1));
    EXPECT_EQ(le32(m, 0), IOS_READ_MIO_REPLY_CODE);
    EXPECT_TRUE(std::equal(m.begin() + 4, m.begin() + 48, mio.begin() + 4));
    uint16_t off = le16(m, 48), len = le16(m, 50);
    EXPECT_EQ(off, i * 944);
    EXPECT_EQ(len, i < 2 ? 944 : 112);
    EXPECT_EQ(le16(m, 52), i + 1);
    EXPECT_EQ(le16(m, 54), 3);
    ASSERT_EQ(m.size(), 56u + len);
    ASSERT_LE(off + len, 2000);
    std::copy(m.begin() + 56, m.end(), data.begin() + off);
  }
  EXPECT_TRUE(std::equal(data.begin(), data.end(), image.begin() + 4096));

  // UEFI: the TLV service reply carries every item a client needs.
  auto uefi_login = request(LS_UEFI_LOGIN_REQUEST_CODE, 64);
  set32(uefi_login, 36, 2);
  auto uefi = ask(fd.get(), srv, 6910, uefi_login);
  ASSERT_EQ(uefi.size(), 1u);
  EXPECT_EQ(le32(uefi[0].bytes, 0), LS_UEFI_LOGIN_REPLY_CODE);
  EXPECT_GE(uefi[0].bytes.size(), 56u);
  EXPECT_EQ(le32(uefi[0].bytes, 40), 2u);
  uint32_t uefi_connection = le32(uefi[0].bytes, 8);
  auto service = request(LS_UEFI_SERVICE_TLV_REQUEST_CODE, 30);
  set32(service, 8, uefi_connection);
  service[22] = 9;
  service[24] = 4;
  set32(service, 26, 2);
  auto tlv = ask(fd.get(), srv, 6910, service);
  ASSERT_EQ(tlv.size(), 1u);
  const auto& m = tlv[0].bytes;
  EXPECT_EQ(le32(m, 0), LS_UEFI_SERVICE_TLV_REPLY_CODE);
  std::map<uint16_t, std::pair<size_t, uint16_t>> items;  // type: value offset, length
  size_t at = 22;
  while (at + 4 <= m.size()) {
    uint16_t len = le16(m, at + 2);
    items[le16(m, at)] = {at + 4, len};
    at += 4 + len;
  }
  EXPECT_EQ(at, m.size()) << "items must end exactly at the end of the message";
  ASSERT_EQ(items.count(101), 1u);
  ASSERT_GE(items[101].second, 28);
  size_t p = items[101].first;
  EXPECT_NE(le32(m, p + 2), 0u);
  EXPECT_EQ(le32(m, p + 10), IMAGE_BYTES / 512);
  EXPECT_EQ(le32(m, p + 14), 0u);
  EXPECT_EQ(le32(m, p + 18), 5u);
  EXPECT_EQ(items[134].second, 4);
  EXPECT_EQ(le32(m, items[134].first), 1000u);
  EXPECT_EQ(items[135].second, 4);
  EXPECT_EQ(le32(m, items[135].first), 20000u);
  EXPECT_EQ(items[138].second, 4);
  EXPECT_EQ(le32(m, items[138].first), uefi_connection);
  ASSERT_EQ(items[141].second, 24);
  EXPECT_EQ(le32(m, items[141].first + 4), 42u);
  EXPECT_EQ(m[items[141].first + 8], 0x00);
  EXPECT_EQ(m[items[141].first + 23], 0xFF);

  json_ptr stats = stop_server();
  EXPECT_EQ(member(stats.get(), "data_bytes"), 1024 + 2000);
  EXPECT_EQ(member(child(stats.get(), "rejected"), "stale_handle"), 1);
  EXPECT_EQ(member(stats.get(), "sessions"), 3);
}

TEST_F(sim_lab, wrong_data_and_broken_sessions_fail_the_vm) {
  ASSERT_NO_FATAL_FAILURE(start_server({}));

  // The server serves image A as vDisk 1; a VM holding image B must notice
  // on every read, not just once.
  vm_outcome wrong = run_vm(1, "--image " + image_b() + " --vdisk-id 1 --trace-reads 50");
  ASSERT_NE(wrong.report, nullptr) << wrong.errors;
  EXPECT_EQ(wrong.code, 1);
  EXPECT_EQ(wrong["reads"], 50);
  EXPECT_EQ(wrong["errors"], 50);
  EXPECT_GT(wrong["bad_bytes"], 0);
  EXPECT_NE(wrong.errors.find("wrong bytes"), std::string::npos) << wrong.errors;

  // An explicit trace: one extent read of the first sector and MIOs, one
  // reaching the last byte of the vDisk.
  std::ofstream(dir_ + "/trace") << "# boot\next 0 512\nmio 4096 8192\n\nmio " << IMAGE_BYTES - 1024
                                 << " 1024\n";
  vm_outcome traced = run_vm(2, "--image " + image_a() + " --trace " + dir_ + "/trace");
  EXPECT_EQ(traced.code, 0) << traced.errors;
  EXPECT_EQ(traced["reads"], 3);
  EXPECT_EQ(traced["bytes"], 512 + 8192 + 1024);

  // A trace MIO larger than the burst size the server allows is refused
  // before anything is read.
  std::ofstream(dir_ + "/big") << "mio 0 40960\n";
  EXPECT_EQ(run_vm(2, "--image " + image_a() + " --trace " + dir_ + "/big").code, 2);
  std::ofstream(dir_ + "/bad") << "ext 0\n";
  EXPECT_EQ(run_vm(2, "--image " + image_a() + " --trace " + dir_ + "/bad").code, 2);

  // A vDisk the server does not have: it selects its first, which the VM
  // must refuse rather than verify against the wrong image.
  vm_outcome missing = run_vm(1, "--image " + image_a() + " --vdisk-id 7 --trace-reads 5");
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.errors.find("selected vDisk 1"), std::string::npos) << missing.errors;

  // Nobody on the port: the login times out after its retries.
  vm_outcome silent = run_vm(
      1, "--image " + image_a() + " --login-port 7999 --timeout-ms 50 --retries 2 --trace-reads 5");
  EXPECT_EQ(silent.code, 1);
  json_object* login = child(silent.report.get(), "login");
  EXPECT_TRUE(login != nullptr && !json_object_get_boolean(login));
  EXPECT_EQ(silent["retries"], 2);

  json_ptr stats = stop_server();
  EXPECT_EQ(member(child(stats.get(), "requests"), "login"), 4);
}

}  // namespace
