#include "contexts/vdisks.h"

#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "contexts/clients.h"
#include "contexts/proxy_context.h"
#include "contexts/sites.h"
#include "core/assert.h"

namespace {

// With vdisk_lock held: the vDisk `key` of `site`'s cache, created if
// missing (or taken back from those set aside with unwritten boot sets).
std::shared_ptr<vdisk_context>* lookup_or_create_key(proxy_context* context,
                                                     const site_context* site, const char* key) {
  vdisk_table& table = *context->vdisk_context_ht;
  std::string table_key = vdisk_table_key(site->uuid, key);
  auto found = table.find(table_key);
  if (found != table.end()) return &found->second;

  std::shared_ptr<vdisk_context> vc;
  auto& retired = context->vdisk_retired;
  for (auto it = retired.begin(); it != retired.end(); ++it) {
    if ((*it)->site_uuid == site->uuid && (*it)->vdisk_key == key) {
      vc = std::move(*it);
      retired.erase(it);
      break;
    }
  }
  if (!vc) {
    vc = std::make_shared<vdisk_context>();
    vc->vdisk_key = key;
    vc->site_uuid = site->uuid;
    vc->path = site->cache_path + "/" + vc->vdisk_key;
  }
  auto inserted = table.emplace(std::move(table_key), std::move(vc));
  return &inserted.first->second;
}

// With vdisk_lock held: the client's vDisk in its site's cache, created if
// missing; null when the client names none, has no site,
// its read cache is disabled, or its key could name something outside its
// site's cache directory.
std::shared_ptr<vdisk_context>* lookup_or_create(proxy_context* context, client_context* cc,
                                                 const client_session& s) {
  if (s.vdisk_key[0] == '\0' || s.read_cache_disabled) return nullptr;
  if (!context->vdisk_context_ht || cc->site_context == nullptr) return nullptr;
  if (!vdisk_key_is_valid(s.vdisk_key)) {
    g_warning("Client %s - Refusing vdisk key %.*s", cc->uuid.c_str(),
              static_cast<int>(CLIENT_VDISK_KEY_SIZE - 1), s.vdisk_key);
    return nullptr;
  }
  return lookup_or_create_key(context, cc->site_context, s.vdisk_key);
}

// The client's vDisk record, pinned (hold_count) so that it stays in the
// table and valid once vdisk_lock is released; null as lookup_or_create.
vdisk_context* pin(proxy_context* context, client_context* cc, const client_session& s) {
  std::lock_guard<std::mutex> table_hold(context->vdisk_lock);
  std::shared_ptr<vdisk_context>* vc = lookup_or_create(context, cc, s);
  if (vc == nullptr) return nullptr;
  (*vc)->hold_count++;
  return vc->get();
}

// With vdisk_lock held: removes the vDisk once neither a client nor a holder
// refers to it.
void remove_if_unused(proxy_context* context, const vdisk_context* vc) {
  if (vc->ref_count != 0 || vc->hold_count != 0 || !context->vdisk_context_ht) return;
  auto found = context->vdisk_context_ht->find(vdisk_table_key(vc->site_uuid, vc->vdisk_key));
  if (found != context->vdisk_context_ht->end() && found->second.get() == vc) {
    // What the boot set learnt is kept until written (the boot lock is
    // short and never held across I/O, so it may be taken here).
    if (found->second->boot.lock()->dirty) context->vdisk_retired.push_back(found->second);
    context->vdisk_context_ht->erase(found);
  }
}

void unpin(proxy_context* context, vdisk_context* vc) {
  std::lock_guard<std::mutex> table_hold(context->vdisk_lock);
  TARN_ASSERT(vc->hold_count > 0);
  vc->hold_count--;
  remove_if_unused(context, vc);
}

proxy_context* client_registry(const client_context* cc) {
  return cc->site_context != nullptr ? cc->site_context->context : nullptr;
}

}  // namespace

std::string vdisk_table_key(const std::string& site_uuid, const std::string& vdisk_key) {
  return site_uuid + "/" + vdisk_key;
}

