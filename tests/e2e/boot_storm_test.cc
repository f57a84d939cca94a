// Boot storms through the production daemon in the network lab: a
// streaming-server simulator in the servers' namespace, VM simulators in the
// clients' namespaces, the daemon in its sandbox listening on the proxy
// ports. The VMs verify every byte they receive against the image; the
// server counts what it served; the daemon's metrics and cache are checked
// against both, and its metrics files as the host's collectors read them
// (promtool, and a stock node_exporter's textfile collector).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "net/pmmap.h"
#include "support/lab_daemon.h"
#include "support/metrics_files.h"
#include "support/wire_builder.h"

namespace {

using namespace std::chrono_literals;
using tarn_test::exists;
using tarn_test::json_path_int;
using tarn_test::json_value;
using tarn_test::lab_daemon;
using tarn_test::read_text;
using tarn_test::report_int;
using tarn_test::source_member;
using tarn_test::vm_report;

// `promtool check metrics` on one file: "" when it passes, else its output.
std::string promtool_problems(const std::string& file) {
  std::string out;
  return tarn_test::run_shell("promtool check metrics < '" + file + "' 2>&1", &out) == 0 ? "" : out;
}

// GET `target` from 127.0.0.1:`port` inside `ns`: the whole response, "" if
// nothing answered.
std::string http_get(const std::string& ns, uint16_t port, const std::string& target) {
  unique_fd fd;
  {
    tarn_test::lab_enter inside(ns);
    fd.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  }
  sockaddr_in addr = tarn_test::address("127.0.0.1", port);
  const std::string request = "GET " + target + " HTTP/1.0\r\nHost: lab\r\n\r\n";
  if (!fd || connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(request.size()))
    return "";
  return tarn_test::control_read(fd.get(), 10s).value_or("");
}

// The node_exporter's page.
std::string scrape(const std::string& ns) {
  return http_get(ns, 9100, "/metrics");
}

// An instant query to the Prometheus server on 127.0.0.1:9090 inside `ns`:
// the value of the result's first sample; nullopt for none or no answer.
std::optional<double> promql(const std::string& ns, const std::string& query) {
  std::string target = "/api/v1/query?query=";
  for (const unsigned char c : query) {
    char escaped[4];
    snprintf(escaped, sizeof escaped, "%%%02X", c);
    target += isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(escaped);
  }
  const std::string response = http_get(ns, 9090, target);
  const size_t body = response.find("\r\n\r\n");
  if (body == std::string::npos) return std::nullopt;
  json_value root(json_tokener_parse(response.c_str() + body + 4));
  json_object* result =
      json_object_object_get(json_object_object_get(root.get(), "data"), "result");
  if (!json_object_is_type(result, json_type_array) || json_object_array_length(result) == 0)
    return std::nullopt;
  json_object* value = json_object_object_get(json_object_array_get_idx(result, 0), "value");
  if (!json_object_is_type(value, json_type_array)) return std::nullopt;
  return strtod(json_object_get_string(json_object_array_get_idx(value, 1)), nullptr);
}

// Each host source's members with no traffic yet: description, units, min,
// max, owner_kind, archive_default, scale, value_type and value.
const std::pair<const char*, const char*> HOST_SOURCES[] = {
    {"velorin_read_total", "Velorin observed read rate|reads/s|0|inf|0|0|2|1|0|"},
    {"velorin_read_hits", "Velorin hit rate|hits/s|0|inf|0|0|2|1|0|"},
    {"velorin_read_misses", "Velorin miss rate|misses/s|0|inf|0|0|2|1|0|"},
    {"velorin_traffic_client_sent",
     "Velorin observed network traffic from clients|bytes/s|0|inf|0|0|2|1|0|"},
    {"velorin_traffic_server_sent",
     "Velorin observed network traffic from servers|bytes/s|0|inf|0|0|2|1|0|"},
    {"velorin_traffic_proxy_saved", "Velorin saved network traffic|bytes/s|0|inf|0|0|2|1|0|"},
    {"velorin_evicted", "Velorin eviction rate|bytes/s|0|inf|0|0|2|1|0|"},
    {"velorin_space_utilization", "Velorin space utilization|percent|0|100|0|0|0|0|0.0|"},
    {"velorin_held_reads", "Velorin reads held for a read in flight|reads/s|0|inf|0|0|2|1|0|"},
    {"velorin_held_answered",
     "Velorin held reads answered from the cache|reads/s|0|inf|0|0|2|1|0|"},
    {"velorin_held_timed_out", "Velorin held reads forwarded after all|reads/s|0|inf|0|0|2|1|0|"},
};

// The links' MTU and the server's packet size: ordinary links, and the jumbo
// frames of storage networks; and the listeners' kind (plain packet sockets
// beside Open vSwitch where not packet-mmap rings). One row also runs a
// Prometheus server on the exporter (it costs seconds, and is the same on all).
struct links {
  int mtu, packet_size;
  bool packet_mmap = true, prometheus = false;
};
class BootStormOver : public testing::TestWithParam<links> {};
INSTANTIATE_TEST_SUITE_P(Links, BootStormOver,
                         testing::Values(links{1500, 1472, true, true}, links{9000, 8900},
                                         links{1500, 1472, false}));

TEST_P(BootStormOver, WarmVmsBootFromTheCache) {
  TARN_REQUIRE_ROOT();
  constexpr int VMS = 5;
  tarn_test::lab_daemon_options options;
  options.clients = VMS;
  options.image_bytes = 32 << 20;
  options.second_image_bytes = 32 << 20;
  options.link_mtu = GetParam().mtu;
  options.server_args = {"--mtu", std::to_string(GetParam().packet_size)};
  if (!GetParam().packet_mmap) options.config += "packetMmap=0\n";
  if (GetParam().prometheus) options.config += "prepopHoldOffInS=2\n";
  tarn_test::lab_daemon s(options);
  tarn_test::sandbox& sb = s.sandbox();
  const std::string host = s.lab().host_ns();

  // Before any traffic: the host's files, with the inventory's installation.
  const std::string dir = sb.dir() + "/shm/metrics", file = dir + "/tarnproxy";
  ASSERT_TRUE(tarn_test::eventually(
      [&] {
        return source_member(file, "velorin_space_utilization", "owner_uuid") ==
               lab_daemon::INSTALLATION;
      },
      10s))
      << read_text(file) << sb.err();
  for (const auto& [name, expected] : HOST_SOURCES) {
    std::string members;
    for (const char* key : {"description", "units", "min", "max", "owner_kind", "archive_default",
                            "scale", "value_type", "value"})
      members += source_member(file, name, key) + "|";
    EXPECT_EQ(members, expected) << name;
    EXPECT_EQ(source_member(file, name, "owner_uuid"), lab_daemon::INSTALLATION) << name;
  }
  const std::string prom = read_text(file + ".prom");
  EXPECT_NE(prom.find("# TYPE velorin_evicted_total counter\nvelorin_evicted_total 0\n"),
            std::string::npos)
      << prom;
  EXPECT_EQ(promtool_problems(file + ".prom"), "") << prom;

  // A configured client gets its own files, published INITIALISED at once.
  ASSERT_TRUE(s.configure()) << sb.err();
  const std::string client1 = lab_daemon::client_uuid(1), client_file = file + "-" + client1;
  ASSERT_TRUE(tarn_test::eventually(
      [&] { return source_member(client_file, "tarncache_status", "value") == "1"; }, 5s))
      << read_text(client_file) << sb.err();
  EXPECT_EQ(source_member(client_file, "tarncache_status", "owner_uuid"), client1);
  EXPECT_EQ(promtool_problems(client_file + ".prom"), "") << read_text(client_file + ".prom");

  // VMs 1 and 2 boot cold together: what they read first comes from the
  // server, once, as a miss of one that the other's read in flight covers
  // waits for that reply and is answered from the cache.
  auto cold_vm = s.boot(1), cold_twin = s.boot(2);
  json_value cold = vm_report(*cold_vm), twin = vm_report(*cold_twin);
  ASSERT_TRUE(cold && twin);
  EXPECT_EQ(report_int(cold.get(), "errors"), 0) << cold_vm->out();
  EXPECT_EQ(report_int(twin.get(), "errors"), 0) << cold_twin->out();
  EXPECT_EQ(report_int(cold.get(), "mtu"), GetParam().packet_size);
  ASSERT_GT(report_int(cold.get(), "reads"), 0);
  json_value after_cold = s.server_stats();
  ASSERT_TRUE(after_cold);
  const int64_t cold_bytes = report_int(cold.get(), "bytes");
  const int64_t cold_from_server =
      s.served_to(after_cold.get(), 1) + s.served_to(after_cold.get(), 2);
  EXPECT_GT(cold_from_server, cold_bytes / 2);
  // Printed, not checked: on a slow host one VM may run ahead of the other,
  // and its twin then hits the cache instead of waiting on a read in flight.
  json_value held = tarn_test::control_result(s.socket_path(), "metrics");
  json_object* held_global = json_object_object_get(held.get(), "server_metrics");
  printf("cold pair: %lld reads held, %lld answered from the cache\n",
         static_cast<long long>(report_int(held_global, "held_reads")),
         static_cast<long long>(report_int(held_global, "held_answered_reads")));
  // Each VM's latest boot is the one just done: reads counted from its login.
  json_value state = tarn_test::control_result(s.socket_path(), "context-state");
  json_object* boot_of_1 = nullptr;
  json_object* state_clients = json_object_object_get(state.get(), "clients");
  for (size_t i = 0; i < json_object_array_length(state_clients); i++) {
    json_object* c = json_object_array_get_idx(state_clients, i);
    if (json_object_get_string(json_object_object_get(c, "uuid")) == client1)
      boot_of_1 = json_object_object_get(c, "latest_boot");
  }
  EXPECT_GE(report_int(boot_of_1, "reads"), report_int(cold.get(), "reads")) << sb.err();
  EXPECT_GT(report_int(boot_of_1, "server_bytes") + report_int(boot_of_1, "cache_bytes"),
            cold_bytes);
  // The cold boot taught the daemon the vDisk's boot set, its first read
  // (the boot sector) among the first ranges, and what of it is cached. The
  // VM sends up to four MIOs with that extent read, which the two listener
  // threads may see first.
  const std::string key = std::filesystem::path(s.vdisk_dir()).filename();
  json_value boot = tarn_test::control_result(
      s.socket_path(), "export-boot-set",
      R"({"site": ")" + std::string(lab_daemon::SITE) + R"(", "vdisk": ")" + key + R"("})");
  json_object* ranges = json_object_object_get(boot.get(), "ranges");
  ASSERT_GT(json_object_array_length(ranges), 0u) << sb.err();
  size_t boot_sector = json_object_array_length(ranges);
  for (size_t i = json_object_array_length(ranges); i-- > 0;) {
    json_object* range = json_object_array_get_idx(ranges, i);
    if (json_object_get_int64(json_object_array_get_idx(range, 0)) == 0 &&
        json_object_get_int64(json_object_array_get_idx(range, 1)) >= 512)
      boot_sector = i;
  }
  EXPECT_LT(boot_sector, 5u) << json_object_to_json_string(boot.get());
  json_value progress = tarn_test::control_result(s.socket_path(), "prepop-progress");
  const int64_t boot_bytes = json_path_int(progress.get(), {"vdisk", "boot_set_bytes"});
  const int64_t boot_cached = json_path_int(progress.get(), {"vdisk", "boot_set_cached"});
  EXPECT_GT(boot_bytes, 0);
  EXPECT_TRUE(boot_cached > 0 && boot_cached <= boot_bytes) << boot_cached << " of " << boot_bytes;
  // Warm, not yet whole.
  const double warmth = json_object_get_double(
      json_object_object_get(json_object_object_get(progress.get(), "vdisk"), "cached_ratio"));
  EXPECT_TRUE(warmth > 0 && warmth < 1) << json_object_to_json_string(progress.get());
  // The pair cost the server about one boot: its reads once, and resends.
  EXPECT_LE(cold_from_server, 1.2 * static_cast<double>(boot_bytes));

  // Prometheus scrapes the node_exporter started below each second. It
  // starts once the cold pair, whose held reads depend on timing, is done, and
  // is up by the time the exporter is.
  std::unique_ptr<tarn_test::process> prometheus;
  if (GetParam().prometheus) {
    const std::string config = sb.dir() + "/prometheus.yml";
    std::ofstream(config) << "global:\n  scrape_interval: 1s\nscrape_configs:\n"
                             "  - job_name: tarnproxy\n    static_configs:\n"
                             "      - targets: ['127.0.0.1:9100']\n";
    prometheus = std::make_unique<tarn_test::process>(
        std::vector<std::string>{
            "ip", "netns", "exec", host, "prometheus", "--config.file=" + config,
            "--storage.tsdb.path=" + sb.dir() + "/prom", "--web.listen-address=127.0.0.1:9090"},
        sb.dir() + "/prometheus");
  }

  // VMs 3..N boot the same vDisk together; the last logs in with the TLV
  // (UEFI) messages.
  std::vector<std::unique_ptr<tarn_test::process>> warm_vms;
  for (int i = 3; i <= VMS; i++)
    warm_vms.push_back(
        s.boot(i, i == VMS ? std::vector<std::string>{"--uefi"} : std::vector<std::string>{}));
  int64_t warm_bytes = 0, warm_reads = 0, warm_retries = 0;
  for (auto& vm : warm_vms) {
    json_value r = vm_report(*vm);
    ASSERT_TRUE(r);
    EXPECT_EQ(report_int(r.get(), "errors"), 0) << vm->out();
    warm_bytes += report_int(r.get(), "bytes");
    warm_reads += report_int(r.get(), "reads");
    warm_retries += report_int(r.get(), "retries");
  }
  json_value after_storm = s.server_stats();
  ASSERT_TRUE(after_storm);
  int64_t warm_from_server = 0;
  for (int i = 3; i <= VMS; i++)
    warm_from_server += std::max<int64_t>(0, s.served_to(after_storm.get(), i));
  const double cached_share = 1.0 - static_cast<double>(warm_from_server) / warm_bytes;
  printf("cold boot: %lld bytes, %lld from the server; storm: %lld bytes, %.1f%% from the cache\n",
         static_cast<long long>(cold_bytes), static_cast<long long>(cold_from_server),
         static_cast<long long>(warm_bytes), 100 * cached_share);
  EXPECT_GE(cached_share, 0.95);

  // The daemon's own count agrees with the simulators'.
  json_value metrics = tarn_test::control_result(s.socket_path(), "metrics");
  json_object* global = json_object_object_get(metrics.get(), "server_metrics");
  ASSERT_TRUE(global);
  // Each listener thread (two per client) maps a receive and a transmit ring
  // of 512 KiB, whatever the MTU: frames grow with it, fewer fit.
  EXPECT_EQ(report_int(global, "ring_bytes"),
            GetParam().packet_mmap ? int64_t{VMS} * 2 * PMMAP_LISTENER_RING_BYTES : 0);
  const int64_t total_reads = report_int(global, "total_reads");
  const int64_t cold_reads = report_int(cold.get(), "reads") + report_int(twin.get(), "reads");
  // Every read the VMs made (and each resend) reached the engine once.
  EXPECT_GE(total_reads, cold_reads + warm_reads - 50);
  EXPECT_LE(total_reads, cold_reads + warm_reads + report_int(cold.get(), "retries") +
                             report_int(twin.get(), "retries") + warm_retries);
  EXPECT_GE(report_int(global, "cache_hit_reads"), static_cast<int64_t>(0.95 * warm_reads));
  // Data served from the cache, with its reply headers.
  EXPECT_GE(json_path_int(global, {"sent_metrics", "proxy_saved_b"}),
            warm_bytes - warm_from_server);
  // What the server sent passed the daemon and was counted there, but for
  // frames the kernel dropped when a burst overran a receive ring (the VMs
  // asked again for those).
  const double server_sent = json_path_int(global, {"sent_metrics", "server_sent_b"});
  EXPECT_GE(server_sent, 0.95 * static_cast<double>(cold_from_server + warm_from_server));
  EXPECT_LE(server_sent, 1.2 * static_cast<double>(cold_from_server + warm_from_server));

  const auto [checked, wrong] = s.check_cache();
  EXPECT_GT(checked, 0u);
  EXPECT_EQ(wrong, 0u);

  // The cache manager's next pass reports the space the cache now takes.
  EXPECT_TRUE(tarn_test::eventually(
      [&] {
        json_value m = tarn_test::control_result(s.socket_path(), "metrics");
        json_object* g = json_object_object_get(m.get(), "server_metrics");
        return json_object_get_double(json_object_object_get(g, "cache_utilized_p")) > 0;
      },
      15s));

  // node_exporter serves both files' series.
  tarn_test::process exporter(
      {"ip", "netns", "exec", host, "prometheus-node-exporter", "--collector.disable-defaults",
       "--collector.textfile", "--collector.textfile.directory=" + dir,
       "--web.listen-address=127.0.0.1:9100"},
      sb.dir() + "/node_exporter");
  std::string page;
  ASSERT_TRUE(tarn_test::eventually(
      [&] {
        page = scrape(host);
        return page.find("tarncache_status") != std::string::npos;
      },
      15s))
      << page << exporter.err();
  for (const std::string& series : {
           "tarncache_status{client_uuid=\"" + client1 + "\"} ",
           "tarnproxy_host_installation_info{installation_uuid=\"" +
               std::string(lab_daemon::INSTALLATION) + "\"} 1\n",
           std::string("# TYPE velorin_read_total counter\nvelorin_read_total "),
           std::string("velorin_traffic_proxy_saved_total "),
           std::string("velorin_space_utilization "),
           std::string("node_textfile_scrape_error 0\n"),
       })
    EXPECT_NE(page.find(series), std::string::npos) << series << "\n" << page;

  // Prometheus's HTTP API answers the queries an operator would ask.
  const std::string client1_series = "{client_uuid=\"" + client1 + "\"}";
  if (prometheus) {
    // Client 1 prepopulates while its VM stays logged in: the vDisk warms
    // to the whole of it.
    ASSERT_TRUE(s.configure({1}));
    auto lingering = s.boot(1, {"--trace-reads", "8", "--linger-ms", "120000"});
    const std::string vdisk = "{vdisk_key=\"" + key + "\"}";
    EXPECT_TRUE(tarn_test::eventually(
        [&] {
          return promql(host, "velorin_vdisk_cached_ratio" + vdisk) == 1.0 &&
                 promql(host, "velorin_vdisk_boot_set_cached_ratio" + vdisk) == 1.0;
        },
        60s))
        << promql(host, "velorin_vdisk_cached_ratio" + vdisk).value_or(-1) << " "
        << promql(host, "velorin_vdisk_boot_set_cached_ratio" + vdisk).value_or(-1)
        << prometheus->err();
    lingering->kill();
    ASSERT_TRUE(s.configure());

    // That sample, written after the last VM read, has every hit.
    const double hits = static_cast<double>(
        json_path_int(tarn_test::control_result(s.socket_path(), "metrics").get(),
                      {"server_metrics", "cache_hit_reads"}));
    ASSERT_TRUE(
        tarn_test::eventually([&] { return promql(host, "velorin_read_hits_total") == hits; }, 10s))
        << hits << " " << promql(host, "velorin_read_hits_total").value_or(-1);
    EXPECT_GT(promql(host, "count(" + client1_series + ")").value_or(0), 0);
    // Hits are answered at once, misses wait for the server: so the 99th
    // percentiles over the runs' cumulative buckets say.
    const auto p99 = [&](const std::string& result) {
      return promql(host,
                    "histogram_quantile(0.99, sum by (le) "
                    "(velorin_read_latency_seconds_bucket{result=\"" +
                        result + "\"}))")
          .value_or(NAN);
    };
    const double hit_p99 = p99("hit"), miss_p99 = p99("miss");
    printf("p99: hit %.6f s, miss %.6f s\n", hit_p99, miss_p99);
    EXPECT_LT(hit_p99, miss_p99);
    // The histograms count each hit once as hit or held, in the same sample
    // as the hit counter; a resent miss is a miss twice but one wait.
    EXPECT_EQ(promql(host,
                     "sum(velorin_read_latency_seconds_count{result=~\"hit|held\"}) - "
                     "sum(velorin_read_hits_total)"),
              0.0);
    const std::optional<double> unmeasured =
        promql(host,
               "sum(velorin_read_misses_total) - "
               "sum(velorin_read_latency_seconds_count{result=\"miss\"})");
    printf("misses without a latency sample: %.0f\n", unmeasured.value_or(NAN));
    EXPECT_GE(unmeasured.value_or(-1), 0);
    // Each client has its own histogram: three kinds of read, 17 buckets each.
    EXPECT_EQ(promql(host, "count(tarncache_read_latency_seconds_bucket" + client1_series + ")"),
              51.0);
  }

  // Removing the site removes the clients and their files; the exporter
  // still reads the directory without error. It goes while VMs 1 and 2 boot
  // another vDisk cold together, once some of their reads are held: those
  // are dropped with their clients, never answered (a sanitizer run catches
  // a held read outliving its client).
  const auto held_reads = [&] {
    return json_path_int(tarn_test::control_result(s.socket_path(), "metrics").get(),
                         {"server_metrics", "held_reads"});
  };
  const int64_t held_before = held_reads();
  auto late_vm = s.boot_vdisk(1, lab_daemon::VDISK_ID2),
       late_twin = s.boot_vdisk(2, lab_daemon::VDISK_ID2);
  // Bounded wait, no check: on a slow host the pair may not meet.
  tarn_test::eventually([&] { return held_reads() > held_before; }, 20s);
  ASSERT_TRUE(tarn_test::answered_ok(
      tarn_test::control_call(s.socket_path(), tarn_test::remove_site_request(lab_daemon::SITE))));
  EXPECT_FALSE(exists(client_file));
  EXPECT_FALSE(exists(client_file + ".prom"));
  late_vm->kill();
  late_twin->kill();
  page = scrape(host);
  EXPECT_EQ(page.find("tarncache_status{"), std::string::npos) << page;
  EXPECT_NE(page.find("node_textfile_scrape_error 0\n"), std::string::npos) << page;
  // The next scrape no longer finds the client's series, and marks them stale.
  if (prometheus) {
    EXPECT_TRUE(tarn_test::eventually(
        [&] { return promql(host, "absent(" + client1_series + ")") == 1.0; }, 10s))
        << promql(host, "count(" + client1_series + ")").value_or(0);
  }
  // SIGTERM; the RRD thread must notice within one 5-second sleep, the
  // daemon end orderly and its files go.
  ASSERT_TRUE(sb.send_signal(SIGTERM));
  EXPECT_TRUE(sb.wait_for_output("RRD Thread stopped", 5s)) << sb.err();
  EXPECT_TRUE(sb.exited_cleanly(20s));
  EXPECT_FALSE(exists(file));
  EXPECT_FALSE(exists(file + ".prom"));
  // No warning but for frames a burst made the kernel drop.
  std::istringstream log(sb.err());
  for (std::string line; std::getline(log, line);)
    EXPECT_TRUE(line.find("WARNING") == std::string::npos ||
                line.find("the kernel dropped") != std::string::npos)
        << line;
  EXPECT_EQ(sb.err().find("CRITICAL"), std::string::npos) << sb.err();
}

}  // namespace
