// Prepopulation through the production daemon in the network lab, each
// figure against a baseline measured in the same run. The lab serves two
// vDisks: vDisk 1 (256 MiB unless --vdisk-mib=N) and vDisk 2 (64 MiB).
// Client 1 prepopulates (a VM that logs in and stays logged in starts the
// job); clients 2 and 3 boot vDisks 1 and 2. Before each figure the daemon is
// stopped, the cache emptied as the figure needs and the daemon started again
// (a vDisk completed while its record lives is never prepopulated again).
// The hold-off after a link is 0, so that boots do not pause prepopulation.
//
//   prepop/daemon       the daemon fills vDisk 1 from an empty cache, timed
//                       from its "Prepopulating cache" to its "Prepopulation
//                       complete" log line; three runs, the median reported.
//                       After each, every chunk file is compared with the
//                       image sector by sector (sectors_wrong, and
//                       sectors_checked against the vDisk's sectors)
//   prepop/rest_of_90   client 2 first reads 90 % of vDisk 1 through the
//                       daemon (every 32 KiB block but each tenth), then the
//                       daemon prepopulates: the time to find and fetch the
//                       rest (median of three), against the full fill's
//   boots/idle          clients 2 and 3 boot vDisks 1 and 2 at once from a
//   boots/during_prepop cold cache, without and then during a prepopulation
//                       of vDisk 1: each VM's read latency p50/p99 (first
//                       send to last byte, all reads), and the daemon's
//                       "listener_lock_wait_max_us" where it reports one, and
//                       the reads each VM had to send again (200 ms time-out);
//                       medians of three runs each
//   bootset/learned     client 2 boots vDisk 1 cold; the daemon is stopped,
//                       the chunk files and the "prepop" marker deleted (the
//                       "bootset" file kept) and the daemon started again; it
//                       prepopulates while "prepop-progress" is polled every
//                       20 ms: the time until the boot set is cached against
//                       the time for the whole vDisk, and the share of cache
//                       hits of client 2 booting the same trace at that moment
//   bootset/imported    the same, the boot set exported with tarnctl before
//                       and imported into an empty cache that never saw a boot
//   prepop/direct       client 2, steering off, reads the whole vDisk 1
//                       sequentially from the server (--sweep); three runs
// Figures a daemon does not offer yet (the boot-set members and commands, the
// lock-wait metric) print as "n/a". The summary after the table gives every
// figure with its ratio. The figures but the direct read keep within
// --budget-s (220 s); at 256 MiB the run takes 1 to 2 minutes on two busy
// vCPUs.
//
// Needs root: run as `sudo build/release/bench/prepop_bench`.
#include <benchmark/benchmark.h>
#include <json-c/json.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lab_args.h"
#include "median_reporter.h"
#include "support/lab_daemon.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tarn_test::json_value;
using tarn_test::lab_daemon;
using tarn_test::process;
using clock_type = std::chrono::steady_clock;

uint64_t SIZE = 256 << 20;  // vDisk 1; --vdisk-mib=N
constexpr uint64_t SIZE2 = 64 << 20;
constexpr uint64_t BLOCK = 32768;  // the server's burst size: the largest MIO
constexpr int RUNS = 3;            // fills and direct reads, their median reported
constexpr int PREPOP_CLIENT = 1, SAME_CLIENT = 2, OTHER_CLIENT = 3;
constexpr const char* STARTED = "Prepopulating cache of vdisk";
constexpr const char* COMPLETE = "Prepopulation complete for vdisk";
constexpr const char* RESTART_FAILED =
    "time budget spent, or daemon restart or configure_site failed";
constexpr const char* LOCK_WAIT = "listener_lock_wait_max_us";
constexpr const char* JOB_LOCK_WAIT = "listener_prepop_lock_wait_max_us";
// The figures before the direct read keep within this (--budget-s=N), so
// that the run ends well inside scripts/bench's time-out and prints its
// summary: a figure that would start after it is skipped, and a fill waits
// at most until it.
std::chrono::seconds BUDGET = 220s;
clock_type::time_point run_deadline;

