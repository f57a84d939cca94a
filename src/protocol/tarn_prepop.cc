// Prepopulation: warming a vDisk's cache ahead of need.
//
// A worker of the prepopulation pool speaks for one client with
// prepopulation enabled: it sends the server MIO reads in that client's name
// (its session, its address, its own transmit socket) with ThreadIds that
// carry the prepopulation bit, and the engine stores the replies in the cache
// and keeps them from the client. The worker fetches the vDisk's boot set
// first, in the order a boot read it, then the rest in offset order, asking
// only for runs of sectors the bitmaps say are missing; it keeps at most four
// MIOs of the client in flight, sends the next as soon as one completes (the
// engine counts completions and wakes it), resends a read that lost a
// fragment soon after the loss shows, and writes the "prepop" marker when the
// whole vDisk is cached.
//
// No listener ever waits for the worker across I/O or a scan: the worker
// reads the client's session through a snapshot taken under its read lock,
// holds the MIO table's lock only to add, look up or re-number records, and
// the vDisk's lock only to read or publish its progress. It never reads the
// client's key or site without the session's lock: the cache it checks is the
// vDisk record's own (site, key), and the site is held from the job's start,
// so that a job outliving its client's removal never uses a freed site.
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "cache/bootset.h"
#include "cache/chunks.h"
#include "contexts/proxy_context.h"
#include "net/udp.h"
#include "protocol/messages.h"
#include "protocol/tarn.h"

namespace {

constexpr uint32_t PREPOP_MAX_MIOS = 4;
// While VMs of the host are reading (within this long), a run keeps one MIO
// in flight: it gives way to live boots rather than compete with them for
// the server, the host's CPUs and the listeners.
constexpr uint32_t PREPOP_YIELD_MIOS = 1;
constexpr int64_t PREPOP_YIELD_US = 200 * 1000;
// A read unanswered this long is asked again, and a run with reads in
// flight that long without a completion counts a timeout.
constexpr int64_t PREPOP_SEND_WAIT_US = 1 * G_USEC_PER_SEC;
// A read that may have lost a fragment (part of its reply came, the kernel
// dropped frames since it was sent, or a read sent after it completed) is
// asked again after this long, or three of the server's smoothed reply
// times if longer.
constexpr int64_t PREPOP_FAST_RESEND_US = 20 * 1000;
// The longest the worker waits before looking at its client again.
constexpr int64_t PREPOP_POLL_US = 100 * 1000;
// How often the vDisk's published progress is brought up to date.
constexpr int64_t PREPOP_PUBLISH_US = 100 * 1000;
constexpr uint32_t PREPOP_MAX_RETRIES = 3;
constexpr int64_t PREPOP_REPORT_US = 10 * G_USEC_PER_SEC;
constexpr uint64_t SECTOR = 512;

// The client's MIO table locked by the job, which says so to listeners
// that wait for it (their longest wait for a job is reported on its own).
class job_mio_lock {
 public:
  explicit job_mio_lock(client_context* cc) : cc_(cc), hold_(cc->mio_mutex) {
    cc_->prepop_holds_mio.store(true, std::memory_order_relaxed);
  }
  ~job_mio_lock() { cc_->prepop_holds_mio.store(false, std::memory_order_relaxed); }
  job_mio_lock(const job_mio_lock&) = delete;
  job_mio_lock& operator=(const job_mio_lock&) = delete;

