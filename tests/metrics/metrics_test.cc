// The counters: the client's record moves with the registry's, latencies
// carry across seconds, and nothing is lost across threads. The registry's
// side is checked as published (rrd_test.cc) and as queried (queries_test.cc).
#include "metrics/metrics.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(Metrics, ClientRecordLatencyAndConcurrentUpdates) {
  metrics_record global, client, other;
  metrics_add_client_sent_b(&global, &client, 100);
  metrics_add_server_sent_b(&global, &client, 1000);
  metrics_add_server_sent_b(&global, &other, 4000000000u);
  metrics_add_proxy_saved_b(&global, &client, 7);
  metrics_increment_cache_hit_reads(&global.ext, &client.ext);
  metrics_increment_cache_missed_reads(&global.mio, &client.mio);
  metrics_increment_unhandled_mio(&global, &client);
  metrics_add_cache_evicted_b(&global, 1ull << 40);  // the registry's alone
  EXPECT_EQ(metrics_total_sent_b(&client), 1100u);
  EXPECT_EQ(metrics_total_sent_b(&other), 4000000000u);
  EXPECT_EQ(client.proxy_saved_b, 7u);
  EXPECT_EQ(metrics_hit_reads(&client), 1u);
  EXPECT_EQ(metrics_missed_reads(&client), 1u);
  EXPECT_EQ(metrics_block_total_reads(&client.mio), 1u);
  EXPECT_EQ(client.unhandled_mio, 1u);
  EXPECT_EQ(client.cache_evicted_b, 0u);

  // The latest latency replaces the last, carried across the second.
  struct timespec start = {10, 900000000}, end = {12, 100000000}, s2 = {5, 0}, e2 = {5, 250};
  metrics_set_latency(&start, &end, &global.ext, &client.ext);
  EXPECT_EQ(client.ext.latency, 1200000000);
  metrics_set_latency(&s2, &e2, &global.ext, &client.ext);
  EXPECT_EQ(global.ext.latency, 250);
  EXPECT_EQ(client.mio.latency, 0);

  metrics_record all, a, b;
  constexpr int PER_THREAD = 200000;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&all, record = t % 2 ? &a : &b] {
      for (int i = 0; i < PER_THREAD; i++) {
        metrics_add_client_sent_b(&all, record, 3);
        metrics_increment_cache_hit_reads(&all.mio, &record->mio);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(all.client_sent_b, 4ull * PER_THREAD * 3);
  EXPECT_EQ(a.client_sent_b, 2ull * PER_THREAD * 3);
  EXPECT_EQ(b.mio.cache_hit_reads, 2ull * PER_THREAD);
  EXPECT_EQ(all.mio.cache_hit_reads, 4ull * PER_THREAD);
}

}  // namespace