std::chrono::milliseconds fill_limit() {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(run_deadline - clock_type::now());
  return std::clamp<std::chrono::milliseconds>(left, 1s, 200s);
}
// The boot traces: the simulator's generated boot of 1000 reads.
constexpr const char* BOOT_SEED = "11";
constexpr const char* OTHER_SEED = "12";
// Resends before a VM gives a read up: on a loaded machine a reply may take
// more than the simulator's five of 200 ms, and a lost read would lose the
// figure; the resends still count in the latency.
constexpr const char* RETRIES = "20";

lab_daemon* lab = nullptr;

// What the summary prints.
struct boot_figures {
  int64_t p50_us = -1, p99_us = -1, errors = -1;
  int64_t retries = -1;  // reads the VM sent again after 200 ms without a reply
  double hits = -1;      // share of the VM's reads the daemon answered from the cache
};
struct bootset_figures {
  bool ran = false;
  std::string note;  // why a figure is missing
  double boot_set_s = -1, whole_s = -1, hits = -1;
  int64_t boot_set_bytes = -1;
};
struct {
  std::vector<double> fill_s, direct_s;
  uint64_t checked = 0, wrong = 0;         // fewest sectors cached after a fill; wrong in all
  double rest_s = -1, cached_before = -1;  // the median; the least of the runs
  uint64_t rest_wrong = 0;
  boot_figures same_idle, other_idle, same_prepop, other_prepop;
  int64_t lock_idle = -1, lock_prepop = -1;          // the largest of the runs'
  int64_t job_lock_idle = -1, job_lock_prepop = -1;  // the same, for locks a job held
  int prepop_throughout = -1;  // 1: prepopulation outlived every boot; 0: not; -1: not run
  bootset_figures learned, imported;
} fig;

// Milliseconds since midnight of the first log line containing `what`
// ("** Message: HH:MM:SS.mmm: ..."); -1 if none.
int64_t log_time_ms(const std::string& log, const std::string& what) {
  const size_t at = log.find(what);
  if (at == std::string::npos) return -1;
  const size_t nl = log.rfind('\n', at);
  const size_t line = nl == std::string::npos ? 0 : nl + 1;
  int h, m, s, ms;
  const size_t stamp = log.find(": ", line);
  if (stamp == std::string::npos ||
      sscanf(log.c_str() + stamp + 2, "%d:%d:%d.%d", &h, &m, &s, &ms) != 4) {
    return -1;
  }
  return ((h * 60 + m) * 60 + s) * 1000LL + ms;
}

// Seconds from the first `from` log line to the first `to` line; -1 if either is missing.
double log_seconds(const std::string& from, const std::string& to) {
  const std::string log = lab->sandbox().err();
  const int64_t began = log_time_ms(log, from), ended = log_time_ms(log, to);
  return began < 0 || ended < began ? -1 : static_cast<double>(ended - began) / 1000.0;
}

double seconds_since(clock_type::time_point t) {
  return std::chrono::duration<double>(clock_type::now() - t).count();
}

// Stops the daemon, applies `change` to the cache while nothing holds it,
// starts the daemon again and configures the site (client 1 prepopulating).
template <typename F>
bool restart(F change) {
  if (clock_type::now() >= run_deadline) return false;
  tarn_test::sandbox& sb = lab->sandbox();
  if (sb.send_signal(SIGTERM) && !sb.wait_exit(30s)) return false;
  change(lab->cache_disk());
  return lab->start_daemon() && lab->configure({PREPOP_CLIENT});
}

bool is_chunk_file(const std::string& name) {
  return !name.empty() && std::isdigit(static_cast<unsigned char>(name[0]));
}

// Every vDisk's directory goes: a cache that never saw a boot.
bool fresh() {
  return restart([](const std::string& disk) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(disk, ec))
      if (entry.is_directory() && entry.path().filename().string()[0] != '.')
        fs::remove_all(entry.path(), ec);
  });
}