 private:
  client_context* cc_;
  std::lock_guard<std::mutex> hold_;
};

// What the worker needs of the client's session, copied under its lock.
struct session {
  bool login_pending;
  bool uefi_boot;
  uint32_t burst_size;
  uint32_t packet_size;
  uint32_t connection_handle;
  uint32_t login_id;
  sockaddr_in client_address;
  sockaddr_in server_address;
  char vdisk_key[CLIENT_VDISK_KEY_SIZE];
};

session snapshot(const client_context* cc, const client_session& c) {
  session s;
  s.login_pending = c.login_pending != 0;
  s.uefi_boot = c.uefi_boot != 0;
  s.burst_size = c.burst_size;
  s.packet_size = c.packet_size;
  s.connection_handle = c.connection_handle;
  s.login_id = c.login_id;
  s.client_address = c.client_address;
  s.server_address = cc->server_address;
  std::memcpy(s.vdisk_key, c.vdisk_key, sizeof s.vdisk_key);
  return s;
}

// The largest MIO prepopulation asks for: the burst size, no more fragments
// than a reply can be tracked in, no more than the 16-bit length field holds,
// in whole sectors so that each reply fills the sectors it covers.
uint64_t mio_limit(const session& s) {
  uint64_t limit = std::min<uint64_t>(s.burst_size, UINT16_MAX);
  if (tarn_packet_size_usable(s.packet_size)) {
    limit = std::min<uint64_t>(limit,
                               uint64_t{MIO_FRAGMENT_MAX} * (s.packet_size - MIO_FRAGMENT_HEADER));
  }
  return limit >= 512 ? limit & ~uint64_t{511} : limit;
}

struct run {
  proxy_context* context;
  client_context* cc;
  vdisk_context* vc;
  session s;
  std::shared_ptr<site_context> site;
};

const char* uuid_of(const run& r) {
  return r.cc->uuid.c_str();
}
const char* key_of(const run& r) {
  return r.vc->vdisk_key.c_str();
}

uint64_t first_missing(const run& r, uint64_t from, uint64_t end) {
  return cache_first_missing(r.cc, r.site.get(), r.vc->vdisk_key.c_str(), from, end);
}
uint64_t first_cached(const run& r, uint64_t from, uint64_t end) {
  return cache_first_cached(r.cc, r.site.get(), r.vc->vdisk_key.c_str(), from, end);
}

// Sends one prepopulation MIO under `request_id`; true when it went out.
bool send_mio(run& r, uint8_t thread_id, uint32_t request_id, uint64_t offset, uint64_t length) {
  msg_prepop_request req{};
  req.tlv_login = r.s.uefi_boot;
  req.connection_handle = r.s.connection_handle;
  req.request_id = request_id;
  req.thread_id = thread_id;
  req.disk_handle = r.s.login_id;
  req.offset = offset;
  req.length = static_cast<uint16_t>(length);
  uint8_t buf[MSG_MIO_REQUEST_LEN];
  const size_t n = msg_build_prepop_mio_request(buf, req);
  ssize_t sent = -1;
  if (n == MSG_MIO_REQUEST_LEN) {
    sent = inet_raw_udp_send(r.cc->xmitfd.get(), &r.s.client_address, &r.s.server_address, buf, n);
  }
  if (sent == static_cast<ssize_t>(MSG_MIO_REQUEST_LEN)) return true;
  g_message("Client %s - prepop send failed ret = %d", uuid_of(r), static_cast<int>(sent));
  return false;
}

// One of the worker's reads in flight. Its reassembly record is in the
// client's MIO table under `thread_id`, expecting `request_id`; the engine
// takes it out when the read completes.
struct flight {
  uint8_t thread_id = 0;
  uint32_t request_id = 0;
  uint64_t offset = 0;  // protocol offset
  uint64_t length = 0;
  int64_t sent_at = 0;  // of the latest send
  uint64_t order = 0;   // of the latest send, among the run's sends
  uint64_t drops = 0;   // the client's kernel drops at the latest send
  bool resent = false;
  bool partial = false;      // some fragments arrived, not all (as of the last look)
  uint32_t outstanding = 0;  // the record's mask at the last look
  int64_t quiet_since = 0;   // since when no fragment of it has arrived
  bool boot = false;         // part of the boot set
};

// A range of vDisk bytes to fetch.
struct range {
  uint64_t offset = 0;
  uint64_t length = 0;
};

// What to fetch next: the boot set's ranges in their order, then everything
// from `next` on in offset order, in runs of missing sectors of at most
// `limit` bytes.
struct planner {
  std::vector<boot_range> boot;
  size_t boot_index = 0;
  uint64_t boot_at = 0;
  uint64_t next = 0;
  uint64_t size = 0;  // the vDisk's bytes

