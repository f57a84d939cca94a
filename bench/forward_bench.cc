// Forwarding throughput in the network lab (scripts/lab), measured in one run:
//   direct     the lab with the steering removed: client and server talk
//              straight through the host's switch, nothing forwards
//   baseline   a minimal TPACKET_V2 forwarder (ring_forwarder.h) on the
//              client's proxy port, with the daemon's rings, filter and fanout
//   pmmap      the daemon's packet-mmap listeners (pmmap_listener)
//   ovs        the daemon's Open vSwitch listeners (ovs_listener, raw sends)
// for payloads of 64 and 1472 bytes and 1 and 2 listener threads (fanout
// hash). The client keeps WINDOW requests outstanding on each of FLOWS
// sockets; the server echoes each; one iteration is one answered request,
// so two datagrams forwarded. Counters: dgram_per_s (datagrams forwarded per
// second), stalls (times no answer came within 50 ms: the window is then
// refilled, so a stall means lost datagrams), kdrops (frames the kernel
// dropped on the forwarder's receive side), txdrops (frames the forwarder
// could not send). After the table the ratios are printed.
//
// Needs root: run as `sudo build/release/bench/forward_bench`.
#include <benchmark/benchmark.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "contexts/proxy_context.h"
#include "core/log.h"
#include "median_reporter.h"
#include "net/interface_thread.h"
#include "net/ovs.h"
#include "net/pmmap.h"
#include "net/udp.h"
#include "ring_forwarder.h"
#include "support/lab.h"
#include "support/wire_builder.h"

namespace {

constexpr uint16_t SERVER_PORT = 6901;
constexpr int FLOWS = 4;
constexpr int WINDOW = 4;  // outstanding requests per flow
constexpr int STALL_MS = 50;

tarn_test::lab* the_lab = nullptr;
bool steered = true;

// The server: echoes every datagram to its sender until told to stop.
struct echo_server {
  unique_fd fd;
  std::atomic<bool> stop{false};
  std::thread thread;

  bool start() {
    fd = the_lab->udp_socket(the_lab->server_ns(), the_lab->server_ip(), SERVER_PORT);
    if (!fd) return false;
    thread = std::thread([this] {
      constexpr int BATCH = 32;
      static uint8_t bufs[BATCH][2048];
      struct mmsghdr msgs[BATCH];
      struct iovec iov[BATCH];
      struct sockaddr_in from[BATCH];
      while (!stop.load(std::memory_order_relaxed)) {
        struct pollfd p = {fd.get(), POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        for (int i = 0; i < BATCH; i++) {
          iov[i] = {bufs[i], sizeof bufs[i]};
          msgs[i].msg_hdr = {};
          msgs[i].msg_hdr.msg_iov = &iov[i];
          msgs[i].msg_hdr.msg_iovlen = 1;
          msgs[i].msg_hdr.msg_name = &from[i];
          msgs[i].msg_hdr.msg_namelen = sizeof from[i];
        }
        int n = recvmmsg(fd.get(), msgs, BATCH, MSG_DONTWAIT, nullptr);
        if (n <= 0) continue;
        for (int i = 0; i < n; i++) iov[i].iov_len = msgs[i].msg_len;
        sendmmsg(fd.get(), msgs, static_cast<unsigned>(n), 0);
      }
    });
    return true;
  }
  void finish() {
    stop = true;
    if (thread.joinable()) thread.join();
  }
};

echo_server* server = nullptr;
std::vector<unique_fd>* clients = nullptr;

// The daemon's listeners on client 1's proxy port, started as the interface
// threads start them.
class daemon_listeners {
 public:
  bool start(tlt_function fn, int threads) {
    ctx_.listener_threads = threads;
    ctx_.listener_fanout = PACKET_FANOUT_HASH;
    cc_.uuid = "b0000000-0000-4000-8000-000000000001";
    cc_.mac = the_lab->client_mac(1);
    cc_.interface = the_lab->client_if(1);
    for (int i = 0; i < threads; i++) {
      auto t = std::make_unique<tlt_context>();
      t->name = "udp-" + cc_.interface + "-" + std::to_string(i);
      t->interface = cc_.interface;
      t->client = &cc_;
      t->fanout_group_id = 0x55;
      t->efd = eventfd(0, EFD_CLOEXEC);
      t->status_efd = eventfd(0, EFD_CLOEXEC);
      t->context = &ctx_;
      tlt_context* raw = t.get();
      const std::string ns = the_lab->host_ns();
      t->thread = std::thread([raw, fn, ns] {
        tarn_test::lab_enter in(ns);
        fn(raw);
      });
      tlts_.push_back(std::move(t));
    }
    for (auto& t : tlts_) {
      struct pollfd p = {t->status_efd, POLLIN, 0};
      eventfd_t v = 0;
      if (poll(&p, 1, 10000) != 1 || eventfd_read(t->status_efd, &v) != 0 ||
          v != INTERFACE_THREAD_READY) {
        return false;
      }
    }
    return true;
  }
  void finish() {
    for (auto& t : tlts_) {
      listener_counts c;
      if (listener_stats_get(t.get(), &c)) {
        kdrops += c.kernel_drops;
        txdrops += c.tx_dropped;
      }
    }
    for (auto& t : tlts_) {
      eventfd_write(t->efd, INTERFACE_THREAD_STOP);
      if (t->thread.joinable()) t->thread.join();
      close(t->efd);
      close(t->status_efd);
    }
    tlts_.clear();
  }
  // Drops counted before the final PACKET_STATISTICS read at exit are seen.
  uint64_t kdrops = 0, txdrops = 0;

