// Prepopulation through the production daemon in the network lab, against
// the streaming server read directly, in the same run:
//   prepop/daemon  the daemon reads a 64 MiB vDisk into its cache in the name
//                  of a logged-in VM whose client prepopulates; the time is
//                  from the daemon's "Prepopulating cache" log line to its
//                  "Prepopulation complete" line
//   prepop/direct  a VM simulator, steering off, reads the whole vDisk
//                  sequentially from the server (--sweep)
// Each runs once (one iteration: a second pass would find the cache full);
// the counter MB_per_s is the rate, and the ratio is printed after the table.
//
// Needs root: run as `sudo build/release/bench/prepop_bench`.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "median_reporter.h"
#include "support/lab_daemon.h"

namespace {

using namespace std::chrono_literals;

constexpr uint64_t SIZE = 64 << 20;
constexpr const char* STARTED = "Prepopulating cache of vdisk";
constexpr const char* COMPLETE = "Prepopulation complete for vdisk";

tarn_test::lab_daemon* lab = nullptr;

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

void report(benchmark::State& state, double seconds) {
  state.SetIterationTime(seconds);
  state.counters["MB_per_s"] = SIZE / 1e6 / seconds;
  state.counters["seconds"] = seconds;
}

void BM_daemon(benchmark::State& state) {
  for (auto _ : state) {
    if (!lab->configure({1})) {
      state.SkipWithError("configure_site failed");
      break;
    }
    // A VM that logs in, reads a little and stays logged in: its heartbeats
    // start the job.
    auto vm = lab->boot(1, {"--trace-reads", "8", "--linger-ms", "150000"});
    if (!lab->sandbox().wait_for_output(COMPLETE, 150s)) {
      vm->kill();
      state.SkipWithError("prepopulation did not complete within 150 s");
      break;
    }
    vm->kill();
    const std::string log = lab->sandbox().err();
    const int64_t began = log_time_ms(log, STARTED), ended = log_time_ms(log, COMPLETE);
    if (began < 0 || ended <= began) {
      state.SkipWithError("no usable log times");
      break;
    }
    const auto [checked, wrong] = lab->check_cache();
    state.counters["sectors_wrong"] = static_cast<double>(wrong);
    state.counters["sectors_checked"] = static_cast<double>(checked);
    report(state, static_cast<double>(ended - began) / 1000.0);
  }
}

void BM_direct(benchmark::State& state) {
  for (auto _ : state) {
    if (!lab->lab().steer(false)) {
      state.SkipWithError("scripts/lab steer failed");
      break;
    }
    auto vm = lab->boot(2, {"--trace-reads", "1", "--sweep"});
    tarn_test::json_value r = tarn_test::vm_report(*vm);
    const int64_t ms = r ? tarn_test::report_int(r.get(), "elapsed_ms") : -1;
    if (ms <= 0) {
      state.SkipWithError("the VM gave no report");
      break;
    }
    state.counters["errors"] = static_cast<double>(tarn_test::report_int(r.get(), "errors"));
    report(state, static_cast<double>(ms) / 1000.0);
  }
}

// The daemon first: the direct read needs the steering off.
BENCHMARK(BM_daemon)->Name("prepop/daemon")->Iterations(1)->UseManualTime();
BENCHMARK(BM_direct)->Name("prepop/direct")->Iterations(1)->UseManualTime();

std::string run_key(const benchmark::BenchmarkReporter::Run& run) {
  return run.run_name.function_name;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (geteuid() != 0) {
    std::fprintf(stderr, "prepop_bench: needs root (network namespaces); nothing measured\n");
    return 0;
  }
  int rc = 0;
  try {
    tarn_test::lab_daemon_options o;
    o.clients = 2;
    o.image_bytes = SIZE;
    o.config = "listenerThreads=2\nprepopIoThreads=2\nprepopHoldOffInS=2\n";
    tarn_test::lab_daemon d(o);
    lab = &d;
    median_reporter reporter("MB_per_s", run_key);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double daemon = reporter.median("prepop/daemon");
    const double direct = reporter.median("prepop/direct");
    if (daemon > 0 && direct > 0) {
      std::printf(
          "\nprepopulation of %llu MiB: %.1f MB/s; direct sequential read by a VM: %.1f MB/s "
          "(ratio %.2f, same run)\n",
          static_cast<unsigned long long>(SIZE >> 20), daemon, direct, daemon / direct);
    }
    lab = nullptr;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "prepop_bench: %s\n", e.what());
    rc = 1;
  }
  benchmark::Shutdown();
  return rc;
}
