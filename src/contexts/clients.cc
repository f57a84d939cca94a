#include "contexts/clients.h"

#include <glib.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "contexts/proxy_context.h"
#include "contexts/sites.h"
#include "contexts/vdisks.h"
#include "core/assert.h"
#include "metrics/rrd.h"
#include "net/interface_thread.h"
#include "net/ovs.h"
#include "net/wire.h"

namespace {

constexpr const char* STATUS_TEXT[] = {
    "CLIENTSTATUS_STOPPED",
    "CLIENTSTATUS_INITIALISED",
    "CLIENTSTATUS_CACHING",
    "CLIENTSTATUS_INCOMPATIBLE_WRITE_CACHE_MODE",
    "CLIENTSTATUS_INCOMPATIBLE_PROTOCOL_VERSION",
};

void free_record(client_context* cc) {
  rrd_client_close(cc);
  if (cc->open_chunk_fd.valid() && cc->open_chunk_fd.close() != 0) {
    g_warning("Client %s - client_context_free close(): %s", cc->uuid.c_str(), g_strerror(errno));
  }
  // The MIO table, the locks and a transmit socket still open go with the record.
  delete cc;
}

// Opens the transmit socket that prepopulation sends through, if the client
// has none; a failure is logged by open_transmit_socket and leaves none.
void ensure_xmitfd(proxy_context* context, client_context* cc) {
  if (cc->xmitfd.valid()) return;
  int fd = open_transmit_socket(context);
  if (fd >= 0) cc->xmitfd.reset(fd);
}

// Re-creation of a live client: only `prepopulate` may change.
void update_existing(proxy_context* context, client_context* cc, site_context* site,
                     const uint8_t* mac, const char* interface, bool prepopulate) {
  client_contexts_get_wl(cc);
  if (cc->interface != interface) g_warning("Can't change client interface at run time");
  if (memcmp(cc->mac.data(), mac, cc->mac.size()) != 0) {
    g_warning("Can't change client mac at run time");
  }
  if (cc->site_context == nullptr || cc->site_context->uuid != site->uuid) {
    g_warning("Can't change client's site at run time");
  }
  // The socket first: a job started because `prepopulate` reads set must
  // find it open.
  if (prepopulate) ensure_xmitfd(context, cc);
  cc->prepopulate.store(prepopulate ? 1 : 0, std::memory_order_release);
  client_contexts_put_wl(cc);
}

// Refuses new holds and waits, bounded, for the present ones to end. True if
// some are left.
bool wait_for_holds(client_context* cc) {
  std::unique_lock<std::mutex> hold(cc->hold_mutex);
  cc->hold_refused = true;
  if (cc->hold_cond.wait_for(hold, std::chrono::milliseconds(CLIENT_HOLD_WAIT_MS),
                             [cc] { return cc->hold_count == 0; })) {
    return false;
  }
  g_warning("Client %s - %u prepopulation jobs still hold the client; it is freed when they end",
            cc->uuid.c_str(), cc->hold_count);
  return true;
}

}  // namespace

uint64_t client_mac_key(const uint8_t mac[6]) {
  return mac_to_u48(mac);
}

const char* client_status_text(uint32_t status) {
  return status < G_N_ELEMENTS(STATUS_TEXT) ? STATUS_TEXT[status] : nullptr;
}

void client_contexts_init(proxy_context* context) {
  g_return_if_fail(context != NULL);
  context->client_context_ht = std::make_unique<client_table>();
}

client_context* client_contexts_create(proxy_context* context, site_context* sitecontext,
                                       const char* uuid, const uint8_t* mac, const char* interface,
                                       bool prepopulate) {
  g_return_val_if_fail(context != NULL, nullptr);
  g_return_val_if_fail(uuid != NULL && mac != NULL && interface != NULL, nullptr);
  g_return_val_if_fail(sitecontext != NULL, nullptr);
  std::unique_lock<std::shared_mutex> table_hold(context->client_lock);
  if (!context->client_context_ht) return nullptr;
  client_table& table = *context->client_context_ht;

  for (auto& entry : table) {
    if (entry.second->uuid == uuid) {
      update_existing(context, entry.second.get(), sitecontext, mac, interface, prepopulate);
      return entry.second.get();
    }
  }
  // One client per MAC: replacing the holder would free it under its running
  // threads.
  const uint64_t key = client_mac_key(mac);
  auto same_mac = table.find(key);
  if (same_mac != table.end()) {
    g_warning("Client %s - Can't add a client whose mac is already used by client %s", uuid,
              same_mac->second->uuid.c_str());
    return nullptr;
  }

  std::unique_ptr<client_context, client_context_deleter> cc(new client_context);
  cc->site_context = sitecontext;
  cc->uuid = uuid;
  cc->interface = interface;
  memcpy(cc->mac.data(), mac, cc->mac.size());
  if (prepopulate) ensure_xmitfd(context, cc.get());
  cc->prepopulate = prepopulate ? 1 : 0;
  rrd_client_open(cc.get());

  int rc;
  for (;;) {
    uint16_t id = context->next_fanout_group_id.fetch_add(1);
    rc = interface_thread_create(context, cc.get(), id);
    // -EAGAIN is also what a thread reports for its own EAGAIN; only a
    // clash of ids is worth another id. Each retry passes one other group,
    // so the loop ends.
    if (rc != -EAGAIN || !interface_thread_fanout_id_in_use(context, id)) break;
    g_info("Trying the next fanout group id...");
  }
  if (rc < 0) return nullptr;  // the deleter closes the socket and the RRD source

  client_context_update_status(cc.get(), CLIENTSTATUS_INITIALISED);
  client_context* result = cc.get();
  table.emplace(key, std::move(cc));
  return result;
}

