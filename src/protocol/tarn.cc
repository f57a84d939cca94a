#include "protocol/tarn.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <span>

#include "cache/chunks.h"
#include "contexts/proxy_context.h"
#include "core/daemon.h"
#include "metrics/metrics.h"
#include "protocol/collapse.h"
#include "protocol/messages.h"
#include "protocol/opcodes.h"

namespace {

// Lines caused by a client's or a server's datagram pass the client's log
// rate limit: a peer repeating the same fault must not flood the log. Lines
// that record a change of the client's state (its link, its association,
// relogons, resets) are written always: operators search for them, and each
// needs the server's part in the conversation or is bounded per session.
#define TARN_CLIENT_MESSAGE(cc, ...)                  \
  do {                                                \
    if (client_log_admit(cc)) g_message(__VA_ARGS__); \
  } while (0)
#define TARN_CLIENT_WARNING(cc, ...)                  \
  do {                                                \
    if (client_log_admit(cc)) g_warning(__VA_ARGS__); \
  } while (0)

static_assert(TARN_EDIT_SPAN == TARN_HEADER_LEN);

// `passed`: already forwarded through the sender's pass.
enum class verdict { forward, drop, passed, size_mismatch, outdated_handle };

struct packet {
  proxy_context* context;
  const tarn_sender* sender;
  client_context* cc;
  const tarn_frame* frame;
  std::span<uint8_t> p;
  uint32_t opcode;
  bool request;
  const sockaddr_in* server;  // the datagram's server end
  const sockaddr_in* client;  // the datagram's client end
  timespec start;
};

const char* uuid_of(const client_context* cc) {
  return cc->uuid.c_str();
}

const char* name_of(const proxy_context* context, uint32_t opcode) {
  return opcode_name(context->opcode_names.get(), opcode);
}

// The ARP proxy reads the server address without the session lock, so its
// words are loaded and stored atomically.
bool same_family_and_port(client_context* cc, const sockaddr_in* addr) {
  return std::atomic_ref<sa_family_t>(cc->server_address.sin_family).load() == addr->sin_family &&
         std::atomic_ref<in_port_t>(cc->server_address.sin_port).load() == addr->sin_port;
}
bool same_address(client_context* cc, const sockaddr_in* addr) {
  return std::atomic_ref<in_addr_t>(cc->server_address.sin_addr.s_addr).load() ==
         addr->sin_addr.s_addr;
}
void store_server_address(client_context* cc, const sockaddr_in* addr) {
  std::atomic_ref<sa_family_t>(cc->server_address.sin_family).store(addr->sin_family);
  std::atomic_ref<in_port_t>(cc->server_address.sin_port).store(addr->sin_port);
  std::atomic_ref<in_addr_t>(cc->server_address.sin_addr.s_addr).store(addr->sin_addr.s_addr);
}

// The heartbeat gap is measured on the monotonic clock: a step of the wall
// clock must not drop heartbeat replies.
uint64_t monotonic_ms() {
  return static_cast<uint64_t>(g_get_monotonic_time() / 1000);
}

// The session is locked for writing.
void reset_vdisk_association(client_context* cc, client_session& s) {
  if (s.vdisk_id != CLIENT_VDISK_ID_NONE || s.vdisk_key[0] != '\0') {
    g_message("Client %s - Resetting vdisk context.", uuid_of(cc));
  } else {
    TARN_CLIENT_MESSAGE(cc, "Client %s - Resetting vdisk context.", uuid_of(cc));
  }
  s.vdisk_id = CLIENT_VDISK_ID_NONE;
  s.vdisk_info_valid = 0;
  client_context_set_vdisk_key(cc, s, "");
  client_context_update_status(cc, CLIENTSTATUS_INITIALISED);
}

// GRand is not safe for concurrent use; draws are rare next to the reads
// they tag, so one mutex is enough.
uint8_t draw_tag() {
  static std::mutex rand_mutex;
  std::lock_guard<std::mutex> hold(rand_mutex);
  if (tarn_rand == nullptr) tarn_rand = g_rand_new();
  return static_cast<uint8_t>(g_rand_int_range(tarn_rand, 0, 255));
}

// ---------------------------------------------------------------------------
// Session messages (session locked for writing).

void associate(packet& pk, client_session& s, uint32_t vdisk_id) {
  client_context* cc = pk.cc;
  if (s.received_vdisk_id != vdisk_id) {
    TARN_CLIENT_MESSAGE(cc, "Client %s - Passing SERVICE_REQUEST with vdisk_id mismatch",
                        uuid_of(cc));
    return;
  }
  if (vdisk_id != s.vdisk_id) {
    client_context_set_vdisk_key(cc, s, "");
    s.vdisk_id = vdisk_id;
    g_message("Client %s - Associating vdisk %u", uuid_of(cc), vdisk_id);
    update_vdisk(pk.context, cc, s);
  }
  cc->relogon_count.store(0);
  s.client_address = *pk.client;
}

void set_packet_size(client_context* cc, client_session& s, uint32_t mtu) {
  s.packet_size = mtu;
  if (mtu >= 65536) {
    TARN_CLIENT_WARNING(cc, "Client %s - MTU %d exceeds IP_MAXPACKET", uuid_of(cc),
                        static_cast<int>(mtu));
  } else if (mtu != 0) {
    TARN_CLIENT_MESSAGE(cc, "Client %s - Setting packet size to %d", uuid_of(cc),
                        static_cast<int>(mtu));
  }
}

void push_prepop_job(proxy_context* context, client_context* cc) {
  GThreadPool* pool = context->prepop_pool;
  // A pool without workers would keep the job, and the client it holds,
  // for ever.
  if (pool == nullptr || g_thread_pool_get_max_threads(pool) == 0) return;
  if (!client_context_hold(cc)) return;
  auto* job = new tarn_prepop_job;
  job->client.store(cc, std::memory_order_release);
  GError* error = nullptr;
  if (!g_thread_pool_push(pool, job, &error)) {
    TARN_CLIENT_WARNING(cc, "Client %s - Cannot queue prepopulation: %s", uuid_of(cc),
                        error != nullptr ? error->message : "unknown error");
    g_clear_error(&error);
    delete job;
    client_context_release(cc);
  }
}

verdict heartbeat_reply(packet& pk, client_session& s) {
  client_context* cc = pk.cc;
  if (!msg_parse_heartbeat_reply(pk.p)) return verdict::size_mismatch;
  if (pk.context->workaround_migrate_freeze && s.vdisk_id == CLIENT_VDISK_ID_NONE) {
    const uint64_t now = monotonic_ms();
    if (s.last_heartbeat_reply != 0 &&
        now < s.last_heartbeat_reply + SERVER_HEARTBEAT_REPLY_MIN_GAPMS) {
      TARN_CLIENT_MESSAGE(
          cc,
          "Client %s - Dropping heartbeat reply due to SERVER_HEARTBEAT_REPLY_MIN_GAPMS. Last "
          "heartbeat:%lu Now: %lu.",
          uuid_of(cc), static_cast<unsigned long>(s.last_heartbeat_reply),
          static_cast<unsigned long>(now));
      return verdict::drop;
    }
    s.last_heartbeat_reply = now;
  }
  vdisk_context* vc = vdisk_contexts_get(pk.context, cc, s);
  if (vc != nullptr) {
    {
      auto state = vc->state.lock();
      if (cc->prepopulate.load() && g_get_monotonic_time() > pk.context->prepop_not_before.load() &&
          vdisk_should_prepop(*state)) {
        push_prepop_job(pk.context, cc);
      }
    }
    vdisk_contexts_put(pk.context, vc);
  }
  return verdict::forward;
}

verdict uefi_service_tlv_request(packet& pk, client_session& s) {
  s.uefi_boot = 1;
  msg_tlv_walker w;
  msg_tlv_item item;
  msg_tlv_begin(pk.p, w);
  for (;;) {
    switch (msg_tlv_next(w, item)) {
      case msg_tlv_step::end:
        return verdict::forward;
      case msg_tlv_step::malformed:
        return verdict::size_mismatch;
      case msg_tlv_step::item:
        break;
    }
    if (item.type != MSG_TLV_VDISK_ID) continue;
    uint32_t vdisk_id;
    if (!msg_tlv_parse_vdisk_id(item, vdisk_id)) return verdict::size_mismatch;
    associate(pk, s, vdisk_id);
  }
}

verdict uefi_service_tlv_reply(packet& pk, client_session& s) {
  client_context* cc = pk.cc;
  s.uefi_boot = 1;
  s.vdisk_info.fill(0);
  std::memcpy(s.vdisk_info.data(), pk.p.data(), TARN_HEADER_LEN);
  const std::span<uint8_t> info(s.vdisk_info);
  msg_tlv_walker w;
  msg_tlv_item item;
  msg_tlv_begin(pk.p, w);
  for (;;) {
    msg_tlv_step step = msg_tlv_next(w, item);
    if (step == msg_tlv_step::end) break;
    if (step == msg_tlv_step::malformed) return verdict::size_mismatch;
    msg_uefi_service_reply r{};
    if (!msg_uefi_service_reply_apply(item, r)) return verdict::size_mismatch;
    // Each item takes effect as it comes: a fault later in the sequence
    // keeps what came before it.
    switch (item.type) {
      case MSG_TLV_VDISK_PARAMS:
        s.login_id = r.disk_handle;
        msg_store_u64(info, 28, r.sector_count);
        msg_store_u32(info, 36, r.write_cache_type);
        s.vdisk_info_valid = 1;
        break;
      case MSG_TLV_MTU:
        s.packet_size = r.mtu;
        if (r.mtu >= 65536) {
          TARN_CLIENT_WARNING(cc, "Client %s - MTU %d exceeds IP_MAXPACKET", uuid_of(cc),
                              static_cast<int>(r.mtu));
        }
        break;
      case TLV_OPTION_IO_BURST_SIZE:
        if (r.burst_size > 65536) {
          TARN_CLIENT_WARNING(
              cc, "Client %s - Received TLV_OPTION_IO_BURST_SIZE with invalid burst_size=%d",
              uuid_of(cc), static_cast<int>(r.burst_size));
        } else {
          TARN_CLIENT_MESSAGE(cc,
                              "Client %s - Received TLV_OPTION_IO_BURST_SIZE with burst_size=%d",
                              uuid_of(cc), static_cast<int>(r.burst_size));
          s.burst_size = r.burst_size;
        }
        break;
      case MSG_TLV_CONNECTION_HANDLE:
        s.connection_handle = r.connection_handle;
        msg_store_u32(info, MSG_CONNECTION_HANDLE_OFF, r.connection_handle);
        s.login_pending = 0;
        s.vdisk_info_valid = 1;
        break;
      case MSG_TLV_VDISK_IDENTITY:
        msg_store_u32(info, 62, r.key_suffix);
        msg_store_u32(info, 66, r.guid.data1);
        msg_store_u16(info, 70, r.guid.data2);
        msg_store_u16(info, 72, r.guid.data3);
        std::memcpy(info.data() + 74, r.guid.data4.data(), r.guid.data4.size());
        s.vdisk_info_valid = 1;
        break;
      default:
        break;
    }
  }
  update_vdisk(pk.context, cc, s);
  return verdict::forward;
}

verdict session_message(packet& pk, client_session& s) {
  client_context* cc = pk.cc;
  switch (pk.opcode) {
    case LS_LOGIN_PORT_REPLY_CODE: {
      msg_login_port_reply r;
      if (!msg_parse_login_port_reply(pk.p, r)) return verdict::size_mismatch;
      if (r.burst_size <= 65536) {
        TARN_CLIENT_MESSAGE(cc, "Client %s - Received LS_LOGIN_PORT_REPLY_CODE with burst_size=%d",
                            uuid_of(cc), static_cast<int>(r.burst_size));
        s.burst_size = r.burst_size;
      } else {
        TARN_CLIENT_WARNING(
            cc, "Client %s - Received LS_LOGIN_PORT_REPLY_CODE with invalid burst_size=%d",
            uuid_of(cc), static_cast<int>(r.burst_size));
      }
      s.login_pending = 1;
      set_packet_size(cc, s, r.mtu);
      return verdict::forward;
    }
    case LS_IO_PORT_REPLY_CODE: {
      msg_io_port_reply r;
      if (!msg_parse_io_port_reply(pk.p, r)) return verdict::size_mismatch;
      s.login_pending = 1;
      set_packet_size(cc, s, r.mtu);
      return verdict::forward;
    }
    case LS_LOGIN_PORT_TLV_REPLY_CODE:
      s.login_pending = 1;
      return verdict::forward;
    case LS_LOGIN_REQUEST_CODE:
    case LS_LOGIN_REQUEST_CODE_V2: {
      msg_login_request r;
      if (!msg_parse_login_request(pk.p, r) ||
          std::memcmp(r.client_mac.data(), pk.frame->src_mac, 6) != 0) {
        TARN_CLIENT_MESSAGE(cc, "Client %s - Dropping packet with spoofed MAC", uuid_of(cc));
        return verdict::drop;
      }
      return verdict::forward;
    }
    case LS_LOGIN_REPLY_CODE: {
      msg_login_reply r;
      if (!msg_parse_login_reply(pk.p, r)) return verdict::size_mismatch;
      s.login_pending = 0;
      s.connection_handle = r.connection_handle;
      s.login_id = r.disk_handle;
      return verdict::forward;
    }
    case LS_LOGOFF_REQUEST_CODE:
    case LS_ERROR_REPLY_CODE:
      s.login_pending = 1;
      reset_vdisk_association(cc, s);
      return verdict::forward;
    case LS_IO_SELECT_REPLY_CODE:
    case LS_IO_SELECT_REPLY_CODE_V2: {
      msg_io_select_reply r;
      if (!msg_parse_io_select_reply(pk.p, r)) return verdict::size_mismatch;
      s.received_vdisk_id = r.vdisk_id;
      TARN_CLIENT_MESSAGE(cc, "Client %s - Received vdisk %u", uuid_of(cc), r.vdisk_id);
      return verdict::forward;
    }
    case LS_UEFI_LOGIN_REPLY_CODE: {
      msg_uefi_login_reply r;
      if (!msg_parse_uefi_login_reply(pk.p, r)) return verdict::size_mismatch;
      s.received_vdisk_id = r.vdisk_id;
      TARN_CLIENT_MESSAGE(cc, "Client %s - Received vdisk %u", uuid_of(cc), r.vdisk_id);
      return verdict::forward;
    }
    case LS_SERVICE_REQUEST_CODE:
    case LS_OPTIONS_REQUEST_CODE:
    case LS_SERVICE_REQUEST_CODE_V2:
    case LS_RECONNECT_REQUEST_CODE_V2:
    case LS_UEFI_SERVICE_REQUEST_CODE: {
      msg_service_request r;
      if (!msg_parse_service_request(pk.p, r)) return verdict::size_mismatch;
      associate(pk, s, r.vdisk_id);
      return verdict::forward;
    }
    case LS_UEFI_SERVICE_TLV_REQUEST_CODE:
      return uefi_service_tlv_request(pk, s);
    case LS_UEFI_SERVICE_TLV_REPLY_CODE:
      return uefi_service_tlv_reply(pk, s);
    case LS_GET_PERSONALITY_REQUEST_CODE:
      s.client_address = *pk.client;
      return verdict::forward;
    case LS_GET_VDISK_INFO_REPLY_CODE_V2:
      if (pk.p.size() < MSG_VDISK_INFO_LEN) return verdict::size_mismatch;
      std::memcpy(s.vdisk_info.data(), pk.p.data(), MSG_VDISK_INFO_LEN);
      s.vdisk_info_valid = 1;
      update_vdisk(pk.context, cc, s);
      return verdict::forward;
    case LS_GET_VDISK_INFO_REPLY_CODE:
      if (s.vdisk_key[0] == '\0' && !s.read_cache_disabled) {
        TARN_CLIENT_MESSAGE(
            cc, "Client %s - Disabling read cache due to vDisk info protocol version", uuid_of(cc));
        s.read_cache_disabled = 1;
        client_context_update_status(cc, CLIENTSTATUS_INCOMPATIBLE_PROTOCOL_VERSION);
      }
      TARN_CLIENT_MESSAGE(cc, "Client %s - Received VDISK_INFO_REPLY_V1", uuid_of(cc));
      return verdict::forward;
    case LS_HEARTBEAT_REPLY_CODE:
      return heartbeat_reply(pk, s);
    default:
      return verdict::forward;
  }
}

// ---------------------------------------------------------------------------
// I/O messages (session locked for reading).

bool handles_match(const client_session& s, uint32_t connection_handle, uint32_t disk_handle) {
  return connection_handle == s.connection_handle && disk_handle == s.login_id;
}

void forced_relogon(packet& pk, verdict* out) {
  client_context* cc = pk.cc;
  // Counted under the read lock by any listener thread: claim a relogon
  // only while fewer than the limit have been sent.
  uint32_t count = cc->relogon_count.load();
  do {
    if (count >= TARN_MAX_RELOGONS) {
      *out = verdict::forward;
      return;
    }
  } while (!cc->relogon_count.compare_exchange_weak(count, count + 1));
  g_message("Client %s - Forcing relogon (%u)", uuid_of(cc), count);
  uint8_t reply[MSG_RELOGON_REPLY_LEN];
  const size_t n = msg_build_forced_relogon_reply(reply, pk.p);
  ssize_t sent = n == 0 ? -1 : pk.sender->send(pk.sender->arg, pk.server, pk.client, reply, n);
  *out = sent == static_cast<ssize_t>(MSG_RELOGON_REPLY_LEN) ? verdict::drop : verdict::forward;
}

// A lock taken with `try_take`, or when that fails with `take`, whose wait
// goes into the longest-wait figures (the second when `by_worker` says a
// prepopulation worker held it): no listener should wait long for a lock.
template <class Try, class Take, class Worker>
auto lock_noting_wait(packet& pk, Try try_take, Take take, Worker by_worker) {
  auto held = try_take();
  if (held) return held;
  const bool worker = by_worker();
  timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  held = take();
  clock_gettime(CLOCK_MONOTONIC, &end);
  const int64_t ns = (end.tv_sec - start.tv_sec) * 1'000'000'000LL + (end.tv_nsec - start.tv_nsec);
  metrics_note_lock_wait(&pk.context->metrics, &pk.cc->metrics, ns, worker);
  return held;
}

std::unique_lock<std::mutex> lock_mio(packet& pk) {
  client_context* cc = pk.cc;
  return lock_noting_wait(
      pk, [&] { return std::unique_lock<std::mutex>(cc->mio_mutex, std::try_to_lock); },
      [&] { return std::unique_lock<std::mutex>(cc->mio_mutex); },
      [&] { return cc->prepop_holds_mio.load(std::memory_order_relaxed); });
}

int64_t ns_of(const timespec& t) {
  return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

// The datagram's arrival at the engine: also when a forwarded request left,
// as forwarding follows at once.
int64_t start_ns(const packet& pk) {
  return ns_of(pk.start);
}

// Returns the end time (monotonic ns), which a reply's read latency shares.
int64_t record_latency(packet& pk, metrics_read_block* global, metrics_read_block* client) {
  timespec end;
  clock_gettime(CLOCK_MONOTONIC, &end);
  metrics_set_latency(&pk.start, &end, global, client);
  return ns_of(end);
}

// A VM read's service time, from `since_ns` to `now_ns` (read now when 0),
// into its kind's histogram, where the histograms are kept.
void record_read(packet& pk, metrics_read_kind kind, int64_t since_ns, int64_t now_ns = 0) {
  if (!pk.context->latency_histograms) return;
  if (now_ns == 0) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    now_ns = ns_of(now);
  }
  metrics_record_latency(&pk.context->metrics, &pk.cc->metrics, kind, now_ns - since_ns);
}

// A reply that completes a read goes to the VM before its cache write where
// the listener can send it at once.
verdict pass_before_store(packet& pk) {
  if (pk.sender == nullptr || pk.sender->pass == nullptr) return verdict::forward;
  pk.sender->pass(pk.sender->pass_arg);
  return verdict::passed;
}

// Whether the client's missed read was held for another client's read in
// flight (protocol/collapse.h); if not, it is recorded in flight as `key`
// where collapsing is on. `may_hold` false only records it.
bool held_back(packet& pk, const client_session& s, uint32_t key, uint64_t offset, uint64_t length,
               bool may_hold) {
  vdisk_context* vc = s.linked_vdisk;
  if (!pk.context->collapse_forwarding || vc == nullptr || length == 0 ||
      !tarn_read_within_vdisk(s, offset, length)) {
    return false;
  }
  if (collapse_read_missed(vc, pk.cc, key, offset, length, may_hold, pk.frame, pk.p,
                           g_get_monotonic_time()) != collapse_verdict::held) {
    return false;
  }
  metrics_add_held(&pk.context->metrics, &pk.cc->metrics, &metrics_record::held_reads);
  return true;
}

// A reply to the client's read `key` was handled; `stored` when its bytes are
// in the cache now.
void note_completed(packet& pk, const client_session& s, uint32_t key, uint64_t offset,
                    uint64_t length, bool stored) {
  if (!pk.context->collapse_forwarding || s.linked_vdisk == nullptr) return;
  collapse_read_completed(s.linked_vdisk, pk.cc, key, offset, length, stored,
                          g_get_monotonic_time());
}

// A missed extent read goes to the server tagged, so that its reply is
// recognised and stored.
void forward_ext_miss(packet& pk, const msg_ext_read_request& r, bool missed) {
  const uint8_t tag = draw_tag();
  msg_set_tag(pk.p, tag);
  *pk.cc->last_forwarded_read.lock() = {tag, static_cast<uint32_t>(r.offset >> 32),
                                        static_cast<uint32_t>(r.offset), missed, start_ns(pk)};
}

// A missed MIO goes to the server with a record to reassemble its reply in.
void track_mio_miss(packet& pk, const client_session& s, const msg_mio_read_request& r) {
  client_context* cc = pk.cc;
  bool tracked;
  {
    const auto hold = lock_mio(pk);
    client_mio_fragments_expire(cc, g_get_monotonic_time());
    client_mio_fragment_del(cc, r.thread_id);
    // A read of more fragments than the outstanding mask has bits is not
    // tracked (add refuses it), so its reply is never stored.
    mio_fragment* f = client_mio_fragment_add(cc, r.thread_id, r.length, s.packet_size);
    tracked = f != nullptr;
    if (tracked) {
      f->request_id = r.request_id;
      f->offset = r.offset;
      f->length = r.length;
      f->deadline = g_get_monotonic_time() + TARN_MIO_DEADLINE_US;
      f->sent_ns = start_ns(pk);
    }
  }
  if (!tracked && pk.context->collapse_forwarding && s.linked_vdisk != nullptr) {
    collapse_read_dropped(s.linked_vdisk, cc, r.thread_id, g_get_monotonic_time());
  }
}

verdict ext_read_request(packet& pk, const client_session& s) {
  client_context* cc = pk.cc;
  msg_ext_read_request r;
  if (!msg_parse_ext_read_request(pk.p, r)) return verdict::size_mismatch;
  if (!handles_match(s, msg_connection_handle(pk.p), r.disk_handle)) {
    return verdict::outdated_handle;
  }
  client_context_update_status(cc, CLIENTSTATUS_CACHING);
  if (r.length != 0 && tarn_read_within_vdisk(s, r.offset, r.length)) {
    vdisk_boot_note(s, r.offset - MSG_VDISK_DATA_OFFSET, r.length, g_get_monotonic_time());
  }
  const int64_t now = g_get_real_time() / G_USEC_PER_SEC;
  bool missed = false;
  if (now > cc->last_server_activity.load() + TARN_SERVER_ACTIVITY_WINDOW_S) {
    TARN_CLIENT_MESSAGE(cc, "Client %s - Timer expired; allowing the server to see this request",
                        uuid_of(cc));
  } else if (tarn_satisfy_ext_read_from_cache(pk.context, cc, s, pk.sender, pk.p.data(),
                                              pk.p.size(), pk.client, pk.server)) {
    metrics_increment_cache_hit_reads(&pk.context->metrics.ext, &cc->metrics.ext);
    record_read(pk, metrics_read_kind::hit, start_ns(pk));
    return verdict::drop;
  } else {
    missed = true;
  }
  // Held only where the cache could answer it once stored: a reply longer
  // than the packet size is the server's to send.
  const bool servable = MSG_EXT_READ_HEADER_LEN + r.length <= s.packet_size;
  if (held_back(pk, s, VDISK_INFLIGHT_EXT, r.offset, r.length, missed && servable)) {
    return verdict::drop;
  }
  if (missed) metrics_increment_cache_missed_reads(&pk.context->metrics.ext, &cc->metrics.ext);
  forward_ext_miss(pk, r, missed);
  return verdict::forward;
}

verdict ext_read_reply(packet& pk, const client_session& s) {
  client_context* cc = pk.cc;
  msg_ext_read_reply r;
  if (!msg_parse_ext_read_reply(pk.p, r)) return verdict::size_mismatch;
  if (!handles_match(s, msg_connection_handle(pk.p), r.disk_handle)) {
    return verdict::outdated_handle;
  }
  if (r.offset < MSG_VDISK_DATA_OFFSET) return verdict::forward;
  bool recorded;
  client_forwarded_read read;
  {
    auto last = cc->last_forwarded_read.lock();
    read = *last;
    recorded = msg_tag(pk.p) == last->tag &&
               static_cast<uint32_t>(r.offset >> 32) == last->offset_high &&
               static_cast<uint32_t>(r.offset) == last->offset_low;
    *last = client_forwarded_read{};
  }
  verdict v = verdict::forward;
  bool stored = false;
  if (recorded) {
    // An empty reply has nothing to store, and the store takes a zero length
    // for a caller's error.
    if (r.length != 0 && tarn_read_within_vdisk(s, r.offset, r.length)) {
      v = pass_before_store(pk);
      stored = cache_put_data(pk.context, cc, s, r.offset - MSG_VDISK_DATA_OFFSET, r.data.data(),
                              r.length) == r.length;
    }
  } else {
    TARN_CLIENT_MESSAGE(cc, "Client %s - Invalid response from server. DO NOT CACHE", uuid_of(cc));
  }
  // The record is gone either way: the read in flight is over.
  note_completed(pk, s, VDISK_INFLIGHT_EXT, r.offset, r.length, stored);
  const int64_t end_ns = record_latency(pk, &pk.context->metrics.ext, &cc->metrics.ext);
  if (recorded && read.missed) record_read(pk, metrics_read_kind::miss, read.sent_ns, end_ns);
  return v;
}

verdict mio_read_request(packet& pk, const client_session& s) {
  client_context* cc = pk.cc;
  msg_mio_read_request r;
  if (!msg_parse_mio_read_request(pk.p, r)) return verdict::size_mismatch;
  if (!handles_match(s, msg_connection_handle(pk.p), r.disk_handle)) {
    return verdict::outdated_handle;
  }
  client_context_update_status(cc, CLIENTSTATUS_CACHING);
  if (r.length != 0 && tarn_read_within_vdisk(s, r.offset, r.length)) {
    vdisk_boot_note(s, r.offset - MSG_VDISK_DATA_OFFSET, r.length, g_get_monotonic_time());
  }
  if (tarn_satisfy_mio_read_from_cache(pk.context, cc, s, pk.sender, pk.p.data(), pk.p.size(),
                                       pk.client, pk.server)) {
    metrics_increment_cache_hit_reads(&pk.context->metrics.mio, &cc->metrics.mio);
    record_read(pk, metrics_read_kind::hit, start_ns(pk));
    return verdict::drop;
  }
  if (r.thread_id & MSG_THREAD_ID_PREPOP) {
    metrics_increment_cache_missed_reads(&pk.context->metrics.mio, &cc->metrics.mio);
    TARN_CLIENT_WARNING(cc, "Client %s - Can't track MIO that already sets high ThreadId Bit",
                        uuid_of(cc));
    return verdict::forward;
  }
  if (held_back(pk, s, r.thread_id, r.offset, r.length, true)) return verdict::drop;
  metrics_increment_cache_missed_reads(&pk.context->metrics.mio, &cc->metrics.mio);
  track_mio_miss(pk, s, r);
  return verdict::forward;
}

// Whether the fragment is exactly the one the record expects under its
// number: the mask only says which numbers arrived, so a fragment that does
// not cover its own share of the read could leave holes in a read that looks
// complete.
bool fragment_fits(const mio_fragment* f, const msg_mio_read_reply& r, uint32_t packet_size) {
  const uint32_t room = packet_size - MIO_FRAGMENT_HEADER;
  if (r.offset != f->offset || r.length != f->length) return false;
  if (r.fragment_count != f->count || r.fragment_number == 0 || r.fragment_number > f->count) {
    return false;
  }
  const uint64_t at = static_cast<uint64_t>(r.fragment_number - 1) * room;
  const uint64_t expected = std::min<uint64_t>(room, f->length - at);
  return r.fragment_offset == at && r.fragment_length == expected;
}

bool all_zero(const uint8_t* data, size_t len) {
  static const uint8_t zeros[MIO_FRAGMENT_DATA_SIZE] = {};
  return std::memcmp(data, zeros, len) == 0;
}

verdict mio_read_reply(packet& pk, const client_session& s) {
  client_context* cc = pk.cc;
  proxy_context* context = pk.context;
  msg_mio_read_reply r;
  if (!msg_parse_mio_read_reply(pk.p, r)) return verdict::size_mismatch;
  if (msg_version(pk.p) != msg_mio_version(s.uefi_boot != 0)) return verdict::forward;
  const bool prepop = (r.thread_id & MSG_THREAD_ID_PREPOP) != 0;
  if (!handles_match(s, msg_connection_handle(pk.p) & ~MSG_CONNECTION_HANDLE_FLAG, r.disk_handle)) {
    // A late answer to a read the daemon itself sent in an earlier session
    // says nothing about the client's present one, which it must not undo.
    if (prepop) {
      metrics_increment_unhandled_mio(&context->metrics, &cc->metrics);
      return verdict::drop;
    }
    return verdict::outdated_handle;
  }
  verdict pass = prepop ? verdict::drop : verdict::forward;
  // The complete read is taken out of the table, so that its cache write
  // holds no lock but the session's read lock, which the caller holds.
  std::unique_ptr<mio_fragment> done;
  {
    const auto mio = lock_mio(pk);
    mio_fragment* f = client_mio_fragment_get(cc, r.thread_id);
    if (f == nullptr || f->request_id != r.request_id ||
        static_cast<uint32_t>(r.fragment_offset) + r.fragment_length > MIO_FRAGMENT_DATA_SIZE ||
        r.length > s.vdisk_end_offset || r.offset > s.vdisk_end_offset - r.length ||
        !fragment_fits(f, r, s.packet_size)) {
      metrics_increment_unhandled_mio(&context->metrics, &cc->metrics);
      return pass;
    }
    std::memcpy(f->data.data() + r.fragment_offset, r.data.data(), r.fragment_length);
    const uint32_t bit = 1u << (r.fragment_number - 1);
    uint32_t mask = f->outstanding.load();
    while (!f->outstanding.compare_exchange_weak(mask, mask & ~bit)) {
    }
    if ((mask & ~bit) != 0) return pass;
    done = client_mio_fragment_take(cc, r.thread_id);
  }
  const int64_t sent_ns = done->sent_ns;
  if (!prepop) pass = pass_before_store(pk);
  bool stored = false;
  if (r.offset >= MSG_VDISK_DATA_OFFSET) {
    const uint64_t at = r.offset - MSG_VDISK_DATA_OFFSET;
    if (all_zero(done->data.data(), r.length)) {
      const int32_t n = cache_put_sparse(context, cc, s, at, r.length);
      stored = n == r.length;
      if (n != r.length) {
        TARN_CLIENT_MESSAGE(cc, "Client %s - bad sparse write %zu of %zu at (%zu %zu [%zu])",
                            uuid_of(cc), static_cast<size_t>(n), static_cast<size_t>(r.length),
                            static_cast<size_t>(at), static_cast<size_t>(at + r.length),
                            static_cast<size_t>(r.length));
      }
    } else {
      const int32_t n = cache_put_data(context, cc, s, at, done->data.data(), r.length);
      stored = n == r.length;
      if (n != r.length) {
        TARN_CLIENT_MESSAGE(cc, "Client %s - bad write %zu of %zu at (%zu %zu [%zu])", uuid_of(cc),
                            static_cast<size_t>(n), static_cast<size_t>(r.length),
                            static_cast<size_t>(at), static_cast<size_t>(at + r.length),
                            static_cast<size_t>(r.length));
      }
    }
  }
  {
    const auto mio = lock_mio(pk);
    client_mio_fragment_recycle(cc, std::move(done));
  }
  if (!prepop) note_completed(pk, s, r.thread_id, r.offset, r.length, stored);
  const int64_t end_ns = record_latency(pk, &context->metrics.mio, &cc->metrics.mio);
  if (!prepop) record_read(pk, metrics_read_kind::miss, sent_ns, end_ns);
  if (prepop) {
    cc->prepop_completions.fetch_add(1);
    // Taken for the notification alone, so the job cannot miss it between
    // its check and its wait.
    {
      // Only the job ever holds it.
      const auto wake = lock_noting_wait(
          pk, [&] { return std::unique_lock<std::mutex>(cc->prepop_wake_mutex, std::try_to_lock); },
          [&] { return std::unique_lock<std::mutex>(cc->prepop_wake_mutex); }, [] { return true; });
    }
    cc->prepop_wake.notify_one();
  }
  return pass;
}

// Whether the session lets the engine track and serve reads: as io_message
// decides for a read that arrives.
bool session_serves_reads(const client_session& s) {
  return !s.login_pending && !s.read_cache_disabled && s.vdisk_id != CLIENT_VDISK_ID_NONE &&
         s.vdisk_key[0] != '\0' && tarn_packet_size_usable(s.packet_size);
}

// A held read whose covering reply was stored, answered as a hit would be;
// false when the cache or the session cannot answer it now.
bool answer_held(packet& pk, const client_session& s, int64_t held_us) {
  if (!session_serves_reads(s)) return false;
  proxy_context* context = pk.context;
  client_context* cc = pk.cc;
  if (pk.opcode == IOS_READ_EXT_REQUEST_CODE) {
    msg_ext_read_request r;
    if (!msg_parse_ext_read_request(pk.p, r) ||
        !handles_match(s, msg_connection_handle(pk.p), r.disk_handle) ||
        !tarn_satisfy_ext_read_from_cache(context, cc, s, pk.sender, pk.p.data(), pk.p.size(),
                                          pk.client, pk.server)) {
      return false;
    }
    metrics_increment_cache_hit_reads(&context->metrics.ext, &cc->metrics.ext);
  } else {
    msg_mio_read_request r;
    if (!msg_parse_mio_read_request(pk.p, r) ||
        !handles_match(s, msg_connection_handle(pk.p), r.disk_handle) ||
        !tarn_satisfy_mio_read_from_cache(context, cc, s, pk.sender, pk.p.data(), pk.p.size(),
                                          pk.client, pk.server)) {
      return false;
    }
    metrics_increment_cache_hit_reads(&context->metrics.mio, &cc->metrics.mio);
  }
  metrics_add_held(&context->metrics, &cc->metrics, &metrics_record::held_answered_reads);
  record_read(pk, metrics_read_kind::held, held_us * 1000);
  return true;
}

// A held read goes to the server after all, tracked as any miss where the
// session still takes it, so that its reply is stored.
void forward_held(packet& pk, const client_session& s) {
  const bool ext = pk.opcode == IOS_READ_EXT_REQUEST_CODE;
  if (session_serves_reads(s)) {
    if (ext) {
      msg_ext_read_request r;
      if (msg_parse_ext_read_request(pk.p, r) &&
          handles_match(s, msg_connection_handle(pk.p), r.disk_handle)) {
        held_back(pk, s, VDISK_INFLIGHT_EXT, r.offset, r.length, false);
        forward_ext_miss(pk, r, true);
      }
    } else {
      msg_mio_read_request r;
      if (msg_parse_mio_read_request(pk.p, r) &&
          handles_match(s, msg_connection_handle(pk.p), r.disk_handle)) {
        held_back(pk, s, r.thread_id, r.offset, r.length, false);
        track_mio_miss(pk, s, r);
      }
    }
  }
  proxy_context* context = pk.context;
  client_context* cc = pk.cc;
  metrics_increment_cache_missed_reads(ext ? &context->metrics.ext : &context->metrics.mio,
                                       ext ? &cc->metrics.ext : &cc->metrics.mio);
  metrics_add_held(&context->metrics, &cc->metrics, &metrics_record::held_timed_out_reads);
  pk.sender->forward(pk.sender->arg, pk.frame, pk.p.data(), pk.p.size());
  cc->last_server_activity.exchange(g_get_real_time() / G_USEC_PER_SEC);
}

verdict io_message(packet& pk, const client_session& s) {
  if (s.login_pending || s.read_cache_disabled) return verdict::forward;
  // A session whose login reply this daemon never saw (it started, or was
  // restarted, in the middle of the login) gets its vDisk but can never be
  // linked, as the handles to check the vDisk information against are
  // missing: such a client is made to log in again, like one without a vDisk.
  const bool login_unseen = s.vdisk_key[0] == '\0' && s.connection_handle == 0;
  if (s.vdisk_id == CLIENT_VDISK_ID_NONE || login_unseen) {
    verdict v = verdict::forward;
    if (pk.opcode == IOS_READ_MIO_REQUEST_CODE) {
      if (pk.p.size() < MSG_MIO_REQUEST_LEN) return verdict::size_mismatch;
      forced_relogon(pk, &v);
    }
    return v;
  }
  if (!tarn_packet_size_usable(s.packet_size) || s.vdisk_key[0] == '\0') {
    return verdict::forward;
  }
  switch (pk.opcode) {
    case IOS_READ_EXT_REQUEST_CODE:
      return ext_read_request(pk, s);
    case IOS_READ_EXT_REPLY_CODE:
      return ext_read_reply(pk, s);
    case IOS_READ_MIO_REQUEST_CODE:
      return mio_read_request(pk, s);
    case IOS_READ_MIO_REPLY_CODE:
      return mio_read_reply(pk, s);
    default:
      return verdict::forward;
  }
}

// Server tracking; false when the datagram is to be forwarded at once.
bool track_server(packet& pk) {
  client_context* cc = pk.cc;
  const sockaddr_in* server = pk.server;
  if (same_address(cc, server)) {
    if (same_family_and_port(cc, server)) return true;
    auto s = cc->session.lock();
    store_server_address(cc, server);
    return true;
  }
  if (cc->site_context != nullptr &&
      site_context_contains_server_ip(pk.context, cc->site_context, server->sin_addr.s_addr)) {
    auto s = cc->session.lock();
    if (!same_address(cc, server)) {
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &server->sin_addr, text, sizeof text);
      TARN_CLIENT_MESSAGE(cc, "Client %s - Now communicating with %s. Resetting vdisk_id and key.",
                          uuid_of(cc), text);
      reset_vdisk_association(cc, *s);
    }
    store_server_address(cc, server);
    return true;
  }
  if (!pk.request) {
    TARN_CLIENT_WARNING(cc, "Client %s - Client is sending server message.", uuid_of(cc));
    return false;
  }
  return true;
}

}  // namespace

