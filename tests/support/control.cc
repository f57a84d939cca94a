#include "support/control.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace tarn_test {

unique_fd control_connect(const std::string& socket_path) {
  unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  timeval limit{2, 0};
  setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof addr.sun_path) return unique_fd();
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return unique_fd();
  return fd;
}

void control_send(int fd, const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    ssize_t n = send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return;  // the daemon may close first; the reader sees that
    at += static_cast<size_t>(n);
  }
}

std::optional<std::string> control_read(int fd, std::chrono::milliseconds limit) {
  std::string response;
  char buf[4096];
  for (const auto deadline = std::chrono::steady_clock::now() + limit;
       std::chrono::steady_clock::now() < deadline;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return response;
    if (n < 0) return std::nullopt;
    response.append(buf, static_cast<size_t>(n));
  }
  return std::nullopt;
}

std::optional<std::string> control_call(const std::string& socket_path, const std::string& request,
                                        std::chrono::milliseconds limit) {
  unique_fd fd = control_connect(socket_path);
  if (!fd) return std::nullopt;
  control_send(fd.get(), request);
  return control_read(fd.get(), limit);
}

namespace {

json_value result_of(const std::optional<std::string>& text) {
  json_value parsed(json_tokener_parse(text.value_or("").c_str()));
  json_object* result = nullptr;
  if (!json_object_object_get_ex(parsed.get(), "result", &result)) return nullptr;
  return json_value(json_object_get(result));
}

}  // namespace

json_value control_result(const std::string& socket_path, const std::string& method,
                          std::chrono::milliseconds limit) {
  return result_of(control_call(
      socket_path, R"({"jsonrpc": "2.0", "method": ")" + method + R"(", "id": 1})", limit));
}

json_value control_result(const std::string& socket_path, const std::string& method,
                          const std::string& params) {
  return result_of(control_call(socket_path, R"({"jsonrpc": "2.0", "method": ")" + method +
                                                 R"(", "params": )" + params + R"(, "id": 1})"));
}

int64_t json_path_int(json_object* root, std::initializer_list<const char*> path) {
  for (const char* member : path)
    if (!json_object_object_get_ex(root, member, &root)) return -1;
  return json_object_get_int64(root);
}

std::string site_request(const std::string& site, const std::string& vdi,
                         const std::string& server_uuid, const std::vector<std::string>& server_ips,
                         const std::vector<site_client>& clients, const std::string& ports) {
  std::string servers, list;
  for (const auto& ip : server_ips) servers += (servers.empty() ? "\"" : ", \"") + ip + "\"";
  if (!server_ips.empty())
    servers =
        R"({"uuid": ")" + server_uuid + R"(", "addresses": [)" + servers + "], " + ports + "}";
  for (const auto& c : clients) {
    list += (list.empty() ? "" : ", ") + std::string(R"({"uuid": ")") + c.uuid + R"(", "mac": ")" +
            c.mac + R"(", "interface": ")" + c.interface + R"(", "prepopulate": )" +
            (c.prepopulate ? "true" : "false") + "}";
  }
  return R"({"jsonrpc": "2.0", "method": "configure_site", "id": 1, "params": {"site_uuid": ")" +
         site + R"(", "vdi": ")" + vdi + R"(", "servers": [)" + servers + R"(], "clients": [)" +
         list + "]}}";
}

std::string remove_site_request(const std::string& site) {
  return R"({"jsonrpc": "2.0", "method": "remove_site", "id": 1, "params": {"site_uuid": ")" +
         site + R"("}})";
}

bool answered_ok(const std::optional<std::string>& answer) {
  return answer && answer->find(R"("result": "OK")") != std::string::npos;
}

}  // namespace tarn_test
