#include "control/bootset_commands.h"

#include <glib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "cache/bootset.h"
#include "contexts/proxy_context.h"
#include "control/jsonrpc.h"

namespace {

// Pages of an import not yet complete; the control thread is the only one
// that handles requests, so no lock.
struct pending_import {
  std::string site;
  std::string vdisk;
  std::vector<boot_range> ranges;
};
pending_import pending;

json_object* member(json_object* obj, const char* key) {
  json_object* value = nullptr;
  if (obj == nullptr || !json_object_object_get_ex(obj, key, &value)) return nullptr;
  return value;
}

// A non-negative JSON integer, or false.
bool unsigned_of(json_object* value, uint64_t* out) {
  if (!json_object_is_type(value, json_type_int) || json_object_get_int64(value) < 0) return false;
  *out = json_object_get_uint64(value);
  return true;
}

// The held vDisk record named by the request's "site" and "vdisk"; null with
// `why` set when they name none.
std::shared_ptr<vdisk_context> named_vdisk(proxy_context* context, json_object* params,
                                           std::string* why) {
  json_object* site_member = member(params, "site");
  json_object* vdisk_member = member(params, "vdisk");
  if (!json_object_is_type(site_member, json_type_string)) {
    *why = "Invalid params, site: a site uuid is required";
    return nullptr;
  }
  if (!json_object_is_type(vdisk_member, json_type_string) ||
      !vdisk_key_is_valid(json_object_get_string(vdisk_member))) {
    *why = "Invalid params, vdisk: a vDisk key is required";
    return nullptr;
  }
  std::shared_ptr<site_context> site;
  {
    std::shared_lock<std::shared_mutex> hold(context->site_lock);
    if (context->site_context_ht) {
      auto found = context->site_context_ht->find(json_object_get_string(site_member));
      if (found != context->site_context_ht->end()) site = found->second;
    }
  }
  if (!site) {
    *why = "Invalid params, site: no such site";
    return nullptr;
  }
  // The site's cache path is written only by this thread.
  auto vc = vdisk_context_hold_key(context, site.get(), json_object_get_string(vdisk_member));
  if (!vc) *why = "Invalid params, site: the site has no cache";
  return vc;
}

// Reads the page's ranges; empty `why` on success.
std::vector<boot_range> page_ranges(json_object* list, uint64_t vdisk_size, std::string* why) {
  std::vector<boot_range> ranges;
  if (!json_object_is_type(list, json_type_array)) {
    *why = "Invalid params, ranges: an array of [offset, length] pairs is required";
    return ranges;
  }
  const size_t count = json_object_array_length(list);
  if (count > BOOT_SET_PAGE) {
    *why = "Invalid params, ranges: at most " + std::to_string(BOOT_SET_PAGE) + " per request";
    return ranges;
  }
  ranges.reserve(count);
  for (size_t i = 0; i < count; i++) {
    json_object* pair = json_object_array_get_idx(list, i);
    boot_range r;
    const std::string at = "Invalid params, ranges[" + std::to_string(i) + "]: ";
    if (!json_object_is_type(pair, json_type_array) || json_object_array_length(pair) != 2 ||
        !unsigned_of(json_object_array_get_idx(pair, 0), &r.offset) ||
        !unsigned_of(json_object_array_get_idx(pair, 1), &r.length)) {
      *why = at + "not a pair of non-negative integers";
      return {};
    }
    if (r.length == 0) {
      *why = at + "length is 0";
      return {};
    }
    if (r.offset + r.length < r.offset || (vdisk_size != 0 && r.offset + r.length > vdisk_size)) {
      *why = at + "past the vDisk's end";
      return {};
    }
    ranges.push_back(r);
  }
  return ranges;
}

json_object* request_params(json_object* request, json_object** id, const char* method) {
  *id = member(request, "id");
  if (*id == nullptr) {
    g_warning("%s: no id", method);
    return nullptr;
  }
  return member(request, "params");
}

}  // namespace

