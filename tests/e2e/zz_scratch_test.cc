#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "support/lab_daemon.h"
namespace {
using tarn_test::json_path_int;
using tarn_test::json_value;
using tarn_test::report_int;
using tarn_test::vm_report;
TEST(ZzScratch, ColdStorm) {
  TARN_REQUIRE_ROOT();
  const char* vms_env = getenv("ZZ_VMS");
  const int VMS = vms_env ? atoi(vms_env) : 8;
  const char* off = getenv("ZZ_OFF");
  tarn_test::lab_daemon_options options;
  options.clients = VMS;
  options.image_bytes = getenv("ZZ_SMALL") ? 32 << 20 : 64 << 20;
  if (off) options.config += "collapseForwarding=0\n";
  tarn_test::lab_daemon s(options);
  ASSERT_TRUE(s.configure()) << s.sandbox().err();
  auto t0 = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<tarn_test::process>> vms;
  for (int i = 1; i <= VMS; i++)
    vms.push_back(getenv("ZZ_SMALL") ? s.boot(i)
                                     : s.boot(i, {"--trace-reads", "3000", "--trace-seed", "21"}));
  int64_t bytes = 0, errors = 0, retries = 0, maxms = 0;
  for (auto& vm : vms) {
    json_value r = vm_report(*vm);
    ASSERT_TRUE(r) << vm->out();
    bytes += report_int(r.get(), "bytes");
    errors += report_int(r.get(), "errors");
    retries += report_int(r.get(), "retries");
    maxms = std::max<int64_t>(maxms, report_int(r.get(), "elapsed_ms"));
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  json_value st = s.server_stats();
  int64_t server = 0;
  for (int i = 1; i <= VMS; i++) server += std::max<int64_t>(0, s.served_to(st.get(), i));
  json_value m = tarn_test::control_result(s.socket_path(), "metrics");
  json_object* g = json_object_object_get(m.get(), "server_metrics");
  printf(
      "VMS=%d off=%d wall=%.2fs maxms=%lld boots=%.2f errors=%lld retries=%lld held=%lld "
      "answered=%lld timedout=%lld hits=%lld\n",
      VMS, off != nullptr, secs, (long long)maxms, (double)server / ((double)bytes / VMS),
      (long long)errors, (long long)retries, (long long)report_int(g, "held_reads"),
      (long long)report_int(g, "held_answered_reads"),
      (long long)report_int(g, "held_timed_out_reads"),
      (long long)report_int(g, "cache_hit_reads"));
  json_value progress = tarn_test::control_result(s.socket_path(), "prepop-progress");
  printf("server=%lld boot_set_bytes=%lld\n", (long long)server,
         (long long)json_path_int(progress.get(), {"vdisk", "boot_set_bytes"}));
  const auto [checked, wrong] = s.check_cache();
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(errors, 0);
}
}  // namespace
