// The daemon's use of the metrics plug-in library, published into a temporary
// directory: the installation UUID, the host sources following the counters,
// and the thread with a client's status source. The daemon's own files are
// checked by the boot storm (tests/e2e/boot_storm_test.cc).
#include "metrics/rrd.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "contexts/proxy_context.h"
#include "core/service_thread.h"
#include "metrics/metrics.h"
#include "support/log_capture.h"
#include "support/metrics_files.h"

namespace {

namespace fs = std::filesystem;
using tarn_test::exists;
using tarn_test::source_member;

const char* CLIENT = "3f2504e0-4f89-41d3-9a0c-0305e82c3301";

struct temp_dir {
  std::string path = fs::temp_directory_path() / ("rrd-test-" + std::to_string(getpid()));
  temp_dir() { fs::create_directories(path); }
  ~temp_dir() { fs::remove_all(path); }
};

TEST(Rrd, InstallationUuidFromTheInventoryOrTheNullUuid) {
  tarn_test::log_capture log;
  temp_dir dir;
  const std::string file = dir.path + "/inventory";
  // The value runs to the line's last quote; only a UUID is ever published.
  // (A valid line: tests/e2e/boot_storm_test.cc.)
  const std::pair<const char*, const char*> rows[] = {
      {"INSTALLATION_UUID='7c9e6679-7425-40de-944b-e07fc1f90ae7' X='1'\n",
       "^INSTALLATION_UUID is not a UUID: '7c9e6679-7425-40de-944b-e07fc1f90ae7' X='1'$"},
      {"INSTALLATION_UUID=''\n", "^INSTALLATION_UUID is not a UUID: ''$"},
      {"PRODUCT_BRAND='Quillon'\n", "^Failed to find INSTALLATION_UUID in .*/inventory$"},
      // A file that cannot be read names the error and its code.
      {nullptr, "^Failed to determine INSTALLATION_UUID\\. reason: .+ \\(\\d+\\)$"},
  };
  for (const auto& [contents, warning] : rows) {
    log.clear();
    if (contents) std::ofstream(file, std::ios::trunc) << contents;
    EXPECT_EQ(rrd_installation_uuid(contents ? file.c_str() : dir.path.c_str()), RRD_NULL_UUID);
    ASSERT_EQ(log.lines().size(), 1u) << warning;
    EXPECT_EQ(log.lines()[0].level, G_LOG_LEVEL_WARNING);
    EXPECT_TRUE(g_regex_match_simple(warning, log.lines()[0].message.c_str(), {}, {}))
        << log.lines()[0].message;
  }
}

// The RRD thread and a client's status source: a change is published at
// once; otherwise the thread samples the client, and only 4 seconds after its
// last sample; the host sources follow the counters.
TEST(Rrd, ThreadAndClientStatusSource) {
  tarn_test::log_capture log;
  log.clear();  // the capture is shared with the test before
  temp_dir dir;
  const std::string base = dir.path + "/tarnproxy", file = base + "-" + CLIENT;
  rrd_set_path(base.c_str());
  proxy_context ctx;
  client_contexts_init(&ctx);
  auto* cc = new client_context;
  cc->uuid = CLIENT;
  rrd_client_open(cc);
  ctx.client_context_ht->emplace(1, std::unique_ptr<client_context, client_context_deleter>(cc));
  auto status = [&] { return source_member(file, "tarncache_status", "value"); };
  EXPECT_EQ(status(), "<absent>");  // nothing sampled yet
  const auto changed = std::chrono::steady_clock::now();
  client_context_update_status(cc, CLIENTSTATUS_INITIALISED);
  client_context_update_status(cc, CLIENTSTATUS_CACHING);
  EXPECT_EQ(status(), "2");
  std::string members;
  for (const char* key : {"description", "units", "min", "max", "owner_kind", "archive_default",
                          "scale", "value_type"})
    members += source_member(file, "tarncache_status", key) + "|";
  EXPECT_EQ(members, "Velorin client status|status|0|4|1|0|0|1|");

  cc->status.store(CLIENTSTATUS_INCOMPATIBLE_PROTOCOL_VERSION);
  // Traffic as the engine and the cache manager count it.
  metrics_record& g = ctx.metrics;
  for (int i = 0; i < 2; i++) metrics_increment_cache_hit_reads(&g.ext, &cc->metrics.ext);
  metrics_increment_cache_missed_reads(&g.ext, &cc->metrics.ext);
  metrics_increment_cache_hit_reads(&g.mio, &cc->metrics.mio);
  for (int i = 0; i < 3; i++) metrics_increment_cache_missed_reads(&g.mio, &cc->metrics.mio);
  metrics_increment_unhandled_mio(&g, &cc->metrics);  // not a read
  metrics_add_client_sent_b(&g, &cc->metrics, 1500);
  for (int i = 0; i < 2; i++) metrics_add_server_sent_b(&g, &cc->metrics, 4000000000u);
  metrics_add_proxy_saved_b(&g, &cc->metrics, 512);
  metrics_add_cache_evicted_b(&g, 1ull << 40);
  metrics_set_cache_utilized_p_not_mt(&g, 37.25);
  const metrics_record& c = cc->metrics;  // the client's record moves with the registry's
  EXPECT_EQ(std::vector<uint64_t>({metrics_total_sent_b(&c), c.proxy_saved_b, metrics_hit_reads(&c),
                                   metrics_missed_reads(&c), metrics_block_total_reads(&c.mio),
                                   c.unhandled_mio, c.cache_evicted_b}),
            std::vector<uint64_t>({8000001500, 512, 3, 4, 4, 1, 0}));
  service_thread rrd{"RRD", -1, &ctx, {}};
  service_thread_start(&rrd, rrd_thread);
  EXPECT_TRUE(tarn_test::eventually([&] { return status() == "4"; }, std::chrono::seconds(15)));
  EXPECT_GT(std::chrono::steady_clock::now() - changed, std::chrono::seconds(4));
  std::string values;
  for (const char* name :
       {"read_total", "read_hits", "read_misses", "traffic_client_sent", "traffic_server_sent",
        "traffic_proxy_saved", "evicted", "space_utilization"})
    values += source_member(base, std::string("velorin_") + name, "value") + " ";
  EXPECT_EQ(values, "7 3 4 1500 8000000000 512 1099511627776 37.25 ");
  // Stopping, and the files going then and with the client: tests/e2e.
  ctx.stopping = 1;
  rrd.handle.join();
  ctx.client_context_ht.reset();
  EXPECT_FALSE(log.contains(G_LOG_LEVEL_WARNING, "Client"));

  // Something in the way of its file, or a uuid that is not one: the client
  // works without a source, and its removal touches nothing in the library.
  ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
  for (const char* uuid : {CLIENT, "../../etc/passwd"}) {
    cc = new client_context;
    cc->uuid = uuid;
    rrd_client_open(cc);
    EXPECT_EQ(cc->rrd_handle, nullptr);
    client_context_update_status(cc, CLIENTSTATUS_INITIALISED);
    EXPECT_EQ(cc->status.load(), CLIENTSTATUS_INITIALISED);
    client_context_free(cc);
  }
  EXPECT_FALSE(exists(file + ".prom"));  // the failed open leaves nothing behind
  EXPECT_TRUE(log.contains(
      G_LOG_LEVEL_WARNING,
      std::string("Client ") + CLIENT + " - rrd_client_open failed in rrd_open for " + file));
  EXPECT_TRUE(
      log.contains(G_LOG_LEVEL_WARNING, "Client ../../etc/passwd - rrd_client_open refused"));
  EXPECT_EQ(log.count("rrd_client_close"), 0u);
}

}  // namespace
