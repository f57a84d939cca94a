#include "control/site_commands.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "contexts/proxy_context.h"
#include "control/jsonrpc.h"
#include "control/lifecycle.h"
#include "core/unique_fd.h"
#include "core/uuid.h"

namespace {

constexpr const char* RESULT_OK = "OK";
// State-file paths are cut to this length, as the restore builds them.
constexpr size_t STATE_PATH_MAX = 254;

std::string& state_dir_storage() {
  static std::string dir = STATE_DIR;
  return dir;
}

// The member `key` of `obj`, or null when it is absent or JSON null (a null
// member has no text, so it counts as missing everywhere).
json_object* member(json_object* obj, const char* key) {
  json_object* value = nullptr;
  if (!json_object_is_type(obj, json_type_object)) return nullptr;
  if (!json_object_object_get_ex(obj, key, &value)) return nullptr;
  return value;
}

bool is_array_or_absent(json_object* obj) {
  return obj == nullptr || json_object_is_type(obj, json_type_array);
}

bool prepopulate_text_is_true(const char* text) {
  if (strcmp(text, "1") == 0) return true;
  for (const char* word : {"true", "yes", "on", "enable", "enabled"})
    if (g_ascii_strcasecmp(text, word) == 0) return true;
  return false;
}

std::string state_path(const char* site_uuid) {
  std::string path = site_state_dir() + "/" + site_uuid;
  if (path.size() > STATE_PATH_MAX) path.resize(STATE_PATH_MAX);
  return path;
}

void sync_directory(const std::string& dir) {
  unique_fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) fsync(fd.get());
}

// Writes the request beside the state file under a name starting with "." (so
// the restore never reads it) and renames it into place, so a crash leaves
// either the previous file or the new one, never a part of either.
bool write_state_file(const char* site_uuid, json_object* request) {
  const std::string path = state_path(site_uuid);
  const std::string tmp = site_state_dir() + "/." + site_uuid + ".tmp";
  const char* text = json_object_to_json_string_ext(request, JSON_C_TO_STRING_PLAIN);
  size_t left = strlen(text);
  int err = 0;
  {
    // A temporary left by a crash may have another owner or mode: start anew.
    unlink(tmp.c_str());
    unique_fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) {
      err = errno;
    } else {
      while (left > 0 && err == 0) {
        ssize_t n = write(fd.get(), text, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          err = errno;
          break;
        }
        text += n;
        left -= static_cast<size_t>(n);
      }
      if (err == 0 && fsync(fd.get()) != 0) err = errno;
      if (fd.close() != 0 && err == 0) err = errno;
      if (err == 0 && rename(tmp.c_str(), path.c_str()) != 0) err = errno;
      if (err != 0) unlink(tmp.c_str());
    }
  }
  if (err != 0) {
    g_warning("Failed to write state file %s: %s", path.c_str(), g_strerror(err));
    return false;
  }
  sync_directory(site_state_dir());
  return true;
}

// Rejects, before anything changes, the lists that are not arrays: the steps
// that walk them would otherwise have applied the entries before the bad one.
int check_list_types(json_object* params) {
  json_object* servers = member(params, "servers");
  if (!is_array_or_absent(servers)) {
    g_warning("process_configure_site: servers is not an array");
    return JSON_ERROR_SERVER_UUID;
  }
  json_object* clients = member(params, "clients");
  if (!is_array_or_absent(clients)) {
    g_warning("process_configure_site: clients is not an array");
    return JSON_ERROR_CLIENT_UUID;
  }
  const size_t n = servers ? json_object_array_length(servers) : 0;
  for (size_t i = 0; i < n; i++) {
    json_object* addresses = member(json_object_array_get_idx(servers, i), "addresses");
    if (!is_array_or_absent(addresses)) {
      g_warning("process_json_server: addresses is not an array");
      return JSON_ERROR_ADDRESS;
    }
  }
  return JSON_ERROR_OK;
}

