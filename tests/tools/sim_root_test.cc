// The lab's simulators without the daemon, where a fault of theirs would hide
// one of the daemon's: a VM fails loudly on wrong data or sessions, the
// server's fault knobs fire, and its served counts match what the VMs
// verified (the e2e tests judge the cache by them).
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/control.h"
#include "support/lab.h"
#include "support/process.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using tarn_test::json_path_int;

constexpr size_t IMAGE_BYTES = 4u << 20;

std::string tool(const char* name) {
  return fs::path(TARN_DAEMON_PATH).parent_path() / "tools" / name;
}

tarn_test::json_value parse_file(const std::string& path) {
  return tarn_test::json_value(json_tokener_parse(tarn_test::read_text(path).c_str()));
}

// A VM's exit code, its report and its stderr.
struct vm_outcome {
  int code;
  tarn_test::json_value report;
  std::string errors;
  int64_t operator[](const char* key) const { return json_path_int(report.get(), {key}); }
  void expect_clean() const {
    ASSERT_TRUE(report) << errors;
    EXPECT_EQ(code, 0) << errors;
    EXPECT_EQ((*this)["errors"], 0);
  }
};

class sim_lab : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
    lab_ = std::make_unique<tarn_test::lab>(2);
    ASSERT_TRUE(lab_->steer(false));
    dir_ = "/tmp/tarn-sim-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
    // Two images that differ at every read.
    ASSERT_EQ(tarn_test::run_shell("head -c " + std::to_string(IMAGE_BYTES) + " /dev/urandom >" +
                                   image(1) + " && head -c " + std::to_string(IMAGE_BYTES) +
                                   " /dev/urandom >" + image(2)),
              0);
  }
  void TearDown() override {
    server_.reset(), lab_.reset();
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  std::string image(int n) const { return dir_ + (n == 1 ? "/a.img" : "/b.img"); }

  // `extra`: the fault knobs, space-separated.
  void start_server(const std::string& extra = "") {
    std::vector<std::string> args = {"ip", "netns", "exec", lab_->server_ns(),
                                     tool("tarn-sim-server")};
    std::istringstream words("--bind " + lab_->server_ip() + " --image 1=" + image(1) +
                             " --image 2=" + image(2) + " --stats " + dir_ +
                             "/stats.json --ready-file " + dir_ + "/ready " + extra);
    for (std::string w; words >> w;) args.push_back(w);
    server_ = std::make_unique<tarn_test::process>(args, dir_ + "/server");
    for (int i = 0; i < 200 && !fs::exists(dir_ + "/ready"); i++) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(fs::exists(dir_ + "/ready")) << server_->err();
  }
  // SIGTERM, and the statistics the server wrote on the way out.
  tarn_test::json_value stop_server() {
    server_->signal(SIGTERM);
    EXPECT_EQ(server_->wait(10s), 0) << server_->err();
    return parse_file(dir_ + "/stats.json");
  }
  // A VM with image `img` in client i's namespace; it gives up before the
  // lab's 30 s bound so that a failing run still reports.
  vm_outcome run_vm(int i, int img, const std::string& args) const {
    const std::string out = dir_ + "/vm" + std::to_string(i);
    return {lab_->run(lab_->client_ns(i), tool("tarn-sim-vm") + " --server " + lab_->server_ip() +
                                              " --json --deadline-ms 20000 --image " + image(img) +
                                              " " + args + " >" + out + ".json 2>" + out + ".err"),
            parse_file(out + ".json"), tarn_test::read_text(out + ".err")};
  }
  // The server's count `key` for client i.
  int64_t served(json_object* stats, int i, const char* key) const {
    return json_path_int(stats, {"clients", lab_->client_ip(i).c_str(), key});
  }

  std::unique_ptr<tarn_test::lab> lab_;
  std::unique_ptr<tarn_test::process> server_;
  std::string dir_;
};

