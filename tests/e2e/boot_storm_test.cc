// Boot storms through the production daemon: the network lab with a
// streaming-server simulator in the servers' namespace and VM simulators in
// the clients' namespaces, the daemon in its sandbox listening on the proxy
// ports. The VMs verify every byte they receive against the image; the
// server counts what it served; the daemon's metrics and cache are checked
// against both.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/control.h"
#include "support/lab.h"
#include "support/process.h"
#include "support/sandbox.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tarn_test::json_path_int;
using tarn_test::json_value;

constexpr const char* SITE = "b0075700-0000-4000-8000-000000000001";
constexpr const char* VDI = "b0075700-0000-4000-8000-0000000000d1";
constexpr uint32_t VDISK_ID = 1;
// One UDP datagram of this size still fits the lab's 1500-byte links, so the
// server's replies travel unfragmented.
constexpr const char* MTU = "1472";

std::string client_uuid(int i) {
  char text[40];
  snprintf(text, sizeof text, "b0075700-0000-4000-8000-%012d", i);
  return text;
}

std::string mac_text(const tarn_test::mac_address& mac) {
  char text[18];
  snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
           mac[4], mac[5]);
  return text;
}

json_value parse(const std::string& text) {
  return json_value(json_tokener_parse(text.c_str()));
}

int64_t member(json_object* o, const char* name) {
  return json_path_int(o, {name});
}

// A lab of `clients` VMs, one server, and the daemon serving them.
class storm {
 public:
  storm(int clients, uint64_t image_bytes, const std::vector<std::string>& server_faults)
      : lab_(clients) {
    image_ = sb_.dir() + "/vdisk.img";
    std::mt19937_64 rng(20261206);
    std::vector<uint64_t> words(image_bytes / 8);
    for (auto& w : words) w = rng();
    // Some all-zero stretches, as real disks have, for the sparse path.
    for (size_t i = 0; i < words.size(); i += 4096) {
      std::fill(words.begin() + i, words.begin() + std::min(words.size(), i + 512), 0);
    }
    std::ofstream(image_, std::ios::binary)
        .write(reinterpret_cast<const char*>(words.data()),
               static_cast<std::streamsize>(words.size() * 8));
    image_bytes_ = image_bytes;

    sb_.set_net_ns(lab_.host_ns());
    sb_.write_file("/etc/tarnproxy.conf", "[Main]\nlistenerThreads=2\n");
    sb_.start();
    if (!sb_.wait_for_output("Listening on", 10s)) ADD_FAILURE() << sb_.err();

    std::vector<std::string> argv = {"ip",
                                     "netns",
                                     "exec",
                                     lab_.server_ns(),
                                     TARN_SIM_SERVER_PATH,
                                     "--bind",
                                     lab_.server_ip(),
                                     "--image",
                                     std::to_string(VDISK_ID) + "=" + image_,
                                     "--mtu",
                                     MTU,
                                     "--stats",
                                     sb_.dir() + "/server-stats.json",
                                     "--ready-file",
                                     sb_.dir() + "/server-ready"};
    argv.insert(argv.end(), server_faults.begin(), server_faults.end());
    server_ = std::make_unique<tarn_test::process>(argv, sb_.dir() + "/server");
    for (int i = 0; i < 100 && !fs::exists(sb_.dir() + "/server-ready"); i++) {
      std::this_thread::sleep_for(50ms);
    }
    if (!fs::exists(sb_.dir() + "/server-ready")) ADD_FAILURE() << server_->err();
  }