bool tarn_read_within_vdisk(const client_session& s, uint64_t offset, uint64_t length) {
  const uint64_t end = s.vdisk_end_offset;
  return offset >= MSG_VDISK_DATA_OFFSET && offset < end && length <= end - offset;
}

bool tarn_packet_size_usable(uint32_t packet_size) {
  return packet_size > MIO_FRAGMENT_HEADER && packet_size <= TARN_MAX_PAYLOAD;
}

int tarn_process_packet(proxy_context* context, const tarn_sender* sender, client_context* client,
                        const tarn_frame* frame, uint8_t* payload, size_t len) {
  g_return_val_if_fail(context != NULL && client != NULL, 1);
  packet pk{};
  clock_gettime(CLOCK_MONOTONIC, &pk.start);
  if (payload == nullptr || len < TARN_HEADER_LEN) return 1;
  pk.context = context;
  pk.sender = sender;
  pk.cc = client;
  pk.frame = frame;
  pk.p = std::span<uint8_t>(payload, len);
  pk.opcode = msg_opcode(pk.p);
  const uint32_t family = opcode_family(pk.opcode);
  if (family == OPCODE_FAMILY_PORT || family == OPCODE_FAMILY_LOGIN) {
    TARN_CLIENT_MESSAGE(client, "Client %s - Packet: %s", uuid_of(client),
                        name_of(context, pk.opcode));
  }
  pk.request = opcode_is_request(pk.opcode);
  // Both directions pass the client's interface, and the opcode and the IPv4
  // addresses are whatever the sender wrote: a VM could send "server replies"
  // in its server's name and steer its session, or fill the shared cache with
  // data of its choosing. Only the Ethernet addresses tell which way a frame
  // travels, so a reply must go to the client's MAC and come from another,
  // and a request must come from the client's MAC. Anything else passes
  // untouched, as it would without the daemon.
  const bool from_client = std::memcmp(frame->src_mac, client->mac.data(), 6) == 0;
  const bool to_client = std::memcmp(frame->dst_mac, client->mac.data(), 6) == 0;
  if (pk.request ? !from_client : (from_client || !to_client)) {
    TARN_CLIENT_WARNING(client, "Client %s - Ignoring %s travelling against its direction",
                        uuid_of(client), name_of(context, pk.opcode));
    return 1;
  }
  pk.client = pk.request ? &frame->src : &frame->dst;
  pk.server = pk.request ? &frame->dst : &frame->src;
  if (!track_server(pk)) return 1;

  // Counted, and the verdict followed up, under the session's lock.
  const auto account = [&] {
    const uint32_t bytes = static_cast<uint32_t>(len);
    if (pk.request) {
      metrics_add_client_sent_b(&context->metrics, &client->metrics, bytes);
    } else {
      metrics_add_server_sent_b(&context->metrics, &client->metrics, bytes);
    }
  };
  const auto settle = [&](verdict v) {
    if (v == verdict::size_mismatch) {
      TARN_CLIENT_WARNING(client, "Client %s - Size mismatch: %s", uuid_of(client),
                          name_of(context, pk.opcode));
      v = verdict::forward;
    }
    if (v == verdict::forward && pk.request) {
      client->last_server_activity.exchange(g_get_real_time() / G_USEC_PER_SEC);
    }
    return v == verdict::forward ? 1 : 0;
  };
  if (family == OPCODE_FAMILY_PORT || family == OPCODE_FAMILY_INFO ||
      family == OPCODE_FAMILY_LOGIN) {
    auto s = client->session.lock();
    account();
    return settle(session_message(pk, *s));
  }
  if (family != OPCODE_FAMILY_IO) return 1;
  {
    auto s = lock_noting_wait(
        pk, [&] { return client->session.try_lock_shared(); },
        [&] { return client->session.lock_shared(); }, [] { return false; });
    account();
    const verdict v = io_message(pk, *s);
    if (v != verdict::outdated_handle) return settle(v);
  }
  // Another thread may act on the client between the two locks; the reset
  // is right whatever it did, since the handle it saw is outdated.
  auto s = client->session.lock();
  g_message("Client %s - Detected outdated handle.", uuid_of(client));
  reset_vdisk_association(client, *s);
  return 1;
}

