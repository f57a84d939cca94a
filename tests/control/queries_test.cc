#include "control/queries.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "contexts/proxy_context.h"
#include "control/jsonrpc.h"
#include "support/log_capture.h"

namespace {

std::vector<std::string> member_names(json_object* object) {
  std::vector<std::string> names;
  json_object_object_foreach(object, key, value) {
    (void)value;
    names.emplace_back(key);
  }
  return names;
}

json_object* member(json_object* object, const char* key) {
  json_object* value = nullptr;
  EXPECT_TRUE(json_object_object_get_ex(object, key, &value)) << key;
  return value;
}

std::string text(json_object* object) {
  return json_object_to_json_string_ext(object, JSON_C_TO_STRING_PLAIN);
}

json_ptr parse(const std::string& s) {
  return json_ptr(json_tokener_parse(s.c_str()));
}

class QueriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site_contexts_init(&ctx);
    server_contexts_init(&ctx);
    client_contexts_init(&ctx);
    vdisk_contexts_init(&ctx);
  }

  site_context* add_site(const char* uuid, const char* cache_vdi) {
    auto site = std::make_shared<site_context>();
    site->uuid = uuid;
    site->cache_vdi = cache_vdi;
    site->context = &ctx;
    (*ctx.site_context_ht)[uuid] = site;
    return site.get();
  }

  client_context* add_client(const char* uuid, std::array<uint8_t, 6> mac) {
    auto* client = new client_context;
    client->uuid = uuid;
    client->mac = mac;
    client->interface = "vif7.0";
    ctx.client_context_ht->emplace(client_mac_key(mac.data()),
                                   std::unique_ptr<client_context, client_context_deleter>(client));
    return client;
  }

  void add_vdisk(const char* key, uint64_t size, uint64_t complete) {
    auto vdisk = std::make_shared<vdisk_context>();
    vdisk->vdisk_key = key;
    vdisk->site_uuid = "s1";
    vdisk->state.lock()->size = size;
    vdisk->state.lock()->prepop_progress = complete;
    (*ctx.vdisk_context_ht)[key] = vdisk;
  }

  proxy_context ctx;
};

constexpr const char* ZERO_METRICS =
    R"({"sent_metrics":{"client_sent_b":0,"server_sent_b":0,"total_sent_b":0,"proxy_saved_b":0},)"
    R"("mio_metrics":{"total_reads":0,"cache_hit_reads":0,"latency":0},)"
    R"("ext_metrics":{"total_reads":0,"cache_hit_reads":0,"latency":0},)"
    R"("total_reads":0,"cache_hit_reads":0,"cache_evicted_b":0,"cache_utilized_p":0.0})";

TEST_F(QueriesTest, EmptyRegistryGivesEmptyListsAndZeroCounters) {
  json_ptr state(context_state_result(&ctx));
  EXPECT_EQ(text(state.get()), R"({"sites":[],"servers":[],"clients":[]})");
  json_ptr metrics(metrics_result(&ctx));
  EXPECT_EQ(text(metrics.get()),
            std::string(R"({"server_metrics":)") + ZERO_METRICS + R"(,"clients":[]})");
  json_ptr prepop(prepop_progress_result(&ctx));
  EXPECT_EQ(text(prepop.get()), "{}");
}

