// Prepopulation through the production daemon in the lab: a VM whose client
// has prepopulation enabled logs in and stays logged in (its heartbeats start
// the jobs); the daemon reads the whole vDisk in that client's name; the
// streaming-server simulator counts the reads that carry the ThreadId high
// bit. The hold-off after a link is shortened to 2 seconds by configuration.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/opcodes.h"
#include "support/lab_daemon.h"
#include "support/wire_builder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tarn_test::json_path_int;
using tarn_test::json_value;
using tarn_test::lab_daemon;
using tarn_test::report_int;
using tarn_test::vm_report;

constexpr const char* COMPLETE = "Prepopulation complete for vdisk";
constexpr uint64_t BURST = 32768;  // the server's default

tarn_test::lab_daemon_options prepop_options(int clients, uint64_t image_bytes,
                                             std::vector<std::string> server_args = {}) {
  tarn_test::lab_daemon_options o;
  o.clients = clients;
  o.image_bytes = image_bytes;
  o.server_args = std::move(server_args);
  o.config = "listenerThreads=2\nprepopIoThreads=2\nprepopHoldOffInS=2\n";
  return o;
}

// A VM that logs in, reads a little and stays logged in.
std::unique_ptr<tarn_test::process> lingering_vm(lab_daemon& d, int i, int seconds = 120) {
  return d.boot(i, {"--trace-reads", "8", "--linger-ms", std::to_string(seconds * 1000)});
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

// Milliseconds since midnight of the first log line containing `what`
// ("** Message: HH:MM:SS.mmm: ..."); -1 if none.
int64_t log_time_ms(const std::string& log, const std::string& what) {
  const size_t at = log.find(what);
  if (at == std::string::npos) return -1;
  const size_t line = log.rfind('\n', at) == std::string::npos ? 0 : log.rfind('\n', at) + 1;
  int h, m, s, ms;
  const size_t stamp = log.find(": ", line);
  if (stamp == std::string::npos ||
      sscanf(log.c_str() + stamp + 2, "%d:%d:%d.%d", &h, &m, &s, &ms) != 4) {
    return -1;
  }
  return ((h * 60 + m) * 60 + s) * 1000LL + ms;
}

// Waits until `text` has appeared more often than `seen` times.
bool wait_for_another(lab_daemon& d, const std::string& text, size_t seen,
                      std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (count(d.sandbox().err(), text) <= seen) {
    if (std::chrono::steady_clock::now() > deadline || !d.sandbox().running()) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

json_value vdisk_progress(lab_daemon& d) {
  json_value r = tarn_test::control_result(d.socket_path(), "prepop-progress");
  json_object* vdisk = nullptr;
  if (!r || !json_object_object_get_ex(r.get(), "vdisk", &vdisk)) return nullptr;
  return json_value(json_object_get(vdisk));
}

TEST(Prepopulation, FillsTheVdiskAndTheNextVmBootsFromTheCache) {
  TARN_REQUIRE_ROOT();
  constexpr uint64_t SIZE = 64 << 20;
  lab_daemon d(prepop_options(3, SIZE));
  ASSERT_TRUE(d.configure({1}, {1, 2}));
  auto vm1 = lingering_vm(d, 1);
  // Progress is visible while it runs.
  ASSERT_TRUE(d.sandbox().wait_for_output("Prepopulating cache of vdisk", 30s))
      << d.sandbox().err();
  json_value during = vdisk_progress(d);
  ASSERT_TRUE(during);
  EXPECT_EQ(json_path_int(during.get(), {"size"}), static_cast<int64_t>(SIZE));
  EXPECT_GE(json_path_int(during.get(), {"complete"}), 512);
  ASSERT_TRUE(d.sandbox().wait_for_output(COMPLETE, 120s)) << d.sandbox().err();

  json_value after = vdisk_progress(d);
  ASSERT_TRUE(after);
  EXPECT_EQ(json_path_int(after.get(), {"complete"}), static_cast<int64_t>(SIZE + 512));
  EXPECT_TRUE(fs::exists(d.vdisk_dir() + "/prepop"));
  const auto [checked, wrong] = d.check_cache();
  EXPECT_EQ(checked, SIZE / 512);
  EXPECT_EQ(wrong, 0u);

  // A client of a second site boots the same vDisk: that site's cache is
  // cold, and is prepopulated and marked on its own.
  ASSERT_TRUE(d.configure({3}, {3}, true));
  auto vm3 = lingering_vm(d, 3);
  ASSERT_TRUE(wait_for_another(d, COMPLETE, 1, 60s)) << d.sandbox().err();
  EXPECT_TRUE(fs::exists(d.vdisk_dir(lab_daemon::VDI2) + "/prepop"));
  EXPECT_EQ(d.check_cache(lab_daemon::VDI2), std::make_pair(SIZE / 512, uint64_t{0}));
  vm3->kill();

  json_value stats = d.server_stats();
  ASSERT_TRUE(stats);
  EXPECT_GE(d.served_to(stats.get(), 1, "high_bit_data_bytes"), static_cast<int64_t>(SIZE));
  EXPECT_EQ(d.served_to(stats.get(), 1, "proxy_ids_without_high_bit"), 0);
  EXPECT_LE(d.served_to(stats.get(), 1, "high_bit_max_in_flight"), 4);
  vm1->kill();

  // A new VM of the same vDisk: everything from the cache, nothing from the
  // server.
  auto vm2 = d.boot(2);
  json_value r2 = vm_report(*vm2);
  ASSERT_TRUE(r2);
  EXPECT_EQ(report_int(r2.get(), "errors"), 0);
  json_value stats2 = d.server_stats();
  EXPECT_EQ(d.served_to(stats2.get(), 2), 0);

  // The rate against the server read directly, measured now.
  const std::string log = d.sandbox().err();
  const int64_t began = log_time_ms(log, "Prepopulating cache of vdisk");
  const int64_t ended = log_time_ms(log, COMPLETE);
  ASSERT_TRUE(d.lab().steer(false));
  auto direct = d.boot(2, {"--trace-reads", "1", "--sweep"});
  json_value rd = vm_report(*direct);
  ASSERT_TRUE(rd);
  const double prepop_mbs = SIZE / 1e6 / ((ended - began) / 1000.0);
  const double direct_mbs = SIZE / 1e6 / (report_int(rd.get(), "elapsed_ms") / 1000.0);
  printf(
      "prepopulation of %llu MiB: %.1f MB/s; direct sequential read by a VM: %.1f MB/s "
      "(ratio %.2f)\n",
      static_cast<unsigned long long>(SIZE >> 20), prepop_mbs, direct_mbs, prepop_mbs / direct_mbs);
  ::testing::Test::RecordProperty("prepop_mb_per_s", std::to_string(prepop_mbs));
  ::testing::Test::RecordProperty("direct_mb_per_s", std::to_string(direct_mbs));
}

TEST(Prepopulation, KeepsToFourReadsAndEndsWithAShortOne) {
  TARN_REQUIRE_ROOT();
  // Not a multiple of the burst size: the last read is at most 12 KiB. The server's
  // delay keeps reads in flight long enough to be counted.
  constexpr uint64_t SIZE = (1 << 20) + 12288;
  lab_daemon d(prepop_options(1, SIZE, {"--delay-us", "20000"}));
  ASSERT_TRUE(d.configure({1}));
  auto vm = lingering_vm(d, 1);
  ASSERT_TRUE(d.sandbox().wait_for_output(COMPLETE, 60s)) << d.sandbox().err();
  json_value stats = d.server_stats();
  ASSERT_TRUE(stats);
  EXPECT_EQ(d.served_to(stats.get(), 1, "high_bit_max_in_flight"), 4);
  EXPECT_LE(d.served_to(stats.get(), 1, "mio_max_in_flight"), 4);
  EXPECT_EQ(d.served_to(stats.get(), 1, "proxy_ids_without_high_bit"), 0);
  EXPECT_EQ(d.served_to(stats.get(), 1, "high_bit_last_offset") +
                d.served_to(stats.get(), 1, "high_bit_last_length"),
            static_cast<int64_t>(SIZE + 512));
  EXPECT_LT(static_cast<uint64_t>(d.served_to(stats.get(), 1, "high_bit_last_length")), BURST);
  const int64_t asked = d.served_to(stats.get(), 1, "high_bit_mios");
  vm->kill();

  // The cache outlives the daemon: a restarted one finds everything cached
  // and completes without asking the server for anything.
  ASSERT_TRUE(d.start_daemon()) << d.sandbox().err();
  auto again = lingering_vm(d, 1);
  ASSERT_TRUE(d.sandbox().wait_for_output(COMPLETE, 60s)) << d.sandbox().err();
  json_value stats2 = d.server_stats();
  EXPECT_EQ(d.served_to(stats2.get(), 1, "high_bit_mios"), asked);
}

TEST(Prepopulation, AServerThatStopsAnsweringEndsTheRunAndTheNextOneCompletes) {
  TARN_REQUIRE_ROOT();
  // Sixteen reads get no answer: the first round's four and three rounds
  // of resends. Then the server answers again.
  constexpr uint64_t SIZE = 1 << 20;
  lab_daemon d(prepop_options(1, SIZE, {"--prepop-ignore", "16"}));
  ASSERT_TRUE(d.configure({1}));
  auto vm = lingering_vm(d, 1);
  ASSERT_TRUE(d.sandbox().wait_for_output("retries exceeded", 60s)) << d.sandbox().err();
  ASSERT_TRUE(d.sandbox().wait_for_output("aborted, excessive failed retries", 10s));
  // Four fruitless waits, each followed by resends but the last.
  const std::string first_run = d.sandbox().err().substr(0, d.sandbox().err().find("aborted"));
  EXPECT_EQ(count(first_run, " timeout (") - count(first_run, "resend of fragment"), 4u);
  // The in-progress mark is clear and the first run's reads are forgotten:
  // a later heartbeat starts a run that sends and completes.
  ASSERT_TRUE(d.sandbox().wait_for_output(COMPLETE, 60s)) << d.sandbox().err();
  const auto [checked, wrong] = d.check_cache();
  EXPECT_EQ(checked, SIZE / 512);
  EXPECT_EQ(wrong, 0u);
  json_value stats = d.server_stats();
  EXPECT_EQ(json_path_int(stats.get(), {"faults", "prepop_ignored"}), 16);
}

TEST(Prepopulation, ResendsMakeUpForLostFragments) {
  TARN_REQUIRE_ROOT();
  constexpr uint64_t SIZE = 1 << 20;
  lab_daemon d(prepop_options(1, SIZE, {"--prepop-drop-fragment", "0.1", "--seed", "3"}));
  ASSERT_TRUE(d.configure({1}));
  auto vm = lingering_vm(d, 1);
  ASSERT_TRUE(d.sandbox().wait_for_output(COMPLETE, 120s)) << d.sandbox().err();
  const auto [checked, wrong] = d.check_cache();
  EXPECT_EQ(checked, SIZE / 512);
  EXPECT_EQ(wrong, 0u);
  json_value stats = d.server_stats();
  EXPECT_GT(json_path_int(stats.get(), {"faults", "prepop_fragments_dropped"}), 0);
}

TEST(Prepopulation, InterruptionsEndRunsCleanly) {
  TARN_REQUIRE_ROOT();
  constexpr const char* RUN = "Prepopulating cache of vdisk";
  constexpr const char* ENDED = "Prepopulation ended for vdisk";
  // Slow enough (20 ms per round of four reads) to be caught mid-run.
  lab_daemon d(prepop_options(2, 64 << 20, {"--delay-us", "20000"}));
  tarn_test::sandbox& sb = d.sandbox();
  ASSERT_TRUE(d.configure({1}));
  auto vm1 = lingering_vm(d, 1);
  ASSERT_TRUE(wait_for_another(d, RUN, 0, 30s)) << sb.err();

  // Another client linked: the run ends at its next round.
  auto vm2 = d.boot(2, {"--trace-reads", "4"});
  ASSERT_TRUE(wait_for_another(d, ENDED, 0, 20s)) << sb.err();
  vm_report(*vm2);

  // The client logging in again ends the next run (as "ended", or as
  // "aborted" when a wait had already timed out).
  auto ends = [&] { return count(sb.err(), ENDED) + count(sb.err(), "aborted, excessive"); };
  ASSERT_TRUE(wait_for_another(d, RUN, 1, 30s)) << sb.err();
  const size_t before_login = ends();
  vm1->kill();
  vm1 = lingering_vm(d, 1);
  for (int i = 0; i < 200 && ends() == before_login; i++) std::this_thread::sleep_for(100ms);
  EXPECT_GT(ends(), before_login) << sb.err();

  // The client's session reset mid-run by a read with an outdated handle:
  // the run stops speaking for the vDisk, and nothing reads the emptied key.
  ASSERT_TRUE(wait_for_another(d, RUN, 2, 30s)) << sb.err();
  const size_t before_reset = ends();
  unique_fd vm_socket = d.lab().udp_socket(d.lab().client_ns(1), d.lab().client_ip(1), 0);
  const tarn_test::bytes outdated = tarn_test::msg(IOS_READ_EXT_REQUEST_CODE, 36).u32(8, 0xDEAD).b;
  const sockaddr_in io_port = tarn_test::lab_address(d.lab().server_ip(), 6905);
  sendto(vm_socket.get(), outdated.data(), outdated.size(), 0,
         reinterpret_cast<const sockaddr*>(&io_port), sizeof io_port);
  ASSERT_TRUE(sb.wait_for_output("Detected outdated handle.", 10s)) << sb.err();
  for (int i = 0; i < 200 && ends() == before_reset; i++) std::this_thread::sleep_for(100ms);
  EXPECT_GT(ends(), before_reset) << sb.err();
  EXPECT_EQ(sb.err().find("CRITICAL"), std::string::npos) << sb.err();

  // Removing the client mid-run cancels it.
  vm1->kill();
  vm1 = lingering_vm(d, 1);
  ASSERT_TRUE(wait_for_another(d, RUN, 3, 30s)) << sb.err();
  ASSERT_TRUE(d.configure({}, {2}));
  EXPECT_TRUE(wait_for_another(d, "canceled", 0, 20s)) << sb.err();

  // The client back, a run under way, and the whole site removed.
  ASSERT_TRUE(d.configure({1}));
  vm1->kill();
  vm1 = lingering_vm(d, 1);
  ASSERT_TRUE(wait_for_another(d, RUN, 4, 30s)) << sb.err();
  auto removed = tarn_test::control_call(
      d.socket_path(), std::string(R"({"jsonrpc": "2.0", "method": "remove_site", "id": 1, )") +
                           R"("params": {"site_uuid": ")" + lab_daemon::SITE + R"("}})");
  ASSERT_TRUE(removed && removed->find("OK") != std::string::npos) << removed.value_or("");
  EXPECT_TRUE(wait_for_another(d, "canceled", 1, 20s)) << sb.err();

  // A run under way when the daemon is told to stop.
  ASSERT_TRUE(d.configure({1}));
  vm1->kill();
  vm1 = lingering_vm(d, 1);
  ASSERT_TRUE(wait_for_another(d, RUN, 5, 30s)) << sb.err();
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(sb.send_signal(SIGTERM));
  auto exit = sb.wait_exit(30s);
  ASSERT_TRUE(exit);
  EXPECT_TRUE(exit->exited && exit->code == 0) << *exit;
  printf("shutdown during a run took %.2f s\n",
         std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}

TEST(Prepopulation, WaitsForAKnownBurstSize) {
  TARN_REQUIRE_ROOT();
  constexpr uint64_t SIZE = 1 << 20;
  lab_daemon d(prepop_options(1, SIZE, {"--burst", "0"}));
  ASSERT_TRUE(d.configure({1}));
  auto vm = d.boot(1, {"--trace", "/dev/null", "--linger-ms", "60000"});
  ASSERT_TRUE(d.sandbox().wait_for_output("burst size is unknown", 30s)) << d.sandbox().err();
  vm->kill();
  // Once a login brings a burst size, the next job completes.
  ASSERT_TRUE(d.start_server({}));
  vm = lingering_vm(d, 1);
  ASSERT_TRUE(d.sandbox().wait_for_output(COMPLETE, 60s)) << d.sandbox().err();
}

}  // namespace
