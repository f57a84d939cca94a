// Metrics publication of the production binary, read as the host's collectors
// read it: the files under /dev/shm/metrics, checked by promtool and scraped
// by a stock node_exporter's textfile collector in a throwaway network
// namespace.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.h"
#include "support/metrics_files.h"
#include "support/netns.h"
#include "support/sandbox.h"

extern char** environ;

namespace {

using tarn_test::eventually;
using tarn_test::exists;
using tarn_test::read_text;
using tarn_test::source_member;

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

const char* INVENTORY = "/etc/quillon-inventory";
const char* NULL_UUID = "00000000-0000-0000-0000-000000000000";
const char* INSTALLATION = "e3b0c442-98fc-4c14-9afb-f4c8996fb924";
const char* SITE = "5e1a0000-0000-4000-8000-0000000000f1";
const char* VDI = "7d1a0000-0000-4000-8000-0000000000f2";
const char* SERVER = "5e7e0000-0000-4000-8000-0000000000f3";
const char* CLIENT = "c11e0000-0000-4000-8000-0000000000f4";
const char* EXPORTER_ADDRESS = "198.18.0.1";
const int EXPORTER_PORT = 9100;

// Exit status and output of `promtool check metrics` on one file.
std::pair<int, std::string> promtool_check(const std::string& file) {
  std::string output;
  FILE* p = popen(("promtool check metrics < '" + file + "' 2>&1").c_str(), "r");
  if (p == nullptr) return {-1, "popen failed"};
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) output.append(buf.data(), n);
  int status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// One request on a fresh connection to the control socket; what came back
// before the daemon closed it.
std::string control_call(const tarn_test::sandbox& sb, const std::string& request) {
  unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = sb.dir() + "/vextal/tarnproxy/socket/tarnproxy";
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  if (!fd || connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    return "<no connection>";
  }
  if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return "<not sent>";
  }
  std::string text;
  const auto deadline = steady::now() + 60s;  // opening a cache runs sudo
  while (steady::now() < deadline) {
    pollfd p{fd.get(), POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[4096];
    ssize_t n = recv(fd.get(), buf, sizeof buf, 0);
    if (n <= 0) return text;
    text.append(buf, static_cast<size_t>(n));
  }
  return "<not closed>";
}

// node_exporter with nothing but the textfile collector, inside `ns`.
class exporter {
 public:
  exporter(const tarn_test::netns& ns, const std::string& directory, const std::string& log) {
    std::vector<std::string> args = {"ip",
                                     "netns",
                                     "exec",
                                     ns.name(),
                                     "prometheus-node-exporter",
                                     "--collector.disable-defaults",
                                     "--collector.textfile",
                                     "--collector.textfile.directory=" + directory,
                                     "--web.listen-address=" + std::string(EXPORTER_ADDRESS) + ":" +
                                         std::to_string(EXPORTER_PORT)};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawnp(&pid_, "ip", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~exporter() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; i++) {  // 5 s, then SIGKILL
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(50ms);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  exporter(const exporter&) = delete;
  exporter& operator=(const exporter&) = delete;
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// GET /metrics from inside `ns`; nullopt if nothing answered.
std::optional<std::string> scrape(const tarn_test::netns& ns) {
  unique_fd fd;
  {
    tarn_test::netns_enter inside(ns);
    fd.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  }
  if (!fd) return std::nullopt;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(EXPORTER_PORT);
  inet_pton(AF_INET, EXPORTER_ADDRESS, &addr.sin_addr);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return std::nullopt;
  const std::string request = "GET /metrics HTTP/1.0\r\nHost: exporter\r\n\r\n";
  if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return std::nullopt;
  }
  std::string text;
  const auto deadline = steady::now() + 10s;
  while (steady::now() < deadline) {
    pollfd p{fd.get(), POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[8192];
    ssize_t n = recv(fd.get(), buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    if (n == 0) return text;
    text.append(buf, static_cast<size_t>(n));
  }
  return std::nullopt;
}

struct host_source {
  const char* name;
  const char* description;
  const char* units;
  const char* max;
  const char* scale;
  const char* type;
  const char* value;  // with no traffic
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

// SIGTERM; the RRD thread must notice within one 5-second sleep, and the
// daemon end orderly.
void stop_daemon(tarn_test::sandbox& sb) {
  ASSERT_TRUE(sb.send_signal(SIGTERM));
  EXPECT_TRUE(sb.wait_for_output("RRD Thread stopped", 5s)) << sb.err();
  auto exit = sb.wait_exit(20s);
  ASSERT_TRUE(exit.has_value()) << sb.err();
  EXPECT_TRUE(exit->exited && exit->code == 0) << *exit << sb.err();
}

TEST(MetricsPublication, HostSourcesWithAndWithoutAnInventory) {
  TARN_REQUIRE_ROOT();
  struct inventory_case {
    const char* what;
    const char* contents;  // null: no inventory file
    const char* owner;
    const char* warning;  // null: none at all
  };
  const std::string with_line = std::string("PRODUCT_BRAND='Quillon'\nINSTALLATION_UUID='") +
                                INSTALLATION + "'\nBUILD_NUMBER='1234'\n";
  const inventory_case cases[] = {
      {"inventory with the line", with_line.c_str(), INSTALLATION, nullptr},
      {"no inventory", nullptr, NULL_UUID, "Failed to determine INSTALLATION_UUID. reason: "},
      {"inventory without the line", "PRODUCT_BRAND='Quillon'\n", NULL_UUID,
       "Failed to find INSTALLATION_UUID in /etc/quillon-inventory"},
  };
  for (const inventory_case& c : cases) {
    SCOPED_TRACE(c.what);
    tarn_test::sandbox sb;
    if (c.contents != nullptr) {
      ASSERT_TRUE(sb.write_file(INVENTORY, c.contents));
    }
    const std::string file = sb.dir() + "/shm/metrics/tarnproxy";
    sb.start();
    ASSERT_TRUE(sb.wait_for_output("RRD thread started", 10s)) << sb.err();
    ASSERT_TRUE(eventually(
        [&] { return source_member(file, "velorin_space_utilization", "owner_uuid") == c.owner; },
        10s))
        << read_text(file) << sb.err();

    for (const host_source& s : HOST_SOURCES) {
      SCOPED_TRACE(s.name);
      EXPECT_EQ(source_member(file, s.name, "description"), s.description);
      EXPECT_EQ(source_member(file, s.name, "owner_uuid"), c.owner);
      EXPECT_EQ(source_member(file, s.name, "units"), s.units);
      EXPECT_EQ(source_member(file, s.name, "min"), "0");
      EXPECT_EQ(source_member(file, s.name, "max"), s.max);
      EXPECT_EQ(source_member(file, s.name, "owner_kind"), "0");
      EXPECT_EQ(source_member(file, s.name, "archive_default"), "0");
      EXPECT_EQ(source_member(file, s.name, "scale"), s.scale);
      EXPECT_EQ(source_member(file, s.name, "value_type"), s.type);
      EXPECT_EQ(source_member(file, s.name, "value"), s.value);
    }
    const std::string prom = read_text(file + ".prom");
    EXPECT_NE(prom.find("tarnproxy_host_installation_info{installation_uuid=\"" +
                        std::string(c.owner) + "\"} 1\n"),
              std::string::npos)
        << prom;
    EXPECT_NE(prom.find("# TYPE velorin_evicted_total counter\nvelorin_evicted_total 0\n"),
              std::string::npos)
        << prom;
    auto [rc, lint] = promtool_check(file + ".prom");
    EXPECT_EQ(rc, 0) << lint << prom;

    if (c.warning == nullptr) {
      EXPECT_EQ(sb.err().find("WARNING"), std::string::npos) << sb.err();
    } else {
      EXPECT_NE(sb.err().find(c.warning), std::string::npos) << sb.err();
    }
    stop_daemon(sb);
    EXPECT_FALSE(exists(file));
    EXPECT_FALSE(exists(file + ".prom"));
  }
}

// A client configured over the control socket gets its own files, node_exporter
// serves both files' series, and removing the site takes the client's away.
TEST(MetricsPublication, ClientFilesAreScrapedByNodeExporter) {
  TARN_REQUIRE_ROOT();
  // Made before the sandbox, whose /run then shows the namespace's handle.
  tarn_test::netns ns("tmet");
  ASSERT_EQ(ns.run(std::string("ip link add v0 type veth peer name v1 && ip link set v0 up && "
                               "ip link set v1 up && ip addr add ") +
                   EXPORTER_ADDRESS + "/24 dev v1"),
            0);
  tarn_test::sandbox sb;
  ASSERT_TRUE(sb.write_file(INVENTORY, std::string("INSTALLATION_UUID='") + INSTALLATION + "'\n"));
  // The daemon's client interface lives in the namespace, so the daemon does.
  sb.start({}, "/usr/sbin/ip", {"netns", "exec", ns.name(), TARN_DAEMON_PATH});
  ASSERT_TRUE(sb.wait_for_output("Listening on /opt/vextal/tarnproxy/socket/tarnproxy", 10s))
      << sb.err();

  const std::string dir = sb.dir() + "/shm/metrics";
  const std::string host_file = dir + "/tarnproxy";
  const std::string client_file = dir + "/tarnproxy-" + std::string(CLIENT);
  const std::string configure =
      std::string(R"({"jsonrpc": "2.0", "method": "configure_site", "id": 1, "params": )") +
      R"({"site_uuid": ")" + SITE + R"(", "vdi": ")" + VDI + R"(", "servers": [{"uuid": ")" +
      SERVER + R"(", "addresses": ["198.18.1.5"], "first_port": 100, "last_port": 110}],)" +
      R"( "clients": [{"uuid": ")" + CLIENT +
      R"(", "mac": "02:00:00:00:0f:04", "interface": "v0", "prepopulate": false}]}})";
  std::string answer = control_call(sb, configure);
  ASSERT_NE(answer.find("\"result\""), std::string::npos) << answer << sb.err();

  // Created INITIALISED, which is published at once.
  ASSERT_TRUE(eventually(
      [&] { return source_member(client_file, "tarncache_status", "value") == "1"; }, 5s))
      << read_text(client_file) << sb.err();
  EXPECT_EQ(source_member(client_file, "tarncache_status", "description"), "Velorin client status");
  EXPECT_EQ(source_member(client_file, "tarncache_status", "owner_uuid"), CLIENT);
  EXPECT_EQ(source_member(client_file, "tarncache_status", "units"), "status");
  EXPECT_EQ(source_member(client_file, "tarncache_status", "max"), "4");
  EXPECT_EQ(source_member(client_file, "tarncache_status", "owner_kind"), "1");
  ASSERT_TRUE(eventually([&] { return exists(host_file + ".prom"); }, 10s));
  for (const std::string& f : {host_file + ".prom", client_file + ".prom"}) {
    auto [rc, lint] = promtool_check(f);
    EXPECT_EQ(rc, 0) << f << "\n" << lint << read_text(f);
  }

  exporter ne(ns, dir, sb.dir() + "/node_exporter.log");
  ASSERT_TRUE(ne.started());
  std::string page;
  ASSERT_TRUE(eventually(
      [&] {
        auto got = scrape(ns);
        if (got) page = *got;
        return got.has_value() && got->find("tarncache_status") != std::string::npos;
      },
      15s))
      << page << read_text(sb.dir() + "/node_exporter.log");
  for (const std::string& series : {
           std::string("tarncache_status{client_uuid=\"") + CLIENT + "\"} 1\n",
           std::string("tarnproxy_host_installation_info{installation_uuid=\"") + INSTALLATION +
               "\"} 1\n",
           std::string("# TYPE velorin_read_total counter\nvelorin_read_total 0\n"),
           std::string("velorin_traffic_proxy_saved_total 0\n"),
           std::string("velorin_space_utilization 0\n"),
           std::string("node_textfile_scrape_error 0\n"),
       }) {
    EXPECT_NE(page.find(series), std::string::npos) << series << "\n" << page;
  }

  // Removing the site removes the client and its files; the exporter
  // notices and still reads the directory without error.
  answer = control_call(sb, std::string(R"({"jsonrpc": "2.0", "method": "remove_site", "id": 2,)") +
                                R"( "params": {"site_uuid": ")" + SITE + R"("}})");
  ASSERT_NE(answer.find("\"result\""), std::string::npos) << answer << sb.err();
  EXPECT_FALSE(exists(client_file));
  EXPECT_FALSE(exists(client_file + ".prom"));
  auto after = scrape(ns);
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->find("tarncache_status{"), std::string::npos) << *after;
  EXPECT_NE(after->find("velorin_read_total 0\n"), std::string::npos) << *after;
  EXPECT_NE(after->find("node_textfile_scrape_error 0\n"), std::string::npos) << *after;

  stop_daemon(sb);
  EXPECT_FALSE(exists(host_file));
  EXPECT_EQ(sb.err().find("WARNING"), std::string::npos) << sb.err();
  EXPECT_EQ(sb.err().find("CRITICAL"), std::string::npos) << sb.err();
}

}  // namespace
