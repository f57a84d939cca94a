#include "control/jsonrpc.h"

#include <glib.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "contexts/proxy_context.h"

namespace {

constexpr const char* JSONRPC_VERSION = "2.0";

struct json_error_entry {
  char message[128];
  int32_t code;
};

// Indexed by json_error; numbers above the last select JSON_ERROR_INTERNAL.
constexpr json_error_entry json_errors[] = {
    {"OK", 0},
    {"Internal error", -32603},
    {"Invalid params, id", -32602},
    {"Invalid request", -32600},
    {"Method not found", -32601},
    {"Invalid request", -32602},
    {"Invalid params, site_uuid", -32602},
    {"Invalid params, cache_vdi", -32602},
    {"Invalid params, server_uuid", -32602},
    {"Invalid params, address", -32602},
    {"Invalid params, first_port", -32602},
    {"Invalid params, last_port", -32602},
    {"Invalid params, client_uuid", -32602},
    {"Invalid params, mac", -32602},
    {"Invalid params, interface", -32602},
    {"Invalid params, prepopulate", -32602},
};
constexpr int JSON_ERROR_COUNT = static_cast<int>(sizeof json_errors / sizeof json_errors[0]);
static_assert(JSON_ERROR_COUNT == JSON_ERROR_PREPOPULATE + 1);

// A member's value, or null when it is absent or JSON null.
json_object* member(json_object* object, const char* key) {
  json_object* value = nullptr;
  if (!json_object_object_get_ex(object, key, &value)) return nullptr;
  return value;
}

}  // namespace

void register_json_command(proxy_context* context, const char* method,
                           json_command_fn callback_fn) {
  g_return_if_fail((method != NULL) && (callback_fn != NULL));
  g_return_if_fail(context != NULL && context->json_commands != NULL);
  auto command = std::make_unique<json_command>();
  command->method = method;
  command->handler = callback_fn;
  std::string name = command->method;
  // Replacing an entry frees the previous record.
  context->json_commands->insert_or_assign(std::move(name), std::move(command));
}

void json_send_response(int connection, json_object* id, const char* key, json_object* value) {
  json_ptr owned_value(value);
  if (id == nullptr || key == nullptr || connection < 0) return;

  json_ptr response(json_object_new_object());
  if (!response) {
    g_warning("json_send_response: Failed to create json_object");
    return;
  }
  json_object_object_add(response.get(), "jsonrpc", json_object_new_string(JSONRPC_VERSION));
  json_object_object_add(response.get(), key, owned_value.release());
  json_object_object_add(response.get(), "id", json_object_get(id));

  const char* text = json_object_to_json_string(response.get());
  if (text == nullptr) {
    g_warning("json_send_response: cannot convert json to string");
    return;
  }
  // The peer reads until the connection closes; a full socket buffer is the
  // peer's problem and must never stall the control thread.
  const size_t length = strlen(text);
  ssize_t sent = send(connection, text, length, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent < 0) {
    int saved = errno;
    g_warning("Cannot send a response back: %s", g_strerror(saved));
  } else if (static_cast<size_t>(sent) < length) {
    // Not continued; say so, as the peer sees only a truncated response.
    g_warning("Cannot send a response back: sent %zd of %zu bytes", sent, length);
  }
}

void json_send_invalid_params(int connection, json_object* id, const std::string& message) {
  if (id == nullptr) return;
  json_object* j_obj = json_object_new_object();
  g_return_if_fail(j_obj != NULL);
  json_object_object_add(j_obj, "code", json_object_new_int(-32602));
  json_object_object_add(j_obj, "message", json_object_new_string(message.c_str()));
  json_send_response(connection, id, "error", j_obj);
}

void json_send_response_error(int connection, json_object* id, int number) {
  if (number < 0 || number >= JSON_ERROR_COUNT) number = JSON_ERROR_INTERNAL;
  if (id == nullptr) return;
  json_object* j_obj = json_object_new_object();
  g_return_if_fail(j_obj != NULL);
  json_object_object_add(j_obj, "code", json_object_new_int(json_errors[number].code));
  json_object_object_add(j_obj, "message", json_object_new_string(json_errors[number].message));
  json_send_response(connection, id, "error", j_obj);
}

void json_msg_free(json_object* object) {
  json_object_put(object);
}

void process_json_message(proxy_context* context, json_object* json_obj, int connection) {
  g_return_if_fail(json_object_get_type(json_obj) == json_type_object);

  json_object* method = member(json_obj, "method");
  json_object* id = member(json_obj, "id");
  json_object* version = member(json_obj, "jsonrpc");

  if (version == nullptr) g_warning("process_json_message: no version");
  // Only the string "2.0" names this protocol: json-c would print the number
  // 2.0 as the same text, and strcmp would stop at an escaped NUL.
  if (version == nullptr || !json_object_is_type(version, json_type_string) ||
      json_object_get_string_len(version) != static_cast<int>(strlen(JSONRPC_VERSION)) ||
      strcmp(json_object_get_string(version), JSONRPC_VERSION) != 0) {
    json_send_response_error(connection, id, JSON_ERROR_INVALID_REQUEST);
    return;
  }
  if (method == nullptr) return;

  if (json_object_is_type(method, json_type_string) && context != nullptr &&
      context->json_commands) {
    std::string name(json_object_get_string(method),
                     static_cast<size_t>(json_object_get_string_len(method)));
    auto found = context->json_commands->find(name);
    if (found != context->json_commands->end() && found->second->handler != nullptr) {
      found->second->handler(context, json_obj, connection);
      return;
    }
  }
  json_send_response_error(connection, id, JSON_ERROR_METHOD_NOT_FOUND);
}

void table_free(json_command_table* table) {
  delete table;
}

void table_free(site_state_table* table) {
  delete table;
}
