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
  {
    auto open = cc->chunks.open_chunk.lock();
    if (open->fd.valid() && open->fd.close() != 0) {
      g_warning("Client %s - client_context_free close(): %s", cc->uuid.c_str(), g_strerror(errno));
    }
  }
  // The MIO table, the locks and a transmit socket still open go with the record.
  delete cc;
}

}  // namespace

uint64_t client_mac_key(const uint8_t mac[6]) {
  uint64_t key = 0;
  for (int i = 0; i < 6; i++) key = key << 8 | mac[i];
  return key;
}

const char* client_status_text(uint32_t status) {
  return status < G_N_ELEMENTS(STATUS_TEXT) ? STATUS_TEXT[status] : nullptr;
}

void client_contexts_init(proxy_context* context) {
  g_return_if_fail(context != NULL);
  context->client_context_ht = std::make_unique<client_table>();
}

client_context* client_contexts_find(proxy_context* context, const char* uuid) {
  for (auto& entry : *context->client_context_ht) {
    if (entry.second->uuid == uuid) return entry.second.get();
  }
  return nullptr;
}

bool client_context_refuse_holds(client_context* client_context) {
  g_return_val_if_fail(client_context != NULL, false);
  auto holds = client_context->holds.lock();
  holds->refused = true;
  if (client_context->hold_cond.wait_for(holds.holder(),
                                         std::chrono::milliseconds(CLIENT_HOLD_WAIT_MS),
                                         [&holds] { return holds->count == 0; })) {
    return false;
  }
  g_warning("Client %s - %u prepopulation jobs still hold the client; it is freed when they end",
            client_context->uuid.c_str(), holds->count);
  return true;
}

void client_context_free(client_context* client_context) {
  g_return_if_fail(client_context != NULL);
  {
    auto holds = client_context->holds.lock();
    if (holds->count > 0) {
      holds->free_pending = true;
      return;
    }
  }
  free_record(client_context);
}

bool client_context_hold(client_context* client_context) {
  g_return_val_if_fail(client_context != NULL, false);
  auto holds = client_context->holds.lock();
  if (holds->refused) return false;
  holds->count++;
  return true;
}

void client_context_release(client_context* client_context) {
  g_return_if_fail(client_context != NULL);
  bool free_now;
  {
    auto holds = client_context->holds.lock();
    TARN_ASSERT(holds->count > 0);
    holds->count--;
    free_now = holds->count == 0 && holds->free_pending;
    if (holds->count == 0) client_context->hold_cond.notify_all();
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

void client_context_swap_vdisk_key(client_context* client_context, client_session& s,
                                   const char* key) {
  g_return_if_fail(client_context != NULL);
  g_return_if_fail(key != NULL);
  // The same key again (every new login of the session's vDisk) keeps the
  // reference: dropping it first could free the vDisk with its size and
  // prepopulation progress.
  char next[CLIENT_VDISK_KEY_SIZE];
  g_strlcpy(next, key, sizeof next);
  if (strcmp(s.vdisk_key, next) != 0) {
    if (s.vdisk_key[0] != '\0') vdisk_context_ref_dec_and_del(client_context, s);
    memcpy(s.vdisk_key, next, sizeof next);
    s.vdisk_end_offset = 0;
  }
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

mio_fragment* client_mio_fragment_add(client_context* client, uint8_t id, uint64_t length,
                                      uint32_t packet_size) {
  client_mio_fragment_del(client, id);
  // Below 57 there is no room for data (and the count would divide by zero);
  // beyond 32 fragments the mask cannot tell when the read is complete.
  if (packet_size <= MIO_FRAGMENT_HEADER) return nullptr;
  const uint64_t per_fragment = packet_size - MIO_FRAGMENT_HEADER;
  if (length > per_fragment * MIO_FRAGMENT_MAX) return nullptr;
  // Default-initialised: zeroing 64 KiB per read is most of a miss's cost.
  std::unique_ptr<mio_fragment> fragment;
  if (!client->mio_spares.empty()) {
    fragment = std::move(client->mio_spares.back());
    client->mio_spares.pop_back();
    fragment->request_id = 0;
    fragment->offset = fragment->length = 0;
    fragment->deadline = 0;
  } else {
    fragment.reset(new mio_fragment);
  }
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
  client_mio_fragment_recycle(client, client_mio_fragment_take(client, id));
}

void client_mio_fragment_recycle(client_context* client, std::unique_ptr<mio_fragment> fragment) {
  if (fragment != nullptr && client->mio_spares.size() < CLIENT_MIO_SPARES) {
    client->mio_spares.push_back(std::move(fragment));
  }
}

std::unique_ptr<mio_fragment> client_mio_fragment_take(client_context* client, uint8_t id) {
  auto found = client->mio_fragments.find(id);
  if (found == client->mio_fragments.end()) return nullptr;
  std::unique_ptr<mio_fragment> taken = std::move(found->second);
  client->mio_fragments.erase(found);
  return taken;
}

uint32_t client_mio_frament_count(client_context* client) {
  return static_cast<uint32_t>(client->mio_fragments.size());
}

void client_mio_fragments_expire(client_context* client, int64_t now) {
  for (auto it = client->mio_fragments.begin(); it != client->mio_fragments.end();) {
    if (it->first < CLIENT_PREPOP_THREAD_ID_START && it->second->deadline <= now) {
      client_mio_fragment_recycle(client, std::move(it->second));
      it = client->mio_fragments.erase(it);
    } else {
      ++it;
    }
  }
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
