// The daemon's resident memory per client, beyond its packet rings, against
// the daemon with the site and no clients, in the same run:
//   rss/site_only    the daemon in its sandbox and a network namespace of its
//                    own, after configure_site with the site and no clients
//   rss/64_clients   the same site with 64 clients, each on a veth interface
//                    of its own, with the default configuration (four
//                    listener threads each, listenerRingKiB 512)
// Counters: rss_MiB (VmRSS), rings_MiB (what the rings map: each listener
// thread a receive and a transmit ring; the daemon's "ring_bytes", or where
// it reports none, two 512 KiB rings a thread), ring_KiB_per_client, and
// KiB_per_client beyond the rings; the time is the configure_site call's, to
// its "OK". After the table the ratio of RSS with clients to the baseline is
// printed. --mtu=N sets the veths' MTU (default 1500).
//
// Needs root: run as `sudo build/release/bench/client_memory_bench [--mtu=9000]`.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "median_reporter.h"
#include "net/pmmap.h"
#include "support/control.h"
#include "support/netns.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;

constexpr int CLIENTS = 64;
constexpr int LISTENER_THREADS = 4;  // the default
constexpr const char* SITE = "6a6a6a6a-0000-4000-8000-000000000001";

tarn_test::sandbox* daemon_box = nullptr;
long baseline_rss = -1;

std::string request(int clients) {
  std::string list;
  for (int i = 0; i < clients; i++) {
    char entry[200];
    snprintf(entry, sizeof entry,
             R"(%s{"uuid": "6c6c6c6c-0000-4000-8000-%012d", "mac": "02:00:00:00:0b:%02x", )"
             R"("prepopulate": false, "interface": "s%d"})",
             i ? ", " : "", i, i, i);
    list += entry;
  }
  return R"({"jsonrpc": "2.0", "method": "configure_site", "id": 7, "params": {"site_uuid": ")" +
         std::string(SITE) +
         R"(", "vdi": "6d6d6d6d-0000-4000-8000-000000000001", "servers": [{"uuid": )"
         R"("6e6e6e6e-0000-4000-8000-000000000001", "addresses": ["198.18.0.20"], )"
         R"("first_port": 6900, "last_port": 6910}], "clients": [)" +
         list + "]}}";
}

long rss_bytes(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6)) * 1024;
  }
  return -1;
}

void configure(benchmark::State& state, int clients) {
  const std::string socket_path = daemon_box->dir() + "/vextal/tarnproxy/socket/tarnproxy";
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    auto answer = tarn_test::control_call(socket_path, request(clients), 120s);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!answer || answer->find(R"("result": "OK")") == std::string::npos) {
      state.SkipWithError("configure_site failed");
      break;
    }
    // Listener threads settle their rings right after the answer.
    std::this_thread::sleep_for(500ms);
    const long rss = rss_bytes(daemon_box->pid());
    tarn_test::json_value metrics = tarn_test::control_result(socket_path, "metrics");
    const int64_t reported =
        metrics ? tarn_test::json_path_int(metrics.get(), {"server_metrics", "ring_bytes"}) : -1;
    const double rings =
        reported >= 0 ? static_cast<double>(reported)
                      : static_cast<double>(clients) * LISTENER_THREADS * PMMAP_LISTENER_RING_BYTES;
    state.SetIterationTime(seconds);
    state.counters["rss_MiB"] = rss / 1048576.0;
    state.counters["rings_MiB"] = rings / 1048576.0;
    if (clients == 0) {
      baseline_rss = rss;
    } else if (baseline_rss > 0) {
      state.counters["KiB_per_client"] =
          (static_cast<double>(rss - baseline_rss) - rings) / clients / 1024.0;
      state.counters["ring_KiB_per_client"] = rings / clients / 1024.0;
    }
  }
}

void BM_site_only(benchmark::State& state) {
  configure(state, 0);
}
void BM_clients(benchmark::State& state) {
  configure(state, CLIENTS);
}

BENCHMARK(BM_site_only)->Name("rss/site_only")->Iterations(1)->UseManualTime();
BENCHMARK(BM_clients)->Name("rss/64_clients")->Iterations(1)->UseManualTime();

std::string run_key(const benchmark::BenchmarkReporter::Run& run) {
  return run.run_name.function_name;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  int mtu = 1500;
  for (int i = 1; i < argc; i++) {
    if (std::strncmp(argv[i], "--mtu=", 6) == 0) mtu = std::atoi(argv[i] + 6);
  }
  if (geteuid() != 0) {
    std::fprintf(stderr, "client_memory_bench: needs root (namespaces); nothing measured\n");
    return 0;
  }
  int rc = 0;
  try {
    tarn_test::netns ns("membench");
    // One batch for all 128 veth ends: far quicker than 128 runs of ip.
    std::string batch;
    for (int i = 0; i < CLIENTS; i++) {
      const std::string s = "s" + std::to_string(i);
      batch += "link add " + s + " mtu " + std::to_string(mtu) + " type veth peer name " + s +
               "p mtu " + std::to_string(mtu) + "\nlink set " + s + " up\nlink set " + s + "p up\n";
    }
    if (ns.run("ip -batch - <<'EOF'\n" + batch + "EOF") != 0) {
      throw std::runtime_error("cannot create the veth pairs");
    }
    tarn_test::sandbox sb;
    sb.set_net_ns(ns.name());
    sb.write_file("/etc/tarnproxy.conf", "[Main]\n");
    sb.start();
    if (!sb.wait_for_output("Listening on", 10s)) throw std::runtime_error("daemon did not start");
    daemon_box = &sb;
    median_reporter reporter("rss_MiB", run_key);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double base = reporter.median("rss/site_only");
    const double with = reporter.median("rss/64_clients");
    if (base > 0 && with > 0) {
      std::printf(
          "\nMTU %d: RSS with %d clients %.1f MiB, site alone %.1f MiB (ratio %.2f, same run)\n",
          mtu, CLIENTS, with, base, with / base);
    }
    daemon_box = nullptr;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "client_memory_bench: %s\n", e.what());
    rc = 1;
  }
  benchmark::Shutdown();
  return rc;
}
