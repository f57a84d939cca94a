// The daemon's control socket as the management stack uses it: one request
// per connection, the response read until the daemon closes; and the
// configure_site requests the tests send.
#pragma once

#include <json-c/json.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/unique_fd.h"

namespace tarn_test {

struct json_deleter {
  void operator()(json_object* o) const { json_object_put(o); }
};
using json_value = std::unique_ptr<json_object, json_deleter>;

// A connected socket (connect bounded to 2 s by a full backlog); invalid if refused.
unique_fd control_connect(const std::string& socket_path);
// All of `text`, or as much as the peer takes before it closes.
void control_send(int fd, const std::string& text);
// Everything until the peer closes (or resets); nullopt if it does not within `limit`.
std::optional<std::string> control_read(int fd, std::chrono::milliseconds limit);
// One request on a fresh connection: the response text, or nullopt when the
// socket refuses or the daemon does not close within `limit`.
std::optional<std::string> control_call(const std::string& socket_path, const std::string& request,
                                        std::chrono::milliseconds limit = std::chrono::seconds(30));
// The response's "result", parsed; null on any failure.
json_value control_result(const std::string& socket_path, const std::string& method,
                          std::chrono::milliseconds limit = std::chrono::seconds(30));
// The same with `params` (a JSON object's text).
json_value control_result(const std::string& socket_path, const std::string& method,
                          const std::string& params);
// A member path such as {"server_metrics", "sent_metrics", "proxy_saved_b"}
// as an integer; -1 when absent.
int64_t json_path_int(json_object* root, std::initializer_list<const char*> path);

struct site_client {
  std::string uuid, mac, interface;
  bool prepopulate = false;
};
// A configure_site request; `server_ips` empty gives no server at all.
std::string site_request(const std::string& site, const std::string& vdi,
                         const std::string& server_uuid, const std::vector<std::string>& server_ips,
                         const std::vector<site_client>& clients = {},
                         const std::string& ports = R"("first_port": 6900, "last_port": 6910)");
std::string remove_site_request(const std::string& site);
bool answered_ok(const std::optional<std::string>& answer);

}  // namespace tarn_test
