// One configure_site request with 64 clients, each on a veth interface of its
// own, against the production daemon in its sandbox and a network namespace
// of the test's own. Every client must be up with its listener threads when
// the "OK" arrives, and each client may cost at most 1 MiB of resident memory
// beyond its packet rings. The time to "OK" and the memory figures are printed.
// (That removal stops every client thread: site_commands_root_test.cc.)
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "net/pmmap.h"
#include "support/control.h"
#include "support/lab.h"
#include "support/netns.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;

constexpr int CLIENTS = 64;
constexpr int LISTENER_THREADS = 2;

// Resident memory of the process, in bytes.
long rss_bytes(pid_t pid) {
  long size = 0, resident = -1;
  std::ifstream("/proc/" + std::to_string(pid) + "/statm") >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// Threads of the process whose name starts with "udp-": the listener threads.
int listener_threads(pid_t pid) {
  std::string count;
  tarn_test::run_shell("cat /proc/" + std::to_string(pid) + "/task/*/comm | grep -c '^udp-'",
                       &count);
  return atoi(count.c_str());
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
  std::vector<tarn_test::site_client> clients;
  for (int i = 0; i < CLIENTS; i++) {
    char mac[18];
    snprintf(mac, sizeof mac, "02:00:00:00:0b:%02x", i);
    clients.push_back({"6c6c6c6c-0000-4000-8000-" + std::to_string(100000000000 + i), mac,
                       "s" + std::to_string(i)});
  }
  auto configure = [&](const std::vector<tarn_test::site_client>& list,
                       std::chrono::seconds limit) {
    return tarn_test::answered_ok(tarn_test::control_call(
        sb.socket_path(),
        tarn_test::site_request("6a6a6a6a-0000-4000-8000-000000000001",
                                "6d6d6d6d-0000-4000-8000-000000000001",
                                "6e6e6e6e-0000-4000-8000-000000000001", {"198.18.0.20"}, list),
        limit));
  };

  // The site without clients first, so that the figures below are the
  // clients' alone and not the cache's or the site's.
  ASSERT_TRUE(configure({}, 30s)) << sb.err();
  const long rss_before = rss_bytes(sb.pid());
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(configure(clients, 120s)) << sb.err();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(listener_threads(sb.pid()), CLIENTS * LISTENER_THREADS);

  const long rss_after = rss_bytes(sb.pid());
  // Each listener thread maps a receive and a transmit ring.
  const long rings =
      static_cast<long>(CLIENTS) * LISTENER_THREADS * 2 * PMMAP_BLOCK_SIZE * PMMAP_BLOCK_COUNT;
  const double per_client = static_cast<double>(rss_after - rss_before - rings) / CLIENTS;
  printf(
      "configure_site with %d clients: %.3f s to OK; RSS %.1f MiB -> %.1f MiB; rings %.1f "
      "MiB; %.1f KiB per client beyond rings\n",
      CLIENTS, seconds, rss_before / 1048576.0, rss_after / 1048576.0, rings / 1048576.0,
      per_client / 1024);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizer's shadow and its per-thread stacks come to about 1 MiB per
  // client by themselves; this bound still catches a gross regression.
  EXPECT_LE(per_client, 2 * 1048576.0);
#else
  EXPECT_LE(per_client, 1048576.0);
#endif
}

}  // namespace