bool vdisk_key_is_valid(const char* key) {
  if (key == nullptr || key[0] == '\0' || key[0] == '.') return false;
  size_t length = strnlen(key, CLIENT_VDISK_KEY_SIZE);
  return length < CLIENT_VDISK_KEY_SIZE && memchr(key, '/', length) == nullptr;
}

void vdisk_contexts_init(proxy_context* context) {
  g_return_if_fail(context != NULL);
  context->vdisk_context_ht = std::make_unique<vdisk_table>();
}

vdisk_context* vdisk_contexts_get(proxy_context* context, client_context* cc,
                                  const client_session& s) {
  g_return_val_if_fail(context != NULL, NULL);
  g_return_val_if_fail(cc != NULL, NULL);
  return pin(context, cc, s);
}

void vdisk_contexts_put(proxy_context* context, vdisk_context* vc) {
  g_return_if_fail(context != NULL && vc != NULL);
  unpin(context, vc);
}

vdisk_context* vdisk_context_link(client_context* cc, client_session& s) {
  g_return_val_if_fail(cc != NULL, nullptr);
  proxy_context* context = client_registry(cc);
  if (context == nullptr || s.vdisk_ref_held) return nullptr;
  std::lock_guard<std::mutex> table_hold(context->vdisk_lock);
  std::shared_ptr<vdisk_context>* vc = lookup_or_create(context, cc, s);
  if (vc == nullptr) return nullptr;
  (*vc)->ref_count++;
  s.vdisk_ref_held = true;
  s.linked_vdisk = vc->get();
  return vc->get();
}

void vdisk_context_ref_dec_and_del(client_context* cc, client_session& s) {
  g_return_if_fail(cc != NULL);
  proxy_context* context = client_registry(cc);
  // Only the reference this client took is dropped: a client whose read
  // cache was disabled before it took one must not take another client's.
  if (context == nullptr || !s.vdisk_ref_held) return;
  if (s.linked_vdisk != nullptr) vdisk_collapse_forget(s.linked_vdisk, cc);
  s.vdisk_ref_held = false;
  s.linked_vdisk = nullptr;
  std::lock_guard<std::mutex> table_hold(context->vdisk_lock);
  if (!context->vdisk_context_ht) return;
  auto found =
      context->vdisk_context_ht->find(vdisk_table_key(cc->site_context->uuid, s.vdisk_key));
  if (found == context->vdisk_context_ht->end()) return;
  vdisk_context* vc = found->second.get();
  if (vc->ref_count > 0) vc->ref_count--;
  remove_if_unused(context, vc);
}

bool vdisk_should_prepop(const vdisk_state& state) {
  return state.prepop_in_progress == 0 && state.prepop_progress < state.end_offset;
}

std::shared_ptr<vdisk_context> vdisk_context_hold(proxy_context* context, client_context* cc,
                                                  const client_session& s) {
  g_return_val_if_fail(context != NULL, nullptr);
  g_return_val_if_fail(cc != NULL, nullptr);
  std::lock_guard<std::mutex> table_hold(context->vdisk_lock);
  std::shared_ptr<vdisk_context>* vc = lookup_or_create(context, cc, s);
  if (vc == nullptr) return nullptr;
  (*vc)->hold_count++;
  return *vc;
}

void vdisk_context_release(proxy_context* context, std::shared_ptr<vdisk_context> vc) {
  g_return_if_fail(context != NULL && vc != NULL);
  unpin(context, vc.get());
}

