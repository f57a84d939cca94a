// Counters of what the daemon sees and saves.
//
// One registry-wide record lives in the proxy_context and one in every client.
// Listener threads update both at once on the packet path, so every update is
// a single atomic read-modify-write: no lock, no allocation. Readers load the
// fields one by one; totals built from several fields are only approximately
// consistent, which the reports accept.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

// Hits, misses and the latest latency of one kind of read (extent or MIO).
struct metrics_read_block {
  std::atomic<uint64_t> cache_hit_reads{0};
  std::atomic<uint64_t> cache_missed_reads{0};
  std::atomic<int64_t> latency{0};  // nanoseconds
};

struct metrics_record {
  metrics_read_block ext;
  metrics_read_block mio;
  std::atomic<uint64_t> unhandled_mio{0};
  std::atomic<uint64_t> client_sent_b{0};
  std::atomic<uint64_t> server_sent_b{0};
  std::atomic<uint64_t> proxy_saved_b{0};
  std::atomic<uint64_t> cache_evicted_b{0};
  // The longest a listener thread has waited for a lock (a client's session
  // or MIO table) that another thread held, and for one that a prepopulation
  // job held, in nanoseconds.
  std::atomic<int64_t> lock_wait_max_ns{0};
  std::atomic<int64_t> prepop_lock_wait_max_ns{0};
  // Frames the kernel dropped for want of room in a listener's receive ring
  // or socket buffer; and the bytes of packet rings mapped now.
  std::atomic<uint64_t> kernel_drops{0};
  std::atomic<int64_t> ring_bytes{0};
  // VM reads held back while another client's read of the same bytes was in
  // flight; of those, answered from the cache once it was stored, and
  // forwarded after all (their deadline passed, or the cache could not
  // answer them).
  std::atomic<uint64_t> held_reads{0};
  std::atomic<uint64_t> held_answered_reads{0};
  std::atomic<uint64_t> held_timed_out_reads{0};
  // Written by the cache manager alone; atomic (relaxed) only so that
  // concurrent readers never see a torn value.
  std::atomic<double> cache_utilized_p{0.0};
};

void metrics_add_client_sent_b(metrics_record* global, metrics_record* client, uint32_t bytes);
void metrics_add_server_sent_b(metrics_record* global, metrics_record* client, uint32_t bytes);
void metrics_add_proxy_saved_b(metrics_record* global, metrics_record* client, uint32_t bytes);
void metrics_increment_cache_hit_reads(metrics_read_block* global, metrics_read_block* client);
void metrics_increment_cache_missed_reads(metrics_read_block* global, metrics_read_block* client);
void metrics_increment_unhandled_mio(metrics_record* global, metrics_record* client);
void metrics_set_latency(const struct timespec* start, const struct timespec* end,
                         metrics_read_block* global, metrics_read_block* client);
void metrics_note_lock_wait(metrics_record* global, metrics_record* client, int64_t ns,
                            bool prepop_job);
void metrics_add_kernel_drops(metrics_record* global, metrics_record* client, uint64_t frames);
// `bytes` negative when a ring is released.
void metrics_add_ring_bytes(metrics_record* global, metrics_record* client, int64_t bytes);
void metrics_add_held(metrics_record* global, metrics_record* client,
                      std::atomic<uint64_t> metrics_record::*counter);
void metrics_add_cache_evicted_b(metrics_record* global, uint64_t bytes);
void metrics_set_cache_utilized_p_not_mt(metrics_record* global, double percent);

// Derived figures, computed by readers and never stored.
uint64_t metrics_total_sent_b(const metrics_record* m);
uint64_t metrics_block_total_reads(const metrics_read_block* b);
uint64_t metrics_hit_reads(const metrics_record* m);
uint64_t metrics_missed_reads(const metrics_record* m);
uint64_t metrics_total_reads(const metrics_record* m);
