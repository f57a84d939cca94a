#include "metrics/rrd.h"

#include <glib.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <span>
#include <string_view>

#include "cache/bootset.h"
#include "contexts/clients.h"
#include "contexts/proxy_context.h"
#include "contexts/vdisks.h"
#include "core/service_thread.h"
#include "core/uuid.h"
#include "metrics/metrics.h"

namespace {

constexpr const char* HOST_PLUGIN = "tarnproxy_host";
constexpr const char* CLIENT_PLUGIN = "tarnproxy_client";
constexpr const char* CLIENT_SOURCE = "tarncache_status";
constexpr std::string_view PROM_FILE_SUFFIX = ".prom";
// The longest the thread sleeps without looking at `stopping`.
constexpr int64_t STOP_POLL_US = 250000;

std::mutex path_mutex;
std::string publication_path;  // empty: publication off

std::string current_path() {
  std::lock_guard<std::mutex> hold(path_mutex);
  return publication_path;
}

uint64_t sample_read_total(void* arg) {
  return metrics_total_reads(static_cast<const metrics_record*>(arg));
}

uint64_t sample_read_hits(void* arg) {
  return metrics_hit_reads(static_cast<const metrics_record*>(arg));
}

uint64_t sample_read_misses(void* arg) {
  return metrics_missed_reads(static_cast<const metrics_record*>(arg));
}

uint64_t sample_int64(void* arg) {
  return static_cast<const std::atomic<uint64_t>*>(arg)->load();
}

uint64_t sample_cache_utilized_p(void* arg) {
  return std::bit_cast<uint64_t>(
      static_cast<const metrics_record*>(arg)->cache_utilized_p.load(std::memory_order_relaxed));
}

uint64_t sample_client_status(void* arg) {
  return static_cast<const client_context*>(arg)->status.load();
}

rrd_source host_source(const char* name, const char* description, const char* units,
                       const char* max, rrd_sample_fn fn, void* arg, const char* owner,
                       int32_t scale, int32_t type) {
  return rrd_source{name, description,    owner, units, "0",  max,     fn,
                    arg,  RRD_OWNER_HOST, 0,     scale, type, nullptr, nullptr};
}

// A read latency histogram, in seconds as Prometheus has it.
void sample_latency(void* arg, rrd_histogram* out) {
  const metrics_histogram_snapshot h =
      metrics_histogram_read(*static_cast<const metrics_histogram*>(arg));
  out->bounds = METRICS_LATENCY_BOUNDS;
  for (size_t i = 0; i < METRICS_LATENCY_BOUNDS; i++) {
    out->le[i] = static_cast<double>(METRICS_LATENCY_BOUNDS_US[i]) / 1e6;
    out->cumulative[i] = h.cumulative[i];
  }
  out->count = h.count;
  out->sum = static_cast<double>(h.sum_ns) / 1e9;
}

const char* const RESULT_LABELS[METRICS_READ_KINDS][3] = {
    {"result", METRICS_READ_KIND_NAMES[0], nullptr},
    {"result", METRICS_READ_KIND_NAMES[1], nullptr},
    {"result", METRICS_READ_KIND_NAMES[2], nullptr},
};

rrd_source latency_source(const char* name, const char* description, metrics_record* m, size_t kind,
                          const char* owner, int32_t owner_kind) {
  return rrd_source{name,
                    description,
                    owner,
                    "seconds",
                    "0",
                    "inf",
                    nullptr,
                    &m->latency[kind],
                    owner_kind,
                    0,
                    RRD_SCALE_DERIVE,
                    RRD_TYPE_HISTOGRAM,
                    RESULT_LABELS[kind],
                    sample_latency};
}

// A client's own sources: its status, its latency histograms and its latest
// boot's figures.
constexpr size_t CLIENT_SOURCES = 1 + METRICS_READ_KINDS + 5;
struct client_sources {
  rrd_source sources[CLIENT_SOURCES];
};

metrics_boot_figures boot_of(void* arg) {
  const auto* cc = static_cast<const client_context*>(arg);
  return metrics_boot_since(&cc->metrics, &cc->boot_mark, g_get_monotonic_time());
}

uint64_t double_bits(double d) {
  return std::bit_cast<uint64_t>(d);
}

rrd_source client_gauge(client_context* cc, const char* name, const char* description,
                        const char* units, const char* max, rrd_sample_fn fn, int32_t type) {
  return rrd_source{name,         description, cc->uuid.c_str(), units, "0",     max,    fn, cc,
                    RRD_OWNER_VM, 0,           RRD_SCALE_GAUGE,  type,  nullptr, nullptr};
}

void client_sources_fill(client_context* cc, rrd_source* out) {
  const int32_t I = RRD_TYPE_INT64;
  const int32_t F = RRD_TYPE_DOUBLE;
  out[0] = client_gauge(cc, CLIENT_SOURCE, "Velorin client status", "status", "4",
                        sample_client_status, I);
  for (size_t k = 0; k < METRICS_READ_KINDS; k++) {
    out[1 + k] = latency_source("tarncache_read_latency_seconds",
                                "Velorin client read service time by how it was served",
                                &cc->metrics, k, cc->uuid.c_str(), RRD_OWNER_VM);
  }
  rrd_source* boot = out + 1 + METRICS_READ_KINDS;
  boot[0] = client_gauge(
      cc, "tarncache_boot_reads", "Velorin client reads since its latest login", "reads", "inf",
      [](void* arg) { return boot_of(arg).reads; }, I);
  boot[1] = client_gauge(
      cc, "tarncache_boot_cache_hit_ratio",
      "Velorin client share of its reads since its latest login served from the cache", "ratio",
      "1",
      [](void* arg) {
        const metrics_boot_figures b = boot_of(arg);
        return double_bits(metrics_ratio(b.hits, b.reads));
      },
      F);
  boot[2] = client_gauge(
      cc, "tarncache_boot_cache_bytes",
      "Velorin client bytes served from the cache since its latest login", "bytes", "inf",
      [](void* arg) { return boot_of(arg).cache_b; }, I);
  boot[3] = client_gauge(
      cc, "tarncache_boot_server_bytes",
      "Velorin client bytes from its server since its latest login", "bytes", "inf",
      [](void* arg) { return boot_of(arg).server_b; }, I);
  boot[4] = client_gauge(
      cc, "tarncache_boot_miss_wait_seconds",
      "Velorin client time its reads waited on the server since its latest login", "seconds", "inf",
      [](void* arg) { return double_bits(static_cast<double>(boot_of(arg).wait_ns) / 1e9); }, F);
}

// One vDisk of a site: its warmth, refreshed by the thread before each
// sample (the samplers run in the same thread, under the handle's lock).
constexpr size_t VDISK_SOURCES = 6;
struct vdisk_series {
  std::string site_uuid, vdisk_key;
  const char* labels[5] = {};
  boot_set_warmth_figures w;
  rrd_source sources[VDISK_SOURCES];
};

const boot_set_warmth_figures& warmth_of(void* arg) {
  return static_cast<const vdisk_series*>(arg)->w;
}

void vdisk_sources_fill(vdisk_series* v, const char* owner) {
  v->labels[0] = "site_uuid";
  v->labels[1] = v->site_uuid.c_str();
  v->labels[2] = "vdisk_key";
  v->labels[3] = v->vdisk_key.c_str();
  v->labels[4] = nullptr;
  const auto gauge = [&](const char* name, const char* description, const char* units,
                         const char* max, rrd_sample_fn fn, int32_t scale, int32_t type) {
    rrd_source s = host_source(name, description, units, max, fn, v, owner, scale, type);
    s.labels = v->labels;
    return s;
  };
  const int32_t G = RRD_SCALE_GAUGE;
  v->sources[0] = gauge(
      "velorin_vdisk_size_bytes", "Velorin vDisk size", "bytes", "inf",
      [](void* arg) { return warmth_of(arg).size; }, G, RRD_TYPE_INT64);
  v->sources[1] = gauge(
      "velorin_vdisk_cached_bytes", "Velorin vDisk bytes cached", "bytes", "inf",
      [](void* arg) { return warmth_of(arg).cached_b; }, G, RRD_TYPE_INT64);
  v->sources[2] = gauge(
      "velorin_vdisk_cached_ratio", "Velorin vDisk share cached", "ratio", "1",
      [](void* arg) {
        return double_bits(metrics_ratio(warmth_of(arg).cached_b, warmth_of(arg).size));
      },
      G, RRD_TYPE_DOUBLE);
  v->sources[3] = gauge(
      "velorin_vdisk_boot_set_bytes", "Velorin vDisk boot set size", "bytes", "inf",
      [](void* arg) { return warmth_of(arg).boot_b; }, G, RRD_TYPE_INT64);
  v->sources[4] = gauge(
      "velorin_vdisk_boot_set_cached_ratio", "Velorin vDisk boot set share cached", "ratio", "1",
      [](void* arg) {
        return double_bits(metrics_ratio(warmth_of(arg).boot_cached_b, warmth_of(arg).boot_b));
      },
      G, RRD_TYPE_DOUBLE);
  v->sources[5] = gauge(
      "velorin_vdisk_evicted_bytes", "Velorin vDisk eviction rate", "bytes/s", "inf",
      [](void* arg) { return warmth_of(arg).evicted_b; }, RRD_SCALE_DERIVE, RRD_TYPE_INT64);
}

using vdisk_series_map = std::map<std::string, std::unique_ptr<vdisk_series>>;

void vdisk_series_remove(rrd_handle* host, vdisk_series& v) {
  for (const rrd_source& s : v.sources) {
    int32_t rc = rrd_del_src(host, &s);
    if (rc != 0) g_warning("Failed in rrd_del_src (%d) for %s", rc, s.name);
  }
}

// Brings the host's vDisk series in line with the vDisk records: new ones
// added, gone ones removed (their series vanish), every one's figures read
// afresh from its bitmaps.
void vdisk_series_sync(proxy_context* context, rrd_handle* host, const char* owner,
                       vdisk_series_map& series) {
  std::set<std::string> live;
  for (const std::shared_ptr<vdisk_context>& vc : vdisk_contexts_all(context)) {
    const std::string key = vdisk_table_key(vc->site_uuid, vc->vdisk_key);
    live.insert(key);
    auto& v = series[key];
    if (!v) {
      v = std::make_unique<vdisk_series>();
      v->site_uuid = vc->site_uuid;
      v->vdisk_key = vc->vdisk_key;
      vdisk_sources_fill(v.get(), owner);
      for (const rrd_source& s : v->sources) {
        int32_t rc = rrd_add_src(host, &s);
        if (rc != 0) g_warning("Failed in rrd_add_src (%d) for %s", rc, s.name);
      }
    }
    v->w = boot_set_warmth(context, vc.get());
  }
  for (auto it = series.begin(); it != series.end();) {
    if (live.contains(it->first)) {
      ++it;
      continue;
    }
    vdisk_series_remove(host, *it->second);
    it = series.erase(it);
  }
}

// Sleeps until `deadline` (monotonic microseconds) or until `stopping` is set.
void sleep_until(const proxy_context* context, int64_t deadline) {
  for (;;) {
    if (context->stopping) return;
    int64_t left = deadline - g_get_monotonic_time();
    if (left <= 0) return;
    g_usleep(static_cast<gulong>(left < STOP_POLL_US ? left : STOP_POLL_US));
  }
}

}  // namespace