  ~storm() {
    if (::testing::Test::HasFailure()) {
      // The daemon's view of what went wrong, without the per-packet lines.
      std::istringstream log(sb_.err());
      std::string line, kept;
      while (std::getline(log, line)) {
        if (line.find(" - Packet: ") == std::string::npos) kept += line + "\n";
      }
      printf("daemon log (last 8 KiB without packet lines):\n%s\n",
             kept.substr(kept.size() > 8192 ? kept.size() - 8192 : 0).c_str());
      // For a closer look: TARN_TEST_KEEP_LOGS=DIR keeps every log of the run.
      if (const char* keep = getenv("TARN_TEST_KEEP_LOGS")) {
        std::error_code ec;
        for (const auto& f : fs::directory_iterator(sb_.dir(), ec)) {
          const std::string ext = f.path().extension().string();
          if (ext == ".err" || ext == ".out" || ext == ".json") {
            fs::copy_file(f.path(), fs::path(keep) / f.path().filename(),
                          fs::copy_options::overwrite_existing, ec);
          }
        }
      }
    }
    if (server_) {
      server_->signal(SIGTERM);
      server_->wait(5s);
    }
    if (sb_.send_signal(SIGTERM)) sb_.wait_exit(30s);
  }

  std::string socket_path() const { return sb_.dir() + "/vextal/tarnproxy/socket/tarnproxy"; }
  tarn_test::sandbox& sandbox() { return sb_; }
  const std::string& image() const { return image_; }

  bool configure(bool prepopulate_first = false) {
    std::string clients;
    for (int i = 1; i <= lab_.clients(); i++) {
      if (i > 1) clients += ", ";
      clients += R"({"uuid": ")" + client_uuid(i) + R"(", "mac": ")" +
                 mac_text(lab_.client_mac(i)) + R"(", "interface": ")" + lab_.client_if(i) +
                 R"(", "prepopulate": )" + (prepopulate_first && i == 1 ? "true" : "false") + "}";
    }
    const std::string request =
        R"({"jsonrpc": "2.0", "method": "configure_site", "id": 1, "params": {"site_uuid": ")" +
        std::string(SITE) + R"(", "vdi": ")" + VDI + R"(", "servers": [{"uuid": )" +
        R"("b0075700-0000-4000-8000-0000000000a1", "addresses": [")" + lab_.server_ip() +
        R"("], "first_port": 6900, "last_port": 6910}], "clients": [)" + clients + "]}}";
    auto answer = tarn_test::control_call(socket_path(), request, 60s);
    return answer && answer->find(R"("result": "OK")") != std::string::npos;
  }

  // VM i replaying the default boot trace; started in the background.
  std::unique_ptr<tarn_test::process> boot(int i, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {"ip",
                                     "netns",
                                     "exec",
                                     lab_.client_ns(i),
                                     TARN_SIM_VM_PATH,
                                     "--server",
                                     lab_.server_ip(),
                                     "--image",
                                     image_,
                                     "--vdisk-id",
                                     std::to_string(VDISK_ID),
                                     "--json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<tarn_test::process>(
        argv, sb_.dir() + "/vm" + std::to_string(i) + "-" + std::to_string(++boots_));
  }

  // The server's statistics, published on SIGUSR1.
  json_value server_stats() {
    const std::string path = sb_.dir() + "/server-stats.json";
    std::error_code ec;
    fs::remove(path, ec);
    server_->signal(SIGUSR1);
    for (int i = 0; i < 100 && !fs::exists(path); i++) std::this_thread::sleep_for(20ms);
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return parse(ss.str());
  }
  int64_t served_to(json_object* stats, int client) {
    return json_path_int(stats, {"clients", lab_.client_ip(client).c_str(), "data_bytes"});
  }

  // Every sector the cache marks present, in every vDisk directory of the
  // site's cache (the lab serves one vDisk), compared with the image.
  // Returns {sectors checked, sectors wrong}.
  std::pair<uint64_t, uint64_t> check_cache() {
    uint64_t checked = 0, wrong = 0;
    std::error_code ec;
    const std::string cache = sb_.path("/opt/vextal/tarnproxy/caches/" + std::string(VDI));
    for (const auto& dir : fs::directory_iterator(cache, ec)) {
      if (!dir.is_directory() || dir.path().filename().string()[0] == '.') continue;
      check_vdisk_dir(dir.path(), &checked, &wrong);
    }
    return {checked, wrong};
  }

  void check_vdisk_dir(const fs::path& dir, uint64_t* checked, uint64_t* wrong) {
    std::ifstream img(image_, std::ios::binary);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0]))) continue;
      const uint64_t chunk = std::stoull(name);
      const uint64_t file_size = fs::file_size(entry.path());
      const uint64_t s = file_size / 4097 * 4096;
      std::ifstream f(entry.path(), std::ios::binary);
      std::vector<char> bitmap(s / 4096), cached(512), expected(512);
      f.seekg(static_cast<std::streamoff>(s));
      f.read(bitmap.data(), static_cast<std::streamsize>(bitmap.size()));
      for (uint64_t sector = 0; sector < s / 512; sector++) {
        if (!(static_cast<uint8_t>(bitmap[sector / 8]) & (0x80 >> (sector % 8)))) continue;
        const uint64_t at = chunk * s + sector * 512;
        f.seekg(static_cast<std::streamoff>(sector * 512));
        f.read(cached.data(), 512);
        std::fill(expected.begin(), expected.end(), 0);
        if (at < image_bytes_) {
          img.clear();
          img.seekg(static_cast<std::streamoff>(at));
          img.read(expected.data(), 512);
        }
        (*checked)++;
        if (cached != expected) (*wrong)++;
      }
    }
  }

 private:
  tarn_test::lab lab_;
  tarn_test::sandbox sb_;
  std::string image_;
  uint64_t image_bytes_ = 0;
  std::unique_ptr<tarn_test::process> server_;
  int boots_ = 0;
};

