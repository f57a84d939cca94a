// The daemon's control socket as the management stack uses it: one request
// per connection, the response read until the daemon closes.
#pragma once

#include <json-c/json.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace tarn_test {

struct json_deleter {
  void operator()(json_object* o) const { json_object_put(o); }
};
using json_value = std::unique_ptr<json_object, json_deleter>;

// The response text, or nullopt when the socket refuses or the daemon does
// not close within `limit`.
std::optional<std::string> control_call(const std::string& socket_path, const std::string& request,
                                        std::chrono::milliseconds limit = std::chrono::seconds(30));
// The response's "result", parsed; null on any failure.
json_value control_result(const std::string& socket_path, const std::string& method,
                          std::chrono::milliseconds limit = std::chrono::seconds(30));
// A member path such as {"server_metrics", "sent_metrics", "proxy_saved_b"}
// as an integer; -1 when absent.
int64_t json_path_int(json_object* root, std::initializer_list<const char*> path);

}  // namespace tarn_test
