// One configure_site request with 64 clients, each on a veth interface of its
// own, against the production daemon in its sandbox and a network namespace
// of the test's own. Every client must be up with its listener threads when
// the "OK" arrives, and each client may cost at most 1 MiB of resident memory
// beyond its packet rings. The time to "OK" and the memory figures are printed.
// (That removal stops every client thread: site_commands_root_test.cc.)
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

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

std::string request(bool with_clients) {
  std::string clients;
  for (int i = 0; with_clients && i < CLIENTS; i++) {
    char entry[160];
    snprintf(entry, sizeof entry,
             R"(%s{"uuid": "6c6c6c6c-0000-4000-8000-%012d", "mac": "02:00:00:00:0b:%02x", )"
             R"("prepopulate": false, "interface": "s%d"})",
             i ? ", " : "", i, i, i);
    clients += entry;
  }
  return R"({"jsonrpc": "2.0", "method": "configure_site", "id": 7, "params": {"site_uuid": )"
         R"("6a6a6a6a-0000-4000-8000-000000000001", "vdi": "6d6d6d6d-0000-4000-8000-000000000001", )"
         R"("servers": [{"uuid": "6e6e6e6e-0000-4000-8000-000000000001", "addresses": )"
         R"(["198.18.0.20"], "first_port": 6900, "last_port": 6910}], "clients": [)" +
         clients + "]}}";
}

bool ok(const std::optional<std::string>& answer) {
  return answer && answer->find(R"("result": "OK")") != std::string::npos;
}

// Resident memory of the process, in bytes.
long rss_bytes(pid_t pid) {
  long size = 0, resident = -1;
  std::ifstream("/proc/" + std::to_string(pid) + "/statm") >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// Threads of the process whose name starts with "udp-": the listener threads.
int listener_threads(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "comm");
    std::string name;
    std::getline(in, name);
    if (name.rfind("udp-", 0) == 0) n++;
  }
  return n;
}

TEST(SiteCommandsScale, SixtyFourClientsInOneRequest) {
  TARN_REQUIRE_ROOT();
  tarn_test::netns ns("scale");
  // One batch for all 128 veth ends: far quicker than 128 runs of ip.
  ASSERT_EQ(ns.run("for i in $(seq 0 " + std::to_string(CLIENTS - 1) +
                   "); do echo \"link add s$i type veth peer name s${i}p\"; echo \"link set s$i "
                   "up\"; echo \"link set s${i}p up\"; done | ip -batch -"),
            0);
  tarn_test::sandbox sb;
  sb.set_net_ns(ns.name());
  sb.write_file("/etc/tarnproxy.conf",
                "[Main]\nlistenerThreads=" + std::to_string(LISTENER_THREADS) + "\n");
  sb.start();
  ASSERT_TRUE(sb.wait_for_output("Listening on", 10s)) << sb.err();
  const std::string socket_path = sb.dir() + "/vextal/tarnproxy/socket/tarnproxy";

  // The site without clients first, so that the figures below are the
  // clients' alone and not the cache's or the site's.
  ASSERT_TRUE(ok(control_call(socket_path, request(false), 30s))) << sb.err();
  const long rss_before = rss_bytes(sb.pid());
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(ok(control_call(socket_path, request(true), 120s))) << sb.err();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  // Every client is up, with all its listener threads, when "OK" arrives.
  EXPECT_EQ(listener_threads(sb.pid()), CLIENTS * LISTENER_THREADS);

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
  EXPECT_LE(per_client, 1048576.0);
}

}  // namespace