void rrd_set_path(const char* path) {
  std::lock_guard<std::mutex> hold(path_mutex);
  publication_path = path != nullptr ? path : "";
}

void rrd_remove_stale_files() {
  const std::string base = current_path();
  if (base.empty()) return;
  const size_t slash = base.rfind('/');
  const std::string dir = base.substr(0, slash + 1);
  const std::string prefix = base.substr(slash + 1) + "-";
  // The library's temporaries: "." and the published name, then a suffix.
  const std::string temporary = "." + base.substr(slash + 1);
  std::unique_ptr<GDir, decltype(&g_dir_close)> d(g_dir_open(dir.c_str(), 0, nullptr), g_dir_close);
  if (!d) return;
  while (const char* name = g_dir_read_name(d.get())) {
    std::string_view rest(name);
    if (!rest.starts_with(temporary)) {
      if (!rest.starts_with(prefix)) continue;
      rest.remove_prefix(prefix.size());
      if (rest.ends_with(PROM_FILE_SUFFIX)) rest.remove_suffix(PROM_FILE_SUFFIX.size());
      // Only "<path>-<uuid>" and its ".prom" twin are a client's.
      if (!uuid_is_valid(std::string(rest).c_str())) continue;
    }
    const std::string path = dir + name;
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
      int err = errno;
      g_warning("Failed to remove stale metrics file %s: %s", path.c_str(), g_strerror(err));
    }
  }
}

