#include "contexts/vdisks.h"

#include <glib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "cache/cache.h"
#include "contexts/clients.h"
#include "contexts/proxy_context.h"
#include "contexts/sites.h"
#include "core/assert.h"

namespace {

// The directory of a new vDisk. A failure is only logged: the record is
// still needed for reference counting and prepopulation state, and the
// cache writes of a vDisk without its directory simply fail.
void make_vdisk_dir(const site_context* site, vdisk_context* vc) {
  vc->path = site->cache_path + "/" + vc->vdisk_key;
  // An empty cache_path would put the directory at the root of the host's
  // file system, and a truncated path would name some other directory.
  if (site->cache_path.empty() || vc->path.size() > CACHE_PATH_MAX) {
    g_warning("Failed creating dir %s %d", vc->path.c_str(), ENAMETOOLONG);
    return;
  }
  if (mkdir(vc->path.c_str(), 0700) != 0) {
    int err = errno;
    if (err != EEXIST) g_warning("Failed creating dir %s %d", vc->path.c_str(), err);
  }
}

// One vDisk record serves every client that boots the vDisk, whichever site
// it belongs to, but each site caches it in a directory of its own cache: a
// client of a site other than the one that created the record needs that
// directory too. Run once per link, not per packet.
void make_site_vdisk_dir(const client_context* cc) {
  const site_context* site = cc->site_context;
  if (site == nullptr || site->cache_path.empty()) return;
  const std::string path = site->cache_path + "/" + cc->vdisk_key;
  if (path.size() > CACHE_PATH_MAX) return;
  if (mkdir(path.c_str(), 0700) != 0) {
    int err = errno;
    if (err != EEXIST) g_warning("Failed creating dir %s %d", path.c_str(), err);
  }
}

// With vdisk_lock held: the client's vDisk, created (with its directory) if
// missing; null when the client names none, its read cache is disabled, or
// its key could name something outside its site's cache directory.
std::shared_ptr<vdisk_context>* lookup_or_create(proxy_context* context, client_context* cc) {
  if (cc->vdisk_key[0] == '\0' || cc->read_cache_disabled) return nullptr;
  if (!context->vdisk_context_ht) return nullptr;
  if (!vdisk_key_is_valid(cc->vdisk_key)) {
    g_warning("Client %s - Refusing vdisk key %.*s", cc->uuid.c_str(),
              static_cast<int>(CLIENT_VDISK_KEY_SIZE - 1), cc->vdisk_key);
    return nullptr;
  }
  vdisk_table& table = *context->vdisk_context_ht;
  auto found = table.find(cc->vdisk_key);
  if (found != table.end()) return &found->second;
  if (cc->site_context == nullptr) return nullptr;

  std::shared_ptr<vdisk_context> vc(new vdisk_context, vdisk_context_free);
  vc->vdisk_key = cc->vdisk_key;
  make_vdisk_dir(cc->site_context, vc.get());
  auto inserted = table.emplace(vc->vdisk_key, std::move(vc));
  return &inserted.first->second;
}

// With vdisk_lock held and the vDisk's lock released: removes the vDisk once
// neither a client nor a job refers to it.
void remove_if_unused(proxy_context* context, const std::shared_ptr<vdisk_context>& vc,
                      bool unused) {
  if (!unused || !context->vdisk_context_ht) return;
  auto found = context->vdisk_context_ht->find(vc->vdisk_key);
  if (found != context->vdisk_context_ht->end() && found->second == vc) {
    context->vdisk_context_ht->erase(found);
  }
}

proxy_context* client_registry(const client_context* cc) {
  return cc->site_context != nullptr ? cc->site_context->context : nullptr;
}

}  // namespace

bool vdisk_key_is_valid(const char* key) {
  if (key == nullptr || key[0] == '\0' || key[0] == '.') return false;
  size_t length = strnlen(key, CLIENT_VDISK_KEY_SIZE);
  return length < CLIENT_VDISK_KEY_SIZE && memchr(key, '/', length) == nullptr;
}

void vdisk_contexts_init(proxy_context* context) {
  g_return_if_fail(context != NULL);
  context->vdisk_context_ht = std::make_unique<vdisk_table>();
}