void process_export_boot_set(proxy_context* context, json_object* request, int connection) {
  g_return_if_fail(context != NULL && request != NULL);
  json_object* id;
  json_object* params = request_params(request, &id, "process_export_boot_set");
  if (id == nullptr) return;
  uint64_t from = 0;
  if (json_object* f = member(params, "from"); f != nullptr && !unsigned_of(f, &from)) {
    json_send_invalid_params(connection, id, "Invalid params, from: a non-negative integer");
    return;
  }
  std::string why;
  std::shared_ptr<vdisk_context> vc = named_vdisk(context, params, &why);
  if (!vc) {
    json_send_invalid_params(connection, id, why);
    return;
  }
  const std::vector<boot_range> ranges = boot_set_ranges(vc.get());
  vdisk_context_release(context, vc);
  json_object* list = json_object_new_array();
  from = std::min<uint64_t>(from, ranges.size());  // and from + a page cannot wrap
  const uint64_t end = std::min<uint64_t>(ranges.size(), from + BOOT_SET_PAGE);
  for (uint64_t i = from; i < end; i++) {
    json_object* pair = json_object_new_array_ext(2);
    json_object_array_add(pair, json_object_new_uint64(ranges[i].offset));
    json_object_array_add(pair, json_object_new_uint64(ranges[i].length));
    json_object_array_add(list, pair);
  }
  json_object* result = json_object_new_object();
  json_object_object_add(result, "vdisk", json_object_new_string(vc->vdisk_key.c_str()));
  json_object_object_add(result, "ranges", list);
  json_object_object_add(result, "total", json_object_new_uint64(ranges.size()));
  if (end < ranges.size()) json_object_object_add(result, "next", json_object_new_uint64(end));
  json_send_response(connection, id, "result", result);
}

void process_import_boot_set(proxy_context* context, json_object* request, int connection) {
  g_return_if_fail(context != NULL && request != NULL);
  json_object* id;
  json_object* params = request_params(request, &id, "process_import_boot_set");
  if (id == nullptr) return;
  uint64_t index = 0;
  json_object* more = member(params, "more");
  std::string why;
  if (json_object* i = member(params, "index"); i != nullptr && !unsigned_of(i, &index)) {
    why = "Invalid params, index: a non-negative integer";
  } else if (more != nullptr && !json_object_is_type(more, json_type_boolean)) {
    why = "Invalid params, more: a boolean";
  }
  std::shared_ptr<vdisk_context> vc;
  if (why.empty()) vc = named_vdisk(context, params, &why);
  std::vector<boot_range> ranges;
  if (vc) {
    const uint64_t size = vc->state.lock()->size;
    ranges = page_ranges(member(params, "ranges"), size, &why);
  }
  const bool continues = index != 0 && vc && pending.site == vc->site_uuid &&
                         pending.vdisk == vc->vdisk_key && pending.ranges.size() == index;
  if (why.empty() && index != 0 && !continues) why = "Invalid params, index: out of sequence";
  if (why.empty() &&
      (continues ? pending.ranges.size() : 0) + ranges.size() > BOOT_SET_MAX_RANGES) {
    why = "Invalid params, ranges: more than " + std::to_string(BOOT_SET_MAX_RANGES);
  }
  if (!why.empty()) {
    // A refused page ends its import: nothing of it is applied.
    pending = pending_import{};
    if (vc) vdisk_context_release(context, vc);
    json_send_invalid_params(connection, id, why);
    return;
  }
  if (!continues) pending = pending_import{vc->site_uuid, vc->vdisk_key, {}};
  pending.ranges.insert(pending.ranges.end(), ranges.begin(), ranges.end());
  json_object* result = json_object_new_object();
  if (more != nullptr && json_object_get_boolean(more)) {
    json_object_object_add(result, "ranges", json_object_new_uint64(pending.ranges.size()));
    json_object_object_add(result, "more", json_object_new_boolean(1));
  } else {
    const size_t kept = boot_set_replace(vc.get(), pending.ranges);
    pending = pending_import{};
    // A cache that never saw this vDisk has no directory for it yet.
    if (mkdir(vc->path.c_str(), 0700) != 0) {
      const int err = errno;
      if (err != EEXIST) g_warning("Failed creating dir %s %d", vc->path.c_str(), err);
    }
    const bool written = boot_set_write(vc.get());
    json_object_object_add(result, "ranges", json_object_new_uint64(kept));
    json_object_object_add(result, "written", json_object_new_boolean(written ? 1 : 0));
  }
  vdisk_context_release(context, vc);
  json_send_response(connection, id, "result", result);
}
