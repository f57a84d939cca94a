// A VM's boot as the VM sees it, through the production daemon in the
// network lab, against the direct path (and an engine-free forwarder) in the
// same run. The lab has 8 clients and serves one generated vDisk image
// (256 MiB unless --vdisk-mib=N). Every VM replays the simulator's generated
// boot trace of 3,000 reads (seed 21; the lab's default boot is the
// simulator's 1,000-read trace, too short to weigh) and checks every byte it
// receives against the image; a boot that fails the check, or gives no
// report, makes its row an error. Boot time is the VM's own "elapsed_ms":
// its trace, from the first read sent to the last byte received, login not
// included. A read unanswered for 200 ms is sent again, up to 20 times.
//
//   cold/direct        one VM's first boot straight from the server
//                      (steering off)
//   cold/daemon        the same through the daemon, its cache emptied first
//                      (daemon stopped, the vDisk's directory deleted,
//                      daemon started and the site configured again)
//   cold/forwarder     the same through ring_forwarder.h on the client's
//                      proxy port (the daemon's rings, the daemon's default
//                      fanout "cbpf", two threads as the daemon's
//                      listenerThreads=2), the daemon stopped meanwhile
//   warm/direct        as cold/direct
//   warm/daemon        through the daemon once its cache holds the trace
//                      (one cold boot through it first)
//   storm_cold_2/...   2, 4 and 8 VMs (clients 1-N) booting the same trace
//   storm_cold_4/...   of the same vDisk at once on an empty cache (emptied
//   storm_cold/...     before each daemon run); storm_cold is the 8-VM storm
//   storm_warm/...     (its name kept from earlier runs); storm_warm is 8 VMs
//                      once the cache holds the trace; a storm's boot time
//                      is its slowest VM's
//
// The runs of a group alternate (direct, daemon[, forwarder], direct, ...)
// so that noise on the host hits each path alike: 5 of each for one VM, 3
// for each storm (2 and 4 VMs included: they are short, and 3 keeps the
// whole program near its budget). The first row of a group makes all of the
// group's runs; each row reports its medians. Counters, per run summed over
// the VMs and given as medians: server_bytes (image bytes the server sent,
// its "data_bytes" statistic), boots (server_bytes over the image bytes one
// VM's boot reads, taken from the same run's VM reports: their "bytes"
// summed, divided by the VMs; so a direct storm of N VMs is N boots, and a
// row needs no other row of the run), resends (the VMs' "retries"),
// kernel_drops
// (frames the kernel dropped on the daemon's or the forwarder's receive
// rings: the daemon's per-client "kernel_drops" in "metrics" where it has
// it, else, with the daemon stopped after the run, its listener threads'
// closing log lines; the forwarder's PACKET_STATISTICS), hit_pct (reads
// the daemon answered from its cache) and, for the daemon, held_reads,
// held_answered_reads and held_timed_out_reads (reads of a VM held while
// another VM's identical read was on its way to the server, then answered
// from the cache or forwarded at their deadline: the members of
// "server_metrics" in "metrics", after the run less before it). A figure the
// daemon does not offer is "n/a" (and no counter in the table). The summary
// after the table gives every figure with its ratio to its baseline of the
// same run, and for each cold storm size the server's boots' worth through
// the daemon and direct and the storm time daemon/direct.
//
// The runs keep within --budget-s (270 s): a run that would start later is
// skipped. On two busy vCPUs the whole program takes 3 to 5 minutes.
//
// Needs root: run as `sudo build/release/bench/boot_bench`.
#include <benchmark/benchmark.h>
#include <json-c/json.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "lab_args.h"
#include "median_reporter.h"
#include "ring_forwarder.h"
#include "support/lab_daemon.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tarn_test::json_value;
using tarn_test::lab_daemon;
using tarn_test::process;
using clock_type = std::chrono::steady_clock;

uint64_t SIZE = 256 << 20;  // --vdisk-mib=N
constexpr int STORM_VMS = 8;
constexpr int RUNS = 5;        // of each path, one VM
constexpr int STORM_RUNS = 3;  // of each path, the storms
constexpr int LISTENER_THREADS = 2;
constexpr const char* TRACE_READS = "3000";
constexpr const char* TRACE_SEED = "21";
// On a loaded machine a reply may take longer than the simulator's five
// resends of 200 ms; a lost read would lose the figure, and resends count.
constexpr const char* RETRIES = "20";
constexpr const char* KERNEL_DROPS = "kernel_drops";
constexpr const char* BUDGET_SPENT = "time budget spent (--budget-s)";
std::chrono::seconds BUDGET = 270s;
clock_type::time_point run_deadline;

