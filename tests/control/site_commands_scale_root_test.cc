// One configure_site request with 64 clients, each on a veth interface of its
// own, against the production daemon in its sandbox and a network namespace
// of the test's own. Every client must be up with its listener threads when
// the "OK" arrives, and each client may cost at most 1 MiB of resident memory
// beyond its packet rings. The time to "OK" and the memory figures are
// printed and recorded as test properties.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "control/jsonrpc.h"
#include "net/pmmap.h"
#include "support/control.h"
#include "support/netns.h"
#include "support/sandbox.h"

namespace {

namespace fs = std::filesystem;
using tarn_test::control_call;
using namespace std::chrono_literals;

constexpr int CLIENTS = 64;
constexpr int LISTENER_THREADS = 2;
const char* SITE = "6a6a6a6a-0000-4000-8000-000000000001";

std::string client_uuid(int i) {
  char text[40];
  snprintf(text, sizeof text, "6c6c6c6c-0000-4000-8000-%012d", i);
  return text;
}

std::string request(bool with_clients) {
  std::string clients;
  for (int i = 0; with_clients && i < CLIENTS; i++) {
    char mac[18];
    snprintf(mac, sizeof mac, "02:00:00:00:0b:%02x", i);
    if (i) clients += ", ";
    clients += R"({"uuid": ")" + client_uuid(i) + R"(", "mac": ")" + mac +
               R"(", "prepopulate": false, "interface": "s)" + std::to_string(i) + R"("})";
  }
  return R"({"jsonrpc": "2.0", "method": "configure_site", "id": 7, "params": {"site_uuid": ")" +
         std::string(SITE) +
         R"(", "vdi": "6d6d6d6d-0000-4000-8000-000000000001", "servers": [{"uuid": )"
         R"("6e6e6e6e-0000-4000-8000-000000000001", "addresses": ["198.18.0.20"], )"
         R"("first_port": 6900, "last_port": 6910}], "clients": [)" +
         clients + "]}}";
}

// VmRSS of the process, in bytes.
long rss_bytes(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6)) * 1024;
  return -1;
}

// Threads of the process whose name starts with `stem`.
int threads_named(pid_t pid, const std::string& stem) {
  int n = 0;
  const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ec;
  for (const auto& task : fs::directory_iterator(tasks, ec)) {
    std::ifstream in(task.path() / "comm");
    std::string name;
    std::getline(in, name);
    if (name.rfind(stem, 0) == 0) n++;
  }
  return n;
}

size_t array_length(const std::string& response, const char* member) {
  json_ptr parsed(json_tokener_parse(response.c_str()));
  json_object *result = nullptr, *list = nullptr;
  if (!json_object_object_get_ex(parsed.get(), "result", &result)) return 0;
  if (!json_object_object_get_ex(result, member, &list)) return 0;
  return json_object_array_length(list);
}

TEST(SiteCommandsScale, SixtyFourClientsInOneRequest) {
  TARN_REQUIRE_ROOT();
  tarn_test::netns ns("scale");
  // One batch for all 128 veth ends: far quicker than 128 runs of ip.
  std::string batch;
  for (int i = 0; i < CLIENTS; i++) {
    const std::string s = "s" + std::to_string(i);
    batch += "link add " + s + " type veth peer name " + s + "p\nlink set " + s + " up\nlink set " +
             s + "p up\n";
  }
  ASSERT_EQ(ns.run("ip -batch - <<'EOF'\n" + batch + "EOF"), 0);

  tarn_test::sandbox sb;
  sb.set_net_ns(ns.name());
  sb.write_file("/etc/tarnproxy.conf",
                "[Main]\nlistenerThreads=" + std::to_string(LISTENER_THREADS) + "\n");
  sb.start();
  ASSERT_TRUE(sb.wait_for_output("Listening on", 10s)) << sb.err();
  const std::string socket_path = sb.dir() + "/vextal/tarnproxy/socket/tarnproxy";

  // The site without clients first, so that the figures below are the
  // clients' alone and not the cache's or the site's.
  auto first = control_call(socket_path, request(false), 30s);
  ASSERT_TRUE(first && first->find(R"("result": "OK")") != std::string::npos)
      << first.value_or("(no answer)") << sb.err();
  const long rss_before = rss_bytes(sb.pid());

  const auto t0 = std::chrono::steady_clock::now();
  auto answer = control_call(socket_path, request(true), 120s);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_TRUE(answer && answer->find(R"("result": "OK")") != std::string::npos)
      << answer.value_or("(no answer)") << sb.err();

  // Every client is up, with all its listener threads, when "OK" arrives.
  EXPECT_EQ(threads_named(sb.pid(), "udp-"), CLIENTS * LISTENER_THREADS);
  auto state =
      control_call(socket_path, R"({"jsonrpc": "2.0", "method": "context-state", "id": 1})", 10s);
  ASSERT_TRUE(state);
  EXPECT_EQ(array_length(*state, "clients"), static_cast<size_t>(CLIENTS)) << *state;

  const long rss_after = rss_bytes(sb.pid());
  // Each listener thread maps a receive and a transmit ring.
  const long rings =
      static_cast<long>(CLIENTS) * LISTENER_THREADS * 2 * PMMAP_BLOCK_SIZE * PMMAP_BLOCK_COUNT;
  const double per_client = static_cast<double>(rss_after - rss_before - rings) / CLIENTS;
  printf(
      "configure_site with %d clients: %.3f s to OK; RSS %.1f MiB -> %.1f MiB; rings %.1f MiB; "
      "%.1f KiB per client beyond rings\n",
      CLIENTS, seconds, rss_before / 1048576.0, rss_after / 1048576.0, rings / 1048576.0,
      per_client / 1024);
  ::testing::Test::RecordProperty("seconds_to_ok", std::to_string(seconds));
  ::testing::Test::RecordProperty("kib_per_client_beyond_rings", std::to_string(per_client / 1024));
  EXPECT_LE(per_client, 1048576.0);

  // Removing the clients stops every thread they started.
  const auto t1 = std::chrono::steady_clock::now();
  auto removed = control_call(socket_path, request(false), 60s);
  printf("removing the %d clients: %.3f s to OK\n", CLIENTS,
         std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count());
  ASSERT_TRUE(removed && removed->find(R"("result": "OK")") != std::string::npos)
      << removed.value_or("(no answer)");
  EXPECT_EQ(threads_named(sb.pid(), "udp-"), 0);
  ASSERT_TRUE(sb.send_signal(SIGTERM));
  auto exit = sb.wait_exit(30s);
  ASSERT_TRUE(exit.has_value());
  EXPECT_TRUE(exit->exited && exit->code == 0) << *exit << sb.err();
}

}  // namespace