vdisk_context* vdisk_contexts_get(proxy_context* context, client_context* cc) {
  g_return_val_if_fail(context != NULL, NULL);
  g_return_val_if_fail(cc != NULL, NULL);
  std::lock_guard<std::mutex> table_hold(context->vdisk_lock);
  std::shared_ptr<vdisk_context>* vc = lookup_or_create(context, cc);
  if (vc == nullptr) return nullptr;
  // Released by vdisk_contexts_put; the table cannot drop the vDisk while
  // it is held, since removal takes this lock first.
  (*vc)->lock.lock();
  return vc->get();
}

void vdisk_contexts_put(proxy_context* context, vdisk_context* vc) {
  g_return_if_fail(context != NULL && vc != NULL);
  vc->lock.unlock();
}

void vdisk_context_ref_inc(client_context* cc) {
  g_return_if_fail(cc != NULL);
  proxy_context* context = client_registry(cc);
  if (context == nullptr || cc->vdisk_ref_held) return;
  std::lock_guard<std::mutex> table_hold(context->vdisk_lock);
  std::shared_ptr<vdisk_context>* vc = lookup_or_create(context, cc);
  if (vc == nullptr) return;
  make_site_vdisk_dir(cc);
  std::lock_guard<std::mutex> hold((*vc)->lock);
  (*vc)->ref_count++;
  cc->vdisk_ref_held = true;
}

void vdisk_context_ref_dec_and_del(client_context* cc) {
  g_return_if_fail(cc != NULL);
  proxy_context* context = client_registry(cc);
  // Only the reference this client took is dropped: a client whose read
  // cache was disabled before it took one must not take another client's.
  if (context == nullptr || !cc->vdisk_ref_held) return;
  cc->vdisk_ref_held = false;
  std::lock_guard<std::mutex> table_hold(context->vdisk_lock);
  if (!context->vdisk_context_ht) return;
  auto found = context->vdisk_context_ht->find(cc->vdisk_key);
  if (found == context->vdisk_context_ht->end()) return;
  std::shared_ptr<vdisk_context> vc = found->second;
  bool unused;
  {
    std::lock_guard<std::mutex> hold(vc->lock);
    if (vc->ref_count > 0) vc->ref_count--;
    unused = vc->ref_count == 0 && vc->hold_count == 0;
  }
  remove_if_unused(context, vc, unused);
}

bool vdisk_should_prepop(const vdisk_context* vc) {
  g_return_val_if_fail(vc != NULL, false);
  return vc->prepop_in_progress == 0 && vc->prepop_progress < vc->end_offset;
}

std::shared_ptr<vdisk_context> vdisk_context_hold(proxy_context* context, client_context* cc) {
  g_return_val_if_fail(context != NULL, nullptr);
  g_return_val_if_fail(cc != NULL, nullptr);
  std::lock_guard<std::mutex> table_hold(context->vdisk_lock);
  std::shared_ptr<vdisk_context>* vc = lookup_or_create(context, cc);
  if (vc == nullptr) return nullptr;
  std::lock_guard<std::mutex> hold((*vc)->lock);
  (*vc)->hold_count++;
  return *vc;
}

void vdisk_context_release(proxy_context* context, std::shared_ptr<vdisk_context> vc) {
  g_return_if_fail(context != NULL && vc != NULL);
  std::lock_guard<std::mutex> table_hold(context->vdisk_lock);
  bool unused;
  {
    std::lock_guard<std::mutex> hold(vc->lock);
    TARN_ASSERT(vc->hold_count > 0);
    vc->hold_count--;
    unused = vc->ref_count == 0 && vc->hold_count == 0;
  }
  remove_if_unused(context, vc, unused);
}

void vdisk_contexts_destroy(proxy_context* context) {
  g_return_if_fail(context != NULL);
  TARN_ASSERT(context->client_context_ht == NULL);
  std::lock_guard<std::mutex> hold(context->vdisk_lock);
  context->vdisk_context_ht.reset();
}

void vdisk_context_free(vdisk_context* vc) {
  delete vc;
}
