// The lab's simulators without the daemon, where a fault of theirs would hide
// one of the daemon's: a VM must fail loudly when the data or the session is
// wrong, the server's fault knobs must really fire, its counts of what it
// served must match what the VMs verified (the e2e tests judge the cache by
// them), and its replies must have the layouts clients parse.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol/opcodes.h"
#include "support/control.h"
#include "support/lab.h"
#include "support/process.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using tarn_test::json_value;

constexpr size_t IMAGE_BYTES = 4u << 20;

std::string tool(const char* name) {
  return fs::path(TARN_DAEMON_PATH).parent_path() / "tools" / name;
}

json_object* child(json_object* o, const char* key) {
  json_object* v = nullptr;
  return o != nullptr && json_object_object_get_ex(o, key, &v) ? v : nullptr;
}
int64_t member(json_object* o, const char* key) {
  return tarn_test::json_path_int(o, {key});
}

// Fields read with helpers of their own rather than the simulators' codec,
// so that a shared mistake cannot pass unnoticed.
uint32_t le(const std::vector<uint8_t>& m, size_t off, int n = 4) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; i--) v = v << 8 | (off + i < m.size() ? m[off + i] : 0xEE);
  return v;
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

class sim_lab : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
    lab_ = std::make_unique<tarn_test::lab>(2);
    ASSERT_TRUE(lab_->steer(false));
    char dir_template[] = "/tmp/tarn-sim-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
    for (int seed : {1, 2}) {
      std::mt19937_64 rng(seed);
      std::vector<uint64_t> words(IMAGE_BYTES / 8);
      for (auto& w : words) w = rng();
      std::ofstream(image(seed), std::ios::binary)
          .write(reinterpret_cast<const char*>(words.data()), IMAGE_BYTES);
    }
  }
  void TearDown() override {
    server_.reset();
    lab_.reset();
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  std::string image(int n) const { return dir_ + (n == 1 ? "/a.img" : "/b.img"); }

  void start_server(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"ip",
                                     "netns",
                                     "exec",
                                     lab_->server_ns(),
                                     tool("tarn-sim-server"),
                                     "--bind",
                                     lab_->server_ip(),
                                     "--image",
                                     "1=" + image(1),
                                     "--image",
                                     "2=" + image(2),
                                     "--stats",
                                     dir_ + "/stats.json",
                                     "--ready-file",
                                     dir_ + "/ready"};
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = std::make_unique<tarn_test::process>(args, dir_ + "/server");
    for (int i = 0; i < 200 && !fs::exists(dir_ + "/ready"); i++) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(fs::exists(dir_ + "/ready")) << server_->err();
  }

  // SIGTERM, and the statistics the server wrote on the way out.
  json_value stop_server() {
    server_->signal(SIGTERM);
    EXPECT_EQ(server_->wait(10s), 0) << server_->err();
    return json_value(json_tokener_parse(tarn_test::read_text(dir_ + "/stats.json").c_str()));
  }

  // A VM in client i's namespace; it gives up after 20 s, before the lab's
  // 30 s bound, so that a failing run still reports.
  struct vm_outcome {
    int code;
    json_value report;
    std::string errors;
    int64_t operator[](const char* key) const { return member(report.get(), key); }
  };
  vm_outcome run_vm(int i, const std::string& args) const {
    const std::string out = dir_ + "/vm" + std::to_string(i);
    int code =
        lab_->run(lab_->client_ns(i), tool("tarn-sim-vm") + " --server " + lab_->server_ip() +
                                          " --json --deadline-ms 20000 " + args + " >" + out +
                                          ".json 2>" + out + ".err");
    return {code, json_value(json_tokener_parse(tarn_test::read_text(out + ".json").c_str())),
            tarn_test::read_text(out + ".err")};
  }

  std::unique_ptr<tarn_test::lab> lab_;
  std::unique_ptr<tarn_test::process> server_;
  std::string dir_;
};