void vdisk_contexts_purged(proxy_context* context, const std::string& site_uuid,
                           const std::string& vdisk_key, uint64_t vdisk_offset, uint64_t bytes) {
  g_return_if_fail(context != NULL);
  std::shared_ptr<vdisk_context> vc;
  {
    std::lock_guard<std::mutex> table_hold(context->vdisk_lock);
    if (!context->vdisk_context_ht) return;
    auto found = context->vdisk_context_ht->find(vdisk_table_key(site_uuid, vdisk_key));
    if (found == context->vdisk_context_ht->end()) return;
    vc = found->second;
    vc->hold_count++;
  }
  vc->evicted_b.fetch_add(bytes);
  vc->changes.fetch_add(1);
  {
    auto state = vc->state.lock();
    const uint64_t from = vdisk_offset > UINT64_MAX - 512 ? UINT64_MAX : vdisk_offset + 512;
    if (state->prepop_progress > from) state->prepop_progress = from;
    state->purges++;
    // Again under the lock: a run that completed between the removal of the
    // chunk and now has written the marker anew.
    if (!vc->path.empty() && unlink((vc->path + "/" + VDISK_PREPOP_MARKER).c_str()) != 0) {
      const int err = errno;
      if (err != ENOENT) {
        g_warning("Cannot remove %s/%s: %s", vc->path.c_str(), VDISK_PREPOP_MARKER,
                  g_strerror(err));
      }
    }
  }
  unpin(context, vc.get());
}

void vdisk_contexts_destroy(proxy_context* context) {
  g_return_if_fail(context != NULL);
  TARN_ASSERT(context->client_context_ht == NULL);
  std::lock_guard<std::mutex> hold(context->vdisk_lock);
  context->vdisk_context_ht.reset();
  context->vdisk_retired.clear();
}

std::shared_ptr<vdisk_context> vdisk_context_hold_key(proxy_context* context,
                                                      const site_context* site, const char* key) {
  g_return_val_if_fail(context != NULL && site != NULL && key != NULL, nullptr);
  if (!vdisk_key_is_valid(key) || site->cache_path.empty()) return nullptr;
  std::lock_guard<std::mutex> table_hold(context->vdisk_lock);
  if (!context->vdisk_context_ht) return nullptr;
  std::shared_ptr<vdisk_context>* vc = lookup_or_create_key(context, site, key);
  (*vc)->hold_count++;
  return *vc;
}

std::vector<std::shared_ptr<vdisk_context>> vdisk_contexts_all(proxy_context* context) {
  g_return_val_if_fail(context != NULL, std::vector<std::shared_ptr<vdisk_context>>());
  std::lock_guard<std::mutex> table_hold(context->vdisk_lock);
  std::vector<std::shared_ptr<vdisk_context>> all(context->vdisk_retired);
  if (context->vdisk_context_ht) {
    for (const auto& [key, vc] : *context->vdisk_context_ht) all.push_back(vc);
  }
  return all;
}

void vdisk_contexts_drop_retired(proxy_context* context,
                                 const std::vector<std::shared_ptr<vdisk_context>>& tried,
                                 const std::vector<std::shared_ptr<vdisk_context>>& failed) {
  g_return_if_fail(context != NULL);
  auto among = [](const auto& list, const std::shared_ptr<vdisk_context>& vc) {
    return std::find(list.begin(), list.end(), vc) != list.end();
  };
  std::lock_guard<std::mutex> table_hold(context->vdisk_lock);
  // One used again and set aside anew since it was written has learnt more.
  std::erase_if(context->vdisk_retired, [&](const std::shared_ptr<vdisk_context>& vc) {
    return among(failed, vc) || (among(tried, vc) && !vc->boot.lock()->dirty);
  });
}

void vdisk_collapse_forget(vdisk_context* vc, client_context* cc) {
  g_return_if_fail(vc != NULL && cc != NULL);
  auto c = vc->collapse.lock();
  std::erase_if(c->held, [cc](const vdisk_held_read& h) { return h.client == cc; });
  std::erase_if(c->inflight, [cc](const vdisk_inflight_read& r) { return r.client == cc; });
  cc->held_count.store(0);
  cc->held_due.store(0);
}

void vdisk_boot_note(const client_session& s, uint64_t vdisk_offset, uint64_t length,
                     int64_t now_us) {
  vdisk_context* vc = s.linked_vdisk;
  if (vc == nullptr || now_us - s.login_seen_us > BOOT_SET_WINDOW_US) return;
  auto boot = vc->boot.lock();
  if (boot_set_record(*boot, vdisk_offset, length)) boot->dirty = true;
}