int process_json_server(proxy_context* context, site_context* site, json_object* entry,
                        json_object* old_servers) {
  const char* uuid = json_object_get_string(member(entry, "uuid"));
  if (uuid == nullptr) {
    g_warning("process_json_server: no uuid");
    return JSON_ERROR_SERVER_UUID;
  }
  if (!uuid_is_valid(uuid)) {
    g_warning("process_json_server: invalid server_uuid");
    return JSON_ERROR_SERVER_UUID;
  }
  json_object* addresses = member(entry, "addresses");
  if (addresses == nullptr) {
    g_warning("process_json_server: no addresses");
    return JSON_ERROR_ADDRESS;
  }
  const auto first_port = static_cast<uint32_t>(json_object_get_int(member(entry, "first_port")));
  if (first_port == 0) {
    g_warning("process_json_server: no first_port");
    return JSON_ERROR_FIRST_PORT;
  }
  const auto last_port = static_cast<uint32_t>(json_object_get_int(member(entry, "last_port")));
  if (last_port == 0) {
    g_warning("process_json_server: no last port");
    return JSON_ERROR_LAST_PORT;
  }

  std::array<uint32_t, SERVER_MAX_ADDRESSES> addr{};
  size_t count = json_object_array_length(addresses);
  if (count > SERVER_MAX_ADDRESSES) count = SERVER_MAX_ADDRESSES;
  for (size_t i = 0; i < count; i++) {
    const char* text = json_object_get_string(json_object_array_get_idx(addresses, i));
    addr[i] = text ? inet_addr(text) : 0;
  }

  // An empty list is refused by the server table anyway; skipping the call
  // keeps that refusal quiet, as a server without addresses is simply absent.
  if (count > 0 && find_json_object(old_servers, entry) != 0)
    server_contexts_create(context, site, uuid, addr.data(), static_cast<uint8_t>(count), last_port,
                           first_port);
  return JSON_ERROR_OK;
}

int process_json_client(proxy_context* context, site_context* site, json_object* entry,
                        json_object* old_clients) {
  const char* uuid = json_object_get_string(member(entry, "uuid"));
  if (uuid == nullptr) {
    g_warning("process_json_client: no uuid");
    return JSON_ERROR_CLIENT_UUID;
  }
  if (!uuid_is_valid(uuid)) {
    g_warning("process_json_client_add: invalid client_uuid");
    return JSON_ERROR_CLIENT_UUID;
  }
  const char* mac_text = json_object_get_string(member(entry, "mac"));
  if (mac_text == nullptr) {
    g_warning("process_json_client: no mac");
    return JSON_ERROR_MAC;
  }
  const char* interface = json_object_get_string(member(entry, "interface"));
  if (interface == nullptr) {
    g_warning("process_json_client: no interface");
    return JSON_ERROR_INTERFACE;
  }
  const char* prepopulate_text = json_object_get_string(member(entry, "prepopulate"));
  if (prepopulate_text == nullptr) {
    g_warning("process_json_client: no prepopulate");
    return JSON_ERROR_PREPOPULATE;
  }
  const bool prepopulate = prepopulate_text_is_true(prepopulate_text);

  unsigned fields[6] = {};
  if (sscanf(mac_text, "%x:%x:%x:%x:%x:%x", &fields[0], &fields[1], &fields[2], &fields[3],
             &fields[4], &fields[5]) < 6) {
    g_warning("process_json_client: invalid mac address");
    return JSON_ERROR_MAC;
  }
  uint8_t mac[6];
  for (int i = 0; i < 6; i++) mac[i] = static_cast<uint8_t>(fields[i] & 0xFF);

  if (find_json_object(old_clients, entry) != 0 &&
      client_contexts_create(context, site, uuid, mac, interface, prepopulate) == nullptr)
    return JSON_ERROR_INTERNAL;
  return JSON_ERROR_OK;
}

