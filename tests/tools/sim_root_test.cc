// The lab's simulators without the daemon, where a fault of theirs would hide
// one of the daemon's: a VM must fail loudly when the data or the session is
// wrong, the server's fault knobs must really fire, its counts of what it
// served must match what the VMs verified (the e2e tests judge the cache by
// them). Reply layouts need no test here: the daemon parses them on its own
// terms, and the e2e runs compare what it cached with the image directly.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace
