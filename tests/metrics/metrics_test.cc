// The counters: latencies carry across seconds, and nothing is lost across
// threads. The sums of a client's record and the registry's are checked where
// the RRD thread publishes them (rrd_test.cc), and as queried (queries_test.cc).
#include "metrics/metrics.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(Metrics, LatencyAndConcurrentUpdates) {
  metrics_record global, client;
  // The latest latency replaces the last, carried across the second.
  struct timespec start = {10, 900000000}, end = {12, 100000000}, s2 = {5, 0}, e2 = {5, 250};
  metrics_set_latency(&start, &end, &global.ext, &client.ext);
  EXPECT_EQ(client.ext.latency, 1200000000);
  metrics_set_latency(&s2, &e2, &global.ext, &client.ext);
  EXPECT_EQ(global.ext.latency, 250);
  EXPECT_EQ(client.mio.latency, 0);

  metrics_record all, a, b;
  constexpr uint64_t N = 200000;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&all, record = t % 2 ? &a : &b] {
      for (uint64_t i = 0; i < N; i++) {
        metrics_add_client_sent_b(&all, record, 3);
        metrics_increment_cache_hit_reads(&all.mio, &record->mio);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::vector<uint64_t>({all.client_sent_b, a.client_sent_b, b.mio.cache_hit_reads,
                                   all.mio.cache_hit_reads}),
            std::vector<uint64_t>({4 * N * 3, 2 * N * 3, 2 * N, 4 * N}));
}

}  // namespace