// Removes what `old_list` names and `new_list` no longer does.
void remove_dropped(proxy_context* context, json_object* old_list, json_object* new_list,
                    void (*remove)(proxy_context*, const char*)) {
  if (old_list == nullptr || !json_object_is_type(old_list, json_type_array)) return;
  const size_t n = json_object_array_length(old_list);
  for (size_t i = 0; i < n; i++) {
    json_object* old_entry = json_object_array_get_idx(old_list, i);
    json_object* uuid = member(old_entry, "uuid");
    if (!json_object_is_type(uuid, json_type_string)) continue;
    if (find_json_object(new_list, old_entry) == 2) remove(context, json_object_get_string(uuid));
  }
}

// What to store and persist for an accepted request: the request itself, or,
// when it leaves "servers" or "clients" out (so they stay as they are), a copy
// that carries the stored list forward. Otherwise the next request would be
// compared with no list and could never remove them, and a restart would not
// bring them back.
json_ptr effective_request(json_object* request, json_object* old_params) {
  json_object* params = member(request, "params");
  json_ptr result(json_object_get(request));
  for (const char* key : {"servers", "clients"}) {
    json_object* old_list = member(old_params, key);
    if (old_list == nullptr || member(params, key) != nullptr) continue;
    if (result.get() == request) {
      json_object* copy = nullptr;
      if (json_object_deep_copy(request, &copy, nullptr) != 0) return result;
      result.reset(copy);
    }
    json_object_object_add(member(result.get(), "params"), key, json_object_get(old_list));
  }
  return result;
}

json_object* stored_params(proxy_context* context, const std::string& site_uuid) {
  auto stored = context->site_state->find(site_uuid);
  return stored == context->site_state->end() ? nullptr : member(stored->second.get(), "params");
}

// Steps 5 to 8: the site, its servers, its clients. Returns an error number.
int apply_site(proxy_context* context, json_object* params, const char* site_uuid, const char* vdi,
               bool* created) {
  site_context* site = site_contexts_create(context, site_uuid, vdi, created);
  if (site == nullptr) {
    g_warning("Couldn't create site context");
    return JSON_ERROR_INTERNAL;
  }

  json_object* old_params = stored_params(context, site->uuid);
  json_object* old_servers = member(old_params, "servers");
  json_object* old_clients = member(old_params, "clients");

  if (json_object* servers = member(params, "servers")) {
    const size_t n = json_object_array_length(servers);
    for (size_t i = 0; i < n; i++) {
      json_object* entry = json_object_array_get_idx(servers, i);
      if (!json_object_is_type(entry, json_type_object)) continue;
      if (int rc = process_json_server(context, site, entry, old_servers)) return rc;
    }
    remove_dropped(context, old_servers, servers, server_contexts_remove);
  }

  if (json_object* clients = member(params, "clients")) {
    const size_t n = json_object_array_length(clients);
    for (size_t i = 0; i < n; i++) {
      json_object* entry = json_object_array_get_idx(clients, i);
      if (!json_object_is_type(entry, json_type_object)) continue;
      if (int rc = process_json_client(context, site, entry, old_clients)) return rc;
    }
    remove_dropped(context, old_clients, clients, client_contexts_remove_by_uuid);
  }
  return JSON_ERROR_OK;
}