lab_daemon* lab = nullptr;

enum path_kind { DIRECT, DAEMON, FORWARDER };
const char* path_names[] = {"direct", "daemon", "forwarder"};

// The daemon's counters of reads held for another VM's identical read, in
// "server_metrics"; a daemon without them leaves them out.
constexpr const char* HELD[] = {"held_reads", "held_answered_reads", "held_timed_out_reads"};
constexpr int HELD_COUNT = static_cast<int>(std::size(HELD));

// One boot, summed over its VMs; -1 where a figure is missing.
struct run_figures {
  double boot_s = -1;  // the slowest VM's elapsed_ms
  int64_t server_bytes = -1, resends = -1, kernel_drops = -1;
  int64_t vm_bytes = -1;  // image bytes the VMs read, summed
  double boots = -1;      // server_bytes / (vm_bytes / VMs)
  double hits = -1;       // share of the VMs' reads answered from the cache
  int64_t held[HELD_COUNT] = {-1, -1, -1};
};
struct row_figures {
  std::vector<run_figures> runs;
  std::string error;  // why the row has no figures
};
std::map<std::string, row_figures> rows;

double median_of(std::vector<double> v) {
  std::erase_if(v, [](double x) { return x < 0; });
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

template <typename F>
double median_by(const row_figures& r, F f) {
  std::vector<double> v;
  for (const auto& run : r.runs) v.push_back(static_cast<double>(f(run)));
  // One missing figure makes the median missing, not a median of the rest.
  if (std::any_of(v.begin(), v.end(), [](double x) { return x < 0; })) return -1;
  return median_of(v);
}

// The daemon's record for client i in "metrics" (within `m`); null if none.
json_object* client_record(json_object* m, int i) {
  json_object* clients = nullptr;
  if (m == nullptr || !json_object_object_get_ex(m, "clients", &clients)) return nullptr;
  const std::string want = tarn_test::mac_text(lab->lab().client_mac(i));
  for (size_t k = 0; k < json_object_array_length(clients); k++) {
    json_object* c = json_object_array_get_idx(clients, k);
    json_object* text = nullptr;
    // The daemon prints the MAC without leading zeros.
    if (!json_object_object_get_ex(c, "mac", &text)) continue;
    unsigned b[6];
    if (sscanf(json_object_get_string(text), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4],
               &b[5]) != 6)
      continue;
    char canonical[24];
    snprintf(canonical, sizeof canonical, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3],
             b[4], b[5]);
    if (want == canonical) return c;
  }
  return nullptr;
}

// Per-client daemon counters summed over clients 1..vms: {total reads,
// cache hit reads, kernel drops}, and the daemon-wide held-read counters;
// -1 where a client or member is missing.
struct daemon_counts {
  int64_t reads = -1, hits = -1, drops = -1;
  int64_t held[HELD_COUNT] = {-1, -1, -1};
};
daemon_counts daemon_counts_now(int vms) {
  json_value m = tarn_test::control_result(lab->socket_path(), "metrics");
  daemon_counts d{0, 0, 0};
  for (int k = 0; k < HELD_COUNT; k++)
    d.held[k] = tarn_test::json_path_int(m.get(), {"server_metrics", HELD[k]});
  for (int i = 1; i <= vms; i++) {
    json_object* c = client_record(m.get(), i);
    const int64_t reads = tarn_test::json_path_int(c, {"total_reads"});
    const int64_t hits = tarn_test::json_path_int(c, {"cache_hit_reads"});
    const int64_t drops = tarn_test::json_path_int(c, {KERNEL_DROPS});
    d.reads = reads < 0 || d.reads < 0 ? -1 : d.reads + reads;
    d.hits = hits < 0 || d.hits < 0 ? -1 : d.hits + hits;
    d.drops = drops < 0 || d.drops < 0 ? -1 : d.drops + drops;
  }
  return d;
}