TEST_F(QueriesTest, ContextStateDescribesSitesServersAndClients) {
  site_context* site = add_site("7c3a9a2e-5b1f-4c7e-9d7e-2f0b8a1c9e01", "cache-vdi-uuid");
  const uint32_t addresses[] = {inet_addr("10.0.0.5"), inet_addr("10.0.1.5")};
  ASSERT_NE(server_contexts_create(&ctx, site, "server-1", addresses, 2, 110, 100), nullptr);
  client_context* client = add_client("client-1", {0x02, 0x00, 0x00, 0x00, 0x00, 0x01});

  json_ptr before(context_state_result(&ctx));
  EXPECT_EQ(member_names(before.get()), (std::vector<std::string>{"sites", "servers", "clients"}));
  EXPECT_EQ(
      text(member(before.get(), "sites")),
      R"([{"site_uuid":"7c3a9a2e-5b1f-4c7e-9d7e-2f0b8a1c9e01","cache_vdi":"cache-vdi-uuid"}])");
  EXPECT_EQ(text(member(before.get(), "servers")),
            R"([{"uuid":"server-1","addresses":["10.0.0.5","10.0.1.5"],)"
            R"("first_port":100,"last_port":110}])");
  // Before login the client has no vDisk: an empty key, not a missing member.
  EXPECT_EQ(
      text(member(before.get(), "clients")),
      R"([{"uuid":"client-1","mac":"02:00:00:00:00:01","interface":"vif7.0","vdisk_key":""}])");

  g_strlcpy(client->vdisk_key, "1-2-3-4-5-6-7-8-9", sizeof client->vdisk_key);
  json_ptr after(context_state_result(&ctx));
  json_object* logged_in = json_object_array_get_idx(member(after.get(), "clients"), 0);
  EXPECT_EQ(text(member(logged_in, "vdisk_key")), R"("1-2-3-4-5-6-7-8-9")");
}

TEST_F(QueriesTest, MetricsReportCountersSumsAndClientMac) {
  metrics_record& global = ctx.metrics;
  global.client_sent_b = 1000;
  global.server_sent_b = 234;
  global.proxy_saved_b = 50;
  global.ext.cache_hit_reads = 3;
  global.ext.cache_missed_reads = 4;
  global.ext.latency = 1500;
  global.mio.cache_hit_reads = 5;
  global.mio.cache_missed_reads = 6;
  global.mio.latency = -20;  // signed: a clock step may make it negative
  global.unhandled_mio = 99;
  global.cache_evicted_b = std::numeric_limits<uint64_t>::max();
  global.cache_utilized_p = 12.5;
  client_context* client = add_client("client-1", {0x02, 0x00, 0x00, 0x00, 0x00, 0x01});
  client->metrics.client_sent_b = 7;

  json_ptr result(metrics_result(&ctx));
  EXPECT_EQ(member_names(result.get()), (std::vector<std::string>{"server_metrics", "clients"}));
  // The unhandled-MIO count is not reported; a counter above INT64_MAX stays unsigned.
  EXPECT_EQ(text(member(result.get(), "server_metrics")),
            R"({"sent_metrics":{"client_sent_b":1000,"server_sent_b":234,"total_sent_b":1234,)"
            R"("proxy_saved_b":50},"mio_metrics":{"total_reads":11,"cache_hit_reads":5,)"
            R"("latency":-20},"ext_metrics":{"total_reads":7,"cache_hit_reads":3,"latency":1500},)"
            R"("total_reads":18,"cache_hit_reads":8,"cache_evicted_b":18446744073709551615,)"
            R"("cache_utilized_p":12.5})");

  json_object* clients = member(result.get(), "clients");
  ASSERT_EQ(json_object_array_length(clients), 1u);
  json_object* c = json_object_array_get_idx(clients, 0);
  EXPECT_EQ(member_names(c),
            (std::vector<std::string>{"sent_metrics", "mio_metrics", "ext_metrics", "total_reads",
                                      "cache_hit_reads", "cache_evicted_b", "cache_utilized_p",
                                      "client_id", "mac"}));
  EXPECT_EQ(text(member(member(c, "sent_metrics"), "total_sent_b")), "7");
  EXPECT_EQ(text(member(c, "client_id")), "0");
  EXPECT_EQ(text(member(c, "mac")), R"("2:0:0:0:0:1")");

  // A utilisation that could not be computed must not make the reply invalid JSON.
  global.cache_utilized_p = std::nan("");
  json_ptr again(metrics_result(&ctx));
  json_ptr reparsed = parse(text(again.get()));
  ASSERT_NE(reparsed, nullptr);
  EXPECT_EQ(text(member(member(reparsed.get(), "server_metrics"), "cache_utilized_p")), "0.0");
}

