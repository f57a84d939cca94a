#include "core/config.h"

#include <glib.h>
#include <linux/if_packet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "contexts/proxy_context.h"

namespace {

struct key_default {
  const char* key;
  const char* value;
};

// In the order the keys are read.
constexpr key_default config_defaults[] = {
    {"listenerThreads", "4"},
    {"prepopIoThreads", "4"},
    {"listenerFanout", "cbpf"},
    {"packetMmap", "1"},
    // Not a classic key: the memory of each of a listener thread's rings.
    // 512 KiB holds 256 frames at an MTU of 1,500: four MIO replies of 32
    // fragments, the client's own reads and slack.
    {"listenerRingKiB", "512"},
    {"cacheMonitorIntervalInS", "5"},
    {"cacheStartPurgeFreeSpace", "0.05"},
    {"cacheStartPurgeFreeInodes", "0.05"},
    {"cacheGoalPurgeFreeSpace", "0.15"},
    {"cacheGoalPurgeFreeInodes", "0.15"},
    {"arpProxy", "0"},
    // Not a classic key: a VM's miss that another VM's read in flight
    // covers waits for that read's reply instead of asking the server again.
    {"collapseForwarding", "1"},
    {"workaroundMigrateFreeze", "1"},
    // Not one of the classic keys: how long after any client is linked no
    // prepopulation runs. Lab tests shorten it; operators rarely need to.
    {"prepopHoldOffInS", "90"},
    // Also not a classic key: how long a cache VDI script may run before it
    // is killed and its site operation fails.
    {"cacheVdiTimeoutInS", "120"},
};

struct key_file_deleter {
  void operator()(GKeyFile* k) const { g_key_file_free(k); }
};

// Aborts with the key's own message when the getter reported an error.
void check(GError* error, const char* key) {
  if (error == nullptr) return;
  g_error("Unable to interpret %s: %s", key, error->message);
}

int get_int(GKeyFile* kf, const char* key) {
  GError* error = nullptr;
  int v = g_key_file_get_integer(kf, CONFIG_GROUP, key, &error);
  check(error, key);
  return v;
}

double get_double(GKeyFile* kf, const char* key) {
  GError* error = nullptr;
  double v = g_key_file_get_double(kf, CONFIG_GROUP, key, &error);
  check(error, key);
  return v;
}

bool get_bool(GKeyFile* kf, const char* key) {
  GError* error = nullptr;
  gboolean v = g_key_file_get_boolean(kf, CONFIG_GROUP, key, &error);
  check(error, key);
  return v != FALSE;
}

uint32_t fanout_mode(const char* s) {
  if (strcmp(s, "hash") == 0) return PACKET_FANOUT_HASH;
  if (strcmp(s, "lb") == 0) return PACKET_FANOUT_LB;
  if (strcmp(s, "cpu") == 0) return PACKET_FANOUT_CPU;
  if (strcmp(s, "cbpf") == 0) return PACKET_FANOUT_CBPF;
  g_error("Unrecognised listenerFanout string '%s'", s);
}

// Truncates toward zero into 32 bits; an out-of-range value is clamped rather
// than left to undefined behaviour.
int32_t truncate_to_int32(double v) {
  if (!(v == v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

}  // namespace

int config_load(proxy_context* context, const char* path) {
  std::unique_ptr<GKeyFile, key_file_deleter> kf(g_key_file_new());
  if (g_key_file_load_from_file(kf.get(), path, G_KEY_FILE_NONE, nullptr)) {
    g_message("Config file %s found.", path);
  } else {
    g_message("Config file %s not found; using defaults.", path);
  }
  for (const key_default& d : config_defaults) {
    if (!g_key_file_has_key(kf.get(), CONFIG_GROUP, d.key, nullptr)) {
      g_key_file_set_value(kf.get(), CONFIG_GROUP, d.key, d.value);
    }
  }
  GKeyFile* k = kf.get();

  context->listener_threads = get_int(k, "listenerThreads");
  if (context->listener_threads < 1) {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n < 0) g_error("Couldn't query number of online CPUs: %s", g_strerror(errno));
    context->listener_threads = static_cast<int32_t>(n);
  }

  int prepop_io_threads = get_int(k, "prepopIoThreads");

  {
    GError* error = nullptr;
    char* fanout = g_key_file_get_string(k, CONFIG_GROUP, "listenerFanout", &error);
    check(error, "listenerFanout");
    context->listener_fanout = fanout_mode(fanout);
    g_free(fanout);
  }

  context->packet_mmap = get_bool(k, "packetMmap");
  // Below 64 KiB a ring could not hold one read; above 64 MiB it is memory
  // no burst needs.
  context->listener_ring_kib =
      static_cast<uint32_t>(std::clamp(get_int(k, "listenerRingKiB"), 64, 65536));
  context->cache_monitor_interval_s = truncate_to_int32(get_double(k, "cacheMonitorIntervalInS"));
  context->cache_start_purge_free_space =
      static_cast<float>(get_double(k, "cacheStartPurgeFreeSpace"));
  context->cache_start_purge_free_inodes =
      static_cast<float>(get_double(k, "cacheStartPurgeFreeInodes"));
  context->cache_goal_purge_free_space =
      static_cast<float>(get_double(k, "cacheGoalPurgeFreeSpace"));
  context->cache_goal_purge_free_inodes =
      static_cast<float>(get_double(k, "cacheGoalPurgeFreeInodes"));
  context->arp_proxy = get_bool(k, "arpProxy");
  context->collapse_forwarding = get_bool(k, "collapseForwarding");
  context->workaround_migrate_freeze = get_bool(k, "workaroundMigrateFreeze");
  context->prepop_holdoff_us =
      std::max<int64_t>(0, get_int(k, "prepopHoldOffInS")) * G_USEC_PER_SEC;
  context->cache_vdi_timeout_s = std::max(1, get_int(k, "cacheVdiTimeoutInS"));

  // The values in force, after defaults and the CPU count were applied.
  g_info(
      "Configuration: listenerThreads=%d prepopIoThreads=%d listenerFanout=%u packetMmap=%d "
      "listenerRingKiB=%u cacheMonitorIntervalInS=%d cacheStartPurgeFreeSpace=%g "
      "cacheStartPurgeFreeInodes=%g "
      "cacheGoalPurgeFreeSpace=%g cacheGoalPurgeFreeInodes=%g arpProxy=%d collapseForwarding=%d "
      "workaroundMigrateFreeze=%d prepopHoldOffInS=%d cacheVdiTimeoutInS=%d",
      context->listener_threads, prepop_io_threads, context->listener_fanout, context->packet_mmap,
      context->listener_ring_kib, context->cache_monitor_interval_s,
      static_cast<double>(context->cache_start_purge_free_space),
      static_cast<double>(context->cache_start_purge_free_inodes),
      static_cast<double>(context->cache_goal_purge_free_space),
      static_cast<double>(context->cache_goal_purge_free_inodes), context->arp_proxy,
      context->collapse_forwarding, context->workaround_migrate_freeze,
      static_cast<int>(context->prepop_holdoff_us / G_USEC_PER_SEC), context->cache_vdi_timeout_s);
  return prepop_io_threads;
}