void client_contexts_remove_thread(proxy_context* context, client_context* cc) {
  g_return_if_fail(context != NULL);
  g_return_if_fail(cc != NULL);
  g_message("Client %s - stopping prepop", cc->uuid.c_str());
  cc->prepopulate.store(0, std::memory_order_release);
  // A job still running may send through the socket: it is then closed with
  // the record, never under the job.
  bool held = wait_for_holds(cc);
  if (!held && cc->xmitfd.valid() && cc->xmitfd.close() != 0) {
    g_warning("close xmitfd: %s", g_strerror(errno));
  }
  interface_thread_remove(context, cc);
  client_contexts_get_wl(cc);
  vdisk_context_ref_dec_and_del(cc);
  cc->site_context = nullptr;
  client_contexts_put_wl(cc);
}

void client_contexts_remove_by_uuid(proxy_context* context, const char* uuid) {
  g_return_if_fail(context != NULL);
  g_return_if_fail(uuid != NULL);
  std::unique_lock<std::shared_mutex> table_hold(context->client_lock);
  if (!context->client_context_ht) return;
  client_table& table = *context->client_context_ht;
  for (auto it = table.begin(); it != table.end(); ++it) {
    if (it->second->uuid == uuid) {
      client_contexts_remove_thread(context, it->second.get());
      table.erase(it);
      return;
    }
  }
}

void client_contexts_remove_by_site_context(proxy_context* context, site_context* sitecontext) {
  g_return_if_fail(context != NULL);
  g_return_if_fail(sitecontext != NULL);
  std::unique_lock<std::shared_mutex> table_hold(context->client_lock);
  if (!context->client_context_ht) return;
  client_table& table = *context->client_context_ht;
  for (auto it = table.begin(); it != table.end();) {
    client_context* cc = it->second.get();
    if (cc->site_context != nullptr && cc->site_context->uuid == sitecontext->uuid) {
      client_contexts_remove_thread(context, cc);
      it = table.erase(it);
    } else {
      ++it;
    }
  }
}

void client_contexts_destroy(proxy_context* context) {
  g_return_if_fail(context != NULL);
  // Shutdown: nothing else uses the table any more, so one writer's hold
  // covers stopping and dropping alike.
  std::unique_lock<std::shared_mutex> table_hold(context->client_lock);
  if (!context->client_context_ht) return;
  for (auto& entry : *context->client_context_ht) {
    client_contexts_remove_thread(context, entry.second.get());
  }
  context->client_context_ht.reset();
}

void client_context_free(client_context* client_context) {
  g_return_if_fail(client_context != NULL);
  {
    std::lock_guard<std::mutex> hold(client_context->hold_mutex);
    if (client_context->hold_count > 0) {
      client_context->free_pending = true;
      return;
    }
  }
  free_record(client_context);
}

bool client_context_hold(client_context* client_context) {
  g_return_val_if_fail(client_context != NULL, false);
  std::lock_guard<std::mutex> hold(client_context->hold_mutex);
  if (client_context->hold_refused) return false;
  client_context->hold_count++;
  return true;
}

void client_context_release(client_context* client_context) {
  g_return_if_fail(client_context != NULL);
  bool free_now;
  {
    std::lock_guard<std::mutex> hold(client_context->hold_mutex);
    TARN_ASSERT(client_context->hold_count > 0);
    client_context->hold_count--;
    free_now = client_context->hold_count == 0 && client_context->free_pending;
    if (client_context->hold_count == 0) client_context->hold_cond.notify_all();
  }
  if (free_now) free_record(client_context);
}