std::string rrd_installation_uuid(const char* inventory_path) {
  gchar* contents = nullptr;
  GError* error = nullptr;
  if (!g_file_get_contents(inventory_path, &contents, nullptr, &error)) {
    g_warning("Failed to determine INSTALLATION_UUID. reason: %s (%d)", error->message,
              error->code);
    g_error_free(error);
    return RRD_NULL_UUID;
  }
  std::unique_ptr<gchar, decltype(&g_free)> text(contents, g_free);
  std::unique_ptr<GRegex, decltype(&g_regex_unref)> regex(
      g_regex_new("INSTALLATION_UUID='(.*)'", static_cast<GRegexCompileFlags>(0),
                  static_cast<GRegexMatchFlags>(0), nullptr),
      g_regex_unref);
  GMatchInfo* info = nullptr;
  bool matched = g_regex_match(regex.get(), text.get(), static_cast<GRegexMatchFlags>(0), &info);
  std::unique_ptr<GMatchInfo, decltype(&g_match_info_free)> info_hold(info, g_match_info_free);
  if (!matched) {
    g_warning("Failed to find INSTALLATION_UUID in %s", inventory_path);
    return RRD_NULL_UUID;
  }
  std::unique_ptr<gchar, decltype(&g_free)> uuid(g_match_info_fetch(info, 1), g_free);
  if (!uuid) {
    g_warning("INSTALLATION_UUID is null.");
    return RRD_NULL_UUID;
  }
  // The value names the owner of every host source and lands in the
  // published files, so anything but a UUID (say, a greedy match running on
  // to a later quote) is refused.
  if (!uuid_is_valid(uuid.get())) {
    std::unique_ptr<gchar, decltype(&g_free)> shown(g_strescape(uuid.get(), nullptr), g_free);
    g_warning("INSTALLATION_UUID is not a UUID: '%s'", shown.get());
    return RRD_NULL_UUID;
  }
  return uuid.get();
}