  bool in_boot_set() const { return boot_index < boot.size(); }
  bool done() const { return !in_boot_set() && next >= size; }

  // The run of missing sectors from `from` (below `end`), at most `limit`
  // long and ending before any read in flight; nothing if none is missing.
  std::optional<range> missing_run(const run& r, uint64_t from, uint64_t end, uint64_t limit,
                                   const std::vector<flight>& flights) {
    while (from < end) {
      const uint64_t m = first_missing(r, from, end) & ~(SECTOR - 1);
      if (m >= end) return std::nullopt;
      uint64_t stop = std::min(end, m + limit);
      bool skipped = false;
      for (const flight& f : flights) {
        const uint64_t a = f.offset - MSG_VDISK_DATA_OFFSET, b = a + f.length;
        if (a <= m && m < b) {  // on its way already
          from = b;
          skipped = true;
          break;
        }
        if (m < a && a < stop) stop = a;
      }
      if (skipped) continue;
      uint64_t e = first_cached(r, m, stop);
      e = std::min(size, (e + SECTOR - 1) & ~(SECTOR - 1));
      if (e <= m) e = std::min(size, m + SECTOR);
      return range{m, e - m};
    }
    return std::nullopt;
  }

  std::optional<range> take(const run& r, uint64_t limit, const std::vector<flight>& flights,
                            bool* from_boot) {
    while (in_boot_set()) {
      const boot_range& b = boot[boot_index];
      const uint64_t end = std::min(size, b.offset + b.length);
      const uint64_t from = std::max(boot_at, b.offset);
      if (auto got = missing_run(r, from, end, limit, flights)) {
        boot_at = got->offset + got->length;
        *from_boot = true;
        return got;
      }
      boot_index++;
      boot_at = 0;
    }
    *from_boot = false;
    if (auto got = missing_run(r, next, size, limit, flights)) {
      next = got->offset + got->length;
      return got;
    }
    next = size;
    return std::nullopt;
  }
};

// Gives a read about to be sent (again) its request id and what its
// resends go by; the MIO table is locked by the job.
void number(client_context* cc, flight& f, mio_fragment* m, uint64_t order) {
  f.request_id = cc->prepop_sequence++;
  m->request_id = f.request_id;
  f.outstanding = m->outstanding.load();
  f.sent_at = g_get_monotonic_time();
  f.quiet_since = f.sent_at;
  f.order = order;
  f.drops = cc->metrics.kernel_drops.load();
}

// Takes a thread id and a record for a read and sends it; false when it
// could not (no id free, or the send failed: then nothing is left behind).
bool launch(run& r, const range& what, bool boot, uint64_t order, std::vector<flight>& flights) {
  client_context* cc = r.cc;
  flight f;
  f.offset = what.offset + MSG_VDISK_DATA_OFFSET;
  f.length = what.length;
  f.boot = boot;
  {
    const job_mio_lock mio(cc);
    f.thread_id = client_prepop_thread_id(cc);
    if (f.thread_id == 0) return false;
    mio_fragment* m = client_mio_fragment_add(cc, f.thread_id, f.length, r.s.packet_size);
    if (m == nullptr) return false;
    m->offset = f.offset;
    m->length = f.length;
    number(cc, f, m, order);
  }
  if (!send_mio(r, f.thread_id, f.request_id, f.offset, f.length)) {
    const job_mio_lock mio(cc);
    client_mio_fragment_del(cc, f.thread_id);
    return false;
  }
  cc->prepop_mio_issued++;
  if (cc->prepop_retries != 0) {
    g_message("Client %s - Prepopulation of vdisk %s (%zu - %zu [%zu])", uuid_of(r), key_of(r),
              static_cast<size_t>(f.offset), static_cast<size_t>(f.offset + f.length),
              static_cast<size_t>(f.length));
  }
  flights.push_back(f);
  return true;
}

// Asks the server again for a read in flight, keeping its record: fragments
// that already arrived stay, and those of the new request fill the rest.
// False when the read has completed meanwhile.
bool resend(run& r, flight& f, uint64_t order) {
  client_context* cc = r.cc;
  {
    const job_mio_lock mio(cc);
    mio_fragment* m = client_mio_fragment_get(cc, f.thread_id);
    if (m == nullptr || m->request_id != f.request_id) return false;
    number(cc, f, m, order);
  }
  f.resent = true;
  cc->prepop_timeouts++;
  if (send_mio(r, f.thread_id, f.request_id, f.offset, f.length)) cc->prepop_mio_issued++;
  return true;
}

// Records of prepopulation's own MIOs, removed when a run ends: resends
// happen only inside a run, so a later run would count them as in flight
// for ever and never send anything.
void forget_prepop_mios(client_context* cc) {
  const job_mio_lock hold(cc);
  std::erase_if(cc->mio_fragments,
                [](const auto& entry) { return (entry.first & MSG_THREAD_ID_PREPOP) != 0; });
}

void write_marker(run& r) {
  char path[CLIENT_CHUNK_PATH_SIZE];
  g_snprintf(path, sizeof path, "%s/prepop", r.vc->path.c_str());
  FILE* f = fopen(path, "w+");
  if (f == nullptr) {
    const int err = errno;
    g_warning("Client %s - Cannot create prepop file under %s: %s, prepop chunks maybe evicted",
              uuid_of(r), r.vc->path.c_str(), g_strerror(err));
    return;
  }
  fclose(f);
}

// The state of one run beyond what the planner and the flights hold.
struct progress {
  uint64_t cached = 0;           // vDisk bytes below which everything is cached
  uint64_t purges = 0;           // the vDisk's purge count when `cached` was computed
  int64_t srtt = 0;              // smoothed reply time of reads not resent, µs
  uint64_t orders = 0;           // sends so far
  uint64_t completed_order = 0;  // the latest send among completed reads
};

// Publishes what is cached from the start on, unless the cache manager
// purged the vDisk since the scan began (then the purge's figure stands, and
// the planner goes back there).
void publish(run& r, progress& p, planner& plan) {
  uint64_t purges;
  {
    auto state = r.vc->state.lock();
    purges = state->purges;
  }
  const uint64_t cached = first_missing(r, p.cached, plan.size);
  auto state = r.vc->state.lock();
  if (state->purges == purges && purges == p.purges) {
    p.cached = cached;
    state->prepop_progress = MSG_VDISK_DATA_OFFSET + cached;
  } else {
    p.purges = state->purges;
    p.cached = std::min(p.cached, state->prepop_progress - MSG_VDISK_DATA_OFFSET);
    plan.next = std::min(plan.next, p.cached);
  }
}

// Whether the whole vDisk is cached; if so, marks it complete. The mark
// is set under the vDisk's lock and only if no purge came after the scan
// began, since a purge clears the mark under that lock.
bool finish(run& r, progress& p, uint64_t size) {
  const uint64_t purges = r.vc->state.lock()->purges;
  p.cached = first_missing(r, 0, size);
  if (p.cached < size) return false;
  auto state = r.vc->state.lock();
  if (state->purges != purges) {
    p.cached = 0;
    return false;
  }
  state->prepop_progress = MSG_VDISK_DATA_OFFSET + size;
  g_message("Client %s - Prepopulation complete for vdisk %s", uuid_of(r), key_of(r));
  write_marker(r);
  return true;
}

// Takes the completed reads out of `flights`, notes which of the rest have
// part of their reply, and counts the client's MIOs in flight (its own
// too) into `in_flight`; true if any completed. One look at the table, so
// that the job takes its lock as seldom as it can.
bool retire(run& r, std::vector<flight>& flights, progress& p, uint32_t* in_flight) {
  const int64_t now = g_get_monotonic_time();
  std::vector<flight> left;
  left.reserve(flights.size());
  {
    const job_mio_lock mio(r.cc);
    client_mio_fragments_expire(r.cc, now);
    *in_flight = client_mio_frament_count(r.cc);
    for (flight& f : flights) {
      const mio_fragment* m = client_mio_fragment_get(r.cc, f.thread_id);
      if (m != nullptr && m->request_id == f.request_id) {
        const uint32_t all = m->count == MIO_FRAGMENT_MAX ? 0xFFFFFFFFu : (1u << m->count) - 1;
        const uint32_t outstanding = m->outstanding.load();
        f.partial = outstanding != all;
        // Fragments still coming in (a busy listener) are not lost ones.
        if (outstanding != f.outstanding) {
          f.outstanding = outstanding;
          f.quiet_since = std::max(f.quiet_since, now);
        }
        left.push_back(f);
        continue;
      }
      p.completed_order = std::max(p.completed_order, f.order);
      if (!f.resent) {
        const int64_t took = now - f.sent_at;
        p.srtt = p.srtt == 0 ? took : (7 * p.srtt + took) / 8;
      }
    }
  }
  const bool any = left.size() != flights.size();
  flights.swap(left);
  return any;
}

// Whether the run may go on speaking for the vDisk; refreshes the session
// snapshot. A client linked with another vDisk since (or with none) no
// longer speaks for this one.
bool may_go_on(run& r) {
  r.s = snapshot(r.cc, *r.cc->session.lock_shared());
  return !r.s.login_pending && r.cc->prepopulate.load() && !r.context->stopping.load() &&
         g_get_monotonic_time() > r.context->prepop_not_before.load() &&
         r.vc->vdisk_key == r.s.vdisk_key;
}

void prepop_vdisk(run& r, uint64_t end_offset) {
  client_context* cc = r.cc;
  cc->prepop_mio_issued = 0;
  cc->prepop_timeouts = 0;
  cc->prepop_retries = 0;
  g_message("Client %s - Prepopulating cache of vdisk %s using up to %d MIOs", uuid_of(r),
            key_of(r), static_cast<int>(PREPOP_MAX_MIOS));
  planner plan;
  plan.size = end_offset - MSG_VDISK_DATA_OFFSET;
  plan.boot = boot_set_ranges(r.vc);
  progress p;
  {
    // An interrupted run's scan goes on where it stopped.
    auto state = r.vc->state.lock();
    p.purges = state->purges;
    p.cached = std::min(plan.size, state->prepop_progress > MSG_VDISK_DATA_OFFSET
                                       ? state->prepop_progress - MSG_VDISK_DATA_OFFSET
                                       : 0);
    state->prepop_progress = MSG_VDISK_DATA_OFFSET + p.cached;
  }
  plan.next = p.cached;
  if (!plan.boot.empty()) {
    g_message("Client %s - Prepopulation of vdisk %s fetches its boot set of %zu ranges first",
              uuid_of(r), key_of(r), plan.boot.size());
  }

  std::vector<flight> flights;
  uint64_t seen = cc->prepop_completions.load();
  int64_t last_event = g_get_monotonic_time();  // the latest completion or timeout
  int64_t report = last_event + PREPOP_REPORT_US;
  int64_t next_publish = last_event + PREPOP_PUBLISH_US;
  bool send_failed = false;
  bool boot_reported = plan.boot.empty();
  uint32_t passes = 0;
  uint64_t pass_start = p.cached;
  bool complete = false;
  uint64_t live_reads = metrics_total_reads(&r.context->metrics);
  int64_t live_at = 0;  // when VMs' reads were last seen to grow

  while (may_go_on(r)) {
    int64_t now = g_get_monotonic_time();
    const uint64_t completions = cc->prepop_completions.load();
    uint32_t in_flight = 0;
    if (retire(r, flights, p, &in_flight) || completions != seen) {
      seen = completions;
      cc->prepop_retries = 0;
      last_event = now;
    }
    if (!boot_reported && !plan.in_boot_set() &&
        std::none_of(flights.begin(), flights.end(), [](const flight& f) { return f.boot; })) {
      boot_reported = true;
      g_message("Client %s - Prepopulation of vdisk %s has fetched its boot set", uuid_of(r),
                key_of(r));
    }

    // Nothing has completed for a whole wait: the late reads are asked
    // again, up to the retry limit.
    if ((!flights.empty() || send_failed) && now - last_event >= PREPOP_SEND_WAIT_US) {
      last_event = now;
      g_message("Client %s - Prepopulation of vdisk %s timeout (%zu - %zu [%zu])", uuid_of(r),
                key_of(r), static_cast<size_t>(MSG_VDISK_DATA_OFFSET + p.cached),
                static_cast<size_t>(MSG_VDISK_DATA_OFFSET + plan.next),
                static_cast<size_t>(plan.next - p.cached));
      if (++cc->prepop_retries > PREPOP_MAX_RETRIES) {
        g_message("Client %s - Prepopulation for vdisk %s retries exceeded", uuid_of(r), key_of(r));
        break;
      }
    }
    const int64_t fast = std::max(PREPOP_FAST_RESEND_US, 3 * p.srtt);
    const uint64_t drops = cc->metrics.kernel_drops.load();
    for (flight& f : flights) {
      const bool late = now - f.sent_at >= PREPOP_SEND_WAIT_US;
      // A reply's fragments come together: one that has gone quiet for a
      // while with part of it in, or after the kernel dropped frames, was
      // lost; so was one without a fragment after a later read completed,
      // once the server's reply time is known (a server answering out of
      // order must not be asked twice).
      const bool lost =
          now - f.quiet_since >= fast &&
          (f.partial || drops != f.drops || (p.srtt != 0 && p.completed_order > f.order));
      if (!late && !lost) continue;
      if (late && cc->prepop_retries != 0) {
        g_message("Client %s - Prepopulation resend of fragment %d timeout (%zu - %zu)", uuid_of(r),
                  f.thread_id, static_cast<size_t>(f.offset),
                  static_cast<size_t>(f.offset + f.length));
      }
      resend(r, f, ++p.orders);
    }

    // As many new reads as the bound allows.
    send_failed = false;
    const uint64_t limit = mio_limit(r.s);
    const uint64_t live = metrics_total_reads(&r.context->metrics);
    if (live != live_reads) {
      live_reads = live;
      live_at = now;
    }
    const uint32_t most = now - live_at < PREPOP_YIELD_US ? PREPOP_YIELD_MIOS : PREPOP_MAX_MIOS;
    for (uint32_t n = in_flight; n < most && limit > 0; n++) {
      bool boot = false;
      const std::optional<range> next = plan.take(r, limit, flights, &boot);
      if (!next) break;
      if (!launch(r, *next, boot, ++p.orders, flights)) {
        // Asked for again by the next pass.
        send_failed = true;
        break;
      }
    }

    now = g_get_monotonic_time();
    if (flights.empty() && plan.done() && !send_failed) {
      // Every pass ends with a look at the whole vDisk: a read that did not
      // fill what it covered (a failed write, a purge) leaves a gap.
      if (finish(r, p, plan.size)) {
        complete = true;
        break;
      }
      if (p.cached <= pass_start && ++passes > PREPOP_MAX_RETRIES) {
        cc->prepop_retries = passes;
        break;
      }
      pass_start = p.cached;
      plan.next = p.cached;
      continue;
    }
    if (now >= next_publish) {
      publish(r, p, plan);
      next_publish = now + PREPOP_PUBLISH_US;
    }
    if (now > report) {
      g_message("Client %s - Prepopulation of vdisk %s mio_reqs %u timeouts %u (%zu - %zu [%zu])",
                uuid_of(r), key_of(r), cc->prepop_mio_issued, cc->prepop_timeouts,
                static_cast<size_t>(MSG_VDISK_DATA_OFFSET + p.cached),
                static_cast<size_t>(MSG_VDISK_DATA_OFFSET + plan.next),
                static_cast<size_t>(plan.next - p.cached));
      report = now + PREPOP_REPORT_US;
    }

    // Until a completion, or the next moment a resend or a timeout is due.
    int64_t wake = std::min(now + PREPOP_POLL_US, last_event + PREPOP_SEND_WAIT_US);
    for (const flight& f : flights) wake = std::min(wake, f.quiet_since + fast);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::microseconds(std::max<int64_t>(0, wake - now));
    std::unique_lock<std::mutex> hold(cc->prepop_wake_mutex);
    cc->prepop_wake.wait_until(hold, deadline,
                               [&] { return cc->prepop_completions.load() != seen; });
  }

  const uint64_t end = MSG_VDISK_DATA_OFFSET + plan.size;
  if (complete) return;
  publish(r, p, plan);
  const size_t done = MSG_VDISK_DATA_OFFSET + p.cached;
  const size_t sent = MSG_VDISK_DATA_OFFSET + plan.next;
  if (!cc->prepopulate.load()) {
    g_message("Client %s - Prepopulation of vdisk %s canceled (%zu [%zu] of %zu)", uuid_of(r),
              key_of(r), done, sent, static_cast<size_t>(end));
  } else if (cc->prepop_retries == 0) {
    g_message("Client %s - Prepopulation ended for vdisk %s", uuid_of(r), key_of(r));
  } else {
    g_message(
        "Client %s - Prepopulation of vdisk %s aborted, excessive failed retries (%zu [%zu] of "
        "%zu)",
        uuid_of(r), key_of(r), done, sent, static_cast<size_t>(end));
  }
}

}  // namespace

