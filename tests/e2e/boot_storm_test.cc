// Boot storms through the production daemon: the network lab with a
// streaming-server simulator in the servers' namespace and VM simulators in
// the clients' namespaces, the daemon in its sandbox listening on the proxy
// ports. The VMs verify every byte they receive against the image; the
// server counts what it served; the daemon's metrics and cache are checked
// against both.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/lab_daemon.h"

namespace {

using namespace std::chrono_literals;
using tarn_test::json_path_int;
using tarn_test::json_value;
using tarn_test::vm_report;

int64_t member(json_object* o, const char* name) {
  return tarn_test::report_int(o, name);
}

// The links' MTU and the server's packet size: ordinary links, and the jumbo
// frames of storage networks.
struct links {
  int mtu, packet_size;
};
class BootStormOver : public testing::TestWithParam<links> {};
INSTANTIATE_TEST_SUITE_P(Links, BootStormOver,
                         testing::Values(links{1500, 1472}, links{9000, 8900}));

TEST_P(BootStormOver, WarmVmsBootFromTheCache) {
  TARN_REQUIRE_ROOT();
  constexpr int VMS = 5;
  tarn_test::lab_daemon_options options;
  options.clients = VMS;
  options.image_bytes = 32 << 20;
  options.link_mtu = GetParam().mtu;
  options.server_args = {"--mtu", std::to_string(GetParam().packet_size)};
  tarn_test::lab_daemon s(options);
  ASSERT_TRUE(s.configure()) << s.sandbox().err();

  // VM 1 boots cold: what it reads first comes from the server (its own
  // re-reads may already come from the cache).
  auto cold_vm = s.boot(1);
  json_value cold = vm_report(*cold_vm);
  ASSERT_TRUE(cold);
  EXPECT_EQ(member(cold.get(), "errors"), 0) << cold_vm->out();
  EXPECT_EQ(member(cold.get(), "mtu"), GetParam().packet_size);
  ASSERT_GT(member(cold.get(), "reads"), 0);
  json_value after_cold = s.server_stats();
  ASSERT_TRUE(after_cold);
  const int64_t cold_bytes = member(cold.get(), "bytes");
  const int64_t cold_from_server = s.served_to(after_cold.get(), 1);
  EXPECT_GT(cold_from_server, cold_bytes / 2);

  // VMs 2..N boot the same vDisk together.
  std::vector<std::unique_ptr<tarn_test::process>> warm_vms;
  // The last of them logs in with the TLV (UEFI) messages.
  for (int i = 2; i <= VMS; i++) {
    warm_vms.push_back(
        s.boot(i, i == VMS ? std::vector<std::string>{"--uefi"} : std::vector<std::string>{}));
  }
  int64_t warm_bytes = 0, warm_reads = 0, warm_retries = 0;
  for (auto& vm : warm_vms) {
    json_value r = vm_report(*vm);
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

  // The cache manager's next pass reports the space the cache now takes.
  double utilised = 0;
  for (int i = 0; i < 70 && utilised <= 0; i++) {
    std::this_thread::sleep_for(200ms);
    json_value m = tarn_test::control_result(s.socket_path(), "metrics");
    json_object *g = nullptr, *u = nullptr;
    if (json_object_object_get_ex(m.get(), "server_metrics", &g) &&
        json_object_object_get_ex(g, "cache_utilized_p", &u)) {
      utilised = json_object_get_double(u);
    }
  }
  EXPECT_GT(utilised, 0.0);
}

TEST(BootStorm, NeverAWrongByteWhenTheServerMisbehaves) {
  TARN_REQUIRE_ROOT();
  tarn_test::lab_daemon_options options;
  options.clients = 2;
  options.server_args = {"--duplicate",    "0.05",  "--reorder",  "0.1", "--stale-tag", "0.05",
                         "--wrong-handle", "0.002", "--delay-us", "200", "--seed",      "7"};
  tarn_test::lab_daemon s(options);
  ASSERT_TRUE(s.configure()) << s.sandbox().err();
  // Two VMs reading concurrently, 10,000 reads between them, with re-reads
  // so that the cache serves a good share of them.
  auto a = s.boot(1, {"--trace-reads", "5000", "--trace-seed", "11"});
  auto b = s.boot(2, {"--trace-reads", "5000", "--trace-seed", "11"});
  json_value ra = vm_report(*a, 300s), rb = vm_report(*b, 300s);
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