void rrd_host_sources(metrics_record* m, const char* owner, rrd_source out[RRD_HOST_SOURCES]) {
  const int32_t D = RRD_SCALE_DERIVE;
  const int32_t I = RRD_TYPE_INT64;
  out[0] = host_source("velorin_read_total", "Velorin observed read rate", "reads/s", "inf",
                       sample_read_total, m, owner, D, I);
  out[1] = host_source("velorin_read_hits", "Velorin hit rate", "hits/s", "inf", sample_read_hits,
                       m, owner, D, I);
  out[2] = host_source("velorin_read_misses", "Velorin miss rate", "misses/s", "inf",
                       sample_read_misses, m, owner, D, I);
  out[3] =
      host_source("velorin_traffic_client_sent", "Velorin observed network traffic from clients",
                  "bytes/s", "inf", sample_int64, &m->client_sent_b, owner, D, I);
  out[4] =
      host_source("velorin_traffic_server_sent", "Velorin observed network traffic from servers",
                  "bytes/s", "inf", sample_int64, &m->server_sent_b, owner, D, I);
  out[5] = host_source("velorin_traffic_proxy_saved", "Velorin saved network traffic", "bytes/s",
                       "inf", sample_int64, &m->proxy_saved_b, owner, D, I);
  out[6] = host_source("velorin_evicted", "Velorin eviction rate", "bytes/s", "inf", sample_int64,
                       &m->cache_evicted_b, owner, D, I);
  out[7] = host_source("velorin_space_utilization", "Velorin space utilization", "percent", "100",
                       sample_cache_utilized_p, m, owner, RRD_SCALE_GAUGE, RRD_TYPE_DOUBLE);
  out[8] = host_source("velorin_held_reads", "Velorin reads held for a read in flight", "reads/s",
                       "inf", sample_int64, &m->held_reads, owner, D, I);
  out[9] = host_source("velorin_held_answered", "Velorin held reads answered from the cache",
                       "reads/s", "inf", sample_int64, &m->held_answered_reads, owner, D, I);
  out[10] = host_source("velorin_held_timed_out", "Velorin held reads forwarded after all",
                        "reads/s", "inf", sample_int64, &m->held_timed_out_reads, owner, D, I);
  for (size_t k = 0; k < METRICS_READ_KINDS; k++) {
    out[11 + k] = latency_source("velorin_read_latency_seconds",
                                 "Velorin read service time by how it was served", m, k, owner,
                                 RRD_OWNER_HOST);
  }
}

