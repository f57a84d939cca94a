// Prepopulation: warming a vDisk's cache ahead of need.
//
// A worker of the prepopulation pool speaks for one client with
// prepopulation enabled: it sends the server MIO reads in that client's name
// (its session, its address, its own transmit socket) with ThreadIds that
// carry the prepopulation bit, and the engine stores the replies in the cache
// and keeps them from the client. The worker skips over what the cache
// already holds, keeps at most four MIOs of the client in flight, resends the
// ones whose replies are late, and writes the "prepop" marker when the whole
// vDisk is cached.
//
// The worker holds the vDisk's lock except while it waits on the vDisk's
// condition. It must not lock the client's session while it holds the vDisk's
// (listener threads take them the other way round), so it reads the
// client's session through a snapshot taken under its read lock at
// the start of every round, with the vDisk's lock released for that moment.
// It never reads the client's key or site without that lock: the cache it
// checks is the vDisk record's own (site, key), and the site is held from
// the job's start, so that a job outliving its client's removal never uses
// a freed site.
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>

#include "cache/chunks.h"
#include "contexts/proxy_context.h"
#include "net/udp.h"
#include "protocol/messages.h"
#include "protocol/tarn.h"

namespace {

constexpr uint32_t PREPOP_MAX_MIOS = 4;
constexpr int64_t PREPOP_IDLE_WAIT_US = 2 * G_USEC_PER_SEC;
constexpr int64_t PREPOP_SEND_WAIT_US = 1 * G_USEC_PER_SEC;
constexpr uint32_t PREPOP_MAX_RETRIES = 3;
constexpr int64_t PREPOP_REPORT_US = 10 * G_USEC_PER_SEC;

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

// Sends one prepopulation MIO; the request id used, through `id`. Returns
// the send's result.
ssize_t send_mio(run& r, uint8_t thread_id, uint64_t offset, uint64_t length, uint32_t* id) {
  client_context* cc = r.cc;
  msg_prepop_request req{};
  req.tlv_login = r.s.uefi_boot;
  req.connection_handle = r.s.connection_handle;
  req.request_id = cc->prepop_sequence++;
  req.thread_id = thread_id;
  req.disk_handle = r.s.login_id;
  req.offset = offset;
  req.length = static_cast<uint16_t>(length);
  *id = req.request_id;
  uint8_t buf[MSG_MIO_REQUEST_LEN];
  const size_t n = msg_build_prepop_mio_request(buf, req);
  if (n != MSG_MIO_REQUEST_LEN) return -1;
  return inet_raw_udp_send(cc->xmitfd.get(), &r.s.client_address, &r.s.server_address, buf, n);
}

// The MIO mutex is held.
void check_for_timeouts(run& r, uint8_t thread_id, mio_fragment* f) {
  client_context* cc = r.cc;
  if (f == nullptr || !(thread_id & MSG_THREAD_ID_PREPOP)) return;
  const int64_t now = g_get_monotonic_time();
  if (f->deadline > now) return;
  if (cc->prepop_retries != 0) {
    g_message("Client %s - Prepopulation resend of fragment %d timeout (%zu - %zu)", uuid_of(r),
              thread_id, static_cast<size_t>(f->offset),
              static_cast<size_t>(f->offset + f->length));
  }
  uint32_t id;
  const ssize_t sent = send_mio(r, thread_id, f->offset, f->length, &id);
  if (sent == static_cast<ssize_t>(MSG_MIO_REQUEST_LEN)) {
    f->request_id = id;
    f->deadline = now + PREPOP_SEND_WAIT_US;
    cc->prepop_mio_issued++;
  } else {
    g_message("Client %s - prepop send failed ret = %d", uuid_of(r), static_cast<int>(sent));
  }
  cc->prepop_timeouts++;
}

// Every late prepopulation read of the client, asked again.
void resend_late(run& r) {
  std::lock_guard<std::mutex> mio(r.cc->mio_mutex);
  for (auto& entry : r.cc->mio_fragments) check_for_timeouts(r, entry.first, entry.second.get());
}

// Records of prepopulation's own MIOs, removed when a run ends: resends
// happen only inside a run, so a later run would count them as in flight
// for ever and never send anything.
void forget_prepop_mios(client_context* cc) {
  std::lock_guard<std::mutex> hold(cc->mio_mutex);
  std::erase_if(cc->mio_fragments,
                [](const auto& entry) { return (entry.first & MSG_THREAD_ID_PREPOP) != 0; });
}

// With the vDisk's state locked: refreshes the session snapshot under the
// session's read lock, letting go of the vDisk's lock meanwhile.
void refresh_session(run& r, guarded<vdisk_state>::locked& state) {
  state.holder().unlock();
  r.s = snapshot(r.cc, *r.cc->session.lock_shared());
  state.holder().lock();
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

void prepop_vdisk(run& r, guarded<vdisk_state>::locked& state) {
  client_context* cc = r.cc;
  vdisk_context* vc = r.vc;
  cc->prepop_mio_issued = 0;
  cc->prepop_timeouts = 0;
  cc->prepop_retries = 0;
  g_message("Client %s - Prepopulating cache of vdisk %s using up to %d MIOs", uuid_of(r),
            key_of(r), static_cast<int>(PREPOP_MAX_MIOS));
  state->prepop_progress = MSG_VDISK_DATA_OFFSET;
  uint64_t send = MSG_VDISK_DATA_OFFSET;
  int64_t report = g_get_monotonic_time() + PREPOP_REPORT_US;

  while (state->prepop_progress < state->end_offset) {
    refresh_session(r, state);
    // A client linked with another vDisk since (or with none) no longer
    // speaks for this one.
    if (r.s.login_pending || !cc->prepopulate.load() || r.context->stopping.load() ||
        g_get_monotonic_time() <= r.context->prepop_not_before.load() ||
        vc->vdisk_key != r.s.vdisk_key) {
      break;
    }
    int64_t wait_until = g_get_monotonic_time() + PREPOP_IDLE_WAIT_US;
    if (cc->prepop_retries != 0) {
      g_message("Client %s - Prepopulation of vdisk %s cache check (%zu)", uuid_of(r), key_of(r),
                static_cast<size_t>(state->prepop_progress));
    }
    state->prepop_progress =
        MSG_VDISK_DATA_OFFSET + cache_first_missing(cc, r.site.get(), vc->vdisk_key.c_str(),
                                                    state->prepop_progress - MSG_VDISK_DATA_OFFSET,
                                                    state->end_offset - MSG_VDISK_DATA_OFFSET);
    // Everything is cached: no reply can still be awaited, so the run ends
    // now rather than after an idle wait.
    if (state->prepop_progress >= state->end_offset) break;
    send = std::max(send, state->prepop_progress);

    const uint64_t limit = mio_limit(r.s);
    {
      std::lock_guard<std::mutex> mio(cc->mio_mutex);
      client_mio_fragments_expire(cc, g_get_monotonic_time());
      uint32_t n = client_mio_frament_count(cc);
      while (send < state->end_offset && n < PREPOP_MAX_MIOS && limit > 0) {
        const uint64_t chunk = std::min<uint64_t>(state->end_offset - send, limit);
        const uint8_t thread_id = client_prepop_thread_id(cc);
        if (thread_id == 0) break;
        uint32_t id;
        const ssize_t sent = send_mio(r, thread_id, send, chunk, &id);
        if (sent == static_cast<ssize_t>(MSG_MIO_REQUEST_LEN)) {
          mio_fragment* f = client_mio_fragment_add(cc, thread_id, chunk, r.s.packet_size);
          const int64_t now = g_get_monotonic_time();
          if (f != nullptr) {
            f->offset = send;
            f->length = chunk;
            f->request_id = id;
            f->deadline = now + PREPOP_SEND_WAIT_US;
          }
          wait_until = now + PREPOP_SEND_WAIT_US;
          cc->prepop_mio_issued++;
          send += chunk;
          if (cc->prepop_retries != 0) {
            g_message("Client %s - Prepopulation of vdisk %s (%zu - %zu [%zu])", uuid_of(r),
                      key_of(r), static_cast<size_t>(send), static_cast<size_t>(send + chunk),
                      static_cast<size_t>(chunk));
          }
        } else {
          g_message("Client %s - prepop send failed ret = %d", uuid_of(r), static_cast<int>(sent));
        }
        n++;
      }
    }

    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::microseconds(wait_until - g_get_monotonic_time());
    if (vc->cond.wait_until(state.holder(), deadline) == std::cv_status::no_timeout) {
      cc->prepop_retries = 0;
      resend_late(r);
    } else {
      g_message("Client %s - Prepopulation of vdisk %s timeout (%zu - %zu [%zu])", uuid_of(r),
                key_of(r), static_cast<size_t>(state->prepop_progress), static_cast<size_t>(send),
                static_cast<size_t>(send - state->prepop_progress));
      send = state->prepop_progress;
      if (++cc->prepop_retries > PREPOP_MAX_RETRIES) {
        g_message("Client %s - Prepopulation for vdisk %s retries exceeded", uuid_of(r), key_of(r));
        break;
      }
      // Only a completed read wakes the worker, so a read that lost a
      // fragment would never be asked again and would hold its place among
      // the four for the rest of the run: late reads are resent here too.
      resend_late(r);
    }
    if (g_get_monotonic_time() > report) {
      g_message("Client %s - Prepopulation of vdisk %s mio_reqs %u timeouts %u (%zu - %zu [%zu])",
                uuid_of(r), key_of(r), cc->prepop_mio_issued, cc->prepop_timeouts,
                static_cast<size_t>(state->prepop_progress), static_cast<size_t>(send),
                static_cast<size_t>(send - state->prepop_progress));
      report = g_get_monotonic_time() + PREPOP_REPORT_US;
    }
  }

  if (state->prepop_progress >= state->end_offset) {
    state->prepop_progress = state->end_offset;
    g_message("Client %s - Prepopulation complete for vdisk %s", uuid_of(r), key_of(r));
    write_marker(r);
  } else if (!cc->prepopulate.load()) {
    g_message("Client %s - Prepopulation of vdisk %s canceled (%zu [%zu] of %zu)", uuid_of(r),
              key_of(r), static_cast<size_t>(state->prepop_progress), static_cast<size_t>(send),
              static_cast<size_t>(state->end_offset));
  } else if (cc->prepop_retries == 0) {
    g_message("Client %s - Prepopulation ended for vdisk %s", uuid_of(r), key_of(r));
  } else {
    g_message(
        "Client %s - Prepopulation of vdisk %s aborted, excessive failed retries (%zu [%zu] of "
        "%zu)",
        uuid_of(r), key_of(r), static_cast<size_t>(state->prepop_progress),
        static_cast<size_t>(send), static_cast<size_t>(state->end_offset));
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
    auto state = r.vc->state.lock();
    if (state->size == 0) {
      g_message("Client %s - Aborting prepopulation for %s because vdisk size is unknown",
                uuid_of(r), key_of(r));
    } else if (state->prepop_progress == state->end_offset) {
      g_message("Client %s - Prepopulation of vdisk %s is already complete", uuid_of(r), key_of(r));
    } else if (state->prepop_in_progress) {
      g_message("Client %s - Prepopulation of vdisk %s is already in progress", uuid_of(r),
                key_of(r));
    } else if (r.s.burst_size == 0) {
      g_message("Client %s - Aborting prepopulation becaue the clients' burst size is unknown",
                uuid_of(r));
    } else {
      state->prepop_in_progress = 1;
      prepop_vdisk(r, state);
      // Before the mark is cleared, so a new run never loses its own.
      forget_prepop_mios(cc);
      state->prepop_in_progress = 0;
    }
  }
  if (held != nullptr) vdisk_context_release(context, std::move(held));
  client_context_release(cc);
}