// Frames the kernel dropped on the listeners' receive rings, from the log of
// a daemon that has stopped: each listener thread's closing line "...,
// kernel drops N, ...", else the sum of the running "the kernel dropped N
// frames for want of room in the receive ring" lines; -1 if neither shows.
int64_t log_kernel_drops(const std::string& log) {
  std::istringstream in(log);
  int64_t closing = 0, running = 0;
  bool closed = false;
  for (std::string line; std::getline(in, line);) {
    unsigned long long n = 0;
    if (const size_t at = line.find(", kernel drops "); at != std::string::npos) {
      if (sscanf(line.c_str() + at, ", kernel drops %llu", &n) == 1) {
        closing += static_cast<int64_t>(n);
        closed = true;
      }
    } else if (const size_t w = line.find(": the kernel dropped ");
               w != std::string::npos &&
               line.find("room in the receive ring") != std::string::npos) {
      if (sscanf(line.c_str() + w, ": the kernel dropped %llu", &n) == 1)
        running += static_cast<int64_t>(n);
    }
  }
  if (closed) return closing;
  return running > 0 ? running : -1;
}

int64_t server_data_bytes() {
  json_value s = lab->server_stats();
  return tarn_test::json_path_int(s.get(), {"data_bytes"});
}

bool daemon_up = false;  // running with the site configured
// Daemon runs whose kernel drops came from "metrics", and from the log.
int drops_from_metrics = 0, drops_from_log = 0;

bool stop_daemon() {
  tarn_test::sandbox& sb = lab->sandbox();
  daemon_up = false;
  return !sb.send_signal(SIGTERM) || sb.wait_exit(30s).has_value();
}

// The daemon running with the site (clients 1..8) configured; with `empty`,
// restarted on an empty cache: every vDisk's directory deleted meanwhile.
bool daemon_ready(bool empty) {
  if (daemon_up && !empty) return true;
  if (!stop_daemon()) return false;
  if (empty) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(lab->cache_disk(), ec))
      if (entry.is_directory() && entry.path().filename().string()[0] != '.')
        fs::remove_all(entry.path(), ec);
  }
  daemon_up = lab->start_daemon() && lab->configure();
  return daemon_up;
}

bool steered = true;
bool steer(bool on) {
  if (steered == on) return true;
  steered = on;
  return lab->lab().steer(on);
}

// Clients 1..vms boot the trace at once; false (with `why`) when a VM gave
// no report or did not read every byte right.
bool boot_vms(int vms, run_figures* f, std::string* why) {
  std::vector<std::unique_ptr<process>> booting;
  for (int i = 1; i <= vms; i++)
    booting.push_back(lab->boot(
        i, {"--trace-reads", TRACE_READS, "--trace-seed", TRACE_SEED, "--retries", RETRIES}));
  int64_t slowest = -1, resends = 0, bytes = 0;
  bool ok = true;
  for (auto& vm : booting) {
    json_value r = tarn_test::vm_report(*vm);
    const int64_t ms = r ? tarn_test::report_int(r.get(), "elapsed_ms") : -1;
    const int64_t errors = r ? tarn_test::report_int(r.get(), "errors") : -1;
    const int64_t reads = r ? tarn_test::report_int(r.get(), "reads") : -1;
    if (ms < 0 || errors != 0 || reads != std::stoll(TRACE_READS)) {
      *why = r ? "a boot failed verification (" + std::to_string(errors) + " errors, " +
                     std::to_string(reads) + " reads)"
               : "a VM gave no report";
      ok = false;
      continue;
    }
    slowest = std::max(slowest, ms);
    resends += tarn_test::report_int(r.get(), "retries");
    const int64_t read = tarn_test::report_int(r.get(), "bytes");
    bytes = read < 0 || bytes < 0 ? -1 : bytes + read;
  }
  f->boot_s = static_cast<double>(slowest) / 1000.0;
  f->resends = resends;
  f->vm_bytes = ok ? bytes : -1;
  return ok;
}

