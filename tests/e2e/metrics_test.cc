// Metrics publication of the production binary, read as the host's collectors
// read it: the files under /dev/shm/metrics, checked by promtool, a client's own files, and all of
// them scraped by a stock node_exporter's textfile collector in a throwaway network namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <optional>
#include <string>

#include "core/unique_fd.h"
#include "support/control.h"
#include "support/metrics_files.h"
#include "support/netns.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using tarn_test::eventually;
using tarn_test::exists;
using tarn_test::read_text;
using tarn_test::source_member;

const char* INSTALLATION = "e3b0c442-98fc-4c14-9afb-f4c8996fb924";
const char* CLIENT = "c11e0000-0000-4000-8000-0000000000f4";
const char* SITE = "5e1a0000-0000-4000-8000-0000000000f1";
const char* EXPORTER_ADDRESS = "198.18.0.1";

// `promtool check metrics` on one file: "" when it passes, else its output.
std::string promtool_problems(const std::string& file) {
  std::string out;
  return tarn_test::run_shell("promtool check metrics < '" + file + "' 2>&1", &out) == 0 ? "" : out;
}

// GET /metrics from the exporter inside `ns`; nullopt if nothing answered.
std::optional<std::string> scrape(const tarn_test::netns& ns) {
  unique_fd fd;
  {
    tarn_test::netns_enter inside(ns);
    fd.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  }
  sockaddr_in addr = tarn_test::lab_address(EXPORTER_ADDRESS, 9100);
  if (!fd || connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return std::nullopt;
  const std::string request = "GET /metrics HTTP/1.0\r\nHost: exporter\r\n\r\n";
  if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size()))
    return std::nullopt;
  return tarn_test::control_read(fd.get(), 10s);
}

struct host_source {
  const char *name, *description, *units, *max, *scale, *type, *value;  // value with no traffic
};
const host_source HOST_SOURCES[] = {
    {"velorin_read_total", "Velorin observed read rate", "reads/s", "inf", "2", "1", "0"},
    {"velorin_read_hits", "Velorin hit rate", "hits/s", "inf", "2", "1", "0"},
    {"velorin_read_misses", "Velorin miss rate", "misses/s", "inf", "2", "1", "0"},
    {"velorin_traffic_client_sent", "Velorin observed network traffic from clients", "bytes/s",
     "inf", "2", "1", "0"},
    {"velorin_traffic_server_sent", "Velorin observed network traffic from servers", "bytes/s",
     "inf", "2", "1", "0"},
    {"velorin_traffic_proxy_saved", "Velorin saved network traffic", "bytes/s", "inf", "2", "1",
     "0"},
    {"velorin_evicted", "Velorin eviction rate", "bytes/s", "inf", "2", "1", "0"},
    {"velorin_space_utilization", "Velorin space utilization", "percent", "100", "0", "0", "0.0"},
};

