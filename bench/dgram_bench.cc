// The engine's cost per datagram for typical datagrams, against a bare memcpy
// of the same datagram, measured in the same run:
//   heartbeat        a heartbeat reply, forwarded (40 bytes)
//   ext_miss         an extent read of 1 KiB not in the cache: checked
//                    against the cache, tagged, forwarded (36 bytes)
//   ext_hit          an extent read of 1 KiB answered from the cache (36
//                    bytes in, one reply of 1060 bytes out)
//   mio_round        one 16 KiB MIO read at packet size 1472 and eleven of
//                    its twelve reply fragments; mio_request is the read
//                    alone, so one fragment being reassembled costs
//                    (mio_round - mio_request) / 11
//   memcpy/N         the baseline: a memcpy of an N-byte datagram
// Instructions are counted with perf_event_open (user space only) when the
// machine has a PMU; without one (common in VMs) only the time is reported,
// and the program says so.
#include <benchmark/benchmark.h>
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "median_reporter.h"

namespace {

using namespace engine_bench;

constexpr uint32_t PACKET_SIZE = 1472;
constexpr uint64_t WARM = 1 << 20;
constexpr uint64_t COLD = 9 << 20;  // in the same chunk file, never cached
constexpr uint16_t MIO_LENGTH = 16384;
constexpr int FRAGMENTS_MEASURED = 11;  // the twelfth would complete the read

engine_fixture* engine = nullptr;
int insn_fd = -1;

uint64_t insn_now() {
  uint64_t v = 0;
  if (insn_fd < 0 || read(insn_fd, &v, sizeof v) != sizeof v) return 0;
  return v;
}

// Instructions per iteration, as a counter, when the PMU counts.
void count_instructions(benchmark::State& state, uint64_t begin) {
  if (insn_fd < 0 || state.iterations() == 0) return;
  state.counters["insns"] =
      static_cast<double>(insn_now() - begin) / static_cast<double>(state.iterations());
}

void BM_memcpy(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> from(n, 0x3c), to(n);
  const uint64_t begin = insn_now();
  for (auto _ : state) {
    benchmark::DoNotOptimize(from.data());
    std::memcpy(to.data(), from.data(), n);
    benchmark::ClobberMemory();
  }
  count_instructions(state, begin);
  state.SetItemsProcessed(state.iterations());
}

void BM_heartbeat(benchmark::State& state) {
  bytes reply = engine_fixture::heartbeat_reply();
  const uint64_t begin = insn_now();
  for (auto _ : state) {
    if (engine->to_client(reply) != 1) {
      state.SkipWithError("heartbeat not forwarded");
      break;
    }
  }
  count_instructions(state, begin);
  state.SetItemsProcessed(state.iterations());
}

void BM_ext_miss(benchmark::State& state) {
  bytes request = engine_fixture::ext_request(512 + COLD, 1024);
  engine->prime_activity();
  const uint64_t begin = insn_now();
  for (auto _ : state) {
    if (engine->to_server(request) != 1) {
      state.SkipWithError("read not forwarded");
      break;
    }
  }
  count_instructions(state, begin);
  state.SetItemsProcessed(state.iterations());
}

void BM_ext_hit(benchmark::State& state) {
  bytes request = engine_fixture::ext_request(512, 1024);
  int64_t n = 0;
  const uint64_t begin = insn_now();
  for (auto _ : state) {
    // Served only while the server was heard from in the last two seconds.
    if ((n++ & 4095) == 0) engine->prime_activity();
    if (engine->to_server(request) != 0) {
      state.SkipWithError("not served from the cache");
      break;
    }
  }
  count_instructions(state, begin);
  state.SetItemsProcessed(state.iterations());
}

// One MIO read of uncached bytes, and `fragments` of its reply.
void mio(benchmark::State& state, int fragments) {
  bytes request = engine_fixture::mio_request(1, 1, 512 + COLD, MIO_LENGTH);
  std::vector<bytes> replies;
  for (int i = 1; i <= fragments; i++) {
    replies.push_back(
        engine_fixture::mio_fragment(request, static_cast<uint16_t>(i), PACKET_SIZE, 0xA5));
  }
  uint32_t id = 1;
  const uint64_t begin = insn_now();
  for (auto _ : state) {
    // A new request id each time, as the VM numbers its reads.
    ++id;
    for (size_t i = 0; i < 4; i++) request[22 + i] = static_cast<uint8_t>(id >> (8 * i));
    if (engine->to_server(request) != 1) {
      state.SkipWithError("read not forwarded");
      break;
    }
    for (auto& f : replies) {
      std::memcpy(f.data() + 22, request.data() + 22, 4);
      engine->to_client(f);
    }
  }
  count_instructions(state, begin);
  state.SetItemsProcessed(state.iterations());
}

void BM_mio_request(benchmark::State& state) {
  mio(state, 0);
}
void BM_mio_round(benchmark::State& state) {
  mio(state, FRAGMENTS_MEASURED);
}

BENCHMARK(BM_memcpy)->Name("memcpy")->Arg(36)->Arg(40)->Arg(1472)->UseRealTime();
BENCHMARK(BM_heartbeat)->Name("heartbeat")->UseRealTime();
BENCHMARK(BM_ext_miss)->Name("ext_miss")->UseRealTime();
BENCHMARK(BM_ext_hit)->Name("ext_hit")->UseRealTime();
BENCHMARK(BM_mio_request)->Name("mio_request")->UseRealTime();
BENCHMARK(BM_mio_round)->Name("mio_round")->UseRealTime();

// Keeps ns per iteration (the reciprocal of items per second) and, when
// counted, instructions per iteration, by benchmark name.
std::string run_key(const benchmark::BenchmarkReporter::Run& run) {
  return run.run_name.function_name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  quiet_logs();

  perf_event_attr attr{};
  attr.type = PERF_TYPE_HARDWARE;
  attr.size = sizeof attr;
  attr.config = PERF_COUNT_HW_INSTRUCTIONS;
  attr.exclude_kernel = 1;
  attr.exclude_hv = 1;
  insn_fd = static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
  const int insn_errno = insn_fd < 0 ? errno : 0;
  if (insn_fd < 0) {
    std::printf(
        "instruction counter: unavailable (perf_event_open: %s; no hardware PMU exposed "
        "here): reporting ns per datagram instead\n",
        std::strerror(insn_errno));
  } else {
    std::printf("instruction counter: available (user-space instructions)\n");
  }

  engine_fixture e;
  if (!e.setup(PACKET_SIZE) || !e.warm(0, WARM)) {
    std::fprintf(stderr, "dgram_bench: cannot set up the engine and its cache\n");
    return 1;
  }
  engine = &e;
  median_reporter rate("items_per_second", run_key);
  benchmark::RunSpecifiedBenchmarks(&rate);

  struct row {
    const char* name;
    const char* what;
    int size;
  };
  const row rows[] = {
      {"heartbeat", "heartbeat reply, forwarded", 40},
      {"ext_miss", "extent read miss (tag + forward)", 36},
      {"mio_fragment", "MIO reply fragment being reassembled", 1472},
      {"ext_hit", "extent read served from the cache", 36},
  };
  auto ns = [&](const std::string& name) {
    const double r = rate.median(name);
    return r > 0 ? 1e9 / r : 0.0;
  };
  std::printf("\nper datagram, against a memcpy of the datagram (medians, same run):\n");
  for (const row& r : rows) {
    double t = ns(r.name);
    if (std::string(r.name) == "mio_fragment") {
      t = (ns("mio_round") - ns("mio_request")) / FRAGMENTS_MEASURED;
    }
    const double base = ns("memcpy/" + std::to_string(r.size));
    if (t <= 0 || base <= 0) continue;
    std::printf("  %-38s %8.1f ns  memcpy/%-4d %6.1f ns  ratio %7.1f\n", r.what, t, r.size, base,
                t / base);
  }
  if (insn_fd >= 0) close(insn_fd);
  engine = nullptr;
  benchmark::Shutdown();
  return 0;
}
