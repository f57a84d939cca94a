// A cache disk that runs out of inodes in the middle of a boot storm, in the
// network lab, where every VM checks every byte it reads against the image.
// (Cache VDI scripts that print garbage or hang: the control test's run.)
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/lab_daemon.h"

namespace {

using namespace std::chrono_literals;
using tarn_test::json_value;
using tarn_test::lab_daemon;
using tarn_test::report_int;
using tarn_test::vm_report;

// Boots VM `i` with `args` alone; the share of its bytes that did not come
// from the server (resends make it a little negative for a cold boot).
double cached_share(lab_daemon& d, int i, const std::vector<std::string>& args) {
  json_value before = d.server_stats();
  auto vm = d.boot(i, args);
  json_value r = vm_report(*vm, 300s);
  json_value after = d.server_stats();
  if (!r || !before || !after) return -1;
  EXPECT_EQ(report_int(r.get(), "errors"), 0) << vm->out();
  EXPECT_EQ(report_int(r.get(), "bad_bytes"), 0) << vm->out();
  // A client the server has not served yet is not listed.
  const int64_t earlier = std::max<int64_t>(0, d.served_to(before.get(), i));
  const double from_server = static_cast<double>(d.served_to(after.get(), i) - earlier);
  return 1.0 - from_server / static_cast<double>(report_int(r.get(), "bytes"));
}

// A cache file system with room for only a few chunk files: a storm that
// sweeps a larger vDisk runs out of inodes, and the cache manager evicts the
// least recently used chunks so that new ones can be created; a later
// working set that fits is served from the cache.
TEST(CacheFaults, StormOutOfInodes) {
  TARN_REQUIRE_ROOT();
  constexpr uint64_t CHUNK = 10 << 20;
  constexpr uint64_t INODES = 10;
  tarn_test::lab_daemon_options o;
  o.clients = 5;
  o.image_bytes = 10 * CHUNK;
  o.config = "listenerThreads=2\ncacheMonitorIntervalInS=1\n";
  lab_daemon d(o);
  ASSERT_TRUE(d.sandbox().set_cache_fs(lab_daemon::VDI, "1g", INODES));
  ASSERT_TRUE(d.configure()) << d.sandbox().err();

  // VMs sweep the vDisk at once, each checking every byte; meanwhile the
  // cache is compared with the image again and again. Under a sanitizer on a
  // busy machine replies can be late; a VM that gave up a read would prove
  // nothing about the cache.
  std::vector<std::unique_ptr<tarn_test::process>> vms;
  for (int i = 1; i <= tarn_test::soak_or(2, 3); i++)
    vms.push_back(d.boot(i, {"--sweep", "--timeout-ms", "500", "--retries", "20"}));
  uint64_t checked = 0, wrong = 0;
  for (size_t running = vms.size(), n = 0; running > 0 && n < 1500; n++) {
    const auto [c, w] = d.check_cache();
    checked += c;
    wrong += w;
    running = 0;
    for (auto& vm : vms) running += vm->wait(100ms) ? 0 : 1;
  }
  for (auto& vm : vms) {
    json_value r = vm_report(*vm, 10s);
    EXPECT_EQ(report_int(r.get(), "errors"), 0) << vm->out();
    EXPECT_EQ(report_int(r.get(), "bad_bytes"), 0) << vm->out();
  }
  EXPECT_GT(checked, 0u);
  EXPECT_EQ(wrong, 0u);
  struct statvfs v;
  ASSERT_EQ(statvfs(d.vdisk_dir().c_str(), &v), 0);
  ASSERT_EQ(v.f_files, INODES);
  EXPECT_NE(d.sandbox().err().find("Cache manager detected low inodes"), std::string::npos);
  EXPECT_GT(tarn_test::json_path_int(tarn_test::control_result(d.socket_path(), "metrics").get(),
                                     {"server_metrics", "cache_evicted_b"}),
            0);

  // Three chunks early in the vDisk, long evicted by the sweeps, fit in what
  // the cache manager keeps free: two boots bring them back (writes that
  // came before the cache manager made room for a new chunk file were lost),
  // and a third boot reads them from the cache.
  const std::string trace = d.sandbox().dir() + "/window.trace";
  {
    std::ofstream t(trace);
    for (uint64_t at = CHUNK; at < 4 * CHUNK; at += 32768) t << "mio " << at << " 32768\n";
  }
  cached_share(d, 4, {"--trace", trace});
  cached_share(d, 5, {"--trace", trace});
  EXPECT_GE(cached_share(d, 4, {"--trace", trace}), 0.9);
  const auto [checked_after, wrong_after] = d.check_cache();
  EXPECT_EQ(wrong_after, 0u) << checked_after << " sectors checked";
}

}  // namespace
