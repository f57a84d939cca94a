#include "core/notify.h"

#include <glib.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "core/unique_fd.h"

namespace {

std::atomic<bool> warned{false};

void notify_warn(const char* target, int error) {
  if (warned.exchange(true)) return;
  g_warning("Unable to notify the service manager at %s: %s", target, g_strerror(error));
}

}  // namespace

int notify_address_parse(const char* text, struct sockaddr_un* addr, socklen_t* len) {
  g_return_val_if_fail(text != nullptr && addr != nullptr && len != nullptr, -EINVAL);
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  const size_t n = strlen(text);
  if (n < 2 || (text[0] != '/' && text[0] != '@')) return -EINVAL;
  // An abstract name is exactly its bytes after the leading NUL, with no
  // terminator: a trailing NUL in the length would name a different socket.
  // A path keeps room for its terminator.
  if (n >= sizeof addr->sun_path) return -ENAMETOOLONG;
  memcpy(addr->sun_path, text, n);
  if (text[0] == '@') addr->sun_path[0] = '\0';
  *len =
      static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + n + (text[0] == '/' ? 1 : 0));
  return 0;
}

int notify_send(const char* state) {
  g_return_val_if_fail(state != nullptr, -EINVAL);
  const char* target = getenv(NOTIFY_SOCKET_ENV);
  if (target == nullptr || target[0] == '\0') return 0;

  struct sockaddr_un addr;
  socklen_t len = 0;
  int error = notify_address_parse(target, &addr, &len);
  if (error != 0) {
    notify_warn(target, -error);
    return error;
  }
  unique_fd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock) {
    int saved = errno;
    notify_warn(target, saved);
    return -saved;
  }
  const size_t size = strlen(state);
  ssize_t sent = sendto(sock.get(), state, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                        reinterpret_cast<struct sockaddr*>(&addr), len);
  if (sent < 0) {
    int saved = errno;
    notify_warn(target, saved);
    return -saved;
  }
  // A datagram is sent whole or not at all; anything else is a kernel oddity.
  if (static_cast<size_t>(sent) != size) {
    notify_warn(target, EMSGSIZE);
    return -EMSGSIZE;
  }
  return 0;
}
