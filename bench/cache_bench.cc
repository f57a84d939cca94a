// Cache hits and cache writes against the plain system call on the same
// bytes, measured in the same run:
//   get/N   cache_get_data of N bytes that are all present (warm page cache)
//   pread/N one pread of the same N bytes through a descriptor kept open
//   put/N   cache_put_data of N aligned bytes (rewriting cached data)
//   pwrite/N one pwrite of the same N bytes through a kept descriptor
// The threads of a get run are listener threads of one client, sharing its
// kept chunk descriptor as the packet path does. After the table, the ratio
// of each operation's throughput to its baseline is printed.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cache/chunks.h"
#include "contexts/clients.h"
#include "contexts/proxy_context.h"
#include "contexts/sites.h"
#include "contexts/vdisks.h"
#include "control/lifecycle.h"
#include "median_reporter.h"

namespace {

constexpr uint64_t CHUNK_SIZE = 10485760;
constexpr uint64_t REGION = 8 << 20;  // bytes read or written in turn, within one chunk
constexpr const char* KEY = "1-2-3-4-5-6-7-8-9";

struct bench_store {
  std::string dir;
  proxy_context ctx;
  site_context site;
  client_context client;
  int read_fd = -1;   // chunk 0, for the pread baseline
  int write_fd = -1;  // chunk 1, for the pwrite baseline
};

bench_store* store = nullptr;

bool setup() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarn-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return false;
  store = new bench_store;
  store->dir = pattern;
  client_contexts_init(&store->ctx);
  vdisk_contexts_init(&store->ctx);
  store->site.uuid = "b0000000-0000-4000-8000-000000000000";
  store->site.cache_path = store->dir;
  store->site.chunk_size = CHUNK_SIZE;
  store->site.block_size = 4096;
  store->site.write_budget = INT64_MAX;
  store->site.context = &store->ctx;
  store->client.uuid = "c0000000-0000-4000-8000-000000000000";
  store->client.site_context = &store->site;
  auto session = store->client.session.lock();
  g_strlcpy(session->vdisk_key, KEY, sizeof session->vdisk_key);
  vdisk_context_ref_inc(&store->client, *session);

  std::vector<uint8_t> data(1 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
  for (uint64_t chunk = 0; chunk < 2; ++chunk) {
    for (uint64_t at = 0; at < REGION; at += data.size()) {
      if (cache_put_data(&store->ctx, &store->client, *session, chunk * CHUNK_SIZE + at,
                         data.data(), data.size()) != static_cast<int32_t>(data.size()))
        return false;
    }
  }
  std::string base = store->dir + "/" + KEY + "/";
  store->read_fd = open((base + "0").c_str(), O_RDONLY | O_CLOEXEC);
  store->write_fd = open((base + "1").c_str(), O_RDWR | O_CLOEXEC);
  return store->read_fd >= 0 && store->write_fd >= 0;
}

void teardown() {
  if (store == nullptr) return;
  close(store->read_fd);
  close(store->write_fd);
  vdisk_context_ref_dec_and_del(&store->client, *store->client.session.lock());
  client_contexts_destroy(&store->ctx);
  vdisk_contexts_destroy(&store->ctx);
  std::error_code ignored;
  std::filesystem::remove_all(store->dir, ignored);
  delete store;
  store = nullptr;
}

// Offsets of the successive requests of one thread: aligned, spread over the
// region, each thread starting elsewhere.
struct offsets {
  uint64_t next;
  uint64_t step;
  offsets(const benchmark::State& state, uint64_t size)
      : next(REGION / state.threads() * state.thread_index() / size * size), step(size) {}
  uint64_t take() {
    uint64_t at = next;
    next = next + step + step > REGION ? 0 : next + step;
    return at;
  }
};

void BM_get(benchmark::State& state) {
  const auto size = static_cast<uint64_t>(state.range(0));
  std::vector<uint8_t> buf(size);
  offsets at(state, size);
  // Held as the engine holds it around a read.
  auto session = store->client.session.lock_shared();
  for (auto _ : state) {
    if (cache_get_data(&store->ctx, &store->client, *session, at.take(), buf.data(), size) !=
        static_cast<int32_t>(size)) {
      state.SkipWithError("cache miss");
      break;
    }
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}

void BM_pread(benchmark::State& state) {
  const auto size = static_cast<uint64_t>(state.range(0));
  std::vector<uint8_t> buf(size);
  offsets at(state, size);
  for (auto _ : state) {
    if (pread(store->read_fd, buf.data(), size, static_cast<off_t>(at.take())) !=
        static_cast<ssize_t>(size)) {
      state.SkipWithError("short pread");
      break;
    }
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}

void BM_put(benchmark::State& state) {
  const auto size = static_cast<uint64_t>(state.range(0));
  std::vector<uint8_t> buf(size, 0x5A);
  offsets at(state, size);
  auto session = store->client.session.lock_shared();
  for (auto _ : state) {
    if (cache_put_data(&store->ctx, &store->client, *session, CHUNK_SIZE + at.take(), buf.data(),
                       size) != static_cast<int32_t>(size)) {
      state.SkipWithError("cache write failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}

void BM_pwrite(benchmark::State& state) {
  const auto size = static_cast<uint64_t>(state.range(0));
  std::vector<uint8_t> buf(size, 0x5A);
  offsets at(state, size);
  for (auto _ : state) {
    if (pwrite(store->write_fd, buf.data(), size, static_cast<off_t>(at.take())) !=
        static_cast<ssize_t>(size)) {
      state.SkipWithError("short pwrite");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}

BENCHMARK(BM_pread)->Arg(4096)->Arg(16384)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_get)->Arg(4096)->Arg(16384)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_pwrite)->Arg(16384)->UseRealTime();
BENCHMARK(BM_put)->Arg(16384)->UseRealTime();

// Ratios are keyed by "function/size/threads".
std::string run_key(const benchmark::BenchmarkReporter::Run& run) {
  return run.run_name.function_name + "/" + run.run_name.args + "/" + std::to_string(run.threads);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!setup()) {
    std::fprintf(stderr, "cache_bench: cannot set up the cache in the temporary directory\n");
    teardown();
    return 1;
  }
  median_reporter reporter("items_per_second", run_key);
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\nthroughput ratio to the plain system call (same bytes, same run):\n");
  const struct {
    const char* op;
    const char* baseline;
    const char* size;
    int threads;
  } pairs[] = {
      {"BM_get", "BM_pread", "4096", 1},   {"BM_get", "BM_pread", "4096", 2},
      {"BM_get", "BM_pread", "16384", 1},  {"BM_get", "BM_pread", "16384", 2},
      {"BM_put", "BM_pwrite", "16384", 1},
  };
  for (const auto& p : pairs) {
    std::string suffix = std::string("/") + p.size + "/" + std::to_string(p.threads);
    double op = reporter.median(p.op + suffix);
    double base = reporter.median(p.baseline + suffix);
    if (op <= 0 || base <= 0) continue;
    std::printf("  %-7s %6s bytes, %d thread%s: %.2f\n", p.op + 3, p.size, p.threads,
                p.threads == 1 ? " " : "s", op / base);
  }
  teardown();
  return 0;
}