void configure_site(proxy_context* context, json_object* request, int connection) {
  g_return_if_fail(context != NULL && context->site_state != nullptr);
  if (!json_object_is_type(request, json_type_object)) return;
  const bool reload = connection == -1;

  json_object* id = member(request, "id");
  if (id == nullptr) {
    g_warning("process_configure_site: no id");
    return;
  }

  int error = JSON_ERROR_OK;
  json_object* params = member(request, "params");
  const char* site_uuid = json_object_get_string(member(params, "site_uuid"));
  const char* vdi = json_object_get_string(member(params, "vdi"));
  if (params == nullptr) {
    g_warning("process_configure_site: no params");
    error = JSON_ERROR_NO_PARAMS;
  } else if (site_uuid == nullptr) {
    g_warning("process_configure_site: no site_uuid");
    error = JSON_ERROR_SITE_UUID;
  } else if (!uuid_is_valid(site_uuid)) {
    g_warning("process_configure_site: invalid site_uuid");
    error = JSON_ERROR_SITE_UUID;
  } else if (vdi == nullptr) {
    g_warning("process_configure_site: no vdi");
    error = JSON_ERROR_CACHE_VDI;
  } else if (!uuid_is_valid(vdi)) {
    g_warning("process_configure_site: invalid vdi");
    error = JSON_ERROR_CACHE_VDI;
  } else {
    error = check_list_types(params);
  }

  if (error == JSON_ERROR_OK) {
    bool created = false;
    error = apply_site(context, params, site_uuid, vdi, &created);
    if (error != JSON_ERROR_OK && created) {
      g_message("Removing contexts for site %s due to error...", site_uuid);
      site_contexts_remove(context, site_uuid);
    }
  }
  if (error != JSON_ERROR_OK) {
    if (!reload) json_send_response_error(connection, id, error);
    return;
  }

  json_ptr accepted = effective_request(request, stored_params(context, site_uuid));
  if (!reload) {
    write_state_file(site_uuid, accepted.get());
    json_send_response(connection, id, "result", json_object_new_string(RESULT_OK));
  }
  (*context->site_state)[site_uuid] = std::move(accepted);
}

}  // namespace

const std::string& site_state_dir() {
  return state_dir_storage();
}

void site_state_set_dir(const std::string& dir) {
  state_dir_storage() = dir;
}

int find_json_object(json_object* jobjs, json_object* jobj_tofind) {
  g_return_val_if_fail(jobj_tofind != NULL, 0);
  if (jobjs == nullptr || !json_object_is_type(jobjs, json_type_array)) return 1;
  json_object* uuid = member(jobj_tofind, "uuid");
  if (!json_object_is_type(uuid, json_type_string)) return 2;
  const char* wanted = json_object_get_string(uuid);
  const size_t n = json_object_array_length(jobjs);
  for (size_t i = 0; i < n; i++) {
    json_object* entry = json_object_array_get_idx(jobjs, i);
    json_object* entry_uuid = member(entry, "uuid");
    if (!json_object_is_type(entry_uuid, json_type_string)) continue;
    if (strcmp(json_object_get_string(entry_uuid), wanted) != 0) continue;
    return strcmp(json_object_to_json_string(entry), json_object_to_json_string(jobj_tofind)) == 0
               ? 0
               : 1;
  }
  return 2;
}

void process_configure_site(proxy_context* context, json_object* request, int connection) {
  configure_site(context, request, connection);
}

void site_state_restore(proxy_context* context, json_object* request) {
  configure_site(context, request, -1);
}

void process_remove_site(proxy_context* context, json_object* request, int connection) {
  g_return_if_fail(context != NULL && context->site_state != nullptr);
  json_object* id = member(request, "id");
  if (id == nullptr) {
    g_warning("process_remove_site: no id");
    return;
  }
  json_object* params = member(request, "params");
  if (params == nullptr) {
    g_warning("process_remove_site: no params");
    json_send_response_error(connection, id, JSON_ERROR_NO_PARAMS);
    return;
  }
  json_object* site_member = member(params, "site_uuid");
  if (!json_object_is_type(site_member, json_type_string)) {
    g_warning("process_remove_site: no site_uuid");
    json_send_response_error(connection, id, JSON_ERROR_SITE_UUID);
    return;
  }
  // The uuid becomes a path: only a UUID can never name a file outside the
  // state directory (no "/", no "..").
  const char* site_uuid = json_object_get_string(site_member);
  if (!uuid_is_valid(site_uuid)) {
    g_warning("process_remove_site: invalid site_uuid");
    json_send_response_error(connection, id, JSON_ERROR_SITE_UUID);
    return;
  }

  site_contexts_remove(context, site_uuid);
  context->site_state->erase(site_uuid);
  const std::string path = state_path(site_uuid);
  if (unlink(path.c_str()) != 0) {
    int err = errno;
    g_warning("Failed to unlink %s: %s", path.c_str(), g_strerror(err));
  } else {
    sync_directory(site_state_dir());
  }
  json_send_response(connection, id, "result", json_object_new_string(RESULT_OK));
}