// One boot of `vms` VMs on `path`; false (with `why`) on failure.
bool run_once(path_kind path, int vms, bool cold, run_figures* f, std::string* why) {
  if (!steer(path != DIRECT)) {
    *why = "scripts/lab steer failed";
    return false;
  }
  std::vector<std::unique_ptr<ring_forwarder>> forwarders;  // one per client
  if (path == DAEMON && !daemon_ready(cold)) {
    *why = "daemon restart or configure_site failed";
    return false;
  }
  if (path == FORWARDER) {
    // Only one of them may take the client's frames.
    if (!stop_daemon()) {
      *why = "the daemon did not stop";
      return false;
    }
    for (int i = 1; i <= vms; i++) {
      forwarders.push_back(std::make_unique<ring_forwarder>());
      if (!forwarders.back()->start(lab->lab().host_ns(), lab->lab().client_if(i),
                                    lab->lab().client_mac(i), LISTENER_THREADS, PACKET_FANOUT_CBPF,
                                    static_cast<uint16_t>(0x77 + i))) {
        *why = "cannot start the forwarder";
        return false;
      }
    }
  }
  const daemon_counts before = path == DAEMON ? daemon_counts_now(vms) : daemon_counts{};
  const int64_t served = server_data_bytes();
  const bool booted = boot_vms(vms, f, why);
  const int64_t served_after = server_data_bytes();
  f->server_bytes = served < 0 || served_after < 0 ? -1 : served_after - served;
  if (f->server_bytes >= 0 && f->vm_bytes > 0)
    f->boots = static_cast<double>(f->server_bytes) * vms / static_cast<double>(f->vm_bytes);
  if (path == FORWARDER) {
    f->kernel_drops = 0;
    for (auto& fw : forwarders) {
      fw->finish();
      f->kernel_drops += static_cast<int64_t>(fw->kdrops);
    }
  }
  if (path == DAEMON) {
    const daemon_counts after = daemon_counts_now(vms);
    if (before.reads >= 0 && after.reads > before.reads && after.hits >= 0)
      f->hits = static_cast<double>(after.hits - before.hits) /
                static_cast<double>(after.reads - before.reads);
    for (int k = 0; k < HELD_COUNT; k++)
      if (before.held[k] >= 0 && after.held[k] >= 0) f->held[k] = after.held[k] - before.held[k];
    if (before.drops >= 0 && after.drops >= 0) {
      f->kernel_drops = after.drops - before.drops;
      drops_from_metrics++;
    } else if (stop_daemon()) {
      drops_from_log++;
      // Without the metric, the listeners' closing lines give the count.
      f->kernel_drops = log_kernel_drops(lab->sandbox().err());
    }
  }
  return booted;
}

struct group {
  const char* name;
  std::vector<path_kind> paths;
  int vms, runs;
  bool cold;
};
const group groups[] = {
    {"cold", {DIRECT, DAEMON, FORWARDER}, 1, RUNS, true},
    {"warm", {DIRECT, DAEMON}, 1, RUNS, false},
    {"storm_cold_2", {DIRECT, DAEMON}, 2, STORM_RUNS, true},
    {"storm_cold_4", {DIRECT, DAEMON}, 4, STORM_RUNS, true},
    {"storm_cold", {DIRECT, DAEMON}, STORM_VMS, STORM_RUNS, true},
    {"storm_warm", {DIRECT, DAEMON}, STORM_VMS, STORM_RUNS, false},
};

std::string row_name(const group& g, path_kind p) {
  return std::string(g.name) + "/" + path_names[p];
}

// All of a group's runs, alternated, into `rows`.
void run_group(const group& g) {
  std::string why;
  bool failed = false;
  if (!g.cold) {
    // The cache holds the trace before the first warm run.
    run_figures prime;
    if (clock_type::now() >= run_deadline) {
      why = BUDGET_SPENT;
      failed = true;
    } else if (!run_once(DAEMON, 1, true, &prime, &why)) {
      why = "the boot filling the cache failed: " + why;
      failed = true;
    }
  }
  for (int run = 0; run < g.runs && !failed; run++) {
    for (path_kind p : g.paths) {
      row_figures& row = rows[row_name(g, p)];
      if (!row.error.empty()) continue;
      if (clock_type::now() >= run_deadline) {
        if (row.runs.empty()) row.error = BUDGET_SPENT;
        continue;
      }
      run_figures f;
      if (run_once(p, g.vms, g.cold, &f, &why)) {
        row.runs.push_back(f);
      } else {
        row.error = why;
      }
    }
  }
  for (path_kind p : g.paths) {
    row_figures& row = rows[row_name(g, p)];
    if (failed) row.error = why;
    if (row.runs.empty() && row.error.empty()) row.error = BUDGET_SPENT;
  }
}