// The first object member called `name` anywhere under `o`.
json_object* find_member(json_object* o, const char* name) {
  if (o == nullptr) return nullptr;
  if (json_object_is_type(o, json_type_object)) {
    json_object* found = nullptr;
    if (json_object_object_get_ex(o, name, &found)) return found;
    json_object_object_foreach(o, key, value) {
      (void)key;
      if (json_object* inner = find_member(value, name)) return inner;
    }
  } else if (json_object_is_type(o, json_type_array)) {
    for (size_t i = 0; i < json_object_array_length(o); i++)
      if (json_object* inner = find_member(json_object_array_get_idx(o, i), name)) return inner;
  }
  return nullptr;
}

// {total reads, cache hit reads} the daemon counted for client i; {-1, -1}
// if it lists no such client.
std::pair<int64_t, int64_t> client_reads(int i) {
  json_value m = tarn_test::control_result(lab->socket_path(), "metrics");
  json_object* clients = nullptr;
  if (!m || !json_object_object_get_ex(m.get(), "clients", &clients)) return {-1, -1};
  const auto mac = lab->lab().client_mac(i);
  char want[24];
  snprintf(want, sizeof want, "%x:%x:%x:%x:%x:%x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  for (size_t k = 0; k < json_object_array_length(clients); k++) {
    json_object* c = json_object_array_get_idx(clients, k);
    json_object* text = nullptr;
    if (json_object_object_get_ex(c, "mac", &text) &&
        json_object_get_string(text) == std::string(want))
      return {tarn_test::json_path_int(c, {"total_reads"}),
              tarn_test::json_path_int(c, {"cache_hit_reads"})};
  }
  return {-1, -1};
}

double hit_share(std::pair<int64_t, int64_t> before, std::pair<int64_t, int64_t> after) {
  const int64_t total = after.first - before.first, hits = after.second - before.second;
  return before.first < 0 || after.first < 0 || total <= 0 ? -1 : static_cast<double>(hits) / total;
}

// vDisk 1's entry of "prepop-progress" ("vdisks" when there are several,
// else "vdisk"): {boot_set_bytes, boot_set_cached}, -1 where absent.
std::pair<int64_t, int64_t> boot_set_progress() {
  json_value r = tarn_test::control_result(lab->socket_path(), "prepop-progress", 2s);
  if (!r) return {-1, -1};
  std::vector<json_object*> vdisks;
  json_object* v = nullptr;
  if (json_object_object_get_ex(r.get(), "vdisks", &v)) {
    for (size_t i = 0; i < json_object_array_length(v); i++)
      vdisks.push_back(json_object_array_get_idx(v, i));
  } else if (json_object_object_get_ex(r.get(), "vdisk", &v)) {
    vdisks.push_back(v);
  }
  const std::string prefix = std::to_string(lab_daemon::VDISK_ID) + "-";
  for (json_object* d : vdisks) {
    json_object* key = nullptr;
    if (!json_object_object_get_ex(d, "vdisk_key", &key) ||
        !std::string(json_object_get_string(key)).starts_with(prefix))
      continue;
    return {tarn_test::json_path_int(d, {"boot_set_bytes"}),
            tarn_test::json_path_int(d, {"boot_set_cached"})};
  }
  return {-1, -1};
}

// A VM of client 1 that logs in, reads a little and stays logged in: its
// heartbeats start the prepopulation.
std::unique_ptr<process> prepopulating_vm() {
  return lab->boot(PREPOP_CLIENT,
                   {"--trace-reads", "8", "--linger-ms", "300000", "--retries", RETRIES});
}

boot_figures figures_of(process& vm) {
  boot_figures b;
  json_value r = tarn_test::vm_report(vm);
  if (!r) return b;
  b.p50_us = tarn_test::report_int(r.get(), "latency_p50_us");
  b.p99_us = tarn_test::report_int(r.get(), "latency_p99_us");
  b.errors = tarn_test::report_int(r.get(), "errors");
  b.retries = tarn_test::report_int(r.get(), "retries");
  return b;
}

// vDisk 1's cache against the image: {sectors checked, sectors wrong}.
std::pair<uint64_t, uint64_t> check_vdisk1() {
  uint64_t checked = 0, wrong = 0;
  const std::string dir = lab->vdisk_dir_of(lab_daemon::VDISK_ID);
  if (!dir.empty()) lab->check_vdisk_dir(dir, &checked, &wrong);
  return {checked, wrong};
}

