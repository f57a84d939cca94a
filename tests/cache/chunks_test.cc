// The chunk store against reference models, in a plain temporary directory:
// concurrent clients that must never read a wrong byte, a sector model of the
// bitmap, and hostile requests.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "cache/chunks_fixture.h"

namespace {

using namespace chunks_test;
using clock_type = std::chrono::steady_clock;

uint64_t below(std::mt19937_64& rng, uint64_t n) {
  return rng() % n;
}

// Reply fragment sizes: MTU-sized, sector multiples, odd.
uint64_t fragment_size(std::mt19937_64& rng) {
  static const uint64_t sizes[] = {1444, 1400, 512, 4096, 65536};
  uint64_t pick = below(rng, 7);
  return pick < 5 ? sizes[pick] : 1 + below(rng, 3000);
}

// Four threads act as three clients of one vDisk: they store replies in
// fragments, unaligned writes and sparse zeros of an image and read random
// ranges, while chunk files are removed as the cache manager would, also
// between the fragments of a reply. Every hit must return the image's bytes.
TEST(ChunksRandom, ConcurrentClientsNeverReadAWrongByte) {
  const uint64_t seed = test_seed();
  constexpr uint64_t S = 16384, D = 32 * S, MAX_IO = 40000;
  const auto deadline = clock_type::now() + std::chrono::seconds(60);
  temp_dir dir;
  store st(dir.path, S);
  client_context* clients[] = {st.add_client(), st.add_client(), st.add_client()};
  std::mt19937_64 image_rng(seed);
  auto image = random_bytes(image_rng, D);
  std::vector<std::pair<uint64_t, uint64_t>> zeros;
  for (uint64_t at = 0; at < D; at += 4096 * (1 + below(image_rng, 6))) {
    uint64_t end = std::min(D, at + below(image_rng, 9000) + 1);
    std::fill(image.begin() + at, image.begin() + end, 0);
    zeros.emplace_back(at, end);
  }
  std::atomic<uint64_t> ops{0}, reads{0}, hits{0};
  std::mutex failure_mutex;
  std::vector<std::string> failures;
  auto fail = [&](const char* what, uint64_t at, uint64_t n) {
    std::lock_guard<std::mutex> hold(failure_mutex);
    failures.push_back(std::string(what) + " " + std::to_string(at) + "+" + std::to_string(n));
  };
  auto put = [&](client_context* cc, uint64_t at, uint64_t n) {
    if (cache_put_data(&st.ctx, cc, at, image.data() + at, n) != static_cast<int32_t>(n))
      fail("put failed", at, n);
  };

  auto worker = [&](int t) {
    std::mt19937_64 rng(seed + 1 + t);
    client_context* cc = clients[t % 3];
    std::vector<uint8_t> out(MAX_IO);
    for (int i = 0; i < 3000 && clock_type::now() < deadline; ++i, ++ops) {
      uint64_t kind = below(rng, 100), at = below(rng, D - 1);
      uint64_t n = 1 + below(rng, std::min(D - at, MAX_IO));
      if (kind < 30) {
        uint64_t end = at + 1 + below(rng, std::min(D - at, 3 * S)), frag = fragment_size(rng);
        for (uint64_t p = at; p < end; p += frag) {
          if (below(rng, 16) == 0) unlink(st.chunk_path(p / S).c_str());
          put(cc, p, std::min(frag, end - p));
        }
      } else if (kind < 45) {
        put(cc, at, n);
      } else if (kind < 55) {
        auto [from, to] = zeros[below(rng, zeros.size())];
        uint64_t p = from + below(rng, to - from), m = 1 + below(rng, to - p);
        if (cache_put_sparse(&st.ctx, cc, p, m) != static_cast<int32_t>(m))
          fail("sparse failed", p, m);
      } else {
        ++reads;
        int32_t got = cache_get_data(&st.ctx, cc, at, out.data(), n);
        hits += got != 0;
        if (got != 0 && (got != static_cast<int32_t>(n) || memcmp(out.data(), &image[at], n)))
          fail("wrong bytes read at", at, n);
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(worker, t);
  std::mt19937_64 purge_rng(seed - 1);
  while (ops < 12000 && clock_type::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    unlink(st.chunk_path(below(purge_rng, D / S)).c_str());
  }
  for (auto& t : threads) t.join();

  for (size_t i = 0; i < std::min<size_t>(failures.size(), 10); ++i)
    ADD_FAILURE() << failures[i] << " (seed " << seed << ")";
  EXPECT_GE(ops.load(), 1000u) << "seed " << seed;
  EXPECT_GT(hits.load(), reads.load() / 20) << "seed " << seed;
}

// One client stores reply streams (contiguous fragments), each starting
// anywhere but where the previous one left a sector open. Model: a stream
// makes present exactly the sectors wholly inside it. cache_contains,
// cache_get_data and the bitmaps on disk must agree with it, for random
// ranges and ranges across chunk boundaries; large chunks need several
// bitmap windows per request.
void check_against_model(uint64_t S, uint64_t seed) {
  SCOPED_TRACE("chunk size " + std::to_string(S) + ", seed " + std::to_string(seed));
  const uint64_t CHUNKS = 12, D = CHUNKS * S;
  temp_dir dir;
  store st(dir.path, S);
  client_context* cc = st.add_client();
  std::mt19937_64 rng(seed);
  auto image = random_bytes(rng, D);
  std::vector<bool> present(D / SECTOR_SIZE);
  uint64_t open_end = UINT64_MAX;
  for (int stream = 0; stream < 300; ++stream) {
    uint64_t start = below(rng, D - 2);
    if (below(rng, 2) == 0) start -= start % SECTOR_SIZE;
    start += start == open_end;
    uint64_t end = start + 1 + below(rng, std::min(D - start, S * 5 / 2)),
             frag = fragment_size(rng);
    for (uint64_t p = start; p < end; p += frag) {
      uint64_t n = std::min(frag, end - p);
      ASSERT_EQ(cache_put_data(&st.ctx, cc, p, image.data() + p, n), static_cast<int32_t>(n));
    }
    for (uint64_t s = (start + SECTOR_SIZE - 1) / SECTOR_SIZE; s < end / SECTOR_SIZE; ++s)
      present[s] = true;
    if (end % SECTOR_SIZE != 0) open_end = end;
  }
  std::vector<uint8_t> out(2 * S + 4096);
  for (int q = 0; q < 3000; ++q) {
    uint64_t boundary = (1 + below(rng, CHUNKS - 1)) * S;
    uint64_t o = q % 2 ? below(rng, D - 1) : boundary - 1 - below(rng, 2048);
    uint64_t n = 1 + below(rng, std::min(D - o, q % 2 ? 2 * S : boundary - o + 4096));
    bool hit = true;
    for (uint64_t s = o / SECTOR_SIZE; s <= (o + n - 1) / SECTOR_SIZE; ++s) hit = hit && present[s];
    int32_t want = hit ? static_cast<int32_t>(n) : 0;
    ASSERT_EQ(cache_contains(&st.ctx, cc, o, n), want) << o << "+" << n;
    ASSERT_EQ(cache_get_data(&st.ctx, cc, o, out.data(), n), want) << o << "+" << n;
    ASSERT_TRUE(!hit || memcmp(out.data(), image.data() + o, n) == 0) << o << "+" << n;
  }
  for (uint64_t s = 0; s < D / SECTOR_SIZE; ++s) {
    int byte = bitmap_byte(st.chunk_path(s * SECTOR_SIZE / S), S, s % (S / SECTOR_SIZE) / 8);
    ASSERT_EQ(byte > 0 && (byte & (0x80 >> (s % 8))), bool{present[s]}) << "sector " << s;
  }
}

TEST(ChunksModel, ContainsAndGetAgreeWithTheSectorModel) {
  const uint64_t seed = test_seed();
  check_against_model(8192, seed);
  check_against_model(131072, seed + 1);
}

// Requests that would reach outside a chunk, its bitmap or the vDisk
// directory are refused without touching anything; nothing wraps to another
// chunk's data.
TEST(Chunks, HostileRequestsTouchNothingOutsideTheVdisk) {
  constexpr uint64_t S = 8192;
  temp_dir dir;
  store st(dir.path, S);
  client_context* cc = st.add_client();
  std::vector<uint8_t> data(65536, 0x11), out(65536);
  ASSERT_EQ(cache_put_data(&st.ctx, cc, 0, data.data(), 4096), 4096);
  const std::pair<uint64_t, uint64_t> ranges[] = {
      {UINT64_MAX, 1},       {UINT64_MAX - 99, 512},    {4096, UINT64_MAX},
      {0, 1ull << 31},       {0, (1ull << 32) + 4096},  {(1ull << 31) * S, 512},
      {(1ull << 32) * S, 4}, {(1ull << 31) * S - 1, 2},
  };
  for (auto [at, n] : ranges) {
    EXPECT_EQ(cache_put_data(&st.ctx, cc, at, data.data(), n), 0) << at << "+" << n;
    EXPECT_EQ(cache_put_sparse(&st.ctx, cc, at, n), 0) << at << "+" << n;
    EXPECT_EQ(cache_get_data(&st.ctx, cc, at, out.data(), n), 0) << at << "+" << n;
  }
  char key[CLIENT_VDISK_KEY_SIZE];
  memcpy(key, cc->vdisk_key, sizeof key);
  for (const char* bad : {"../x", "a/b", ".hidden", ""}) {
    g_strlcpy(cc->vdisk_key, bad, sizeof cc->vdisk_key);
    if (*bad == '\0') memset(cc->vdisk_key, 'k', sizeof cc->vdisk_key);  // no NUL at all
    EXPECT_EQ(cache_put_data(&st.ctx, cc, 0, data.data(), 4096), 0) << bad;
    EXPECT_EQ(cache_contains(&st.ctx, cc, 0, 4096), 0) << bad;
  }
  memcpy(cc->vdisk_key, key, sizeof key);
  for (uint64_t size : {0ul, 1000ul, 4608ul, 1ul << 32}) {
    st.site.chunk_size = size;
    EXPECT_EQ(cache_put_data(&st.ctx, cc, 0, data.data(), 4096), 0) << size;
    EXPECT_EQ(cache_contains(&st.ctx, cc, 0, 4096), 0) << size;
  }
  // A cache path that leaves room for one-digit chunk numbers only: chunk 12
  // is refused rather than truncated to chunk 1's name.
  st.site.chunk_size = S;
  std::string deep = dir.path + "/";
  deep += std::string(253 - deep.size() - strlen(KEY) - 2, 'd');
  ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  store far(deep, S);
  client_context* fc = far.add_client();
  EXPECT_EQ(cache_put_data(&far.ctx, fc, 12 * S, data.data(), 4096), 0);
  EXPECT_EQ(cache_put_data(&far.ctx, fc, 2 * S, data.data(), 4096), 4096);

  std::vector<std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path)) {
    if (!e.is_regular_file()) continue;
    files.push_back(e.path().string());
    EXPECT_EQ(e.file_size(), S + S / 4096) << e.path();
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{dir.path + "/" + KEY + "/0", far.chunk_path(2)}));
}

}  // namespace
