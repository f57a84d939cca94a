// The configuration file loader on arbitrary key files.
//
// A value that cannot be interpreted stops the daemon (g_error, which ends in
// SIGTRAP or SIGABRT); here each load runs on a thread of its own that the abort leaves by a jump,
// so the next input starts clean (GLib's log recursion guard is per thread).
// Checked: a refused file names, in its message, a key that the file sets;
// an accepted one gives usable values, the same on a second load.
#include "core/config.h"

#include <linux/if_packet.h>
#include <setjmp.h>
#include <signal.h>

#include <fstream>
#include <thread>

#include "contexts/proxy_context.h"
#include "fuzz_check.h"

#if defined(__SANITIZE_ADDRESS__)
#define TARN_FUZZ_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARN_FUZZ_LSAN 1
#endif
#endif
#ifdef TARN_FUZZ_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// The keys the daemon reads.
constexpr const char* KEYS[] = {"listenerThreads",
                                "prepopIoThreads",
                                "listenerFanout",
                                "packetMmap",
                                "cacheMonitorIntervalInS",
                                "cacheStartPurgeFreeSpace",
                                "cacheStartPurgeFreeInodes",
                                "cacheGoalPurgeFreeSpace",
                                "cacheGoalPurgeFreeInodes",
                                "arpProxy",
                                "workaroundMigrateFreeze",
                                "prepopHoldOffInS",
                                "cacheVdiTimeoutInS"};

thread_local sigjmp_buf* refusal_jump = nullptr;
thread_local std::string error_message;
struct sigaction previous[2];  // SIGABRT, SIGTRAP

void on_fatal(int sig, siginfo_t* info, void* uctx) {
  if (refusal_jump != nullptr) siglongjmp(*refusal_jump, 1);
  // Not a refusal: whatever handled the signal before (libFuzzer) reports it.
  const struct sigaction& prev = previous[sig == SIGABRT ? 0 : 1];
  if (prev.sa_flags & SA_SIGINFO) {
    prev.sa_sigaction(sig, info, uctx);
  } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
    prev.sa_handler(sig);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

GLogWriterOutput writer(GLogLevelFlags level, const GLogField* fields, gsize n, gpointer) {
  std::string message;
  for (gsize i = 0; i < n; i++)
    if (std::strcmp(fields[i].key, "MESSAGE") == 0)
      message = static_cast<const char*>(fields[i].value);
  if (level & G_LOG_LEVEL_ERROR) {
    error_message = message;
  } else if (level & G_LOG_LEVEL_CRITICAL) {
    std::fprintf(stderr, "critical: %s\n", message.c_str());
    refusal_jump = nullptr;  // a broken precondition is a finding
    std::abort();
  }
  return G_LOG_WRITER_HANDLED;
}

struct outcome {
  bool refused = false;
  std::string message;
  int prepop_io_threads = 0;
  int32_t listener_threads = 0;
  uint32_t listener_fanout = 0;
  int64_t prepop_holdoff_us = 0;
  float start_space = 0, goal_space = 0;
};

// A refusal ends the load midway and leaks what it held, as the daemon's exit
// would; `expect_leaks` keeps those allocations out of the leak check.
outcome load(const std::string& path, bool expect_leaks) {
  outcome out;
  (void)expect_leaks;  // used only with the leak checker
  std::thread([&] {
    proxy_context ctx;
    sigjmp_buf jump;
    if (sigsetjmp(jump, 1) == 0) {
#ifdef TARN_FUZZ_LSAN
      if (expect_leaks) __lsan_disable();
#endif
      refusal_jump = &jump;
      out.prepop_io_threads = config_load(&ctx, path.c_str());
      refusal_jump = nullptr;
      out.listener_threads = ctx.listener_threads;
      out.listener_fanout = ctx.listener_fanout;
      out.prepop_holdoff_us = ctx.prepop_holdoff_us;
      out.start_space = ctx.cache_start_purge_free_space;
      out.goal_space = ctx.cache_goal_purge_free_space;
    } else {
      refusal_jump = nullptr;
      out.refused = true;
      out.message = error_message;
    }
#ifdef TARN_FUZZ_LSAN
    if (expect_leaks) __lsan_enable();
#endif
  }).join();
  return out;
}

struct world {
  fuzz::temp_dir dir{"config"};
  std::string path = dir.path + "/tarnproxy.conf";
  world() {
    g_log_set_writer_func(writer, nullptr, nullptr);
    struct sigaction sa {};
    sa.sa_sigaction = on_fatal;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigaction(SIGABRT, &sa, &previous[0]);
    sigaction(SIGTRAP, &sa, &previous[1]);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static world w;
  std::ofstream(w.path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  const outcome first = load(w.path, true);
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (first.refused) {
    bool named = false;
    for (const char* key : KEYS)
      named = named ||
              (first.message.find(key) != std::string::npos && text.find(key) != std::string::npos);
    if (!named) std::fprintf(stderr, "refused with: %s\n", first.message.c_str());
    FUZZ_CHECK(named);
    return 0;
  }
  FUZZ_CHECK(first.listener_threads >= 1);
  FUZZ_CHECK(
      first.listener_fanout == PACKET_FANOUT_HASH || first.listener_fanout == PACKET_FANOUT_LB ||
      first.listener_fanout == PACKET_FANOUT_CPU || first.listener_fanout == PACKET_FANOUT_CBPF);
  FUZZ_CHECK(first.prepop_holdoff_us >= 0);
  // Loaded again, now with leaks checked: the same file gives the same values.
  const outcome again = load(w.path, false);
  FUZZ_CHECK(!again.refused && again.prepop_io_threads == first.prepop_io_threads &&
             again.listener_threads == first.listener_threads &&
             again.listener_fanout == first.listener_fanout &&
             again.prepop_holdoff_us == first.prepop_holdoff_us &&
             (again.start_space == first.start_space || first.start_space != first.start_space) &&
             (again.goal_space == first.goal_space || first.goal_space != first.goal_space));
  return 0;
}