// The VM's report, after it ended within `limit`; null if it did not.
json_value report(tarn_test::process& vm, std::chrono::milliseconds limit = 120s) {
  auto code = vm.wait(limit);
  if (!code) {
    ADD_FAILURE() << "VM did not finish: " << vm.err();
    vm.kill();
    return nullptr;
  }
  json_value r = parse(vm.out());
  if (!r) ADD_FAILURE() << "VM exit " << *code << ", no report: " << vm.out() << vm.err();
  if (r && member(r.get(), "errors") != 0) printf("VM errors:\n%s\n", vm.err().c_str());
  return r;
}

TEST(BootStorm, WarmVmsBootFromTheCache) {
  TARN_REQUIRE_ROOT();
  constexpr int VMS = 5;
  storm s(VMS, 32 << 20, {});
  ASSERT_TRUE(s.configure()) << s.sandbox().err();

  // VM 1 boots cold: what it reads first comes from the server (its own
  // re-reads may already come from the cache).
  auto cold_vm = s.boot(1);
  json_value cold = report(*cold_vm);
  ASSERT_TRUE(cold);
  EXPECT_EQ(member(cold.get(), "errors"), 0) << cold_vm->out();
  ASSERT_GT(member(cold.get(), "reads"), 0);
  json_value after_cold = s.server_stats();
  ASSERT_TRUE(after_cold);
  const int64_t cold_bytes = member(cold.get(), "bytes");
  const int64_t cold_from_server = s.served_to(after_cold.get(), 1);
  EXPECT_GT(cold_from_server, cold_bytes / 2);

  // VMs 2..N boot the same vDisk together.
  std::vector<std::unique_ptr<tarn_test::process>> warm_vms;
  for (int i = 2; i <= VMS; i++) warm_vms.push_back(s.boot(i));
  int64_t warm_bytes = 0, warm_reads = 0, warm_retries = 0;
  for (auto& vm : warm_vms) {
    json_value r = report(*vm);
    ASSERT_TRUE(r);
    EXPECT_EQ(member(r.get(), "errors"), 0) << vm->out();
    warm_bytes += member(r.get(), "bytes");
    warm_reads += member(r.get(), "reads");
    warm_retries += member(r.get(), "retries");
  }
  json_value after_storm = s.server_stats();
  ASSERT_TRUE(after_storm);
  int64_t warm_from_server = 0;
  for (int i = 2; i <= VMS; i++)
    warm_from_server += std::max<int64_t>(0, s.served_to(after_storm.get(), i));
  const double cached_share = 1.0 - static_cast<double>(warm_from_server) / warm_bytes;
  printf(
      "cold boot: %lld bytes read, %lld from the server; storm of %d: %lld bytes read, %lld "
      "from the server (%.1f%% from the cache)\n",
      static_cast<long long>(cold_bytes), static_cast<long long>(cold_from_server), VMS - 1,
      static_cast<long long>(warm_bytes), static_cast<long long>(warm_from_server),
      100 * cached_share);
  EXPECT_GE(cached_share, 0.95);

  // The daemon's own count agrees with the simulators'.
  json_value metrics = tarn_test::control_result(s.socket_path(), "metrics");
  ASSERT_TRUE(metrics);
  json_object* global = nullptr;
  ASSERT_TRUE(json_object_object_get_ex(metrics.get(), "server_metrics", &global));
  const int64_t total_reads = member(global, "total_reads");
  const int64_t hits = member(global, "cache_hit_reads");
  const int64_t saved = json_path_int(global, {"sent_metrics", "proxy_saved_b"});
  // Every read the VMs made (and each resend) reached the engine once.
  EXPECT_GE(total_reads, member(cold.get(), "reads") + warm_reads - 50);
  EXPECT_LE(total_reads, member(cold.get(), "reads") + warm_reads + member(cold.get(), "retries") +
                             warm_retries);
  EXPECT_GE(hits, static_cast<int64_t>(0.95 * warm_reads));
  // Data served from the cache, with its reply headers.
  EXPECT_GE(saved, warm_bytes - warm_from_server);
  // What the server sent passed the daemon and was counted there, but for
  // frames the kernel dropped when a burst overran a receive ring (the VMs
  // asked again for those).
  const int64_t server_sent = json_path_int(global, {"sent_metrics", "server_sent_b"});
  EXPECT_GE(server_sent, 0.95 * static_cast<double>(cold_from_server + warm_from_server));
  EXPECT_LE(server_sent, 1.2 * static_cast<double>(cold_from_server + warm_from_server));

  const auto [checked, wrong] = s.check_cache();
  EXPECT_GT(checked, 0u);
  EXPECT_EQ(wrong, 0u);
}

