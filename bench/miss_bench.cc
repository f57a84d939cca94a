// The engine's own latency on the miss path, against the cache write it
// ends in, measured in the same run:
//   engine_miss/1024  an extent read of 1 KiB not in the cache: the request
//                     checked against the cache, tagged and forwarded, then
//                     the server's reply matched and stored (two calls of
//                     tarn_process_packet)
//   raw_put/1024      cache_put_data of 1 KiB alone
// Both write sectors never written before (a fresh stretch of a large sparse
// vDisk for every iteration), as a first read of a boot does. After the table
// the ratio of the engine's latency to the bare write is printed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "median_reporter.h"

namespace {

using namespace engine_bench;

constexpr uint32_t PACKET_SIZE = 1472;
constexpr uint16_t LENGTH = 1024;
// Each path writes its own half of the vDisk, never the same sector twice.
constexpr uint64_t HALF = SECTORS * 512 / 2;

engine_fixture* engine = nullptr;
uint64_t engine_next = 0;
uint64_t raw_next = HALF;

void BM_engine_miss(benchmark::State& state) {
  bytes request = engine_fixture::ext_request(512, LENGTH);
  bytes reply = engine_fixture::ext_reply(request, 0xA5);
  const uint32_t reply_code = IOS_READ_EXT_REPLY_CODE;
  for (auto _ : state) {
    if (engine_next + LENGTH > HALF) {
      state.SkipWithError("vDisk used up");
      break;
    }
    engine_fixture::set_offset(request, 26, engine_next);
    engine_next += LENGTH;
    if (engine->to_server(request) != 1) {
      state.SkipWithError("read not forwarded");
      break;
    }
    // The server echoes the request's header, tag included.
    std::memcpy(reply.data(), request.data(), 36);
    for (size_t i = 0; i < 4; i++) reply[i] = static_cast<uint8_t>(reply_code >> (8 * i));
    if (engine->to_client(reply) != 1) {
      state.SkipWithError("reply not forwarded");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_raw_put(benchmark::State& state) {
  std::vector<uint8_t> data(LENGTH, 0xA5);
  auto session = engine->client()->session.lock_shared();
  for (auto _ : state) {
    if (raw_next + LENGTH > 2 * HALF) {
      state.SkipWithError("vDisk used up");
      break;
    }
    if (cache_put_data(engine->ctx(), engine->client(), *session, raw_next, data.data(), LENGTH) !=
        LENGTH) {
      state.SkipWithError("cache write failed");
      break;
    }
    raw_next += LENGTH;
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_raw_put)->Name("raw_put/1024")->UseRealTime();
BENCHMARK(BM_engine_miss)->Name("engine_miss/1024")->UseRealTime();

std::string run_key(const benchmark::BenchmarkReporter::Run& run) {
  return run.run_name.function_name;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  quiet_logs();
  engine_fixture e;
  if (!e.setup(PACKET_SIZE)) {
    std::fprintf(stderr, "miss_bench: cannot set up the engine and its cache\n");
    return 1;
  }
  engine = &e;
  median_reporter reporter("items_per_second", run_key);
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const double eng = reporter.median("engine_miss/1024");
  const double raw = reporter.median("raw_put/1024");
  if (eng > 0 && raw > 0) {
    std::printf(
        "\nmiss path of a 1 KiB extent read: engine %.2f us, cache_put_data alone %.2f us: "
        "latency ratio %.2f (same run)\n",
        1e6 / eng, 1e6 / raw, raw / eng);
  }
  engine = nullptr;
  benchmark::Shutdown();
  return 0;
}