TEST_F(sim_lab, classic_and_uefi_vms_verify_every_byte_and_the_server_counts_them) {
  ASSERT_NO_FATAL_FAILURE(start_server({}));
  // Client 1 boots vDisk 1 with the classic login, client 2 vDisk 2 with the
  // UEFI login, both at once; --sweep ends each with a pass over the vDisk.
  std::vector<vm_outcome> vms(2);
  std::vector<std::thread> threads;
  for (int i : {1, 2})
    threads.emplace_back([&, i] {
      vms[i - 1] =
          run_vm(i, "--image " + image(i) + " --vdisk-id " + (i == 2 ? "2 --flavour uefi" : "1") +
                        " --trace-reads 200 --sweep --heartbeat-ms 20 --timeout-ms 1000");
    });
  for (auto& t : threads) t.join();
  json_value stats = stop_server();
  ASSERT_TRUE(stats);
  for (int i : {1, 2}) {
    const vm_outcome& vm = vms[i - 1];
    SCOPED_TRACE(i);
    ASSERT_TRUE(vm.report) << vm.errors;
    EXPECT_EQ(vm.code, 0) << vm.errors;
    EXPECT_EQ(vm["errors"], 0);
    EXPECT_EQ(vm["reads"], vm["trace_reads"]);
    EXPECT_GE(vm["bytes"], static_cast<int64_t>(IMAGE_BYTES));
    EXPECT_EQ(vm["vdisk_id"], i);
    EXPECT_GT(vm["heartbeat_replies"], 0);
    // What the server counts as served is what the VM verified; a resent
    // read is served twice but verified once.
    json_object* c = child(child(stats.get(), "clients"), lab_->client_ip(i).c_str());
    EXPECT_EQ(member(c, "logins"), 1);
    if (vm["retries"] == 0) {
      EXPECT_EQ(member(c, "data_bytes"), vm["bytes"]);
    }
    EXPECT_GE(member(c, "data_bytes"), vm["bytes"]);
  }
  EXPECT_EQ(member(child(stats.get(), "requests"), "uefi_service_tlv"), 1);
}

TEST_F(sim_lab, fault_knobs_fire_and_the_vm_absorbs_them) {
  struct knobs {
    std::vector<std::string> server;
    std::vector<const char*> faults;  // each counted more than zero times
  };
  for (const knobs& k : {knobs{{"--drop", "0.02", "--duplicate", "0.05", "--reorder", "0.3",
                                "--stale-tag", "0.2", "--wrong-handle", "0.03", "--seed", "3"},
                               {"dropped", "duplicated", "reordered", "stale_tag", "wrong_handle"}},
                         knobs{{"--relogon", "0.05", "--info-v1", "--seed", "5"}, {"relogon"}}}) {
    SCOPED_TRACE(k.faults[0]);
    ASSERT_NO_FATAL_FAILURE(start_server(k.server));
    vm_outcome vm = run_vm(
        1, "--image " + image(1) + " --vdisk-id 1 --trace-reads 300 --timeout-ms 100 --retries 20");
    json_value stats = stop_server();
    ASSERT_TRUE(vm.report) << vm.errors;
    EXPECT_EQ(vm.code, 0) << vm.errors;
    EXPECT_EQ(vm["errors"], 0);
    EXPECT_EQ(vm["reads"], 300);
    for (const char* kind : k.faults)
      EXPECT_GT(member(child(stats.get(), "faults"), kind), 0) << kind;
    if (k.faults[0] == std::string("relogon")) {
      // Each relogon is a full new login, followed with the v1 info reply.
      EXPECT_GT(vm["relogons"], 0);
      EXPECT_TRUE(json_object_get_boolean(child(vm.report.get(), "info_v1")));
      EXPECT_EQ(member(child(child(stats.get(), "clients"), lab_->client_ip(1).c_str()), "logins"),
                vm["relogons"] + 1);
    } else {
      EXPECT_GT(vm["retries"], 0);
      EXPECT_GT(vm["duplicates"], 0);
      EXPECT_GT(vm["stray"], 0);
    }
  }
}

TEST_F(sim_lab, wrong_data_and_broken_sessions_fail_the_vm) {
  ASSERT_NO_FATAL_FAILURE(start_server({}));
  // The server serves image A as vDisk 1; a VM holding image B must notice
  // on every read, not just once.
  vm_outcome wrong = run_vm(1, "--image " + image(2) + " --vdisk-id 1 --trace-reads 50");
  ASSERT_TRUE(wrong.report) << wrong.errors;
  EXPECT_EQ(wrong.code, 1);
  EXPECT_EQ(wrong["errors"], 50);
  EXPECT_GT(wrong["bad_bytes"], 0);
  // Reads up to the vDisk's last byte are verified too.
  std::ofstream(dir_ + "/trace") << "ext 0 512\nmio " << IMAGE_BYTES - 1024 << " 1024\n";
  vm_outcome traced = run_vm(2, "--image " + image(1) + " --trace " + dir_ + "/trace");
  EXPECT_EQ(traced.code, 0) << traced.errors;
  EXPECT_EQ(traced["bytes"], 512 + 1024);
  // A vDisk the server does not have: it selects its first, which the VM
  // must refuse rather than verify against the wrong image.
  vm_outcome missing = run_vm(1, "--image " + image(1) + " --vdisk-id 7 --trace-reads 5");
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.errors.find("selected vDisk 1"), std::string::npos) << missing.errors;
  // Nobody on the port: the login times out after its retries.
  vm_outcome silent = run_vm(
      1, "--image " + image(1) + " --login-port 7999 --timeout-ms 50 --retries 2 --trace-reads 5");
  EXPECT_EQ(silent.code, 1);
  EXPECT_FALSE(json_object_get_boolean(child(silent.report.get(), "login")));
}