void tarn_serve_held(proxy_context* context, client_context* client, const tarn_sender* sender,
                     int64_t now_us) {
  g_return_if_fail(context != NULL && client != NULL && sender != NULL);
  if (client->held_count.load() == 0) return;
  auto s = client->session.lock_shared();
  vdisk_context* vc = s->linked_vdisk;
  if (vc == nullptr) return;
  vdisk_held_read taken[VDISK_HELD_PER_CLIENT];
  const size_t n = collapse_take(vc, client, now_us, taken, VDISK_HELD_PER_CLIENT);
  for (size_t i = 0; i < n; i++) {
    vdisk_held_read& h = taken[i];
    tarn_frame frame;
    memcpy(frame.src_mac, h.src_mac, 6);
    memcpy(frame.dst_mac, h.dst_mac, 6);
    frame.src = h.src;
    frame.dst = h.dst;
    packet pk{};
    clock_gettime(CLOCK_MONOTONIC, &pk.start);
    pk.context = context;
    pk.sender = sender;
    pk.cc = client;
    pk.frame = &frame;
    pk.p = std::span<uint8_t>(h.request.data(), h.len);
    pk.opcode = msg_opcode(pk.p);
    pk.request = true;
    pk.client = &frame.src;
    pk.server = &frame.dst;
    if (h.stored && answer_held(pk, *s, h.held_us)) continue;
    forward_held(pk, *s);
  }
}

