// Faults at the cache: cache VDI scripts that print garbage or hang, and a
// cache disk that runs out of inodes in the middle of a boot storm. (A cache
// disk out of space, and scripts that fail, have their tests in the cache's
// own.)
// The production daemon runs in its sandbox; the scripts are the sandbox's
// own, wrapped so that chosen VDIs misbehave; the storms run in the network
// lab, where every VM checks every byte it reads against the image.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/lab_daemon.h"
#include "support/metrics_files.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tarn_test::json_value;
using tarn_test::lab_daemon;
using tarn_test::report_int;
using tarn_test::vm_report;

constexpr const char* SCRIPTS = "/opt/vextal/tarnproxy";
constexpr const char* GOOD_VDI = "c0ffee00-0000-4000-8000-0000000000d0";
constexpr const char* BINARY_VDI = "c0ffee00-0000-4000-8000-0000000000d2";
constexpr const char* LINES_VDI = "c0ffee00-0000-4000-8000-0000000000d3";
constexpr const char* RELATIVE_VDI = "c0ffee00-0000-4000-8000-0000000000d4";
constexpr const char* HANG_VDI = "c0ffee00-0000-4000-8000-0000000000d5";

std::string site_uuid(int i) {
  char text[40];
  snprintf(text, sizeof text, "c0ffee00-0000-4000-8000-%012d", i);
  return text;
}

std::string configure_request(const std::string& site, const std::string& vdi) {
  return tarn_test::site_request(site, vdi, "", {});
}

bool answered_error(const std::optional<std::string>& answer) {
  return answer && answer->find(R"("error")") != std::string::npos;
}

// Whether the daemon holds the site: context-state lists it.
bool site_listed(const std::string& socket, const std::string& site) {
  auto state = tarn_test::control_call(
      socket, R"({"jsonrpc": "2.0", "method": "context-state", "id": 1})", 30s);
  EXPECT_TRUE(state && state->find(R"("sites")") != std::string::npos);
  return state && state->find(site) != std::string::npos;
}

bool process_gone(pid_t pid) {
  return tarn_test::eventually([pid] { return kill(pid, 0) != 0 && errno == ESRCH; }, 10s);
}

// The sandbox's open script behind a wrapper: the chosen VDIs misbehave, the
// others get the real script. The hanging one ignores SIGTERM, so only the
// daemon's SIGKILL ends it, and leaves a child behind in the background.
void wrap_open_script(tarn_test::sandbox& sb) {
  const std::string dir = sb.dir() + "/vextal/tarnproxy";
  ASSERT_EQ(rename((dir + "/open-cache-vdi.sh").c_str(), (dir + "/real-open.sh").c_str()), 0);
  const std::string s = SCRIPTS;
  ASSERT_TRUE(sb.write_file(
      s + "/open-cache-vdi.sh",
      "#!/bin/bash\ncase \"$1\" in\n" + std::string(BINARY_VDI) +
          ") head -c 8000000 /dev/urandom; exit 0 ;;\n" + LINES_VDI +
          ") printf 'attaching\\n%s\\n' " + s + "/caches; exit 0 ;;\n" + RELATIVE_VDI +
          ") echo .; exit 0 ;;\n" + HANG_VDI + ") trap '' TERM; sleep 1000 & echo $$ $! > " + s +
          "/hang.pids; wait; exit 0 ;;\nesac\n"
          // Builtins only: bash blocks signals of its own around a fork, and
          // a child reading the mask then would see those.
          "while read -r k v; do [ \"$k\" != SigBlk: ] || echo \"$k $v\" > " +
          s + "/open.sigblk; done < /proc/$$/status\nexec " + s + "/real-open.sh \"$@\"\n",
      0755));
}

// The pids the hanging script wrote once it was running.
std::vector<pid_t> hang_pids(tarn_test::sandbox& sb) {
  std::vector<pid_t> pids;
  tarn_test::eventually(
      [&] {
        std::ifstream in(sb.dir() + "/vextal/tarnproxy/hang.pids");
        pid_t a = 0, b = 0;
        if (in >> a >> b) pids = {a, b};
        return !pids.empty();
      },
      30s);
  return pids;
}

