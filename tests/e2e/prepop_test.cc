// Prepopulation through the production daemon in the lab: a VM whose client
// has prepopulation enabled logs in and stays logged in (its heartbeats start
// the jobs); the daemon reads the whole vDisk in that client's name; the
// streaming-server simulator counts the reads that carry the ThreadId high
// bit. The hold-off after a link is 2 seconds here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/opcodes.h"
#include "support/lab_daemon.h"
#include "support/metrics_files.h"
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
std::unique_ptr<tarn_test::process> lingering_vm(lab_daemon& d, int i) {
  return d.boot(i, {"--trace-reads", "8", "--linger-ms", "120000"});
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

// Waits until `text` has appeared more often than `seen` times.
bool wait_for_another(lab_daemon& d, const std::string& text, size_t seen,
                      std::chrono::seconds limit) {
  return tarn_test::eventually([&] { return count(d.sandbox().err(), text) > seen; }, limit);
}

// A member of the vDisk's prepop-progress entry.
int64_t progress(lab_daemon& d, const char* member) {
  json_value r = tarn_test::control_result(d.socket_path(), "prepop-progress");
  return json_path_int(r.get(), {"vdisk", member});
}

const std::string TARNCTL = fs::path(TARN_DAEMON_PATH).parent_path() / "tools/tarnctl";

struct top_run {
  int code = -1;  // -1: did not end within the bound
  std::string screen;
  tcflag_t modes_before = 0, modes_during = 0, modes_after = 0;  // ECHO and ICANON
};

// tarnctl top on a pseudo-terminal until its screen shows `shows`, then
// stopped by a "q" keypress (`stop` 0) or by the signal `stop`.
top_run top_on_terminal(const std::string& socket, const std::string& shows, int stop) {
  top_run r;
  unique_fd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) return r;
  unique_fd slave(open(ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios modes{};
  auto lflag = [&] {
    tcgetattr(slave.get(), &modes);
    return modes.c_lflag & (ECHO | ICANON);
  };
  r.modes_before = lflag();
  const std::vector<std::string> args = {TARNCTL, "--socket", socket, "top", "--interval", "0.2"};
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    // The terminal as the controlling terminal of a session of its own, as
    // a login shell would have it.
    setsid();
    ioctl(slave.get(), TIOCSCTTY, 0);
    for (int fd : {0, 1, 2}) dup2(slave.get(), fd);
    execv(argv[0], argv.data());
    _exit(127);
  }
  // Reading the screen all along keeps tarnctl from blocking on a full terminal.
  auto read_screen = [&] {
    pollfd p{master.get(), POLLIN, 0};
    char buffer[4096];
    while (poll(&p, 1, 0) == 1) {
      const ssize_t n = read(master.get(), buffer, sizeof buffer);
      if (n <= 0) break;
      r.screen.append(buffer, static_cast<size_t>(n));
    }
  };
  tarn_test::eventually(
      [&] {
        read_screen();
        return r.screen.find(shows) != std::string::npos;
      },
      30s);
  r.modes_during = lflag();
  if (stop == 0)
    EXPECT_EQ(write(master.get(), "q", 1), 1);
  else
    kill(pid, stop);
  int status = 0;
  if (tarn_test::eventually(
          [&] {
            read_screen();
            return waitpid(pid, &status, WNOHANG) == pid;
          },
          10s))
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  else {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  r.modes_after = lflag();
  return r;
}

// One run checks the bounds, the marks and what the cache then serves. The
// size is not a multiple of the burst size, so the last read is at most
// 12 KiB; the server's delay keeps reads in flight long enough to be counted.
TEST(Prepopulation, FillsTheVdiskWithinBoundsAndTheNextVmBootsFromTheCache) {
  TARN_REQUIRE_ROOT();
  constexpr uint64_t SIZE = (4 << 20) + 12288;
  lab_daemon d(prepop_options(3, SIZE, {"--delay-us", "20000"}));
  ASSERT_TRUE(d.configure({1}, {1, 2}));
  auto vm1 = lingering_vm(d, 1);
  // Progress is visible while it runs.
  ASSERT_TRUE(d.sandbox().wait_for_output("Prepopulating cache of vdisk", 30s))
      << d.sandbox().err();
  EXPECT_EQ(progress(d, "size"), static_cast<int64_t>(SIZE));
  EXPECT_GE(progress(d, "complete"), 512);
  ASSERT_TRUE(d.sandbox().wait_for_output(COMPLETE, 120s)) << d.sandbox().err();
  EXPECT_EQ(progress(d, "complete"), static_cast<int64_t>(SIZE + 512));
  EXPECT_TRUE(fs::exists(d.vdisk_dir() + "/prepop"));

  // tarnctl top as an operator watches it on a terminal: the site's clients
  // on screen, the terminal in single-key mode while it runs and restored
  // after, whether a "q" or an interrupt ends it.
  for (int stop : {0, SIGINT}) {
    SCOPED_TRACE(stop);
    const top_run run = top_on_terminal(d.socket_path(), lab_daemon::client_uuid(2), stop);
    EXPECT_NE(run.screen.find(lab_daemon::client_uuid(1)), std::string::npos) << run.screen;
    EXPECT_NE(run.screen.find("\033[H\033[2J"), std::string::npos);
    EXPECT_EQ(run.code, 0) << run.screen;
    EXPECT_EQ(run.modes_before, static_cast<tcflag_t>(ECHO | ICANON));
    EXPECT_EQ(run.modes_during, 0u);
    EXPECT_EQ(run.modes_after, run.modes_before);
  }
  // And in a script: plain blocks, the second with rates, or JSON lines.
  for (bool json : {false, true}) {
    std::vector<std::string> args = {TARNCTL,      "--socket", d.socket_path(), "top",
                                     "--interval", "0.2",      "--count",       "2"};
    if (json) args.insert(args.begin() + 1, "--json");
    tarn_test::process top(args, d.sandbox().dir() + "/top");
    ASSERT_EQ(top.wait(30s), 0) << top.err();
    const std::string out = top.out();
    EXPECT_EQ(out.find('\033'), std::string::npos) << out;
    EXPECT_NE(out.find(lab_daemon::client_uuid(1)), std::string::npos) << out;
    if (!json) {
      EXPECT_EQ(count(out, "tarnctl top, every 0.2 s"), 2u) << out;
      const size_t second = out.find("\n\ntarnctl top, every");
      ASSERT_NE(second, std::string::npos) << out;
      EXPECT_EQ(out.find("Proxy: - reads/s", second), std::string::npos) << out;
      continue;
    }
    std::vector<json_value> frames;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
      frames.emplace_back(json_tokener_parse(line.c_str()));
    ASSERT_EQ(frames.size(), 2u) << out;
    ASSERT_TRUE(frames[0] && frames[1]) << out;
    // Each client joined with its counters; the vDisk, prepopulated, all cached.
    json_object* clients = json_object_object_get(frames[1].get(), "clients");
    ASSERT_EQ(clients ? json_object_array_length(clients) : 0, 2u) << out;
    for (size_t i = 0; i < 2; ++i) {
      json_object* c = json_object_array_get_idx(clients, i);
      EXPECT_TRUE(json_object_is_type(json_object_object_get(c, "reads_per_s"), json_type_double))
          << out;
    }
    json_object* vdisks = json_object_object_get(frames[1].get(), "vdisks");
    ASSERT_EQ(vdisks ? json_object_array_length(vdisks) : 0, 1u) << out;
    EXPECT_EQ(json_object_get_double(
                  json_object_object_get(json_object_array_get_idx(vdisks, 0), "cached_ratio")),
              1.0)
        << out;
  }
  EXPECT_EQ(d.check_cache(), std::make_pair(SIZE / 512, uint64_t{0}));
  json_value stats = d.server_stats();
  ASSERT_TRUE(stats);
  // Prepopulation fetched all that VM 1's own reads had not cached first.
  const int64_t prepop_b = d.served_to(stats.get(), 1, "high_bit_data_bytes");
  const int64_t vm_b = d.served_to(stats.get(), 1, "data_bytes") - prepop_b;
  EXPECT_GE(prepop_b + vm_b, static_cast<int64_t>(SIZE)) << prepop_b << " + " << vm_b;
  EXPECT_GE(prepop_b, static_cast<int64_t>(SIZE) - 8 * 65536);
  // Only what was missing, each once (resends aside).
  EXPECT_LE(prepop_b, static_cast<int64_t>(SIZE - vm_b + 4 * BURST)) << prepop_b << " + " << vm_b;
  EXPECT_EQ(d.served_to(stats.get(), 1, "high_bit_max_in_flight"), 4);
  EXPECT_LE(d.served_to(stats.get(), 1, "mio_max_in_flight"), 4);
  EXPECT_EQ(d.served_to(stats.get(), 1, "proxy_ids_without_high_bit"), 0);
  EXPECT_EQ(d.served_to(stats.get(), 1, "high_bit_last_offset") +
                d.served_to(stats.get(), 1, "high_bit_last_length"),
            static_cast<int64_t>(SIZE + 512));
  EXPECT_LT(static_cast<uint64_t>(d.served_to(stats.get(), 1, "high_bit_last_length")), BURST);
  const int64_t asked = d.served_to(stats.get(), 1, "high_bit_mios");

  // A client of a second site boots the same vDisk: that site's cache is
  // cold, and is prepopulated and marked on its own.
  ASSERT_TRUE(d.configure({3}, {3}, true));
  auto vm3 = lingering_vm(d, 3);
  ASSERT_TRUE(wait_for_another(d, COMPLETE, 1, 60s)) << d.sandbox().err();
  EXPECT_TRUE(fs::exists(d.vdisk_dir(lab_daemon::VDI2) + "/prepop"));
  EXPECT_EQ(d.check_cache(lab_daemon::VDI2), std::make_pair(SIZE / 512, uint64_t{0}));
  vm3->kill();
  vm1->kill();

  // A new VM of the same vDisk: everything from the cache.
  auto vm2 = d.boot(2);
  json_value r2 = vm_report(*vm2);
  ASSERT_TRUE(r2);
  EXPECT_EQ(report_int(r2.get(), "errors"), 0);
  EXPECT_EQ(d.served_to(d.server_stats().get(), 2), 0);

  // The cache outlives the daemon: a restarted one finds everything cached
  // and completes without asking the server for anything.
  ASSERT_TRUE(d.start_daemon()) << d.sandbox().err();
  vm1 = lingering_vm(d, 1);
  ASSERT_TRUE(d.sandbox().wait_for_output(COMPLETE, 60s)) << d.sandbox().err();
  EXPECT_EQ(d.served_to(d.server_stats().get(), 1, "high_bit_mios"), asked);
}

// A server that misbehaves towards prepopulation: the run recovers or ends
// and the next one completes, with the cache exact.
TEST(Prepopulation, ServerFaultsEndOrSlowRunsButTheCacheEndsUpExact) {
  TARN_REQUIRE_ROOT();
  constexpr uint64_t SIZE = 1 << 20;
  struct fault {
    std::vector<std::string> server_args;
    const char* fault_count;  // in the server's "faults", or null
    int64_t expected;         // -1: more than none
  };
  // Sixteen reads unanswered: the first round's four and three rounds of
  // resends. A tenth of the fragments lost. No burst size to go by.
  const fault faults[] = {
      {{"--prepop-ignore", "16"}, "prepop_ignored", 16},
      {{"--prepop-drop-fragment", "0.1", "--seed", "3"}, "prepop_fragments_dropped", -1},
      {{"--burst", "0"}, nullptr, 0}};
  // Each row waits mostly for timeouts, so the rows' labs run side by side.
  auto run_row = [&](const fault& f) {
    SCOPED_TRACE(f.server_args[0]);
    lab_daemon d(prepop_options(1, SIZE, f.server_args));
    tarn_test::sandbox& sb = d.sandbox();
    ASSERT_TRUE(d.configure({1}));
    if (f.fault_count == nullptr) {
      auto vm = d.boot(1, {"--trace", "/dev/null", "--linger-ms", "60000"});
      ASSERT_TRUE(sb.wait_for_output("burst size is unknown", 30s)) << sb.err();
      vm->kill();
      // Once a login brings a burst size, the next job completes.
      ASSERT_TRUE(d.start_server({}));
    }
    auto vm = lingering_vm(d, 1);
    if (f.expected == 16) {
      ASSERT_TRUE(sb.wait_for_output("retries exceeded", 60s)) << sb.err();
      ASSERT_TRUE(sb.wait_for_output("aborted, excessive failed retries", 10s));
      // Four fruitless waits, each followed by resends but the last.
      const std::string first_run = sb.err().substr(0, sb.err().find("aborted"));
      EXPECT_EQ(count(first_run, " timeout (") - count(first_run, "resend of fragment"), 4u);
    }
    // The in-progress mark is clear and earlier reads are forgotten: a
    // later heartbeat starts a run that sends and completes.
    ASSERT_TRUE(sb.wait_for_output(COMPLETE, 120s)) << sb.err();
    EXPECT_EQ(d.check_cache(), std::make_pair(SIZE / 512, uint64_t{0}));
    if (f.fault_count) {
      const int64_t n = json_path_int(d.server_stats().get(), {"faults", f.fault_count});
      if (f.expected < 0) {
        EXPECT_GT(n, 0);
        // A read that lost a fragment is asked again at once, not after a
        // second without completions.
        EXPECT_LE(count(sb.err(), " timeout ("), 1u) << sb.err();
      } else
        EXPECT_EQ(n, f.expected);
    }
  };
  std::vector<std::thread> rows;
  for (const fault& f : faults) rows.emplace_back(run_row, std::cref(f));
  for (auto& row : rows) row.join();
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
  // The next run (the k-th) under way, with VM 1 logged in again or not.
  auto run_under_way = [&](size_t k, bool login) {
    if (login) {
      vm1->kill();
      vm1 = lingering_vm(d, 1);
    }
    return wait_for_another(d, RUN, k - 1, 30s);
  };
  auto another_end = [&](size_t before) {
    return tarn_test::eventually([&] { return ends() > before; }, 20s);
  };
  ASSERT_TRUE(run_under_way(2, false)) << sb.err();
  const size_t before_login = ends();
  vm1->kill();
  vm1 = lingering_vm(d, 1);
  EXPECT_TRUE(another_end(before_login)) << sb.err();

  // The client's session reset mid-run by a read with an outdated handle:
  // the run stops speaking for the vDisk, and nothing reads the emptied key.
  ASSERT_TRUE(run_under_way(3, false)) << sb.err();
  const size_t before_reset = ends();
  unique_fd vm_socket = d.lab().udp_socket(d.lab().client_ns(1), d.lab().client_ip(1), 0);
  const tarn_test::bytes outdated = tarn_test::msg(IOS_READ_EXT_REQUEST_CODE, 36).u32(8, 0xDEAD).b;
  const sockaddr_in io_port = tarn_test::address(d.lab().server_ip().c_str(), 6905);
  sendto(vm_socket.get(), outdated.data(), outdated.size(), 0,
         reinterpret_cast<const sockaddr*>(&io_port), sizeof io_port);
  ASSERT_TRUE(sb.wait_for_output("Detected outdated handle.", 10s)) << sb.err();
  EXPECT_TRUE(another_end(before_reset)) << sb.err();
  EXPECT_EQ(sb.err().find("CRITICAL"), std::string::npos) << sb.err();

  // Removing the client mid-run cancels it.
  ASSERT_TRUE(run_under_way(4, true)) << sb.err();
  ASSERT_TRUE(d.configure({}, {2}));
  EXPECT_TRUE(wait_for_another(d, "canceled", 0, 20s)) << sb.err();

  // The client back, a run under way, and the whole site removed.
  ASSERT_TRUE(d.configure({1}));
  ASSERT_TRUE(run_under_way(5, true)) << sb.err();
  ASSERT_TRUE(tarn_test::answered_ok(
      tarn_test::control_call(d.socket_path(), tarn_test::remove_site_request(lab_daemon::SITE))));
  EXPECT_TRUE(wait_for_another(d, "canceled", 1, 20s)) << sb.err();

  // A run under way when the daemon is told to stop (by the lab's end).
  ASSERT_TRUE(d.configure({1}));
  ASSERT_TRUE(run_under_way(6, true)) << sb.err();
}

}  // namespace
