#include "metrics/metrics.h"

#include <glib.h>

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