TEST(CacheFaults, BadCacheVdiScriptsFailOnlyTheirOwnSite) {
  TARN_REQUIRE_ROOT();
  tarn_test::sandbox sb;
  sb.write_file("/etc/tarnproxy.conf", "[Main]\ncacheVdiTimeoutInS=3\n");
  wrap_open_script(sb);
  sb.start();
  ASSERT_TRUE(sb.wait_for_output("Listening on", 10s)) << sb.err();
  const std::string socket = sb.socket_path();

  struct bad_case {
    const char* vdi;
    const char* warning;
  };
  const bad_case cases[] = {
      {BINARY_VDI, "cache vdi printed more than 65536 bytes"},
      {LINES_VDI, "the script must print one absolute directory"},
      // Looked up as it stood, "." would be the daemon's own directory, wiped
      // as the cache.
      {RELATIVE_VDI, "Can't access cache path .: the script must print one absolute directory"},
  };
  int n = 0;
  for (const bad_case& c : cases) {
    SCOPED_TRACE(c.vdi);
    const std::string site = site_uuid(++n);
    EXPECT_TRUE(
        answered_error(tarn_test::control_call(socket, configure_request(site, c.vdi), 30s)));
    EXPECT_TRUE(sb.err().find(c.warning) != std::string::npos) << c.warning;
    EXPECT_FALSE(site_listed(socket, site));
    EXPECT_FALSE(fs::exists(sb.dir() + "/state/" + site));
  }
  EXPECT_TRUE(fs::exists(sb.dir() + "/daemon.pid")) << "the daemon's directory was wiped";

  // A script that hangs: its request fails once the time is up, and a request
  // for another site sent meanwhile waits its turn and is answered.
  const std::string hung_site = site_uuid(10);
  auto hung = std::async(std::launch::async, [&] {
    return tarn_test::control_call(socket, configure_request(hung_site, HANG_VDI), 60s);
  });
  const std::vector<pid_t> pids = hang_pids(sb);
  ASSERT_EQ(pids.size(), 2u) << sb.err();
  const std::string good_site = site_uuid(11);
  EXPECT_TRUE(tarn_test::answered_ok(
      tarn_test::control_call(socket, configure_request(good_site, GOOD_VDI), 60s)))
      << sb.err();
  EXPECT_TRUE(answered_error(hung.get()));
  EXPECT_TRUE(sb.err().find("Command to open cache vdi did not finish within 3 s and was killed") !=
              std::string::npos)
      << sb.err();
  for (pid_t pid : pids) EXPECT_TRUE(process_gone(pid)) << "script process " << pid << " is left";
  // What the killed open may have attached is closed again.
  EXPECT_NE(sb.err().find(std::string("close-cache-vdi.sh ") + HANG_VDI), std::string::npos);
  EXPECT_FALSE(site_listed(socket, hung_site));
  EXPECT_TRUE(site_listed(socket, good_site));
  EXPECT_TRUE(fs::exists(sb.dir() + "/state/" + good_site));
  // The daemon's threads block its exit signals; a script must not inherit
  // that, or a SIGTERM at its timeout would never reach it.
  {
    std::ifstream in(sb.dir() + "/vextal/tarnproxy/open.sigblk");
    std::string label, mask;
    ASSERT_TRUE(in >> label >> mask) << "the good open ran without recording its mask";
    EXPECT_EQ(std::stoull(mask, nullptr, 16) & (1ULL << (SIGTERM - 1)), 0u) << mask;
  }

  // A hanging script holds up the shutdown only for the grace a script that
  // is nearly done gets, however long its limit.
  ASSERT_TRUE(sb.send_signal(SIGTERM));
  ASSERT_TRUE(sb.exited_cleanly(30s));
  sb.write_file("/etc/tarnproxy.conf", "[Main]\ncacheVdiTimeoutInS=3600\n");
  unlink((sb.dir() + "/vextal/tarnproxy/hang.pids").c_str());
  sb.start();
  ASSERT_TRUE(sb.wait_for_output("Listening on", 30s)) << sb.err();
  auto stopped = std::async(std::launch::async, [&] {
    return tarn_test::control_call(socket, configure_request(hung_site, HANG_VDI), 60s);
  });
  const std::vector<pid_t> late_pids = hang_pids(sb);
  ASSERT_EQ(late_pids.size(), 2u) << sb.err();
  ASSERT_TRUE(sb.send_signal(SIGTERM));
  EXPECT_TRUE(sb.exited_cleanly(60s)) << "with a script hanging";
  EXPECT_TRUE(sb.err().find("the daemon is shutting down") != std::string::npos) << sb.err();
  stopped.wait();
  for (pid_t pid : late_pids) EXPECT_TRUE(process_gone(pid)) << "script process " << pid;
}

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
  size_t chunks = 0;
  for (const auto& f : fs::directory_iterator(d.vdisk_dir()))
    chunks += isdigit(f.path().filename().string()[0]) ? 1 : 0;
  EXPECT_LT(chunks, 10u);
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