void update_vdisk(proxy_context* context, client_context* cc, client_session& s) {
  g_return_if_fail(context != NULL && cc != NULL);
  if (s.vdisk_id == CLIENT_VDISK_ID_NONE || !s.vdisk_info_valid) return;
  msg_vdisk_info info;
  if (!msg_parse_vdisk_info_reply(s.vdisk_info, info)) return;
  if (info.connection_handle != s.connection_handle) {
    TARN_CLIENT_MESSAGE(cc, "Client %s - Skipping update_vdisk as connectionHandle doesn't match",
                        uuid_of(cc));
    return;
  }
  char key[CLIENT_VDISK_KEY_SIZE];
  g_snprintf(key, sizeof key, "%u-%u-%u-%u-%u-%u-%u-%u-%u", s.vdisk_id, info.guid.data1,
             static_cast<unsigned>(info.guid.data2), static_cast<unsigned>(info.guid.data3),
             static_cast<unsigned>(info.guid.data4[0]), static_cast<unsigned>(info.guid.data4[1]),
             static_cast<unsigned>(info.guid.data4[2]), static_cast<unsigned>(info.guid.data4[3]),
             info.key_suffix);
  if (s.vdisk_key[0] != '\0' && strncmp(s.vdisk_key, key, CLIENT_VDISK_KEY_SIZE) != 0) {
    g_warning("Client %s - Received unsolicited new vdisk_key %s. Disabling readcache.",
              uuid_of(cc), key);
    s.read_cache_disabled = 1;
    client_context_update_status(cc, CLIENTSTATUS_INITIALISED);
    return;
  }
  if (msg_write_cache_on_server(info.write_cache_type)) {
    g_message("Client %s - Disabling read cache due to server-side write caching", uuid_of(cc));
    s.read_cache_disabled = 1;
    client_context_update_status(cc, CLIENTSTATUS_INCOMPATIBLE_WRITE_CACHE_MODE);
    return;
  }
  s.read_cache_disabled = 0;
  client_context_update_status(cc, CLIENTSTATUS_INITIALISED);
  g_message("Client %s - linked with vdisk_key %s", uuid_of(cc), key);
  client_context_set_vdisk_key(cc, s, key);
  // A sector count no disk can have would wrap the end offset.
  const uint64_t size = std::min<uint64_t>(info.sector_count, (UINT64_MAX - 1023) / 512) * 512;
  s.vdisk_end_offset = size + MSG_VDISK_DATA_OFFSET;
  vdisk_context* vc = vdisk_contexts_get(context, cc, s);
  if (vc == nullptr) g_error("Client %s - failed to get its vdisk context", uuid_of(cc));
  {
    auto state = vc->state.lock();
    state->size = size;
    state->end_offset = s.vdisk_end_offset;
    g_message("Client %s - Setting size for vdisk_key %s to %" G_GUINT64_FORMAT " bytes",
              uuid_of(cc), vc->vdisk_key.c_str(), state->size);
    context->prepop_not_before.store(g_get_monotonic_time() + context->prepop_holdoff_us);
  }
  vdisk_contexts_put(context, vc);
}
