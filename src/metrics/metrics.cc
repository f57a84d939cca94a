#include "metrics/metrics.h"

#include <glib.h>

#include <algorithm>

#include "metrics/rrdlib.h"

void metrics_add_client_sent_b(metrics_record* global, metrics_record* client, uint32_t bytes) {
  global->client_sent_b.fetch_add(bytes);
  client->client_sent_b.fetch_add(bytes);
}

void metrics_add_server_sent_b(metrics_record* global, metrics_record* client, uint32_t bytes) {
  global->server_sent_b.fetch_add(bytes);
  client->server_sent_b.fetch_add(bytes);
}

void metrics_add_proxy_saved_b(metrics_record* global, metrics_record* client, uint32_t bytes) {
  global->proxy_saved_b.fetch_add(bytes);
  client->proxy_saved_b.fetch_add(bytes);
}

void metrics_increment_cache_hit_reads(metrics_read_block* global, metrics_read_block* client) {
  global->cache_hit_reads.fetch_add(1);
  client->cache_hit_reads.fetch_add(1);
}

void metrics_increment_cache_missed_reads(metrics_read_block* global, metrics_read_block* client) {
  global->cache_missed_reads.fetch_add(1);
  client->cache_missed_reads.fetch_add(1);
}

namespace {
void raise_to(std::atomic<int64_t>& at, int64_t value) {
  int64_t seen = at.load(std::memory_order_relaxed);
  while (value > seen && !at.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}
}  // namespace

void metrics_note_lock_wait(metrics_record* global, metrics_record* client, int64_t ns,
                            bool prepop_job) {
  raise_to(global->lock_wait_max_ns, ns);
  raise_to(client->lock_wait_max_ns, ns);
  if (!prepop_job) return;
  raise_to(global->prepop_lock_wait_max_ns, ns);
  raise_to(client->prepop_lock_wait_max_ns, ns);
}

void metrics_add_kernel_drops(metrics_record* global, metrics_record* client, uint64_t frames) {
  global->kernel_drops.fetch_add(frames);
  client->kernel_drops.fetch_add(frames);
}

void metrics_add_ring_bytes(metrics_record* global, metrics_record* client, int64_t bytes) {
  global->ring_bytes.fetch_add(bytes);
  client->ring_bytes.fetch_add(bytes);
}

void metrics_increment_unhandled_mio(metrics_record* global, metrics_record* client) {
  global->unhandled_mio.fetch_add(1);
  client->unhandled_mio.fetch_add(1);
}

void metrics_set_latency(const struct timespec* start, const struct timespec* end,
                         metrics_read_block* global, metrics_read_block* client) {
  g_return_if_fail(start != NULL && end != NULL);
  // The seconds difference carries a negative nanoseconds difference.
  int64_t ns =
      (static_cast<int64_t>(end->tv_sec) - static_cast<int64_t>(start->tv_sec)) * 1000000000LL +
      (static_cast<int64_t>(end->tv_nsec) - static_cast<int64_t>(start->tv_nsec));
  global->latency.store(ns);
  client->latency.store(ns);
}

void metrics_add_held(metrics_record* global, metrics_record* client,
                      std::atomic<uint64_t> metrics_record::*counter) {
  (global->*counter).fetch_add(1);
  (client->*counter).fetch_add(1);
}

void metrics_add_cache_evicted_b(metrics_record* global, uint64_t bytes) {
  global->cache_evicted_b.fetch_add(bytes);
}

void metrics_set_cache_utilized_p_not_mt(metrics_record* global, double percent) {
  global->cache_utilized_p.store(percent, std::memory_order_relaxed);
}

uint64_t metrics_total_sent_b(const metrics_record* m) {
  return m->client_sent_b.load() + m->server_sent_b.load();
}

uint64_t metrics_block_total_reads(const metrics_read_block* b) {
  return b->cache_hit_reads.load() + b->cache_missed_reads.load();
}

uint64_t metrics_hit_reads(const metrics_record* m) {
  return m->ext.cache_hit_reads.load() + m->mio.cache_hit_reads.load();
}

uint64_t metrics_missed_reads(const metrics_record* m) {
  return m->ext.cache_missed_reads.load() + m->mio.cache_missed_reads.load();
}

uint64_t metrics_total_reads(const metrics_record* m) {
  return metrics_hit_reads(m) + metrics_missed_reads(m);
}

namespace {
size_t bucket_of(int64_t ns) {
  size_t i = 0;
  while (i < METRICS_LATENCY_BOUNDS && ns > METRICS_LATENCY_BOUNDS_US[i] * 1000) i++;
  return i;
}

uint64_t wait_ns_of(const metrics_record* m) {
  return m->latency[static_cast<size_t>(metrics_read_kind::miss)].sum_ns.load() +
         m->latency[static_cast<size_t>(metrics_read_kind::held)].sum_ns.load();
}

uint64_t since(uint64_t now, uint64_t then) {
  return now > then ? now - then : 0;
}
}  // namespace

void metrics_record_latency(metrics_record* global, metrics_record* client, metrics_read_kind kind,
                            int64_t ns) {
  ns = std::max<int64_t>(ns, 0);  // a clock that stepped back
  const size_t bucket = bucket_of(ns);
  for (metrics_record* m : {global, client}) {
    metrics_histogram& h = m->latency[static_cast<size_t>(kind)];
    h.counts[bucket].fetch_add(1, std::memory_order_relaxed);
    h.sum_ns.fetch_add(static_cast<uint64_t>(ns), std::memory_order_relaxed);
  }
}

double metrics_ratio(uint64_t part, uint64_t whole) {
  return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}

metrics_histogram_snapshot metrics_histogram_read(const metrics_histogram& h) {
  metrics_histogram_snapshot out;
  uint64_t total = 0;
  for (size_t i = 0; i < h.counts.size(); i++) {
    total += h.counts[i].load(std::memory_order_relaxed);
    out.cumulative[i] = total;
  }
  out.count = total;
  out.sum_ns = h.sum_ns.load(std::memory_order_relaxed);
  return out;
}

double metrics_histogram_quantile(const metrics_histogram_snapshot& h, double q) {
  rrd_histogram r;
  r.bounds = METRICS_LATENCY_BOUNDS;
  for (size_t i = 0; i < METRICS_LATENCY_BOUNDS; i++) {
    r.le[i] = static_cast<double>(METRICS_LATENCY_BOUNDS_US[i]);
    r.cumulative[i] = h.cumulative[i];
  }
  r.count = h.count;
  return rrd_histogram_quantile(r, q);
}

void metrics_mark_boot(const metrics_record* client, metrics_boot_mark* mark, int64_t now_us) {
  g_return_if_fail(client != NULL && mark != NULL);
  mark->reads.store(metrics_total_reads(client));
  mark->hits.store(metrics_hit_reads(client));
  mark->cache_b.store(client->proxy_saved_b.load());
  mark->server_b.store(client->server_sent_b.load());
  mark->wait_ns.store(wait_ns_of(client));
  mark->login_us.store(now_us);
}

metrics_boot_figures metrics_boot_since(const metrics_record* client, const metrics_boot_mark* mark,
                                        int64_t now_us) {
  metrics_boot_figures out;
  g_return_val_if_fail(client != NULL && mark != NULL, out);
  const int64_t login = mark->login_us.load();
  if (login == 0) return out;
  out.since_login_s = static_cast<double>(std::max<int64_t>(0, now_us - login)) / 1e6;
  out.reads = since(metrics_total_reads(client), mark->reads.load());
  out.hits = std::min(out.reads, since(metrics_hit_reads(client), mark->hits.load()));
  out.cache_b = since(client->proxy_saved_b.load(), mark->cache_b.load());
  out.server_b = since(client->server_sent_b.load(), mark->server_b.load());
  out.wait_ns = since(wait_ns_of(client), mark->wait_ns.load());
  return out;
}