void bm_row(benchmark::State& state, int group_index, path_kind path) {
  const group& g = groups[group_index];
  const std::string name = row_name(g, path);
  for (auto _ : state) {
    if (!rows.count(name)) run_group(g);
    const row_figures& row = rows[name];
    if (!row.error.empty()) {
      state.SkipWithError(row.error.c_str());
      break;
    }
    const double boot = median_by(row, [](const run_figures& f) { return f.boot_s; });
    state.SetIterationTime(boot);
    state.counters["boot_s"] = boot;
    state.counters["runs"] = static_cast<double>(row.runs.size());
    auto counter = [&](const char* what, double v) {
      if (v >= 0) state.counters[what] = v;
    };
    counter("server_bytes", median_by(row, [](const run_figures& f) { return f.server_bytes; }));
    counter("boots", median_by(row, [](const run_figures& f) { return f.boots; }));
    counter("resends", median_by(row, [](const run_figures& f) { return f.resends; }));
    if (path != DIRECT) {
      counter(KERNEL_DROPS, median_by(row, [](const run_figures& f) { return f.kernel_drops; }));
    }
    if (path == DAEMON) {
      counter("hit_pct", median_by(row, [](const run_figures& f) { return f.hits * 100; }));
      for (int k = 0; k < HELD_COUNT; k++)
        counter(HELD[k], median_by(row, [k](const run_figures& f) { return f.held[k]; }));
    }
  }
}

std::string run_key(const benchmark::BenchmarkReporter::Run& run) {
  return run.run_name.function_name;
}

std::string figure(double v, const char* unit = "") {
  if (v < 0) return "n/a";
  char text[48];
  snprintf(text, sizeof text, "%.*f%s", v == static_cast<double>(static_cast<int64_t>(v)) ? 0 : 2,
           v, unit);
  return text;
}
std::string ratio(double a, double b) {
  if (a < 0 || b <= 0) return "n/a";
  char text[32];
  snprintf(text, sizeof text, "%.2f", a / b);
  return text;
}
std::string mib(double bytes) {
  if (bytes < 0) return "n/a";
  char text[32];
  snprintf(text, sizeof text, "%.1f MiB", bytes / 1048576.0);
  return text;
}

// A row's median of `f`, -1 when the row failed or did not run.
template <typename F>
double median_of_row(const std::string& name, F f) {
  auto r = rows.find(name);
  return r == rows.end() || !r->second.error.empty() ? -1 : median_by(r->second, f);
}
double boot_of(const std::string& name) {
  return median_of_row(name, [](const run_figures& f) { return f.boot_s; });
}
double bytes_of(const std::string& name) {
  return median_of_row(name, [](const run_figures& f) { return f.server_bytes; });
}
double boots_of(const std::string& name) {
  return median_of_row(name, [](const run_figures& f) { return f.boots; });
}
double held_of(const std::string& name, int k) {
  return median_of_row(name, [k](const run_figures& f) { return f.held[k]; });
}

void print_runs(const std::string& name) {
  auto r = rows.find(name);
  if (r == rows.end()) return;
  std::printf("  %-20s", name.c_str());
  if (!r->second.error.empty()) {
    std::printf(" error: %s\n", r->second.error.c_str());
    return;
  }
  std::printf(" boot s:");
  for (const auto& f : r->second.runs) std::printf(" %s", figure(f.boot_s).c_str());
  std::printf("; server MiB:");
  for (const auto& f : r->second.runs)
    std::printf(" %s", f.server_bytes < 0 ? "n/a" : figure(f.server_bytes / 1048576.0).c_str());
  std::printf("; boots:");
  for (const auto& f : r->second.runs) std::printf(" %s", figure(f.boots).c_str());
  std::printf("; resends:");
  for (const auto& f : r->second.runs) std::printf(" %s", figure(f.resends).c_str());
  if (name.find("direct") == std::string::npos) {
    std::printf("; kernel drops:");
    for (const auto& f : r->second.runs) std::printf(" %s", figure(f.kernel_drops).c_str());
  }
  if (name.find("daemon") != std::string::npos) {
    std::printf("; hits %%:");
    for (const auto& f : r->second.runs) std::printf(" %s", figure(f.hits * 100).c_str());
    std::printf("; held/answered/timed out:");
    for (const auto& f : r->second.runs) {
      if (f.held[0] < 0) {
        std::printf(" n/a");
      } else {
        std::printf(" %s/%s/%s", figure(f.held[0]).c_str(), figure(f.held[1]).c_str(),
                    figure(f.held[2]).c_str());
      }
    }
  }
  std::printf("\n");
}

