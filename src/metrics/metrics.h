// Counters of what the daemon sees and saves.
//
// One registry-wide record lives in the proxy_context and one in every client.
// Listener threads update both at once on the packet path, so every update is
// a single atomic read-modify-write: no lock, no allocation. Readers load the
// fields one by one; totals built from several fields are only approximately
// consistent, which the reports accept.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

// Hits, misses and the latest latency of one kind of read (extent or MIO).
struct metrics_read_block {
  std::atomic<uint64_t> cache_hit_reads{0};
  std::atomic<uint64_t> cache_missed_reads{0};
  std::atomic<int64_t> latency{0};  // nanoseconds
};

// Read service times, on a fixed 1-2-5 log scale from 10 us to 1 s: the
// upper bounds of the buckets, in microseconds; one more bucket takes what
// lies above the last. Fixed, so that every record, every sample and every
// consumer's quantile agree on them.
inline constexpr size_t METRICS_LATENCY_BOUNDS = 16;
inline constexpr std::array<int64_t, METRICS_LATENCY_BOUNDS> METRICS_LATENCY_BOUNDS_US = {
    10,   20,    50,    100,   200,    500,    1000,   2000,
    5000, 10000, 20000, 50000, 100000, 200000, 500000, 1000000};

// The three kinds of VM read by how they were served: from the cache at once
// (from the request's arrival to the reply sent), by the server (from the
// forwarded request to its reply, stored), and held for another VM's read in
// flight, then answered from the cache (from arrival to the answer).
enum class metrics_read_kind { hit, miss, held };
inline constexpr size_t METRICS_READ_KINDS = 3;
inline constexpr const char* METRICS_READ_KIND_NAMES[METRICS_READ_KINDS] = {"hit", "miss", "held"};

// Per bucket (not cumulative) counts and the sum, each updated with one
// relaxed atomic add: a reader may see a read in a bucket before the sum.
struct metrics_histogram {
  std::array<std::atomic<uint64_t>, METRICS_LATENCY_BOUNDS + 1> counts{};
  std::atomic<uint64_t> sum_ns{0};
};

// A histogram as read once: cumulative counts, as Prometheus publishes them
// (the last equals `count`).
struct metrics_histogram_snapshot {
  std::array<uint64_t, METRICS_LATENCY_BOUNDS + 1> cumulative{};
  uint64_t count = 0;
  uint64_t sum_ns = 0;
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
  // Indexed by metrics_read_kind.
  std::array<metrics_histogram, METRICS_READ_KINDS> latency;
};

// A client's figures at its latest login, so that its latest boot's share
// can be told apart from its earlier ones. Written under the client's
// session write lock, read without it: a reader may see a mark half
// renewed, which only blurs one report.
struct metrics_boot_mark {
  std::atomic<int64_t> login_us{0};  // monotonic; 0: never logged in
  std::atomic<uint64_t> reads{0}, hits{0}, cache_b{0}, server_b{0}, wait_ns{0};
};

// What the client read since its latest login.
struct metrics_boot_figures {
  double since_login_s = 0;
  uint64_t reads = 0, hits = 0;
  uint64_t cache_b = 0, server_b = 0;  // bytes from the cache and from the server
  uint64_t wait_ns = 0;                // waiting on misses and held reads
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
// One read's service time, into the histogram of its kind in both records.
void metrics_record_latency(metrics_record* global, metrics_record* client, metrics_read_kind kind,
                            int64_t ns);
void metrics_add_cache_evicted_b(metrics_record* global, uint64_t bytes);
void metrics_set_cache_utilized_p_not_mt(metrics_record* global, double percent);

// Derived figures, computed by readers and never stored.
uint64_t metrics_total_sent_b(const metrics_record* m);
uint64_t metrics_block_total_reads(const metrics_read_block* b);
uint64_t metrics_hit_reads(const metrics_record* m);
uint64_t metrics_missed_reads(const metrics_record* m);
uint64_t metrics_total_reads(const metrics_record* m);
// `part` of `whole` as a fraction, 0 for an empty whole (hit ratios, shares
// of a vDisk cached).
double metrics_ratio(uint64_t part, uint64_t whole);

metrics_histogram_snapshot metrics_histogram_read(const metrics_histogram& h);
// The q-quantile (0 < q < 1) in microseconds as Prometheus's
// histogram_quantile computes it: linear within the bucket the rank falls
// in, the last finite bound when it falls above them; 0 for no reads.
double metrics_histogram_quantile(const metrics_histogram_snapshot& h, double q);

void metrics_mark_boot(const metrics_record* client, metrics_boot_mark* mark, int64_t now_us);
metrics_boot_figures metrics_boot_since(const metrics_record* client, const metrics_boot_mark* mark,
                                        int64_t now_us);