TEST(MetricsPublication, HostAndClientFilesAsCollectorsReadThem) {
  TARN_REQUIRE_ROOT();
  tarn_test::netns ns("tmet");
  ASSERT_EQ(ns.run(std::string("ip link add v0 type veth peer name v1 && ip link set v0 up && "
                               "ip link set v1 up && ip addr add ") +
                   EXPORTER_ADDRESS + "/24 dev v1"),
            0);
  tarn_test::sandbox sb;
  // The daemon's client interface lives in the namespace, so the daemon does.
  sb.set_net_ns(ns.name());
  const std::string dir = sb.dir() + "/shm/metrics", file = dir + "/tarnproxy";
  // (Which owner a missing or broken inventory gives, the RRD tests show.)
  ASSERT_TRUE(sb.write_file("/etc/quillon-inventory",
                            std::string("PRODUCT_BRAND='Quillon'\nINSTALLATION_UUID='") +
                                INSTALLATION + "'\nBUILD_NUMBER='1234'\n"));
  sb.start();
  ASSERT_TRUE(sb.wait_for_output("Listening on", 10s)) << sb.err();
  ASSERT_TRUE(eventually(
      [&] {
        return source_member(file, "velorin_space_utilization", "owner_uuid") == INSTALLATION;
      },
      10s))
      << read_text(file) << sb.err();
  for (const host_source& s : HOST_SOURCES) {
    const std::pair<const char*, std::string> members[] = {{"description", s.description},
                                                           {"owner_uuid", INSTALLATION},
                                                           {"units", s.units},
                                                           {"min", "0"},
                                                           {"max", s.max},
                                                           {"owner_kind", "0"},
                                                           {"archive_default", "0"},
                                                           {"scale", s.scale},
                                                           {"value_type", s.type},
                                                           {"value", s.value}};
    for (const auto& [key, value] : members)
      EXPECT_EQ(source_member(file, s.name, key), value) << s.name << " " << key;
  }
  const std::string prom = read_text(file + ".prom");
  EXPECT_NE(prom.find("# TYPE velorin_evicted_total counter\nvelorin_evicted_total 0\n"),
            std::string::npos)
      << prom;
  EXPECT_EQ(promtool_problems(file + ".prom"), "") << prom;

  // A client configured over the control socket gets its own files,
  // published INITIALISED at once; node_exporter serves both files' series.
  const std::string client_file = dir + "/tarnproxy-" + CLIENT;
  ASSERT_TRUE(tarn_test::answered_ok(tarn_test::control_call(
      sb.socket_path(),
      tarn_test::site_request(SITE, "7d1a0000-0000-4000-8000-0000000000f2",
                              "5e7e0000-0000-4000-8000-0000000000f3", {"198.18.1.5"},
                              {{CLIENT, "02:00:00:00:0f:04", "v0", false}},
                              R"("first_port": 100, "last_port": 110)"))))
      << sb.err();
  ASSERT_TRUE(eventually(
      [&] { return source_member(client_file, "tarncache_status", "value") == "1"; }, 5s))
      << read_text(client_file) << sb.err();
  EXPECT_EQ(source_member(client_file, "tarncache_status", "owner_uuid"), CLIENT);
  EXPECT_EQ(promtool_problems(client_file + ".prom"), "") << read_text(client_file + ".prom");

  tarn_test::process exporter(
      {"ip", "netns", "exec", ns.name(), "prometheus-node-exporter", "--collector.disable-defaults",
       "--collector.textfile", "--collector.textfile.directory=" + dir,
       "--web.listen-address=" + std::string(EXPORTER_ADDRESS) + ":9100"},
      sb.dir() + "/node_exporter");
  std::string page;
  ASSERT_TRUE(eventually(
      [&] {
        page = scrape(ns).value_or("");
        return page.find("tarncache_status") != std::string::npos;
      },
      15s))
      << page << exporter.err();
  for (const std::string& series : {
           std::string("tarncache_status{client_uuid=\"") + CLIENT + "\"} 1\n",
           std::string("tarnproxy_host_installation_info{installation_uuid=\"") + INSTALLATION +
               "\"} 1\n",
           std::string("# TYPE velorin_read_total counter\nvelorin_read_total 0\n"),
           std::string("velorin_traffic_proxy_saved_total 0\n"),
           std::string("velorin_space_utilization 0\n"),
           std::string("node_textfile_scrape_error 0\n"),
       })
    EXPECT_NE(page.find(series), std::string::npos) << series << "\n" << page;

  // Removing the site removes the client and its files; the exporter
  // notices and still reads the directory without error.
  ASSERT_TRUE(tarn_test::answered_ok(
      tarn_test::control_call(sb.socket_path(), tarn_test::remove_site_request(SITE))));
  EXPECT_FALSE(exists(client_file));
  EXPECT_FALSE(exists(client_file + ".prom"));
  page = scrape(ns).value_or("<no answer>");
  EXPECT_EQ(page.find("tarncache_status{"), std::string::npos) << page;
  EXPECT_NE(page.find("velorin_read_total 0\n"), std::string::npos) << page;
  EXPECT_NE(page.find("node_textfile_scrape_error 0\n"), std::string::npos) << page;
  // SIGTERM; the RRD thread must notice within one 5-second sleep, the
  // daemon end orderly and its files go.
  ASSERT_TRUE(sb.send_signal(SIGTERM));
  EXPECT_TRUE(sb.wait_for_output("RRD Thread stopped", 5s)) << sb.err();
  auto exit = sb.wait_exit(20s);
  ASSERT_TRUE(exit.has_value()) << sb.err();
  EXPECT_TRUE(exit->exited && exit->code == 0) << *exit << sb.err();
  EXPECT_FALSE(exists(file));
  EXPECT_FALSE(exists(file + ".prom"));
  EXPECT_EQ(sb.err().find("WARNING"), std::string::npos) << sb.err();
  EXPECT_EQ(sb.err().find("CRITICAL"), std::string::npos) << sb.err();
}

}  // namespace
