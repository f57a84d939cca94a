#include "control/unixsocket.h"

#include <glib.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "core/service_thread.h"
#include "core/unique_fd.h"

namespace {

constexpr const char* SHUTTING_DOWN = "Shutting down unixsocketThread";

}  // namespace

void unixsocket_thread(service_thread* record) {
  // The control socket and its methods arrive with the control interface; for
  // now the thread only honours the stop protocol.
  unique_fd epfd(epoll_create1(EPOLL_CLOEXEC));
  if (!epfd) {
    g_warning("epoll_create1: %s", g_strerror(errno));
    return;
  }
  struct epoll_event ev {};
  ev.events = EPOLLIN;
  ev.data.fd = record->efd;
  if (epoll_ctl(epfd.get(), EPOLL_CTL_ADD, record->efd, &ev) != 0) {
    g_warning("epoll_ctl: %s", g_strerror(errno));
    return;
  }
  for (;;) {
    struct epoll_event events[10];
    int n = epoll_wait(epfd.get(), events, 10, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      g_warning("epoll_wait: %s", g_strerror(errno));
      g_message("%s", SHUTTING_DOWN);
      return;
    }
    for (int i = 0; i < n; i++) {
      if (events[i].data.fd != record->efd) continue;
      uint64_t value = 0;
      if (read(record->efd, &value, sizeof value) != static_cast<ssize_t>(sizeof value)) {
        g_warning("unixsocket thread: couldnot read from eventfd: %s", g_strerror(errno));
        g_message("%s", SHUTTING_DOWN);
        return;
      }
      if (value == SERVICE_THREAD_STOP) {
        g_message("%s", SHUTTING_DOWN);
        return;
      }
    }
  }
}