TEST_F(QueriesTest, PrepopProgressWithOneAndSeveralVdisks) {
  add_vdisk("1-1-1-1-1-1-1-1-1", 42949672960ull, 512);
  json_ptr one(prepop_progress_result(&ctx));
  EXPECT_EQ(
      text(one.get()),
      R"({"vdisk":{"vdisk_key":"1-1-1-1-1-1-1-1-1","site_uuid":"s1","size":42949672960,"complete":512}})");

  add_vdisk("2-2-2-2-2-2-2-2-2", 0, 0);
  add_vdisk("3-3-3-3-3-3-3-3-3", 1024, 1536);
  json_ptr several(prepop_progress_result(&ctx));
  EXPECT_EQ(member_names(several.get()), (std::vector<std::string>{"vdisk", "vdisks"}));
  json_object* all = member(several.get(), "vdisks");
  ASSERT_EQ(json_object_array_length(all), 3u);
  // "vdisk" keeps its single-vDisk meaning: the last vDisk listed.
  EXPECT_EQ(text(member(several.get(), "vdisk")), text(json_object_array_get_idx(all, 2)));
  std::vector<std::string> listed;
  for (size_t i = 0; i < 3; i++) listed.push_back(text(json_object_array_get_idx(all, i)));
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(
      listed,
      (std::vector<std::string>{
          R"({"vdisk_key":"1-1-1-1-1-1-1-1-1","site_uuid":"s1","size":42949672960,"complete":512})",
          R"({"vdisk_key":"2-2-2-2-2-2-2-2-2","site_uuid":"s1","size":0,"complete":0})",
          R"({"vdisk_key":"3-3-3-3-3-3-3-3-3","site_uuid":"s1","size":1024,"complete":1536})"}));
}

// What the peer of `connection` can read right now, without waiting.
std::string pending(int fd) {
  std::string received;
  char buffer[65536];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) break;
    received.append(buffer, static_cast<size_t>(n));
  }
  return received;
}

TEST_F(QueriesTest, HandlersAnswerOnlyRequestsWithAnId) {
  tarn_test::log_capture log;
  add_vdisk("1-1-1-1-1-1-1-1-1", 4096, 4608);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const struct {
    json_command_fn handler;
    const char* method;
    json_object* (*build)(proxy_context*);
    const char* warning;
  } methods[] = {
      {process_context_state, "context-state", context_state_result,
       "process_context_state: no id"},
      {process_prepop_progress, "prepop-progress", prepop_progress_result,
       "process_prepop_progress: no id"},
      {process_metrics, "metrics", metrics_result, "process_metrics: no id"},
  };
  for (const auto& m : methods) {
    SCOPED_TRACE(m.method);
    const std::string name = std::string(m.method);
    for (const std::string& no_id : {R"({"jsonrpc":"2.0","method":")" + name + R"("})",
                                     R"({"jsonrpc":"2.0","method":")" + name + R"(","id":null})"}) {
      log.clear();
      json_ptr request = parse(no_id);
      m.handler(&ctx, request.get(), fds[0]);
      EXPECT_EQ(pending(fds[1]), "");
      EXPECT_TRUE(log.contains(G_LOG_LEVEL_WARNING, m.warning));
    }
    json_ptr request = parse(R"({"jsonrpc":"2.0","method":")" + name + R"(","id":"q7"})");
    m.handler(&ctx, request.get(), fds[0]);
    json_ptr response = parse(pending(fds[1]));
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(member_names(response.get()), (std::vector<std::string>{"jsonrpc", "result", "id"}));
    EXPECT_EQ(text(member(response.get(), "id")), R"("q7")");
    json_ptr expected(m.build(&ctx));
    EXPECT_EQ(text(member(response.get(), "result")), text(expected.get()));
  }
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
