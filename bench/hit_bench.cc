// Reads answered from a warm cache by the engine, against the raw cache read
// of the same bytes, measured in the same run:
//   engine_ext/1024    tarn_process_packet on a 1 KiB extent read whose bytes
//                      are all cached: one reply datagram built and sent
//   raw_ext/1024       cache_get_data of the same 1 KiB plus a memcpy of the
//                      reply's size (36 + 1024 bytes)
//   engine_mio/16384   a 16 KiB MIO read at packet size 1472: twelve reply
//                      fragments built and sent
//   raw_mio/16384      cache_get_data of the same 16 KiB plus a memcpy of the
//                      replies' size (12 * 56 + 16384 bytes)
//   engine_*_untimed   the same two without the read latency histograms
// The sender only counts; the chunk files stay in the page cache. After the
// table, the engine's throughput relative to the raw read is printed: the
// share of its cost that is the cache read itself; then the engine's
// throughput with the histograms relative to without: what timing costs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "median_reporter.h"

namespace {

using namespace engine_bench;

constexpr uint32_t PACKET_SIZE = 1472;
constexpr uint64_t REGION = 8 << 20;  // warm bytes read in turn
constexpr uint16_t EXT_LENGTH = 1024;
constexpr uint16_t MIO_LENGTH = 16384;
constexpr uint32_t EXT_HEADER = 36;

engine_fixture* engine = nullptr;

// Offsets of successive reads over the warm region.
struct offsets {
  uint64_t next = 0;
  uint64_t step;
  explicit offsets(uint64_t size) : step(size) {}
  uint64_t take() {
    const uint64_t at = next;
    next = next + 2 * step > REGION ? 0 : next + step;
    return at;
  }
};

void BM_engine_ext(benchmark::State& state) {
  engine->ctx()->latency_histograms = state.range(0) != 0;
  bytes request = engine_fixture::ext_request(512, EXT_LENGTH);
  offsets at(EXT_LENGTH);
  const uint64_t sent = engine->sent().datagrams;
  int64_t n = 0;
  for (auto _ : state) {
    // Served only while the server was heard from in the last two seconds.
    if ((n++ & 4095) == 0) engine->prime_activity();
    engine_fixture::set_offset(request, 26, at.take());
    if (engine->to_server(request) != 0) {
      state.SkipWithError("not served from the cache");
      break;
    }
  }
  state.counters["datagrams_sent"] = benchmark::Counter(
      static_cast<double>(engine->sent().datagrams - sent), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations());
}

void BM_raw_ext(benchmark::State& state) {
  std::vector<uint8_t> data(EXT_LENGTH), reply(EXT_HEADER + EXT_LENGTH);
  offsets at(EXT_LENGTH);
  auto session = engine->client()->session.lock_shared();
  for (auto _ : state) {
    if (cache_get_data(engine->ctx(), engine->client(), *session, at.take(), data.data(),
                       EXT_LENGTH) != EXT_LENGTH) {
      state.SkipWithError("cache miss");
      break;
    }
    std::memcpy(reply.data() + EXT_HEADER, data.data(), EXT_LENGTH);
    benchmark::DoNotOptimize(reply.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_engine_mio(benchmark::State& state) {
  engine->ctx()->latency_histograms = state.range(0) != 0;
  bytes request = engine_fixture::mio_request(1, 1, 512, MIO_LENGTH);
  offsets at(MIO_LENGTH);
  const uint64_t sent = engine->sent().datagrams;
  for (auto _ : state) {
    engine_fixture::set_offset(request, 38, at.take());
    if (engine->to_server(request) != 0) {
      state.SkipWithError("not served from the cache");
      break;
    }
  }
  state.counters["datagrams_sent"] = benchmark::Counter(
      static_cast<double>(engine->sent().datagrams - sent), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations());
}

void BM_raw_mio(benchmark::State& state) {
  const size_t fragments = engine_fixture::mio_fragment_count(MIO_LENGTH, PACKET_SIZE);
  std::vector<uint8_t> data(MIO_LENGTH), replies(fragments * MIO_HEADER + MIO_LENGTH);
  offsets at(MIO_LENGTH);
  auto session = engine->client()->session.lock_shared();
  for (auto _ : state) {
    if (cache_get_data(engine->ctx(), engine->client(), *session, at.take(), data.data(),
                       MIO_LENGTH) != MIO_LENGTH) {
      state.SkipWithError("cache miss");
      break;
    }
    std::memcpy(replies.data() + fragments * MIO_HEADER, data.data(), MIO_LENGTH);
    benchmark::DoNotOptimize(replies.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_raw_ext)->Name("raw_ext/1024")->UseRealTime();
BENCHMARK(BM_engine_ext)->Name("engine_ext/1024")->Arg(1)->UseRealTime();
BENCHMARK(BM_engine_ext)->Name("engine_ext_untimed/1024")->Arg(0)->UseRealTime();
BENCHMARK(BM_raw_mio)->Name("raw_mio/16384")->UseRealTime();
BENCHMARK(BM_engine_mio)->Name("engine_mio/16384")->Arg(1)->UseRealTime();
BENCHMARK(BM_engine_mio)->Name("engine_mio_untimed/16384")->Arg(0)->UseRealTime();

std::string run_key(const benchmark::BenchmarkReporter::Run& run) {
  return run.run_name.function_name;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  quiet_logs();
  engine_fixture e;
  if (!e.setup(PACKET_SIZE) || !e.warm(0, REGION)) {
    std::fprintf(stderr, "hit_bench: cannot set up the engine and its cache\n");
    return 1;
  }
  engine = &e;
  median_reporter reporter("items_per_second", run_key);
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf(
      "\ncache-hit serving: engine throughput relative to the raw cache read (same run):\n");
  for (const char* size : {"ext/1024", "mio/16384"}) {
    const double eng = reporter.median(std::string("engine_") + size);
    const double raw = reporter.median(std::string("raw_") + size);
    if (eng <= 0 || raw <= 0) continue;
    std::printf("  %-10s engine %.0f reads/s, raw %.0f reads/s: ratio %.2f\n", size, eng, raw,
                eng / raw);
  }
  std::printf("\nread latency histograms: engine throughput with them relative to without:\n");
  for (const char* kind : {"ext", "mio"}) {
    const std::string size = kind == std::string("ext") ? "/1024" : "/16384";
    const double timed = reporter.median(std::string("engine_") + kind + size);
    const double untimed = reporter.median(std::string("engine_") + kind + "_untimed" + size);
    if (timed <= 0 || untimed <= 0) continue;
    std::printf("  %s%-7s with %.0f reads/s, without %.0f reads/s: ratio %.3f\n", kind,
                size.c_str(), timed, untimed, timed / untimed);
  }
  engine = nullptr;
  benchmark::Shutdown();
  return 0;
}