void tarn_prepop_thread(gpointer data, gpointer user_data) {
  std::unique_ptr<tarn_prepop_job> job(static_cast<tarn_prepop_job*>(data));
  auto* context = static_cast<proxy_context*>(user_data);
  client_context* cc = job->client.load(std::memory_order_acquire);
  job.reset();

  std::shared_ptr<vdisk_context> held;
  run r{context, cc, nullptr, {}, nullptr};
  {
    auto s = cc->session.lock_shared();
    r.s = snapshot(cc, *s);
    // A client being stopped has no site any more; its vDisk, if any, then
    // cannot be found either.
    if (cc->site_context != nullptr) r.site = cc->site_context->weak_from_this().lock();
    if (r.site) held = vdisk_context_hold(context, cc, *s);
  }

  if (held == nullptr) {
    g_message("Client %s - Aborting prepopulation before vdisk id is unknown", cc->uuid.c_str());
  } else if (!cc->xmitfd.valid()) {
    g_warning("Client %s - Cannot prepopulate vdisk %s: the client has no transmit socket",
              cc->uuid.c_str(), held->vdisk_key.c_str());
  } else {
    r.vc = held.get();
    uint64_t end_offset = 0;
    {
      auto state = r.vc->state.lock();
      if (state->size == 0) {
        g_message("Client %s - Aborting prepopulation for %s because vdisk size is unknown",
                  uuid_of(r), key_of(r));
      } else if (state->prepop_progress == state->end_offset) {
        g_message("Client %s - Prepopulation of vdisk %s is already complete", uuid_of(r),
                  key_of(r));
      } else if (state->prepop_in_progress) {
        g_message("Client %s - Prepopulation of vdisk %s is already in progress", uuid_of(r),
                  key_of(r));
      } else if (r.s.burst_size == 0) {
        g_message("Client %s - Aborting prepopulation becaue the clients' burst size is unknown",
                  uuid_of(r));
      } else {
        state->prepop_in_progress = 1;
        end_offset = state->end_offset;
      }
    }
    if (end_offset != 0) {
      prepop_vdisk(r, end_offset);
      // Before the mark is cleared, so a new run never loses its own.
      forget_prepop_mios(cc);
      r.vc->state.lock()->prepop_in_progress = 0;
    }
  }
  if (held != nullptr) vdisk_context_release(context, std::move(held));
  client_context_release(cc);
}
