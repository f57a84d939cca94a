#include "control/queries.h"

#include <arpa/inet.h>
#include <glib.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "cache/bootset.h"
#include "cache/chunks.h"
#include "contexts/proxy_context.h"
#include "control/jsonrpc.h"

namespace {

constexpr const char* MEMBER_ID = "id";
constexpr const char* MEMBER_RESULT = "result";
constexpr const char* MEMBER_TOTAL_READS = "total_reads";
constexpr const char* MEMBER_CACHE_HIT_READS = "cache_hit_reads";
constexpr const char* MEMBER_VDISK_KEY = "vdisk_key";
constexpr const char* MEMBER_CLIENTS = "clients";
constexpr const char* MEMBER_MAC = "mac";
constexpr const char* MEMBER_SITE_UUID = "site_uuid";

// The request's id, or null when it has none; a JSON null id counts as none.
json_object* request_id(json_object* request) {
  json_object* id = nullptr;
  if (request == nullptr || !json_object_object_get_ex(request, MEMBER_ID, &id)) return nullptr;
  return id;
}

void add_uint(json_object* object, const char* key, uint64_t value) {
  json_object_object_add(object, key, json_object_new_uint64(value));
}

std::string format_mac(const char* format, const std::array<uint8_t, 6>& mac) {
  char text[18];
  g_snprintf(text, sizeof text, format, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

json_object* read_block_json(const metrics_read_block& block) {
  json_object* object = json_object_new_object();
  add_uint(object, MEMBER_TOTAL_READS, metrics_block_total_reads(&block));
  add_uint(object, MEMBER_CACHE_HIT_READS, block.cache_hit_reads.load());
  json_object_object_add(object, "latency", json_object_new_int64(block.latency.load()));
  return object;
}

json_object* latency_json(const metrics_histogram& histogram) {
  const metrics_histogram_snapshot h = metrics_histogram_read(histogram);
  json_object* object = json_object_new_object();
  add_uint(object, "count", h.count);
  json_object_object_add(object, "sum_us",
                         json_object_new_double(static_cast<double>(h.sum_ns) / 1000.0));
  json_object_object_add(object, "p50_us",
                         json_object_new_double(metrics_histogram_quantile(h, 0.5)));
  json_object_object_add(object, "p99_us",
                         json_object_new_double(metrics_histogram_quantile(h, 0.99)));
  json_object* buckets = json_object_new_array_ext(static_cast<int>(h.cumulative.size()));
  for (uint64_t n : h.cumulative) json_object_array_add(buckets, json_object_new_uint64(n));
  json_object_object_add(object, "buckets", buckets);
  return object;
}

json_object* latest_boot_json(const client_context& client) {
  const metrics_boot_figures b =
      metrics_boot_since(&client.metrics, &client.boot_mark, g_get_monotonic_time());
  json_object* object = json_object_new_object();
  json_object_object_add(object, "since_login_s", json_object_new_double(b.since_login_s));
  add_uint(object, "reads", b.reads);
  add_uint(object, MEMBER_CACHE_HIT_READS, b.hits);
  json_object_object_add(object, "cache_hit_ratio",
                         json_object_new_double(metrics_ratio(b.hits, b.reads)));
  add_uint(object, "cache_bytes", b.cache_b);
  add_uint(object, "server_bytes", b.server_b);
  json_object_object_add(object, "miss_wait_us",
                         json_object_new_double(static_cast<double>(b.wait_ns) / 1000.0));
  return object;
}

json_object* site_json(const site_context& site) {
  json_object* object = json_object_new_object();
  json_object_object_add(object, MEMBER_SITE_UUID, json_object_new_string(site.uuid.c_str()));
  json_object_object_add(object, "cache_vdi", json_object_new_string(site.cache_vdi.c_str()));
  return object;
}

json_object* server_json(server_context& server) {
  // The site commands update a live server's addresses and ports under its
  // own lock, so reading them without it could see a half-written list.
  std::shared_lock<std::shared_mutex> hold(server.lock);
  json_object* object = json_object_new_object();
  json_object_object_add(object, "uuid", json_object_new_string(server.uuid.c_str()));
  json_object* addresses = json_object_new_array();
  const uint32_t count = std::min<uint32_t>(server.address_count, SERVER_MAX_ADDRESSES);
  for (uint32_t i = 0; i < count; i++) {
    // inet_ntop rather than inet_ntoa: same text, no shared static buffer.
    char text[INET_ADDRSTRLEN];
    in_addr address{};
    address.s_addr = server.addresses[i];
    inet_ntop(AF_INET, &address, text, sizeof text);
    json_object_array_add(addresses, json_object_new_string(text));
  }
  json_object_object_add(object, "addresses", addresses);
  json_object_object_add(object, "first_port", json_object_new_int64(server.first_port));
  json_object_object_add(object, "last_port", json_object_new_int64(server.last_port));
  return object;
}

json_object* client_json(client_context& client) {
  json_object* object = json_object_new_object();
  json_object_object_add(object, "uuid", json_object_new_string(client.uuid.c_str()));
  json_object_object_add(
      object, MEMBER_MAC,
      json_object_new_string(format_mac("%02x:%02x:%02x:%02x:%02x:%02x", client.mac).c_str()));
  json_object_object_add(object, "interface", json_object_new_string(client.interface.c_str()));
  json_object_object_add(object, MEMBER_VDISK_KEY,
                         json_object_new_string(client.session.lock_shared()->vdisk_key));
  json_object_object_add(object, "latest_boot", latest_boot_json(client));
  return object;
}

// How warm the vDisk's cache is, from the bitmaps: the boot set is copied
// under its short lock and the files read with no lock held.
void add_warmth(json_object* object, proxy_context* context, vdisk_context& vdisk) {
  const boot_set_warmth_figures w = boot_set_warmth(context, &vdisk);
  add_uint(object, "boot_set_bytes", w.boot_b);
  add_uint(object, "boot_set_cached", w.boot_cached_b);
  add_uint(object, "cached_bytes", w.cached_b);
  json_object_object_add(object, "cached_ratio",
                         json_object_new_double(metrics_ratio(w.cached_b, w.size)));
  json_object_object_add(object, "boot_set_ratio",
                         json_object_new_double(metrics_ratio(w.boot_cached_b, w.boot_b)));
  add_uint(object, "evicted_bytes", w.evicted_b);
}

json_object* vdisk_json(vdisk_context& vdisk) {
  json_object* object = json_object_new_object();
  if (object == nullptr) return nullptr;
  json_object_object_add(object, MEMBER_VDISK_KEY, json_object_new_string(vdisk.vdisk_key.c_str()));
  json_object_object_add(object, MEMBER_SITE_UUID, json_object_new_string(vdisk.site_uuid.c_str()));
  // Prepopulation moves size and progress under the vDisk's mutex, held only
  // briefly (its waits release it).
  auto state = vdisk.state.lock();
  add_uint(object, "size", state->size);
  add_uint(object, "complete", state->prepop_progress);
  return object;
}

}  // namespace

void build_metrics_json_obj(json_object* object, const metrics_record* metrics) {
  g_return_if_fail(object != NULL && metrics != NULL);
  json_object* sent = json_object_new_object();
  add_uint(sent, "client_sent_b", metrics->client_sent_b.load());
  add_uint(sent, "server_sent_b", metrics->server_sent_b.load());
  add_uint(sent, "total_sent_b", metrics_total_sent_b(metrics));
  add_uint(sent, "proxy_saved_b", metrics->proxy_saved_b.load());
  json_object_object_add(object, "sent_metrics", sent);
  json_object_object_add(object, "mio_metrics", read_block_json(metrics->mio));
  json_object_object_add(object, "ext_metrics", read_block_json(metrics->ext));
  add_uint(object, MEMBER_TOTAL_READS, metrics_total_reads(metrics));
  add_uint(object, MEMBER_CACHE_HIT_READS, metrics_hit_reads(metrics));
  add_uint(object, "cache_evicted_b", metrics->cache_evicted_b.load());
  // Whole microseconds, rounded up: a wait that happened never reads as 0.
  add_uint(object, "listener_lock_wait_max_us", (metrics->lock_wait_max_ns.load() + 999) / 1000);
  add_uint(object, "listener_prepop_lock_wait_max_us",
           (metrics->prepop_lock_wait_max_ns.load() + 999) / 1000);
  add_uint(object, "kernel_drops", metrics->kernel_drops.load());
  add_uint(object, "ring_bytes", static_cast<uint64_t>(std::max<int64_t>(0, metrics->ring_bytes)));
  add_uint(object, "held_reads", metrics->held_reads.load());
  add_uint(object, "held_answered_reads", metrics->held_answered_reads.load());
  add_uint(object, "held_timed_out_reads", metrics->held_timed_out_reads.load());
  // json-c writes NaN and infinities as bare words, which no JSON parser
  // accepts; a utilisation that could not be computed is reported as 0.
  double utilized = metrics->cache_utilized_p.load(std::memory_order_relaxed);
  if (!std::isfinite(utilized)) utilized = 0.0;
  json_object_object_add(object, "cache_utilized_p", json_object_new_double(utilized));
  json_object* latency = json_object_new_object();
  for (size_t k = 0; k < METRICS_READ_KINDS; k++) {
    json_object_object_add(latency, METRICS_READ_KIND_NAMES[k], latency_json(metrics->latency[k]));
  }
  json_object_object_add(object, "read_latency", latency);
}

json_object* context_state_result(proxy_context* context) {
  g_return_val_if_fail(context != NULL, nullptr);
  json_object* sites = json_object_new_array();
  json_object* servers = json_object_new_array();
  json_object* clients = json_object_new_array();
  // One table at a time, so the packet path waits for at most one walk.
  {
    std::shared_lock<std::shared_mutex> hold(context->site_lock);
    if (context->site_context_ht) {
      for (const auto& [uuid, site] : *context->site_context_ht) {
        json_object_array_add(sites, site_json(*site));
      }
    }
  }
  {
    std::shared_lock<std::shared_mutex> hold(context->server_lock);
    if (context->server_context_ht) {
      for (const auto& [uuid, server] : *context->server_context_ht) {
        json_object_array_add(servers, server_json(*server));
      }
    }
  }
  {
    std::shared_lock<std::shared_mutex> hold(context->client_lock);
    if (context->client_context_ht) {
      for (const auto& [key, client] : *context->client_context_ht) {
        json_object_array_add(clients, client_json(*client));
      }
    }
  }
  json_object* result = json_object_new_object();
  json_object_object_add(result, "sites", sites);
  json_object_object_add(result, "servers", servers);
  json_object_object_add(result, MEMBER_CLIENTS, clients);
  return result;
}

json_object* prepop_progress_result(proxy_context* context) {
  g_return_val_if_fail(context != NULL, nullptr);
  json_object* j_obj = json_object_new_object();
  g_return_val_if_fail(j_obj != NULL, nullptr);
  // The records are taken under the table lock and read after it is let go:
  // waiting there for a vDisk's lock would stall every vDisk.
  std::vector<std::shared_ptr<vdisk_context>> records;
  {
    std::lock_guard<std::mutex> hold(context->vdisk_lock);
    if (context->vdisk_context_ht) {
      for (const auto& [key, vdisk] : *context->vdisk_context_ht) records.push_back(vdisk);
    }
  }
  std::vector<json_object*> vdisks;
  for (const auto& vdisk : records) {
    json_object* object = vdisk_json(*vdisk);
    if (object == nullptr) continue;
    add_warmth(object, context, *vdisk);
    vdisks.push_back(object);
  }
  if (vdisks.empty()) return j_obj;
  // "vdisk" stays the last vDisk visited, as callers of one vDisk expect;
  // "vdisks" lets callers see every vDisk when there are several.
  json_object_object_add(j_obj, "vdisk", json_object_get(vdisks.back()));
  if (vdisks.size() > 1) {
    json_object* all = json_object_new_array_ext(static_cast<int>(vdisks.size()));
    for (json_object* object : vdisks) json_object_array_add(all, json_object_get(object));
    json_object_object_add(j_obj, "vdisks", all);
  }
  for (json_object* object : vdisks) json_object_put(object);
  return j_obj;
}

json_object* metrics_result(proxy_context* context) {
  g_return_val_if_fail(context != NULL, nullptr);
  json_object* j_metrics_obj = json_object_new_object();
  g_return_val_if_fail(j_metrics_obj != NULL, nullptr);
  json_object* j_server_metrics_obj = json_object_new_object();
  if (j_server_metrics_obj == nullptr) {
    json_object_put(j_metrics_obj);
    g_return_val_if_fail(j_server_metrics_obj != NULL, nullptr);
  }
  build_metrics_json_obj(j_server_metrics_obj, &context->metrics);
  json_object_object_add(j_metrics_obj, "server_metrics", j_server_metrics_obj);

  json_object* clients = json_object_new_array();
  {
    std::shared_lock<std::shared_mutex> hold(context->client_lock);
    if (context->client_context_ht) {
      for (const auto& [key, client] : *context->client_context_ht) {
        json_object* element = json_object_new_object();
        if (element == nullptr) continue;
        build_metrics_json_obj(element, &client->metrics);
        json_object_object_add(element, "client_id", json_object_new_int(0));
        json_object_object_add(element, "uuid", json_object_new_string(client->uuid.c_str()));
        json_object_object_add(
            element, MEMBER_MAC,
            json_object_new_string(format_mac("%x:%x:%x:%x:%x:%x", client->mac).c_str()));
        json_object_array_add(clients, element);
      }
    }
  }
  json_object_object_add(j_metrics_obj, MEMBER_CLIENTS, clients);
  json_object* bounds = json_object_new_array_ext(static_cast<int>(METRICS_LATENCY_BOUNDS));
  for (int64_t us : METRICS_LATENCY_BOUNDS_US) {
    json_object_array_add(bounds, json_object_new_int64(us));
  }
  json_object_object_add(j_metrics_obj, "latency_bounds_us", bounds);
  return j_metrics_obj;
}

void process_context_state(proxy_context* context, json_object* request, int connection) {
  g_return_if_fail(context != NULL && request != NULL);
  json_object* id = request_id(request);
  if (id == nullptr) {
    g_warning("process_context_state: no id");
    return;
  }
  json_send_response(connection, id, MEMBER_RESULT, context_state_result(context));
}

void process_prepop_progress(proxy_context* context, json_object* request, int connection) {
  g_return_if_fail(context != NULL && request != NULL);
  json_object* id = request_id(request);
  if (id == nullptr) {
    g_warning("process_prepop_progress: no id");
    return;
  }
  json_object* result = prepop_progress_result(context);
  if (result == nullptr) return;  // the builder reported why
  json_send_response(connection, id, MEMBER_RESULT, result);
}

void process_metrics(proxy_context* context, json_object* request, int connection) {
  g_return_if_fail(context != NULL && request != NULL);
  json_object* id = request_id(request);
  if (id == nullptr) {
    g_warning("process_metrics: no id");
    return;
  }
  json_object* result = metrics_result(context);
  if (result == nullptr) return;  // the builder reported why
  json_send_response(connection, id, MEMBER_RESULT, result);
}