void client_context_update_status(client_context* client_context, uint32_t status) {
  g_return_if_fail(client_context != NULL);
  uint32_t old = client_context->status.exchange(status);
  if (old == status) return;
  const char* old_text = client_status_text(old);
  const char* new_text = client_status_text(status);
  if (new_text == nullptr) g_error("UNDEFINED status_text %d", static_cast<int>(status));
  if (old_text == nullptr) g_error("UNDEFINED status_text %d", static_cast<int>(old));
  g_message("Client %s - Changed status from %s to %s", client_context->uuid.c_str(), old_text,
            new_text);
  rrd_client_sample(client_context, true);
}

void client_context_set_vdisk_key(client_context* client_context, const char* key) {
  g_return_if_fail(client_context != NULL);
  g_return_if_fail(key != NULL);
  // The same key again (every new login of the session's vDisk) keeps the
  // reference: dropping it first could free the vDisk with its size and
  // prepopulation progress.
  char next[CLIENT_VDISK_KEY_SIZE];
  g_strlcpy(next, key, sizeof next);
  if (strcmp(client_context->vdisk_key, next) != 0) {
    if (client_context->vdisk_key[0] != '\0') vdisk_context_ref_dec_and_del(client_context);
    memcpy(client_context->vdisk_key, next, sizeof next);
    client_context->vdisk_end_offset = 0;
  }
  vdisk_context_ref_inc(client_context);
}

bool client_log_admit(client_context* client_context) {
  g_return_val_if_fail(client_context != NULL, false);
  uint32_t held = 0;
  const bool admit =
      log_limit_admit(&client_context->log_rate, CLIENT_LOG_WINDOW_US, CLIENT_LOG_BURST, &held);
  if (held != 0) {
    g_warning("Client %s - %u more log lines about its traffic were not written",
              client_context->uuid.c_str(), held);
  }
  return admit;
}

void client_contexts_get_rl(client_context* cc) {
  g_return_if_fail(cc != NULL);
  cc->lock.lock_shared();
}

void client_contexts_put_rl(client_context* cc) {
  g_return_if_fail(cc != NULL);
  cc->lock.unlock_shared();
}

void client_contexts_get_wl(client_context* cc) {
  g_return_if_fail(cc != NULL);
  cc->lock.lock();
}

void client_contexts_put_wl(client_context* cc) {
  g_return_if_fail(cc != NULL);
  cc->lock.unlock();
}

mio_fragment* client_mio_fragment_add(client_context* client, uint8_t id, uint64_t length,
                                      uint32_t packet_size) {
  client->mio_fragments.erase(id);
  // Below 57 there is no room for data (and the count would divide by zero);
  // beyond 32 fragments the mask cannot tell when the read is complete.
  if (packet_size <= MIO_FRAGMENT_HEADER) return nullptr;
  const uint64_t per_fragment = packet_size - MIO_FRAGMENT_HEADER;
  if (length > per_fragment * MIO_FRAGMENT_MAX) return nullptr;
  auto fragment = std::make_unique<mio_fragment>();
  fragment->count = static_cast<uint32_t>((length + per_fragment - 1) / per_fragment);
  fragment->outstanding =
      fragment->count == MIO_FRAGMENT_MAX ? 0xFFFFFFFFu : (1u << fragment->count) - 1;
  mio_fragment* result = fragment.get();
  client->mio_fragments.emplace(id, std::move(fragment));
  return result;
}

mio_fragment* client_mio_fragment_get(client_context* client, uint8_t id) {
  auto found = client->mio_fragments.find(id);
  return found != client->mio_fragments.end() ? found->second.get() : nullptr;
}

void client_mio_fragment_del(client_context* client, uint8_t id) {
  client->mio_fragments.erase(id);
}

uint32_t client_mio_frament_count(client_context* client) {
  return static_cast<uint32_t>(client->mio_fragments.size());
}

void client_mio_fragments_expire(client_context* client, int64_t now) {
  std::erase_if(client->mio_fragments, [now](const auto& entry) {
    return entry.first < CLIENT_PREPOP_THREAD_ID_START && entry.second->deadline <= now;
  });
}

uint8_t client_prepop_thread_id(client_context* client) {
  // Bounded to one lap of the 128 ids, so a full table cannot hang the caller.
  for (int i = 0; i < 128; i++) {
    uint8_t next = static_cast<uint8_t>((client->next_prepop_thread_id + 1) | 0x80);
    client->next_prepop_thread_id = next;
    if (!client->mio_fragments.contains(next)) return next;
  }
  return 0;
}

void mio_fragment_free(mio_fragment* fragment) {
  delete fragment;
}
