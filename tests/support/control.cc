#include "support/control.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

#include "core/unique_fd.h"

namespace tarn_test {

std::optional<std::string> control_call(const std::string& socket_path, const std::string& request,
                                        std::chrono::milliseconds limit) {
  unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof addr.sun_path) return std::nullopt;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return std::nullopt;
  size_t at = 0;
  while (at < request.size()) {
    ssize_t n = send(fd.get(), request.data() + at, request.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return std::nullopt;
    at += static_cast<size_t>(n);
  }
  std::string response;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd.get(), POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    ssize_t n = recv(fd.get(), buf, sizeof buf, 0);
    if (n == 0) return response;
    if (n < 0) return std::nullopt;
    response.append(buf, static_cast<size_t>(n));
  }
  return std::nullopt;
}

json_value control_result(const std::string& socket_path, const std::string& method,
                          std::chrono::milliseconds limit) {
  auto text = control_call(socket_path,
                           R"({"jsonrpc": "2.0", "method": ")" + method + R"(", "id": 1})", limit);
  if (!text) return nullptr;
  json_value parsed(json_tokener_parse(text->c_str()));
  json_object* result = nullptr;
  if (!json_object_object_get_ex(parsed.get(), "result", &result)) return nullptr;
  return json_value(json_object_get(result));
}

int64_t json_path_int(json_object* root, std::initializer_list<const char*> path) {
  json_object* at = root;
  for (const char* member : path) {
    if (!json_object_object_get_ex(at, member, &at)) return -1;
  }
  return json_object_get_int64(at);
}

}  // namespace tarn_test
