#include "core/daemon.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>

#include "cache/bootset.h"
#include "cache/cachemanager.h"
#include "contexts/proxy_context.h"
#include "control/lifecycle.h"
#include "control/unixsocket.h"
#include "core/config.h"
#include "core/log.h"
#include "core/notify.h"
#include "core/service_thread.h"
#include "metrics/rrd.h"
#include "net/interface_thread.h"
#include "protocol/opcodes.h"
#include "protocol/tarn.h"

GRand* tarn_rand = nullptr;

namespace {

// The signal may be handled on any thread, where volatile sig_atomic_t orders
// nothing; a lock-free atomic is both signal-safe and seen by main.
std::atomic<int> exit_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void install_handler(int signum) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handle_sigterm;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: main's sleep ends at once.
  sa.sa_flags = 0;
  sigaction(signum, &sa, nullptr);
}

// SIGTERM and SIGINT go to main only. They are blocked before the first
// thread exists, so every thread inherits the block (GLib's pool threads
// too), and main unblocks them once it waits. A worker's system call is then
// never cut short by them, and the handler runs on the thread that reads the
// flag: a handler parked on a thread asleep in a futex may otherwise never
// run where signal delivery is deferred (as under ThreadSanitizer).
void mask_exit_signals(int how) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  int rc = pthread_sigmask(how, &set, nullptr);
  if (rc != 0) g_error("pthread_sigmask: %s", g_strerror(rc));
}

void thread_trampoline(service_thread* record, void (*fn)(service_thread*)) {
  // The kernel keeps at most 15 characters of a thread name.
  char name[16];
  g_strlcpy(name, record->name, sizeof name);
  pthread_setname_np(pthread_self(), name);
  fn(record);
}

}  // namespace

void service_thread_start(service_thread* record, void (*fn)(service_thread*)) {
  record->handle = std::thread(thread_trampoline, record, fn);
}

void handle_sigterm(int /*signum*/) {
  exit_signal.store(1, std::memory_order_release);
}

int tarnproxy_main() {
  mask_exit_signals(SIG_BLOCK);
  auto context = std::make_unique<proxy_context>();
  log_init();

  tarn_rand = g_rand_new_with_seed(static_cast<guint32>(time(nullptr)));
  context->stopping = 0;

  int prepop_io_threads = config_load(context.get(), CONFIG_PATH);

  context->opcode_names = opcode_names_create();

  GError* error = nullptr;
  context->prepop_pool =
      g_thread_pool_new(tarn_prepop_thread, context.get(), prepop_io_threads, FALSE, &error);
  if (context->prepop_pool == nullptr) {
    g_clear_error(&error);
    g_error("Failed to create prepopulation IO thread pool");
  }

  interface_thread_init(context.get());
  site_contexts_init(context.get());
  server_contexts_init(context.get());
  client_contexts_init(context.get());
  vdisk_contexts_init(context.get());

  // Installed before the first service thread starts, so that a SIGTERM or
  // SIGINT during start-up leads to an orderly shutdown once start-up is done
  // instead of killing the daemon with its caches half opened.
  install_handler(SIGTERM);
  install_handler(SIGINT);

  // Before the threads start: the state replay creates clients, and each
  // opens its status source at this path.
  rrd_set_path(RRD_PATH);
  rrd_remove_stale_files();

  service_thread cachemanager{"CacheManager", -1, context.get(), {}};
  service_thread rrd{"RRD", -1, context.get(), {}};
  service_thread unixsocket{"Unixsocket", -1, context.get(), {}};
  service_thread_start(&cachemanager, cachemanager_thread);
  service_thread_start(&rrd, rrd_thread);

  // Without this descriptor the unixsocket thread could never be told to
  // stop and shutdown would hang, so a failure here is fatal.
  unixsocket.efd = eventfd(0, 0);
  if (unixsocket.efd < 0) {
    g_error("Unable to create the unixsocket thread's eventfd: %s", g_strerror(errno));
  }
  service_thread_start(&unixsocket, unixsocket_thread);
  // A signal that came during start-up was kept pending and is taken now.
  mask_exit_signals(SIG_UNBLOCK);

  // Until start-up is complete the flag is looked at ten times a second, so
  // that the service manager hears of it promptly; afterwards once a second.
  bool ready = false;
  while (exit_signal.load(std::memory_order_acquire) == 0) {
    if (!ready && context->sites_restored.load() != 0) {
      ready = true;
      notify_send(NOTIFY_READY);
    }
    if (ready) {
      sleep(1);
    } else {
      usleep(100 * 1000);
    }
  }

  g_message("Received exit signal - shutting down.");
  notify_send(NOTIFY_STOPPING);
  context->stopping = 1;

  uint64_t stop = SERVICE_THREAD_STOP;
  if (write(unixsocket.efd, &stop, sizeof stop) != static_cast<ssize_t>(sizeof stop)) {
    g_warning("unixsocket thread: failed to write to eventfd");
  }
  g_message("Joining unixsocket thread");
  unixsocket.handle.join();
  if (close(unixsocket.efd) != 0) {
    g_warning("Unable to close unixsocketThread.efd: %s", g_strerror(errno));
  }

  g_message("Joining RRD thread");
  rrd.handle.join();

  cachemanager_signal(context.get());
  g_message("Joining Cache Manager thread");
  cachemanager.handle.join();

  g_message("Destroying contexts");
  client_contexts_destroy(context.get());
  // With the listeners gone nothing pushes jobs any more. Running ones see
  // `stopping` and end within a wait; they must be gone before the caches
  // are synced and marked clean, or a late write could follow the mark.
  g_thread_pool_free(context->prepop_pool, TRUE, TRUE);
  context->prepop_pool = nullptr;
  // What the vDisks' boots taught since the last pass.
  boot_sets_flush(context.get(), nullptr);
  vdisk_contexts_destroy(context.get());
  server_contexts_destroy(context.get());
  site_contexts_destroy(context.get());

  g_message("Destroying interface threads");
  interface_thread_destroy(context.get());

  context->opcode_names.reset();
  g_rand_free(tarn_rand);
  tarn_rand = nullptr;
  return 0;
}
