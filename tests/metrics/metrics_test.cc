// The counters: both records move together, nothing is lost across threads.
#include "metrics/metrics.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(Metrics, UpdatesReachTheRegistryAndTheClientRecord) {
  metrics_record global, client, other;
  metrics_add_client_sent_b(&global, &client, 100);
  metrics_add_server_sent_b(&global, &client, 1000);
  metrics_add_server_sent_b(&global, &other, 4000000000u);
  metrics_add_proxy_saved_b(&global, &client, 7);
  metrics_increment_cache_hit_reads(&global.ext, &client.ext);
  metrics_increment_cache_missed_reads(&global.mio, &client.mio);
  metrics_increment_cache_missed_reads(&global.mio, &client.mio);
  metrics_increment_unhandled_mio(&global, &client);
  metrics_add_cache_evicted_b(&global, 1ull << 40);
  metrics_set_cache_utilized_p_not_mt(&global, 42.5);

  EXPECT_EQ(client.client_sent_b, 100u);
  EXPECT_EQ(client.server_sent_b, 1000u);
  EXPECT_EQ(global.server_sent_b, 4000001000u);
  EXPECT_EQ(metrics_total_sent_b(&global), 4000001100u);
  EXPECT_EQ(client.proxy_saved_b, 7u);
  EXPECT_EQ(client.ext.cache_hit_reads, 1u);
  EXPECT_EQ(client.ext.cache_missed_reads, 0u);
  EXPECT_EQ(client.mio.cache_missed_reads, 2u);
  EXPECT_EQ(metrics_hit_reads(&global), 1u);
  EXPECT_EQ(metrics_missed_reads(&global), 2u);
  EXPECT_EQ(metrics_total_reads(&client), 3u);
  EXPECT_EQ(metrics_block_total_reads(&client.mio), 2u);
  EXPECT_EQ(client.unhandled_mio, 1u);
  // Evictions and utilisation belong to the registry alone.
  EXPECT_EQ(global.cache_evicted_b, 1ull << 40);
  EXPECT_EQ(client.cache_evicted_b, 0u);
  EXPECT_DOUBLE_EQ(global.cache_utilized_p.load(), 42.5);
  EXPECT_EQ(other.client_sent_b, 0u);
}

TEST(Metrics, LatencyCarriesAcrossTheSecondBoundaryAndReplaces) {
  metrics_record global, client;
  struct timespec start = {10, 900000000}, end = {12, 100000000};
  metrics_set_latency(&start, &end, &global.ext, &client.ext);
  EXPECT_EQ(global.ext.latency, 1200000000);
  EXPECT_EQ(client.ext.latency, 1200000000);
  EXPECT_EQ(client.mio.latency, 0);

  struct timespec s2 = {5, 0}, e2 = {5, 250};
  metrics_set_latency(&s2, &e2, &global.mio, &client.mio);
  metrics_set_latency(&s2, &e2, &global.ext, &client.ext);
  EXPECT_EQ(client.ext.latency, 250);
  EXPECT_EQ(global.mio.latency, 250);
}

TEST(Metrics, ConcurrentUpdatesLoseNothing) {
  metrics_record global, a, b;
  constexpr int kPerThread = 200000;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    metrics_record* client = (t % 2) ? &a : &b;
    threads.emplace_back([&global, client] {
      for (int i = 0; i < kPerThread; i++) {
        metrics_add_client_sent_b(&global, client, 3);
        metrics_increment_cache_hit_reads(&global.mio, &client->mio);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(global.client_sent_b, 4ull * kPerThread * 3);
  EXPECT_EQ(a.client_sent_b, 2ull * kPerThread * 3);
  EXPECT_EQ(b.mio.cache_hit_reads, 2ull * kPerThread);
  EXPECT_EQ(global.mio.cache_hit_reads, 4ull * kPerThread);
}

}  // namespace
