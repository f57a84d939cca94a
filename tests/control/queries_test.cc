// The read-only queries: each result's exact text, and each handler's refusal
// of a request without an id.
#include "control/queries.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <tuple>

#include "cache/bootset.h"
#include "contexts/proxy_context.h"
#include "control/jsonrpc.h"
#include "support/log_capture.h"

namespace {

std::string text(json_object* object) {
  return json_object_to_json_string_ext(object, JSON_C_TO_STRING_PLAIN);
}
std::string text(json_object* (*build)(proxy_context*), proxy_context* ctx) {
  json_ptr result(build(ctx));
  return text(result.get());
}

const std::string ZERO_LATENCY =
    R"({"count":0,"sum_us":0.0,"p50_us":0.0,"p99_us":0.0,"buckets":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]})";
const std::string ZERO =
    R"({"sent_metrics":{"client_sent_b":0,"server_sent_b":0,"total_sent_b":0,"proxy_saved_b":0},)"
    R"("mio_metrics":{"total_reads":0,"cache_hit_reads":0,"latency":0},)"
    R"("ext_metrics":{"total_reads":0,"cache_hit_reads":0,"latency":0},)"
    R"("total_reads":0,"cache_hit_reads":0,"cache_evicted_b":0,"listener_lock_wait_max_us":0,)"
    R"("listener_prepop_lock_wait_max_us":0,"kernel_drops":0,"ring_bytes":0,"held_reads":0,)"
    R"("held_answered_reads":0,"held_timed_out_reads":0,"cache_utilized_p":0.0,)"
    R"("read_latency":{"hit":)" +
    ZERO_LATENCY + R"(,"miss":)" + ZERO_LATENCY + R"(,"held":)" + ZERO_LATENCY + "}";

TEST(Queries, ResultsDescribeTheRegistry) {
  proxy_context ctx;
  site_contexts_init(&ctx), server_contexts_init(&ctx);
  client_contexts_init(&ctx), vdisk_contexts_init(&ctx);
  // Empty lists and {} without vDisks: tarnctl (tests/e2e) reads them.
  auto site = std::make_shared<site_context>();
  site->uuid = "7c3a9a2e-5b1f-4c7e-9d7e-2f0b8a1c9e01", site->cache_vdi = "cache-vdi-uuid";
  site->context = &ctx;
  (*ctx.site_context_ht)[site->uuid] = site;
  const uint32_t addresses[] = {inet_addr("10.0.0.5"), inet_addr("10.0.1.5")};
  ASSERT_NE(server_contexts_create(&ctx, site.get(), "server-1", addresses, 2, 110, 100), nullptr);
  auto* client = new client_context;
  client->uuid = "client-1", client->interface = "vif7.0";
  client->mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  ctx.client_context_ht->emplace(client_mac_key(client->mac.data()),
                                 std::unique_ptr<client_context, client_context_deleter>(client));
  // Before login a client's vDisk key is empty, not missing (after: tests/e2e).
  const std::string state =
      R"({"sites":[{"site_uuid":"7c3a9a2e-5b1f-4c7e-9d7e-2f0b8a1c9e01","cache_vdi":"cache-vdi-uuid"}],)"
      R"("servers":[{"uuid":"server-1","addresses":["10.0.0.5","10.0.1.5"],"first_port":100,)"
      R"("last_port":110}],"clients":[{"uuid":"client-1","mac":"02:00:00:00:00:01",)"
      R"("interface":"vif7.0","vdisk_key":"","latest_boot":{"since_login_s":0.0,"reads":0,)"
      R"("cache_hit_reads":0,"cache_hit_ratio":0.0,"cache_bytes":0,"server_bytes":0,)"
      R"("miss_wait_us":0.0}}]})";
  EXPECT_EQ(text(context_state_result, &ctx), state);

  metrics_record& m = ctx.metrics;
  m.client_sent_b = 1000, m.server_sent_b = 234, m.proxy_saved_b = 50;
  m.ext.cache_hit_reads = 3, m.ext.cache_missed_reads = 4;
  m.mio.cache_hit_reads = 5, m.mio.cache_missed_reads = 6;
  // The latest latency replaces the last, carried across the second; signed,
  // as a clock step may make it negative.
  metrics_record other;
  const timespec t[] = {{3, 0}, {4, 0}, {10, 999999000}, {11, 500}, {5, 10}, {4, 999999990}};
  metrics_set_latency(&t[0], &t[1], &m.ext, &other.ext);
  metrics_set_latency(&t[2], &t[3], &m.ext, &other.ext);
  metrics_set_latency(&t[4], &t[5], &m.mio, &other.mio);
  EXPECT_EQ(other.ext.latency, 1500);  // the client's record too
  EXPECT_EQ(other.mio.latency, -20);
  m.unhandled_mio = 99;                                      // not reported
  m.cache_evicted_b = std::numeric_limits<uint64_t>::max();  // stays unsigned
  m.cache_utilized_p = 12.5;
  m.lock_wait_max_ns = 1001;  // rounded up: a wait never reads as none
  metrics_record other_client;
  metrics_note_lock_wait(&m, &other_client, 1000, true);  // below the longest: kept
  metrics_note_lock_wait(&m, &other_client, 600, false);
  metrics_add_kernel_drops(&m, &other_client, 3);
  metrics_add_ring_bytes(&m, &other_client, 8192);  // a ring mapped, one of two released
  metrics_add_ring_bytes(&m, &other_client, -4096);
  metrics_add_held(&m, &other_client, &metrics_record::held_reads);
  metrics_add_held(&m, &other_client, &metrics_record::held_reads);
  metrics_add_held(&m, &other_client, &metrics_record::held_timed_out_reads);
  client->metrics.client_sent_b = 7;
  std::string client_zero = ZERO;
  client_zero.replace(client_zero.find("\"total_sent_b\":0"), 16, "\"total_sent_b\":7");
  client_zero.replace(client_zero.find("\"client_sent_b\":0"), 17, "\"client_sent_b\":7");
  EXPECT_EQ(
      text(metrics_result, &ctx),
      R"({"server_metrics":{"sent_metrics":{"client_sent_b":1000,"server_sent_b":234,)"
      R"("total_sent_b":1234,"proxy_saved_b":50},"mio_metrics":{"total_reads":11,)"
      R"("cache_hit_reads":5,"latency":-20},"ext_metrics":{"total_reads":7,"cache_hit_reads":3,)"
      R"("latency":1500},"total_reads":18,"cache_hit_reads":8,)"
      R"("cache_evicted_b":18446744073709551615,"listener_lock_wait_max_us":2,)"
      R"("listener_prepop_lock_wait_max_us":1,"kernel_drops":3,"ring_bytes":4096,"held_reads":2,)"
      R"("held_answered_reads":0,"held_timed_out_reads":1,"cache_utilized_p":12.5,"read_latency":{"hit":)" +
          ZERO_LATENCY + R"(,"miss":)" + ZERO_LATENCY + R"(,"held":)" + ZERO_LATENCY +
          R"(}},"clients":[)" + client_zero +
          R"(,"client_id":0,"uuid":"client-1","mac":"2:0:0:0:0:1"}],"latency_bounds_us":[10,20,50,)"
          R"(100,200,500,1000,2000,5000,10000,20000,50000,100000,200000,500000,1000000]})");
  // Latency buckets hold what is at or below their bound; above the last
  // bound (1 s) is the count's alone. Quantiles interpolate within a bucket,
  // as Prometheus's histogram_quantile does.
  for (int64_t ns : {10000, 15000, 20000, 20001}) {
    metrics_record_latency(&m, &other_client, metrics_read_kind::hit, ns);
  }
  metrics_record_latency(&m, &other_client, metrics_read_kind::miss, 2000000000);
  const struct {
    const char* kind;
    double p50, p99;
    std::string rest;
  } latencies[] = {
      {"hit", 15, 48.8,
       R"({"count":4,"sum_us":65.001000000000005,"buckets":[1,3,4,4,4,4,4,4,4,4,4,4,4,4,4,4,4]})"},
      {"miss", 1e6, 1e6,
       R"({"count":1,"sum_us":2000000.0,"buckets":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1]})"},
      {"held", 0, 0, R"({"count":0,"sum_us":0.0,"buckets":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]})"},
  };
  json_ptr with_latency(metrics_result(&ctx));
  json_object* read_latency = json_object_object_get(
      json_object_object_get(with_latency.get(), "server_metrics"), "read_latency");
  for (const auto& row : latencies) {
    json_object* h = json_object_object_get(read_latency, row.kind);
    EXPECT_NEAR(json_object_get_double(json_object_object_get(h, "p50_us")), row.p50, 1e-9)
        << row.kind;
    EXPECT_NEAR(json_object_get_double(json_object_object_get(h, "p99_us")), row.p99, 1e-9)
        << row.kind;
    json_object_object_del(h, "p50_us");
    json_object_object_del(h, "p99_us");
    EXPECT_EQ(text(h), row.rest) << row.kind;
  }
  // A utilisation that could not be computed must not make the reply invalid JSON.
  m.cache_utilized_p = std::nan("");
  json_ptr reparsed(json_tokener_parse(text(metrics_result, &ctx).c_str()));
  EXPECT_NE(text(reparsed.get()).find(R"("cache_utilized_p":0.0,"read_latency")"),
            std::string::npos);

  // "vdisk" is the last vDisk listed; "vdisks" lists all once there are two.
  const std::string vdisks[] = {
      R"({"vdisk_key":"1-1-1-1-1-1-1-1-1","site_uuid":"s1","size":42949672960,"complete":512,)"
      R"("boot_set_bytes":0,"boot_set_cached":0,"cached_bytes":0,"cached_ratio":0.0,)"
      R"("boot_set_ratio":0.0,"evicted_bytes":0})",
      R"({"vdisk_key":"2-2-2-2-2-2-2-2-2","site_uuid":"s1","size":1024,"complete":1536,)"
      R"("boot_set_bytes":768,"boot_set_cached":0,"cached_bytes":0,"cached_ratio":0.0,)"
      R"("boot_set_ratio":0.0,"evicted_bytes":0})"};
  for (const auto& [key, size, complete] : {std::tuple{"1-1-1-1-1-1-1-1-1", 42949672960ull, 512},
                                            std::tuple{"2-2-2-2-2-2-2-2-2", 1024ull, 1536}}) {
    auto vdisk = std::make_shared<vdisk_context>();
    vdisk->vdisk_key = key, vdisk->site_uuid = "s1";
    vdisk->state.lock()->size = size;
    vdisk->state.lock()->prepop_progress = complete;
    // Overlapping ranges count once; without a cache nothing of them is cached.
    if (size == 1024) boot_set_replace(vdisk.get(), {{0, 512}, {256, 512}});
    (*ctx.vdisk_context_ht)[key] = vdisk;
    if (ctx.vdisk_context_ht->size() == 1) {
      EXPECT_EQ(text(prepop_progress_result, &ctx), "{\"vdisk\":" + vdisks[0] + "}");
    }
  }
  const std::string both = text(prepop_progress_result, &ctx);
  const int last = both.rfind(vdisks[1]) > both.rfind(vdisks[0]);  // the hash table's order
  EXPECT_EQ(both, "{\"vdisk\":" + vdisks[last] + R"(,"vdisks":[)" + vdisks[1 - last] + "," +
                      vdisks[last] + "]}");

  // Its latest boot is what it read since its latest login: reads before it
  // do not count, and waits are the misses' and held reads', not the hits'.
  client->metrics.ext.cache_hit_reads = 9, client->metrics.proxy_saved_b = 900;
  metrics_mark_boot(&client->metrics, &client->boot_mark, g_get_monotonic_time() - 2000000);
  metrics_record hidden;
  metrics_increment_cache_hit_reads(&hidden.ext, &client->metrics.ext);
  metrics_increment_cache_missed_reads(&hidden.mio, &client->metrics.mio);
  metrics_increment_cache_missed_reads(&hidden.mio, &client->metrics.mio);
  metrics_add_proxy_saved_b(&hidden, &client->metrics, 512);
  metrics_add_server_sent_b(&hidden, &client->metrics, 1100);
  metrics_record_latency(&hidden, &client->metrics, metrics_read_kind::hit, 7000);
  metrics_record_latency(&hidden, &client->metrics, metrics_read_kind::miss, 3000000);
  metrics_record_latency(&hidden, &client->metrics, metrics_read_kind::held, 500000);
  {
    json_ptr result(context_state_result(&ctx));
    json_object* boot = json_object_object_get(
        json_object_array_get_idx(json_object_object_get(result.get(), "clients"), 0),
        "latest_boot");
    EXPECT_GE(json_object_get_double(json_object_object_get(boot, "since_login_s")), 2.0);
    json_object_object_del(boot, "since_login_s");
    EXPECT_EQ(text(boot), R"({"reads":3,"cache_hit_reads":1,"cache_hit_ratio":0.33333333333333331,)"
                          R"("cache_bytes":512,"server_bytes":1100,"miss_wait_us":3500.0})");
  }

  // The handlers answer only requests with an id (tests/e2e sees the answers).
  tarn_test::log_capture log;
  for (const auto& [handler, name] : {std::pair{&process_context_state, "context_state"},
                                      {&process_prepop_progress, "prepop_progress"},
                                      {&process_metrics, "metrics"}}) {
    json_ptr request(json_tokener_parse(R"({"jsonrpc": "2.0", "id": null})"));
    log.clear();
    handler(&ctx, request.get(), -1);
    EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING, std::string("process_") + name + ": no id"));
  }
}

}  // namespace