TEST_F(sim_lab, read_replies_have_the_layouts_clients_parse) {
  ASSERT_NO_FATAL_FAILURE(start_server({"--mtu", "1000"}));
  unique_fd fd = lab_->udp_socket(lab_->client_ns(1), lab_->client_ip(1), 0);
  ASSERT_TRUE(fd);
  std::ifstream in(image(2), std::ios::binary);
  const std::vector<uint8_t> img{std::istreambuf_iterator<char>(in), {}};
  // Sends `m` to `port` and gathers replies until 300 ms pass without one.
  auto ask = [&](uint16_t port, const std::vector<uint8_t>& m) {
    sockaddr_in to = tarn_test::lab_address(lab_->server_ip(), port);
    sendto(fd.get(), m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::vector<std::vector<uint8_t>> replies;
    pollfd p{fd.get(), POLLIN, 0};
    while (replies.size() < 50 && poll(&p, 1, 300) > 0) {
      std::vector<uint8_t> d(65536);
      d.resize(static_cast<size_t>(std::max<ssize_t>(0, recv(fd.get(), d.data(), d.size(), 0))));
      replies.push_back(std::move(d));
    }
    return replies;
  };
  // A login: handles never with bit 31, which the proxy keeps for itself.
  auto login = ask(6910, request(LS_LOGIN_REQUEST_CODE_V2, 64));
  ASSERT_EQ(login.size(), 1u);
  const uint32_t connection = le(login[0], 36), disk = le(login[0], 40);
  EXPECT_EQ((connection | disk) & 0x80000000u, 0u);
  auto select = request(LS_SELECT_DISK_REQUEST_CODE, 34);
  set32(select, 8, connection);
  set32(select, 22, 2);
  ASSERT_EQ(ask(6910, select).size(), 1u);

  // An extent read straddling the vDisk's start: zeros below protocol
  // offset 512, then the image; header bytes 4-33 come back as sent.
  auto ext = request(IOS_READ_EXT_REQUEST_CODE, 36);
  set32(ext, 8, connection);
  ext[14] = 0x5C;
  set32(ext, 22, disk);
  set32(ext, 30, 256);
  ext[35] = 0x04;  // 1024 bytes
  auto ext_reply = ask(6905, ext);
  ASSERT_EQ(ext_reply.size(), 1u);
  const auto& e = ext_reply[0];
  ASSERT_EQ(e.size(), 36u + 1024);
  EXPECT_EQ(le(e, 0), IOS_READ_EXT_REPLY_CODE);
  EXPECT_TRUE(std::equal(e.begin() + 4, e.begin() + 34, ext.begin() + 4));
  EXPECT_TRUE(std::all_of(e.begin() + 36, e.begin() + 292, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(e.begin() + 292, e.end(), img.begin()));
  // A handle of no session is not served.
  set32(ext, 8, connection + 1000);
  EXPECT_TRUE(ask(6905, ext).empty());

  // An MIO of 2000 bytes at vDisk byte 4096 with a packet size of 1000:
  // fragments of 944, 944 and 112 bytes, each echoing bytes 4-47.
  auto mio = request(IOS_READ_MIO_REQUEST_CODE, 48);
  set32(mio, 8, connection);
  set32(mio, 22, 77);
  mio[28] = 2;
  set32(mio, 34, disk);
  set32(mio, 42, 4096 + 512);
  mio[46] = 2000 & 0xFF;
  mio[47] = 2000 >> 8;
  auto fragments = ask(6905, mio);
  ASSERT_EQ(fragments.size(), 3u);
  std::vector<uint8_t> data(2000, 0);
  for (size_t i = 0; i < fragments.size(); i++) {
    const auto& m = fragments[i];
    EXPECT_TRUE(std::equal(m.begin() + 4, m.begin() + 48, mio.begin() + 4));
    const uint32_t off = le(m, 48, 2), len = le(m, 50, 2);
    EXPECT_EQ(off, i * 944);
    EXPECT_EQ(len, i < 2 ? 944u : 112u);
    EXPECT_EQ(le(m, 52, 2), i + 1);
    EXPECT_EQ(le(m, 54, 2), 3u);
    ASSERT_EQ(m.size(), 56u + len);
    ASSERT_LE(off + len, 2000u);
    std::copy(m.begin() + 56, m.end(), data.begin() + off);
  }
  EXPECT_TRUE(std::equal(data.begin(), data.end(), img.begin() + 4096));
  EXPECT_EQ(member(stop_server().get(), "data_bytes"), 1024 + 2000);
}

}  // namespace