TEST(BootStorm, NeverAWrongByteWhenTheServerMisbehaves) {
  TARN_REQUIRE_ROOT();
  storm s(2, 16 << 20,
          {"--duplicate", "0.05", "--reorder", "0.1", "--stale-tag", "0.05", "--wrong-handle",
           "0.002", "--delay-us", "200", "--seed", "7"});
  ASSERT_TRUE(s.configure()) << s.sandbox().err();
  // Two VMs reading concurrently, 10,000 reads between them, with re-reads
  // so that the cache serves a good share of them.
  auto a = s.boot(1, {"--trace-reads", "5000", "--trace-seed", "11"});
  auto b = s.boot(2, {"--trace-reads", "5000", "--trace-seed", "11"});
  json_value ra = report(*a, 300s), rb = report(*b, 300s);
  ASSERT_TRUE(ra && rb);
  EXPECT_EQ(member(ra.get(), "bad_bytes"), 0) << a->out();
  EXPECT_EQ(member(rb.get(), "bad_bytes"), 0) << b->out();
  EXPECT_EQ(member(ra.get(), "reads") + member(rb.get(), "reads"), 10000);

  json_value metrics = tarn_test::control_result(s.socket_path(), "metrics");
  ASSERT_TRUE(metrics);
  printf(
      "reads %lld, of which served from the cache %lld\n",
      static_cast<long long>(json_path_int(metrics.get(), {"server_metrics", "total_reads"})),
      static_cast<long long>(json_path_int(metrics.get(), {"server_metrics", "cache_hit_reads"})));
  EXPECT_GT(json_path_int(metrics.get(), {"server_metrics", "cache_hit_reads"}), 0);
  const auto [checked, wrong] = s.check_cache();
  printf("cache sectors checked against the image: %llu, wrong: %llu\n",
         static_cast<unsigned long long>(checked), static_cast<unsigned long long>(wrong));
  EXPECT_GT(checked, 0u);
  EXPECT_EQ(wrong, 0u);
}

}  // namespace