void report_rate(benchmark::State& state, uint64_t bytes, double seconds) {
  state.SetIterationTime(seconds);
  state.counters["MB_per_s"] = static_cast<double>(bytes) / 1e6 / seconds;
  state.counters["seconds"] = seconds;
}

double median_of(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// RUNS fills in one iteration, reported as their median, so that the row
// keeps the benchmark's plain name for scripts/bench.
void BM_daemon(benchmark::State& state) {
  for (auto _ : state) {
    uint64_t checked = SIZE / 512, wrong = 0;
    for (int run = 0; run < RUNS; run++) {
      if (!fresh()) {
        state.SkipWithError(RESTART_FAILED);
        return;
      }
      auto vm = prepopulating_vm();
      const bool done = lab->sandbox().wait_for_output(COMPLETE, fill_limit());
      vm->kill();
      const double s = log_seconds(STARTED, COMPLETE);
      if (!done || s <= 0) {
        state.SkipWithError("prepopulation did not complete within its limit");
        return;
      }
      const auto [c, w] = check_vdisk1();
      fig.fill_s.push_back(s);
      fig.checked = checked = std::min(checked, c);
      fig.wrong = wrong += w;
    }
    state.counters["sectors_wrong"] = static_cast<double>(wrong);
    state.counters["sectors_checked"] = static_cast<double>(checked);
    report_rate(state, SIZE, median_of(fig.fill_s));
  }
}

// Client 2 reads every 32 KiB block of vDisk 1 but each tenth through the
// daemon; prepopulation then has 10 % left, in holes all over the vDisk.
// The seconds prepopulation took, -1 on failure (with `why`).
double rest_once(const std::string& trace, std::string* why) {
  if (!fresh()) {
    *why = RESTART_FAILED;
    return -1;
  }
  auto reader = lab->boot(SAME_CLIENT, {"--trace", trace, "--retries", RETRIES});
  json_value r = tarn_test::vm_report(*reader, 180s);
  if (!r || tarn_test::report_int(r.get(), "errors") != 0) {
    *why = "the VM reading 90 % failed";
    return -1;
  }
  const double cached = static_cast<double>(check_vdisk1().first) / static_cast<double>(SIZE / 512);
  fig.cached_before = fig.cached_before < 0 ? cached : std::min(fig.cached_before, cached);
  auto vm = prepopulating_vm();
  const bool done = lab->sandbox().wait_for_output(COMPLETE, fill_limit());
  vm->kill();
  const double s = log_seconds(STARTED, COMPLETE);
  if (!done || s <= 0) {
    *why = "prepopulation did not complete within its limit";
    return -1;
  }
  fig.rest_wrong += check_vdisk1().second;
  return s;
}

void BM_rest(benchmark::State& state) {
  const std::string trace = lab->sandbox().dir() + "/ninety.trace";
  {
    std::ofstream t(trace);
    for (uint64_t block = 0; block * BLOCK < SIZE; block++)
      if (block % 10 != 9) t << "mio " << block * BLOCK << " " << BLOCK << "\n";
  }
  for (auto _ : state) {
    std::vector<double> runs;
    std::string why;
    for (int run = 0; run < RUNS; run++) {
      const double s = rest_once(trace, &why);
      if (s < 0) {
        state.SkipWithError(why.c_str());
        return;
      }
      runs.push_back(s);
    }
    fig.rest_s = median_of(runs);
    state.counters["cached_before_pct"] = fig.cached_before * 100;
    state.counters["sectors_wrong"] = static_cast<double>(fig.rest_wrong);
    report_rate(state, SIZE / 10, fig.rest_s);
  }
}

// The daemon's longest wait of a listener for a lock, -1 if it reports none.
int64_t lock_wait(const char* member) {
  json_value m = tarn_test::control_result(lab->socket_path(), "metrics");
  json_object* v = find_member(m.get(), member);
  return v == nullptr ? -1 : json_object_get_int64(v);
}

// Clients 2 and 3 boot vDisks 1 and 2 at once from a cold cache; with
// `prepop`, while client 1's prepopulation of vDisk 1 runs. False (with
// `why`) on failure.
bool boots_once(bool prepop, boot_figures* same, boot_figures* other, int64_t lock[2],
                bool* ended_early, std::string* why) {
  if (!fresh()) {
    *why = RESTART_FAILED;
    return false;
  }
  std::unique_ptr<process> filler;
  if (prepop) {
    filler = prepopulating_vm();
    if (!lab->sandbox().wait_for_output(STARTED, 30s)) {
      *why = "prepopulation did not start";
      return false;
    }
  }
  const auto before = client_reads(SAME_CLIENT);
  auto s = lab->boot_vdisk(SAME_CLIENT, lab_daemon::VDISK_ID,
                           {"--trace-seed", BOOT_SEED, "--retries", RETRIES});
  auto o = lab->boot_vdisk(OTHER_CLIENT, lab_daemon::VDISK_ID2,
                           {"--trace-seed", OTHER_SEED, "--retries", RETRIES});
  *same = figures_of(*s);
  *other = figures_of(*o);
  same->hits = hit_share(before, client_reads(SAME_CLIENT));
  lock[0] = lock_wait(LOCK_WAIT);
  lock[1] = lock_wait(JOB_LOCK_WAIT);
  if (prepop) {
    // Still running when both boots were done: nothing ended it early.
    const std::string log = lab->sandbox().err();
    if (log.find(COMPLETE) != std::string::npos ||
        log.find("Prepopulation ended for vdisk") != std::string::npos ||
        log.find(" canceled (") != std::string::npos ||
        log.find(" aborted, excessive") != std::string::npos)
      *ended_early = true;
  }
  if (same->p50_us < 0 || other->p50_us < 0 || same->errors != 0 || other->errors != 0) {
    *why = "a booting VM failed";
    return false;
  }
  return true;
}

// Each figure the median of the runs'.
boot_figures median_boot(const std::vector<boot_figures>& runs) {
  std::vector<double> p50, p99, hits;
  for (const auto& b : runs) {
    p50.push_back(static_cast<double>(b.p50_us));
    p99.push_back(static_cast<double>(b.p99_us));
    hits.push_back(b.hits);
  }
  boot_figures m;
  m.retries = 0;
  for (const auto& b : runs) m.retries += b.retries;
  m.p50_us = static_cast<int64_t>(median_of(p50));
  m.p99_us = static_cast<int64_t>(median_of(p99));
  m.hits = median_of(hits);
  m.errors = 0;
  return m;
}

void boots(benchmark::State& state, bool prepop) {
  for (auto _ : state) {
    std::vector<boot_figures> same(RUNS), other(RUNS);
    int64_t lock = -1, job_lock = -1;
    std::string why;
    const auto t0 = clock_type::now();
    bool ended_early = false;
    for (int run = 0; run < RUNS; run++) {
      int64_t l[2] = {-1, -1};
      if (!boots_once(prepop, &same[run], &other[run], l, &ended_early, &why)) {
        state.SkipWithError(why.c_str());
        return;
      }
      lock = std::max(lock, l[0]);
      job_lock = std::max(job_lock, l[1]);
    }
    if (prepop) fig.prepop_throughout = ended_early ? 0 : 1;
    const boot_figures s = median_boot(same), o = median_boot(other);
    (prepop ? fig.same_prepop : fig.same_idle) = s;
    (prepop ? fig.other_prepop : fig.other_idle) = o;
    (prepop ? fig.lock_prepop : fig.lock_idle) = lock;
    (prepop ? fig.job_lock_prepop : fig.job_lock_idle) = job_lock;
    state.SetIterationTime(seconds_since(t0));
    state.counters["same_p50_us"] = static_cast<double>(s.p50_us);
    state.counters["same_p99_us"] = static_cast<double>(s.p99_us);
    state.counters["other_p50_us"] = static_cast<double>(o.p50_us);
    state.counters["other_p99_us"] = static_cast<double>(o.p99_us);
  }
}

// Runs tarnctl inside the daemon's sandbox, as the host's management stack
// would; its status, with its output in `out`.
int tarnctl(const std::string& args, std::string* out) {
  const std::string path = (fs::path(TARN_DAEMON_PATH).parent_path() / "tools/tarnctl").string();
  return lab->sandbox().run(tarn_test::shell_quote(path) + " " + args + " 2>&1", out, 30s);
}

std::string first_line(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

// Prepopulates vDisk 1 with the boot set known (learned or imported),
// polling "prepop-progress" every 20 ms; client 2 boots the cold boot's
// trace again once the boot set is cached.
void fill_with_boot_set(benchmark::State& state, bootset_figures* f) {
  auto vm = prepopulating_vm();
  std::unique_ptr<process> booter;
  std::pair<int64_t, int64_t> reads_before{-1, -1};
  std::optional<clock_type::time_point> started;
  bool members = false;
  const auto limit = clock_type::now() + fill_limit();
  while (clock_type::now() < limit) {
    const std::string log = lab->sandbox().err();
    if (!started && log.find(STARTED) != std::string::npos) started = clock_type::now();
    if (started && !booter) {
      const auto [bytes, cached] = boot_set_progress();
      members = members || bytes >= 0;
      if (bytes == 0) f->note = "the boot set is empty";
      if (bytes > 0 && cached >= bytes) {
        f->boot_set_s = seconds_since(*started);
        f->boot_set_bytes = bytes;
        reads_before = client_reads(SAME_CLIENT);
        booter = lab->boot(SAME_CLIENT, {"--trace-seed", BOOT_SEED, "--retries", RETRIES});
      }
    }
    if (started && log.find(COMPLETE) != std::string::npos) {
      f->whole_s = seconds_since(*started);
      break;
    }
    std::this_thread::sleep_for(20ms);
  }
  if (booter) {
    json_value r = tarn_test::vm_report(*booter);
    if (r && tarn_test::report_int(r.get(), "errors") == 0)
      f->hits = hit_share(reads_before, client_reads(SAME_CLIENT));
  }
  vm->kill();
  if (!members && f->note.empty())
    f->note = "prepop-progress has no boot_set_bytes/boot_set_cached";
  f->ran = true;
  if (f->whole_s < 0) {
    state.SkipWithError("prepopulation did not complete within its limit");
    return;
  }
  state.SetIterationTime(f->whole_s);
  state.counters["whole_s"] = f->whole_s;
  if (f->boot_set_s >= 0) state.counters["boot_set_s"] = f->boot_set_s;
  if (f->hits >= 0) state.counters["hit_pct"] = f->hits * 100;
}

void BM_bootset_learned(benchmark::State& state) {
  for (auto _ : state) {
    if (!fresh()) {
      state.SkipWithError(RESTART_FAILED);
      break;
    }
    auto cold = lab->boot(SAME_CLIENT, {"--trace-seed", BOOT_SEED, "--retries", RETRIES});
    json_value r = tarn_test::vm_report(*cold);
    if (!r || tarn_test::report_int(r.get(), "errors") != 0) {
      state.SkipWithError("the cold boot failed");
      break;
    }
    bool kept = false;
    // The boot set stays; what it names must come from the server again.
    const bool up = restart([&](const std::string& disk) {
      const std::string dir = lab->vdisk_dir_of(lab_daemon::VDISK_ID, lab_daemon::VDI, disk);
      std::error_code ec;
      kept = !dir.empty() && fs::exists(dir + "/bootset");
      for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (is_chunk_file(name) || name == "prepop") fs::remove(entry.path(), ec);
      }
    });
    if (!up) {
      state.SkipWithError(RESTART_FAILED);
      break;
    }
    if (!kept) fig.learned.note = "no bootset file after the cold boot";
    fill_with_boot_set(state, &fig.learned);
  }
}

void BM_bootset_imported(benchmark::State& state) {
  for (auto _ : state) {
    if (!fig.learned.ran) {
      fig.imported.note = "bootset/learned did not run";
      state.SkipWithError(fig.imported.note.c_str());
      break;
    }
    // The boot set the previous figure's daemon learned, exported from it.
    const std::string file = lab->sandbox().dir() + "/bootset.export";
    const std::string key = fs::path(lab->vdisk_dir_of(lab_daemon::VDISK_ID)).filename().string();
    const std::string names = std::string(lab_daemon::SITE) + " " + key + " " + file;
    std::string out;
    if (key.empty()) {
      fig.imported.note = "no vDisk 1 cache to export from";
    } else if (tarnctl("export-boot-set " + names, &out) != 0) {
      fig.imported.note = "export-boot-set: " + first_line(out);
    } else if (!fresh()) {
      state.SkipWithError(RESTART_FAILED);
      break;
    } else if (tarnctl("import-boot-set " + names, &out) != 0) {
      fig.imported.note = "import-boot-set: " + first_line(out);
    }
    if (!fig.imported.note.empty()) {
      // Without a boot set this would only repeat prepop/daemon.
      state.SkipWithError(fig.imported.note.c_str());
      break;
    }
    fill_with_boot_set(state, &fig.imported);
  }
}

void BM_direct(benchmark::State& state) {
  for (auto _ : state) {
    if (!lab->lab().steer(false)) {
      state.SkipWithError("scripts/lab steer failed");
      break;
    }
    int64_t errors = 0;
    for (int run = 0; run < RUNS; run++) {
      auto vm = lab->boot(SAME_CLIENT, {"--trace-reads", "1", "--sweep", "--retries", RETRIES});
      json_value r = tarn_test::vm_report(*vm);
      const int64_t ms = r ? tarn_test::report_int(r.get(), "elapsed_ms") : -1;
      if (ms <= 0) {
        state.SkipWithError("the VM gave no report");
        return;
      }
      errors += tarn_test::report_int(r.get(), "errors");
      fig.direct_s.push_back(static_cast<double>(ms) / 1000.0);
    }
    state.counters["errors"] = static_cast<double>(errors);
    report_rate(state, SIZE, median_of(fig.direct_s));
  }
}

// In this order: the direct read needs the steering off, everything else on.
BENCHMARK(BM_daemon)->Name("prepop/daemon")->Iterations(1)->UseManualTime();
BENCHMARK(BM_rest)->Name("prepop/rest_of_90")->Iterations(1)->UseManualTime();
BENCHMARK_CAPTURE(boots, idle, false)->Name("boots/idle")->Iterations(1)->UseManualTime();
BENCHMARK_CAPTURE(boots, during_prepop, true)
    ->Name("boots/during_prepop")
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK(BM_bootset_learned)->Name("bootset/learned")->Iterations(1)->UseManualTime();
BENCHMARK(BM_bootset_imported)->Name("bootset/imported")->Iterations(1)->UseManualTime();
BENCHMARK(BM_direct)->Name("prepop/direct")->Iterations(1)->UseManualTime();

std::string run_key(const benchmark::BenchmarkReporter::Run& run) {
  return run.run_name.function_name;
}

std::string us(int64_t v) {
  return v < 0 ? "n/a" : std::to_string(v) + " us";
}
std::string count(int64_t v) {
  return v < 0 ? "n/a" : std::to_string(v);
}
std::string ratio(double a, double b) {
  char text[32];
  if (a < 0 || b <= 0) return "n/a";
  snprintf(text, sizeof text, "%.2f", a / b);
  return text;
}
std::string secs(double s) {
  char text[32];
  if (s < 0) return "n/a";
  snprintf(text, sizeof text, "%.2f s", s);
  return text;
}
std::string pct(double share) {
  char text[32];
  if (share < 0) return "n/a";
  snprintf(text, sizeof text, "%.1f %%", share * 100);
  return text;
}

void print_boots(const char* what, const boot_figures& idle, const boot_figures& busy) {
  std::printf(
      "  %s: p50 %s, p99 %s idle; p50 %s, p99 %s during prepopulation (ratios %s, %s); "
      "resent reads %s idle, %s during\n",
      what, us(idle.p50_us).c_str(), us(idle.p99_us).c_str(), us(busy.p50_us).c_str(),
      us(busy.p99_us).c_str(), ratio(busy.p50_us, idle.p50_us).c_str(),
      ratio(busy.p99_us, idle.p99_us).c_str(), count(idle.retries).c_str(),
      count(busy.retries).c_str());
}

void print_bootset(const char* what, const bootset_figures& f) {
  if (!f.ran) {
    std::printf("boot set %s: not run%s%s\n", what, f.note.empty() ? "" : ": ", f.note.c_str());
    return;
  }
  std::printf(
      "boot set %s: cached after %s (%s), whole vDisk after %s (ratio %s); "
      "a VM booting then read %s from the cache%s%s\n",
      what, secs(f.boot_set_s).c_str(),
      f.boot_set_bytes < 0 ? "n/a" : (std::to_string(f.boot_set_bytes >> 10) + " KiB").c_str(),
      secs(f.whole_s).c_str(), ratio(f.boot_set_s, f.whole_s).c_str(), pct(f.hits).c_str(),
      f.note.empty() ? "" : "; ", f.note.c_str());
}

void print_summary(const median_reporter& reporter) {
  const double daemon = reporter.median("prepop/daemon");
  const double direct = reporter.median("prepop/direct");
  const double full_s = median_of(fig.fill_s);
  std::printf("\n");
  if (daemon > 0 && direct > 0) {
    std::printf("prepopulation of %" PRIu64
                " MiB: %.1f MB/s (median of %zu); direct sequential read "
                "by a VM: %.1f MB/s (median of %zu; ratio %.2f, same run)\n",
                SIZE >> 20, daemon, fig.fill_s.size(), direct, fig.direct_s.size(),
                daemon / direct);
  }
  std::printf("  fills:");
  for (double s : fig.fill_s) std::printf(" %.1f MB/s", static_cast<double>(SIZE) / 1e6 / s);
  std::printf("; direct reads:");
  for (double s : fig.direct_s) std::printf(" %.1f MB/s", static_cast<double>(SIZE) / 1e6 / s);
  std::printf("; wrong sectors %" PRIu64 ", sectors cached %" PRIu64 " of %" PRIu64 "\n", fig.wrong,
              fig.checked, SIZE / 512);
  std::printf("rest of a vDisk %s cached: %s, full fill %s (ratio %s), wrong sectors %" PRIu64 "\n",
              pct(fig.cached_before).c_str(), secs(fig.rest_s).c_str(), secs(full_s).c_str(),
              ratio(fig.rest_s, full_s).c_str(), fig.rest_wrong);
  std::printf(
      "boots, read latency (median of %d; prepopulation running until the boots ended: %s):\n",
      RUNS,
      fig.prepop_throughout < 0 ? "n/a"
      : fig.prepop_throughout   ? "yes"
                                : "no");
  print_boots("same vDisk ", fig.same_idle, fig.same_prepop);
  print_boots("other vDisk", fig.other_idle, fig.other_prepop);
  std::printf("  same vDisk's reads from the cache: %s idle, %s during prepopulation\n",
              pct(fig.same_idle.hits).c_str(), pct(fig.same_prepop.hits).c_str());
  std::printf("  %s: %s idle, %s during prepopulation\n", LOCK_WAIT, us(fig.lock_idle).c_str(),
              us(fig.lock_prepop).c_str());
  std::printf("  %s: %s idle, %s during prepopulation\n", JOB_LOCK_WAIT,
              us(fig.job_lock_idle).c_str(), us(fig.job_lock_prepop).c_str());
  print_bootset("learned ", fig.learned);
  print_bootset("imported", fig.imported);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (const int status = lab_args_parse(argc, argv, "prepop_bench", &SIZE, &BUDGET); status >= 0)
    return status;
  int rc = 0;
  try {
    tarn_test::lab_daemon_options o;
    o.clients = 3;
    o.image_bytes = SIZE;
    o.second_image_bytes = SIZE2;
    o.config = "listenerThreads=2\nprepopIoThreads=2\nprepopHoldOffInS=0\n";
    run_deadline = clock_type::now() + BUDGET;
    tarn_test::lab_daemon d(o);
    lab = &d;
    median_reporter reporter("MB_per_s", run_key);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_summary(reporter);
    lab = nullptr;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "prepop_bench: %s\n", e.what());
    rc = 1;
  }
  benchmark::Shutdown();
  return rc;
}