void print_summary() {
  auto s = [](double v) { return figure(v, " s"); };
  const double cd = boot_of("cold/direct"), cw = boot_of("cold/daemon"),
               cf = boot_of("cold/forwarder");
  const double wd = boot_of("warm/direct"), ww = boot_of("warm/daemon");
  const double swd = boot_of("storm_warm/direct"), sww = boot_of("storm_warm/daemon");
  std::printf("\nboot of a %s-read trace on a %" PRIu64 " MiB vDisk, medians, same run:\n",
              TRACE_READS, SIZE >> 20);
  std::printf(
      "cold, one VM: direct %s, daemon %s (daemon/direct %s); forwarder %s "
      "(daemon/forwarder %s)\n",
      s(cd).c_str(), s(cw).c_str(), ratio(cw, cd).c_str(), s(cf).c_str(), ratio(cw, cf).c_str());
  std::printf("warm, one VM: direct %s, daemon %s (speed-up direct/daemon %s)\n", s(wd).c_str(),
              s(ww).c_str(), ratio(wd, ww).c_str());
  // One line per cold storm size: what the goal is stated in.
  for (const group& g : groups) {
    if (!g.cold || g.vms < 2) continue;
    const std::string direct = row_name(g, DIRECT), daemon = row_name(g, DAEMON);
    const double td = boot_of(direct), tw = boot_of(daemon);
    std::printf(
        "cold storm of %d VMs: the server sent %s boots' worth through the daemon, %s direct; "
        "storm time daemon %s, direct %s (daemon/direct %s); held reads %s (answered from the "
        "cache %s, timed out %s)\n",
        g.vms, figure(boots_of(daemon)).c_str(), figure(boots_of(direct)).c_str(), s(tw).c_str(),
        s(td).c_str(), ratio(tw, td).c_str(), figure(held_of(daemon, 0)).c_str(),
        figure(held_of(daemon, 1)).c_str(), figure(held_of(daemon, 2)).c_str());
  }
  std::printf("storm of %d VMs, warm: direct %s, daemon %s (speed-up direct/daemon %s)\n",
              STORM_VMS, s(swd).c_str(), s(sww).c_str(), ratio(swd, sww).c_str());
  std::printf(
      "server bytes: one direct boot %s; cold boot through the daemon %s (%s boots' "
      "worth), warm %s; warm storm through the daemon %s (%s boots' worth)\n",
      mib(bytes_of("cold/direct")).c_str(), mib(bytes_of("cold/daemon")).c_str(),
      figure(boots_of("cold/daemon")).c_str(), mib(bytes_of("warm/daemon")).c_str(),
      mib(bytes_of("storm_warm/daemon")).c_str(), figure(boots_of("storm_warm/daemon")).c_str());
  std::printf(
      "per run (the daemon's kernel drops from its \"%s\" metric in %d runs, from its "
      "listeners' log lines in %d; the forwarder's from PACKET_STATISTICS):\n",
      KERNEL_DROPS, drops_from_metrics, drops_from_log);
  for (const group& g : groups)
    for (path_kind p : g.paths) print_runs(row_name(g, p));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (const int status = lab_args_parse(argc, argv, "boot_bench", &SIZE, &BUDGET); status >= 0)
    return status;
  int rc = 0;
  try {
    tarn_test::lab_daemon_options o;
    o.clients = STORM_VMS;
    o.image_bytes = SIZE;
    o.config = "listenerThreads=" + std::to_string(LISTENER_THREADS) + "\n";
    run_deadline = clock_type::now() + BUDGET;
    tarn_test::lab_daemon d(o);
    lab = &d;
    for (int gi = 0; gi < static_cast<int>(std::size(groups)); gi++) {
      for (path_kind p : groups[gi].paths) {
        benchmark::RegisterBenchmark(row_name(groups[gi], p).c_str(), bm_row, gi, p)
            ->Iterations(1)
            ->UseManualTime();
      }
    }
    median_reporter reporter("boot_s", run_key);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_summary();
    lab = nullptr;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "boot_bench: %s\n", e.what());
    rc = 1;
  }
  benchmark::Shutdown();
  return rc;
}
