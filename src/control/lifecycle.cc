#include "control/lifecycle.h"

#include <glib.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "cache/bootset.h"
#include "cache/cache.h"
#include "contexts/proxy_context.h"
#include "core/assert.h"
#include "metrics/rrd.h"
#include "net/interface_thread.h"
#include "net/ovs.h"

namespace {

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
  // Under the session's write lock, like every change a running job may see.
  auto hold = cc->session.lock();
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
}

// Client down; client_lock held for writing, the caller then drops the record.
void stop_client(proxy_context* context, client_context* cc) {
  g_message("Client %s - stopping prepop", cc->uuid.c_str());
  cc->prepopulate.store(0, std::memory_order_release);
  // A job still running may send through the socket: it is then closed with
  // the record, never under the job.
  bool held = client_context_refuse_holds(cc);
  if (!held && cc->xmitfd.valid() && cc->xmitfd.close() != 0) {
    g_warning("close xmitfd: %s", g_strerror(errno));
  }
  interface_thread_remove(context, cc);
  auto s = cc->session.lock();
  vdisk_context_ref_dec_and_del(cc, *s);
  cc->site_context = nullptr;
}

}  // namespace

site_context* site_contexts_create(proxy_context* context, const char* uuid, const char* cache_vdi,
                                   bool* created) {
  g_return_val_if_fail(context != NULL, nullptr);
  g_return_val_if_fail(uuid != NULL && cache_vdi != NULL, nullptr);
  if (created != nullptr) *created = false;

  std::unique_lock<std::shared_mutex> hold(context->site_lock);
  auto found = context->site_context_ht->find(uuid);
  if (found != context->site_context_ht->end()) {
    if (found->second->cache_vdi == cache_vdi) return found->second.get();
    g_warning("Unsupported - Can't switch the cache_vdi online.");
    return nullptr;
  }

  auto site = std::make_shared<site_context>();
  site->context = context;
  site->uuid = uuid;
  site->cache_vdi = cache_vdi;
  // The cache script runs under site_lock: no other site operation may see a
  // site whose cache is half set up.
  int rc = cache_init(site.get());
  if (rc != 0) {
    g_warning("cache init failed with %d", rc);
    return nullptr;
  }
  if (created != nullptr) *created = true;
  site_context* result = site.get();
  context->site_context_ht->emplace(result->uuid, std::move(site));
  return result;
}

void site_contexts_remove(proxy_context* context, const char* uuid) {
  g_return_if_fail(context != NULL);
  g_return_if_fail(uuid != NULL);
  std::unique_lock<std::shared_mutex> hold(context->site_lock);
  auto found = context->site_context_ht->find(uuid);
  if (found == context->site_context_ht->end()) return;
  site_context* site = found->second.get();
  client_contexts_remove_by_site_context(context, site);
  // While the site's cache is still there.
  boot_sets_flush(context, site->uuid.c_str());
  server_contexts_remove_given_site_context(context, site);
  cache_teardown(site);
  context->site_context_ht->erase(found);
}

void site_contexts_destroy(proxy_context* context) {
  g_return_if_fail(context != NULL);
  TARN_ASSERT(context->client_context_ht == NULL);
  TARN_ASSERT(context->server_context_ht == NULL);
  TARN_ASSERT(context->vdisk_context_ht == NULL);
  std::unique_lock<std::shared_mutex> hold(context->site_lock);
  if (!context->site_context_ht) return;
  for (auto& entry : *context->site_context_ht) cache_teardown(entry.second.get());
  context->site_context_ht.reset();
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

  if (client_context* existing = client_contexts_find(context, uuid)) {
    update_existing(context, existing, sitecontext, mac, interface, prepopulate);
    return existing;
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
  // Without it the client's held reads wait for their deadline.
  cc->held_wake.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!cc->held_wake.valid()) g_warning("Client %s - eventfd: %s", uuid, g_strerror(errno));

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

void client_contexts_remove_by_uuid(proxy_context* context, const char* uuid) {
  g_return_if_fail(context != NULL);
  g_return_if_fail(uuid != NULL);
  std::unique_lock<std::shared_mutex> table_hold(context->client_lock);
  if (!context->client_context_ht) return;
  client_table& table = *context->client_context_ht;
  auto found = std::find_if(table.begin(), table.end(),
                            [uuid](auto& entry) { return entry.second->uuid == uuid; });
  if (found == table.end()) return;
  stop_client(context, found->second.get());
  table.erase(found);
}

void client_contexts_remove_by_site_context(proxy_context* context, site_context* sitecontext) {
  g_return_if_fail(context != NULL);
  g_return_if_fail(sitecontext != NULL);
  std::unique_lock<std::shared_mutex> table_hold(context->client_lock);
  if (!context->client_context_ht) return;
  std::erase_if(*context->client_context_ht, [context, sitecontext](auto& entry) {
    client_context* cc = entry.second.get();
    if (cc->site_context == nullptr || cc->site_context->uuid != sitecontext->uuid) return false;
    stop_client(context, cc);
    return true;
  });
}

void client_contexts_destroy(proxy_context* context) {
  g_return_if_fail(context != NULL);
  // Shutdown: nothing else uses the table any more, so one writer's hold
  // covers stopping and dropping alike.
  std::unique_lock<std::shared_mutex> table_hold(context->client_lock);
  if (!context->client_context_ht) return;
  for (auto& entry : *context->client_context_ht) stop_client(context, entry.second.get());
  context->client_context_ht.reset();
}