 private:
  proxy_context ctx_;
  client_context cc_;
  std::vector<std::unique_ptr<tlt_context>> tlts_;
};

enum forward_path { DIRECT, BASELINE, PMMAP, OVS };
const char* path_names[] = {"direct", "baseline", "pmmap", "ovs"};

// Keeps WINDOW requests outstanding per flow; one iteration per answer.
void run_traffic(benchmark::State& state, size_t payload, uint64_t* stalls) {
  std::vector<uint8_t> req(payload, 0x3c);
  if (payload > 2) req[2] = 0;  // never a protocol message
  std::vector<uint8_t> buf(2048);
  const sockaddr_in to = tarn_test::address(the_lab->server_ip().c_str(), SERVER_PORT);
  auto prime = [&] {
    for (auto& c : *clients) {
      for (int k = 0; k < WINDOW; k++) {
        sendto(c.get(), req.data(), req.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
      }
    }
  };
  struct pollfd p[FLOWS];
  for (int i = 0; i < FLOWS; i++) p[i] = {(*clients)[static_cast<size_t>(i)].get(), POLLIN, 0};
  prime();
  size_t next = 0;
  for (auto _ : state) {
    for (;;) {
      const int fd = (*clients)[next].get();
      next = (next + 1) % FLOWS;
      if (recv(fd, buf.data(), buf.size(), MSG_DONTWAIT) >= 0) {
        sendto(fd, req.data(), req.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        break;
      }
      if (next == 0 && poll(p, FLOWS, STALL_MS) == 0) {
        ++*stalls;
        prime();
      }
    }
  }
  // Let the last answers arrive, so that they do not count for the next run.
  for (int quiet = 0; quiet < 3;) {
    quiet = poll(p, FLOWS, 20) == 0 ? quiet + 1 : 0;
    for (auto& c : *clients) {
      while (recv(c.get(), buf.data(), buf.size(), MSG_DONTWAIT) >= 0) {
      }
    }
  }
}

void bm_forward(benchmark::State& state, forward_path path, size_t payload, int threads) {
  if (steered != (path != DIRECT)) {
    steered = path != DIRECT;
    if (!the_lab->steer(steered)) {
      state.SkipWithError("scripts/lab steer failed");
      return;
    }
  }
  ring_forwarder base;
  daemon_listeners listeners;
  bool ok = true;
  if (path == BASELINE)
    ok = base.start(the_lab->host_ns(), the_lab->client_if(1), the_lab->client_mac(1), threads,
                    PACKET_FANOUT_HASH);
  if (path == PMMAP) ok = listeners.start(pmmap_listener, threads);
  if (path == OVS) ok = listeners.start(ovs_listener, threads);
  if (!ok) {
    base.finish();
    listeners.finish();
    state.SkipWithError("cannot start the forwarder");
    return;
  }
  uint64_t stalls = 0;
  run_traffic(state, payload, &stalls);
  base.finish();
  listeners.finish();
  state.counters["dgram_per_s"] = benchmark::Counter(2.0 * static_cast<double>(state.iterations()),
                                                     benchmark::Counter::kIsRate);
  state.counters["stalls"] = static_cast<double>(stalls);
  state.counters["kdrops"] = static_cast<double>(base.kdrops + listeners.kdrops);
  state.counters["txdrops"] = static_cast<double>(listeners.txdrops);
}

std::string run_key(const benchmark::BenchmarkReporter::Run& run) {
  return run.run_name.function_name;
}

std::string bench_name(forward_path path, size_t payload, int threads) {
  return std::string("forward/") + path_names[path] + "/" + std::to_string(payload) + "/" +
         std::to_string(threads);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (geteuid() != 0) {
    std::fprintf(stderr, "forward_bench: needs root (network namespaces); nothing measured\n");
    return 0;
  }
  // The listeners log every start and stop; only warnings matter here.
  g_log_set_writer_func(
      [](GLogLevelFlags level, const GLogField* fields, gsize n, gpointer data) {
        if ((level & (G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG)) != 0) {
          return G_LOG_WRITER_HANDLED;
        }
        return log_writer(level, fields, n, data);
      },
      nullptr, nullptr);

  int rc = 0;
  try {
    tarn_test::lab lab;
    the_lab = &lab;
    if (!lab.route_through_proxy_port(1)) throw std::runtime_error("host routes");
    echo_server srv;
    if (!srv.start()) throw std::runtime_error("server socket");
    server = &srv;
    std::vector<unique_fd> cls;
    for (int i = 0; i < FLOWS; i++) {
      cls.push_back(
          lab.udp_socket(lab.client_ns(1), lab.client_ip(1), static_cast<uint16_t>(41001 + i)));
      if (!cls.back()) throw std::runtime_error("client socket");
    }
    clients = &cls;

    const size_t payloads[] = {64, 1472};
    for (size_t payload : payloads) {
      benchmark::RegisterBenchmark(bench_name(DIRECT, payload, 1).c_str(), bm_forward, DIRECT,
                                   payload, 1)
          ->UseRealTime();
      for (int threads : {1, 2}) {
        for (forward_path path : {BASELINE, PMMAP, OVS}) {
          benchmark::RegisterBenchmark(bench_name(path, payload, threads).c_str(), bm_forward, path,
                                       payload, threads)
              ->UseRealTime();
        }
      }
    }
    median_reporter reporter("dgram_per_s", run_key);
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nforwarding throughput ratios (medians, same run):\n");
    std::printf("%-8s %-7s %12s %12s %12s %12s %12s\n", "payload", "threads", "pmmap/base",
                "ovs/base", "base/direct", "pmmap/direct", "ovs/direct");
    for (size_t payload : payloads) {
      const double direct = reporter.median(bench_name(DIRECT, payload, 1));
      for (int threads : {1, 2}) {
        const double base = reporter.median(bench_name(BASELINE, payload, threads));
        const double pm = reporter.median(bench_name(PMMAP, payload, threads));
        const double ovs = reporter.median(bench_name(OVS, payload, threads));
        auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
        std::printf("%-8zu %-7d %12.2f %12.2f %12.2f %12.2f %12.2f\n", payload, threads,
                    ratio(pm, base), ratio(ovs, base), ratio(base, direct), ratio(pm, direct),
                    ratio(ovs, direct));
      }
    }
    srv.finish();
    the_lab = nullptr;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "forward_bench: %s\n", e.what());
    rc = 1;
  }
  benchmark::Shutdown();
  return rc;
}