void rrd_thread(service_thread* record) {
  proxy_context* context = record->context;
  g_message("RRD thread started");
  const std::string uuid = rrd_installation_uuid(RRD_INVENTORY_PATH);
  const std::string path = current_path();

  rrd_source sources[RRD_HOST_SOURCES];
  rrd_host_sources(&context->metrics, uuid.c_str(), sources);
  rrd_handle* host = nullptr;
  if (!path.empty()) {
    host = rrd_open(HOST_PLUGIN, 0, path.c_str());
    if (host == nullptr) {
      g_warning("Failed to register rrd");
    } else {
      for (const rrd_source& s : sources) {
        int32_t rc = rrd_add_src(host, &s);
        if (rc != 0) g_warning("Failed in rrd_add_src (%d) for %s", rc, s.name);
      }
    }
  }

  // Deadlines on the monotonic clock keep samples 5 seconds apart however
  // long a sample takes, and a changed wall clock cannot stall the loop.
  const int64_t interval = static_cast<int64_t>(RRD_SAMPLE_INTERVAL_S) * G_USEC_PER_SEC;
  int64_t next = g_get_monotonic_time();
  vdisk_series_map vdisks;
  do {
    if (host != nullptr) {
      vdisk_series_sync(context, host, uuid.c_str(), vdisks);
      int32_t rc = rrd_sample(host, nullptr);
      if (rc != 0) g_warning("Failed rrd_sample (%d)", rc);
    }
    {
      std::shared_lock<std::shared_mutex> hold(context->client_lock);
      if (context->client_context_ht) {
        for (auto& entry : *context->client_context_ht) {
          rrd_client_sample(entry.second.get(), false);
        }
      }
    }
    next += interval;
    // After a stall (a suspended host) go on from now rather than sampling
    // in a burst to catch up.
    if (next < g_get_monotonic_time()) next = g_get_monotonic_time() + interval;
    sleep_until(context, next);
  } while (!context->stopping);

  if (host != nullptr) {
    for (auto& [key, v] : vdisks) vdisk_series_remove(host, *v);
    for (const rrd_source& s : sources) {
      int32_t rc = rrd_del_src(host, &s);
      if (rc != 0) g_warning("Failed in rrd_del_src (%d) for %s", rc, s.name);
    }
    int32_t rc = rrd_close(host);
    if (rc != 0) g_warning("Failed in rrd_close (%d)", rc);
  }
  g_message("RRD Thread stopped");
}

void rrd_client_open(client_context* cc) {
  g_return_if_fail(cc != NULL);
  const std::string base = current_path();
  if (base.empty()) return;
  std::lock_guard<std::mutex> hold(cc->rrd_mutex);
  if (cc->rrd_handle != nullptr) return;
  // The UUID becomes part of a file name.
  if (!uuid_is_valid(cc->uuid.c_str())) {
    g_warning("Client %s - rrd_client_open refused: not a UUID", cc->uuid.c_str());
    return;
  }
  gchar* path = g_strdup_printf("%s-%s", base.c_str(), cc->uuid.c_str());
  rrd_handle* handle = rrd_open(CLIENT_PLUGIN, 0, path);
  if (handle == nullptr) {
    g_warning("Client %s - rrd_client_open failed in rrd_open for %s", cc->uuid.c_str(), path);
    g_free(path);
    return;
  }
  cc->rrd_path = path;
  g_free(path);
  cc->rrd_handle = handle;
  auto sources = std::make_unique<client_sources>();
  client_sources_fill(cc, sources->sources);
  for (const rrd_source& s : sources->sources) {
    // The handle stays open whatever fails; close removes what was added.
    int32_t rc = rrd_add_src(handle, &s);
    if (rc != 0)
      g_warning("Client %s - Failed in rrd_add_src (%d) for %s", cc->uuid.c_str(), rc, s.name);
  }
  cc->rrd_source = sources.release();
}

void rrd_client_close(client_context* cc) {
  g_return_if_fail(cc != NULL);
  std::lock_guard<std::mutex> hold(cc->rrd_mutex);
  if (cc->rrd_handle == nullptr) return;
  auto* handle = static_cast<rrd_handle*>(cc->rrd_handle);
  std::unique_ptr<client_sources> sources(static_cast<client_sources*>(cc->rrd_source));
  for (const rrd_source& s : sources ? sources->sources : std::span<const rrd_source>()) {
    int32_t rc = rrd_del_src(handle, &s);
    // A source whose add failed is not there to remove.
    if (rc != 0 && rc != -ENOENT) {
      g_warning("Client %s - rrd_client_close failed in rrd_del_src (%d) for %s", cc->uuid.c_str(),
                rc, s.name);
    }
  }
  int32_t rc = rrd_close(handle);
  if (rc != 0)
    g_warning("Client %s - rrd_client_close failed in rrd_close (%d)", cc->uuid.c_str(), rc);
  cc->rrd_source = nullptr;
  cc->rrd_handle = nullptr;
  cc->rrd_path.clear();
}

void rrd_client_sample(client_context* cc, bool force) {
  g_return_if_fail(cc != NULL);
  std::lock_guard<std::mutex> hold(cc->rrd_mutex);
  if (cc->rrd_handle == nullptr) return;
  const int64_t now = g_get_monotonic_time();
  if (!force && now - cc->last_rrd_sample <= RRD_CLIENT_INTERVAL_US) return;
  cc->last_rrd_sample = now;
  int32_t rc = rrd_sample(static_cast<rrd_handle*>(cc->rrd_handle), nullptr);
  if (rc != 0) {
    g_warning("Client %s - rrd_client_sample failed rrd_sample (%d)", cc->uuid.c_str(), rc);
  }
}
