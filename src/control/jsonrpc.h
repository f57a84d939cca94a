// JSON-RPC 2.0 plumbing shared by the control socket and its handlers.
//
// The unixsocket thread reads one request per connection, dispatches it by its
// "method" through `json_commands` and closes the connection; the handler
// decides the response. Responses carry "jsonrpc", then "result" or "error",
// then "id", serialised in one non-blocking send. A request without an id (or
// with a JSON null id) gets no response at all, and every handler checks that
// first. Handlers run on the unixsocket thread only, so the tables need no lock.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

struct proxy_context;

// Called with the request object and the connection (-1 when there is none,
// as when saved state is replayed at start-up: then nothing is sent).
using json_command_fn = void (*)(proxy_context* context, json_object* request, int connection);

struct json_command {
  std::string method;
  json_command_fn handler = nullptr;
};

struct json_command_table : std::unordered_map<std::string, std::unique_ptr<json_command>> {};

struct json_object_deleter {
  void operator()(json_object* o) const { json_object_put(o); }
};
using json_ptr = std::unique_ptr<json_object, json_object_deleter>;
// Site uuid to the persisted configuration document of that site.
struct site_state_table : std::unordered_map<std::string, json_ptr> {};

// Error numbers of the error table (message, code).
enum json_error : int {
  JSON_ERROR_OK = 0,
  JSON_ERROR_INTERNAL = 1,
  JSON_ERROR_INVALID_PARAMS_ID = 2,
  JSON_ERROR_INVALID_REQUEST = 3,
  JSON_ERROR_METHOD_NOT_FOUND = 4,
  JSON_ERROR_NO_PARAMS = 5,
  JSON_ERROR_SITE_UUID = 6,
  JSON_ERROR_CACHE_VDI = 7,
  JSON_ERROR_SERVER_UUID = 8,
  JSON_ERROR_ADDRESS = 9,
  JSON_ERROR_FIRST_PORT = 10,
  JSON_ERROR_LAST_PORT = 11,
  JSON_ERROR_CLIENT_UUID = 12,
  JSON_ERROR_MAC = 13,
  JSON_ERROR_INTERFACE = 14,
  JSON_ERROR_PREPOPULATE = 15,
};

inline constexpr const char* UNIX_SOCKET_PATH = "/opt/vextal/tarnproxy/socket/tarnproxy";
inline constexpr const char* STATE_DIR = "/var/run/tarnproxy-state";

void register_json_command(proxy_context* context, const char* method, json_command_fn callback_fn);
// Sends {"jsonrpc": "2.0", key: value, "id": id}. Takes over `value` (released
// in every case); takes its own reference on `id`. Nothing is sent without an
// id or key, or on connection -1.
void json_send_response(int connection, json_object* id, const char* key, json_object* value);
// Sends the error entry `number` (entry 1 above 15).
void json_send_response_error(int connection, json_object* id, int number);
// Sends an "Invalid params" error (-32602) with its own `message`.
void json_send_invalid_params(int connection, json_object* id, const std::string& message);
void json_msg_free(json_object* object);
// Processes one parsed request (method dispatch, version and id rules).
void process_json_message(proxy_context* context, json_object* json_obj, int connection);