TEST_F(sim_lab, classic_and_uefi_vms_verify_every_byte_and_the_server_counts_them) {
  ASSERT_NO_FATAL_FAILURE(start_server());
  // Client 1 boots vDisk 1 with the classic login, client 2 vDisk 2 with the
  // UEFI login, both at once; --sweep ends each with a pass over the vDisk.
  vm_outcome vms[2];
  auto boot = [&](int i, const char* flavour) {
    vms[i - 1] = run_vm(i, i,
                        "--vdisk-id " + std::to_string(i) + flavour +
                            " --trace-reads 200 --sweep --heartbeat-ms 20 --timeout-ms 1000");
  };
  std::thread second(boot, 2, " --flavour uefi");
  boot(1, "");
  second.join();
  tarn_test::json_value stats = stop_server();
  for (int i : {1, 2}) {
    const vm_outcome& vm = vms[i - 1];
    SCOPED_TRACE(i);
    vm.expect_clean();
    EXPECT_EQ(vm["reads"], vm["trace_reads"]);
    EXPECT_GE(vm["bytes"], static_cast<int64_t>(IMAGE_BYTES));
    EXPECT_EQ(vm["vdisk_id"], i);
    EXPECT_GT(vm["heartbeat_replies"], 0);
    // What the server counts as served is what the VM verified; a resent
    // read is served twice but verified once.
    EXPECT_EQ(served(stats.get(), i, "logins"), 1);
    const int64_t bytes = served(stats.get(), i, "data_bytes");
    EXPECT_TRUE(vm["retries"] == 0 ? bytes == vm["bytes"] : bytes >= vm["bytes"]) << bytes;
  }
  EXPECT_EQ(json_path_int(stats.get(), {"requests", "uefi_service_tlv"}), 1);
}

TEST_F(sim_lab, fault_knobs_fire_and_the_vm_absorbs_them) {
  // The server's knobs, then the faults each counted more than zero times.
  const std::vector<std::string> rows[] = {
      {"--drop 0.02 --duplicate 0.05 --reorder 0.3 --stale-tag 0.2 --wrong-handle 0.03 --seed 3",
       "dropped", "duplicated", "reordered", "stale_tag", "wrong_handle"},
      {"--relogon 0.05 --info-v1 --seed 5", "relogon"}};
  for (const auto& k : rows) {
    SCOPED_TRACE(k[1]);
    ASSERT_NO_FATAL_FAILURE(start_server(k[0]));
    vm_outcome vm = run_vm(1, 1, "--vdisk-id 1 --trace-reads 300 --timeout-ms 100 --retries 20");
    tarn_test::json_value stats = stop_server();
    vm.expect_clean();
    EXPECT_EQ(vm["reads"], 300);
    for (size_t i = 1; i < k.size(); i++)
      EXPECT_GT(json_path_int(stats.get(), {"faults", k[i].c_str()}), 0) << k[i];
    // Each relogon is a full new login, followed with the v1 info reply.
    const char* report = json_object_to_json_string(vm.report.get());
    if (k[1] == "relogon") {
      EXPECT_TRUE(vm["relogons"] > 0 && vm["info_v1"] == 1) << report;
      EXPECT_EQ(served(stats.get(), 1, "logins"), vm["relogons"] + 1);
    } else {
      EXPECT_TRUE(vm["retries"] > 0 && vm["duplicates"] > 0 && vm["stray"] > 0) << report;
    }
  }
}

TEST_F(sim_lab, wrong_data_and_broken_sessions_fail_the_vm) {
  ASSERT_NO_FATAL_FAILURE(start_server());
  // Image A served as vDisk 1 to a VM holding image B: every read fails.
  vm_outcome vm = run_vm(1, 2, "--vdisk-id 1 --trace-reads 50");
  EXPECT_EQ(vm.code, 1);
  EXPECT_EQ(vm["errors"], 50);
  // Reads up to the vDisk's last byte are verified too.
  std::ofstream(dir_ + "/trace") << "ext 0 512\nmio " << IMAGE_BYTES - 1024 << " 1024\n";
  vm = run_vm(2, 1, "--trace " + dir_ + "/trace");
  EXPECT_EQ(vm.code, 0) << vm.errors;
  EXPECT_EQ(vm["bytes"], 512 + 1024);
  // The server selects its first vDisk for one it lacks; the VM refuses it.
  vm = run_vm(1, 1, "--vdisk-id 7 --trace-reads 5");
  EXPECT_EQ(vm.code, 1);
  EXPECT_NE(vm.errors.find("selected vDisk 1"), std::string::npos) << vm.errors;
  // Nobody on the port: the login times out after its retries.
  vm = run_vm(1, 1, "--login-port 7999 --timeout-ms 50 --retries 2 --trace-reads 5");
  EXPECT_EQ(vm.code, 1);
  EXPECT_EQ(vm["login"], 0);
}

}  // namespace
