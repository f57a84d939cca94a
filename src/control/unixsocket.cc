#include "control/unixsocket.h"

#include <dirent.h>
#include <glib.h>
#include <json-c/json.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "contexts/proxy_context.h"
#include "control/jsonrpc.h"
#include "control/queries.h"
#include "control/site_commands.h"
#include "core/service_thread.h"
#include "core/unique_fd.h"

namespace {

constexpr const char* SHUTTING_DOWN = "Shutting down unixsocketThread";
constexpr int LISTEN_BACKLOG = 10;
constexpr int MAX_EVENTS = 10;
constexpr size_t READ_BUFFER_SIZE = 4096;
// The management stack writes its request right after connecting, so a peer
// that has not completed one within this time is stuck or hostile; the limit
// covers the whole connection so that a slow drip cannot extend it.
constexpr int CONNECTION_DEADLINE_MS = 5000;
// Far above any real site description (64 clients take about 10 KiB).
constexpr size_t MAX_REQUEST_BYTES = size_t{1024} * 1024;
// Longest state-file path the restore builds (254 characters and the NUL).
constexpr size_t STATE_PATH_SIZE = 255;

struct tokener_deleter {
  void operator()(json_tokener* t) const { json_tokener_free(t); }
};
using tokener_ptr = std::unique_ptr<json_tokener, tokener_deleter>;

struct dir_deleter {
  void operator()(DIR* d) const { closedir(d); }
};

int64_t monotonic_ms() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

unique_fd listening_socket_open(const std::string& path) {
  unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!sock) {
    int saved = errno;
    g_error("socket(AF_UNIX, SOCK_STREAM, 0): %s", g_strerror(saved));
  }
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  g_strlcpy(addr.sun_path, path.c_str(), sizeof addr.sun_path);
  auto len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + strlen(addr.sun_path));
  if (bind(sock.get(), reinterpret_cast<struct sockaddr*>(&addr), len) != 0) {
    int saved = errno;
    g_error("bind: %s", g_strerror(saved));
  }
  // Only root may configure the daemon. Restricting the file before listen()
  // leaves no moment in which another user could connect (connecting to a
  // socket that does not listen is refused), without touching the
  // process-wide umask, which would race with files other threads create.
  if (chmod(addr.sun_path, S_IRUSR | S_IWUSR) != 0) {
    int saved = errno;
    g_error("chmod %s: %s", addr.sun_path, g_strerror(saved));
  }
  g_message("Listening on %s", addr.sun_path);
  if (listen(sock.get(), LISTEN_BACKLOG) != 0) {
    int saved = errno;
    g_error("listen: %s", g_strerror(saved));
  }
  return sock;
}

void epoll_watch(int epfd, int fd) {
  struct epoll_event ev {};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  // Without both descriptors in the set the thread could neither serve nor
  // be stopped.
  if (epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) != 0) {
    int saved = errno;
    g_error("epoll_ctl: %s", g_strerror(saved));
  }
}

void json_commands_register_all(proxy_context* context) {
  register_json_command(context, "configure_site", process_configure_site);
  register_json_command(context, "remove_site", process_remove_site);
  register_json_command(context, "metrics", process_metrics);
  register_json_command(context, "prepop-progress", process_prepop_progress);
  register_json_command(context, "context-state", process_context_state);
}

// Replays each saved site configuration; names starting with "." are skipped
// (this covers files being written aside before their rename).
void site_state_restore_all(proxy_context* context) {
  const std::string& dir = site_state_dir();
  std::unique_ptr<DIR, dir_deleter> d(opendir(dir.c_str()));
  if (!d) {
    int saved = errno;
    g_message("Failed to open directory %s: %s", dir.c_str(), g_strerror(saved));
    return;
  }
  while (struct dirent* entry = readdir(d.get())) {
    if (entry->d_name[0] == '.') continue;
    char path[STATE_PATH_SIZE];
    int needed = g_snprintf(path, sizeof path, "%s/%s", dir.c_str(), entry->d_name);
    // A truncated path would name some other file, and opening a FIFO or a
    // device could block the start-up for good.
    struct stat st {};
    bool readable = needed >= 0 && static_cast<size_t>(needed) < sizeof path &&
                    stat(path, &st) == 0 && S_ISREG(st.st_mode);
    json_ptr state(readable ? json_object_from_file(path) : nullptr);
    if (!state) {
      g_warning("Failed to deserialize state for %s", entry->d_name);
      continue;
    }
    g_message("Reloading json state for site %s\n", entry->d_name);
    if (json_object_is_type(state.get(), json_type_object))
      site_state_restore(context, state.get());
  }
}

enum class read_outcome { complete, abandoned, stop_requested };

// Reads one JSON value from `connection` within the connection's deadline.
// Returns stop_requested, leaving the eventfd unread for the event loop, as
// soon as main asks the thread to stop.
read_outcome request_read(int connection, int efd, json_tokener* tok, json_ptr* request) {
  // Whatever an earlier connection left half parsed must never join this one.
  json_tokener_reset(tok);
  char buffer[READ_BUFFER_SIZE] = {};
  size_t total = 0;
  const int64_t deadline = monotonic_ms() + CONNECTION_DEADLINE_MS;
  for (;;) {
    int64_t remaining = deadline - monotonic_ms();
    if (remaining <= 0) {
      g_warning("Closing control connection: no complete request within %d ms",
                CONNECTION_DEADLINE_MS);
      return read_outcome::abandoned;
    }
    struct pollfd fds[2] = {{connection, POLLIN, 0}, {efd, POLLIN, 0}};
    int ready = poll(fds, 2, static_cast<int>(remaining));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return read_outcome::abandoned;
    }
    if (fds[1].revents != 0) return read_outcome::stop_requested;
    if (fds[0].revents == 0) continue;

    ssize_t n = read(connection, buffer, sizeof buffer - 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    // The peer closed, or the read failed, before a complete value.
    if (n <= 0) return read_outcome::abandoned;
    total += static_cast<size_t>(n);
    if (total > MAX_REQUEST_BYTES) {
      g_warning("Closing control connection: request larger than %zu bytes", MAX_REQUEST_BYTES);
      return read_outcome::abandoned;
    }
    json_object* value = json_tokener_parse_ex(tok, buffer, static_cast<int>(n));
    enum json_tokener_error err = json_tokener_get_error(tok);
    if (err == json_tokener_continue) continue;
    if (err != json_tokener_success) return read_outcome::abandoned;
    request->reset(value);
    return read_outcome::complete;
  }
}

void connection_serve(proxy_context* context, int listen_fd, int efd, json_tokener* tok) {
  unique_fd connection(accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!connection) {
    int saved = errno;
    // The listening socket is non-blocking, so a peer that gave up between
    // the readiness report and accept() leaves nothing to take.
    if (saved != EAGAIN && saved != EWOULDBLOCK) g_warning("accept %s", g_strerror(saved));
    return;
  }
  json_ptr request;
  if (request_read(connection.get(), efd, tok, &request) == read_outcome::complete) {
    process_json_message(context, request.get(), connection.get());
  }
  request.reset();
  json_tokener_reset(tok);
  if (connection.close() != 0) {
    int saved = errno;
    g_warning("could not close socket: %s", g_strerror(saved));
  }
}

}  // namespace

void unixsocket_thread(service_thread* record) {
  proxy_context* context = record->context;
  const int efd = record->efd;

  if (context->unix_socket_path.empty()) context->unix_socket_path = UNIX_SOCKET_PATH;
  // A socket file left by the previous run would make bind() fail.
  unlink(context->unix_socket_path.c_str());
  unique_fd listen_fd = listening_socket_open(context->unix_socket_path);

  unique_fd epfd(epoll_create1(EPOLL_CLOEXEC));
  if (!epfd) {
    int saved = errno;
    g_error("epoll_create: %s", g_strerror(saved));
  }

  context->json_commands = std::make_unique<json_command_table>();
  context->site_state = std::make_unique<site_state_table>();
  json_commands_register_all(context);

  epoll_watch(epfd.get(), listen_fd.get());
  epoll_watch(epfd.get(), efd);

  tokener_ptr tok(json_tokener_new());
  if (!tok) g_error("json_tokener_new: out of memory");

  // Requests that arrive meanwhile wait in the listen backlog.
  site_state_restore_all(context);
  context->sites_restored.store(1);

  for (bool running = true; running;) {
    struct epoll_event events[MAX_EVENTS];
    int n = epoll_wait(epfd.get(), events, MAX_EVENTS, -1);
    if (n < 0) {
      int saved = errno;
      if (saved == EINTR) continue;
      g_warning("epoll_wait: %s", g_strerror(saved));
      g_message("%s", SHUTTING_DOWN);
      break;
    }
    for (int i = 0; i < n && running; i++) {
      const int fd = events[i].data.fd;
      if (fd == efd) {
        uint64_t value = 0;
        if (read(efd, &value, sizeof value) != static_cast<ssize_t>(sizeof value)) {
          int saved = errno;
          g_warning("unixsocket thread: couldnot read from eventfd: %s", g_strerror(saved));
          g_message("%s", SHUTTING_DOWN);
          running = false;
        } else if (value == SERVICE_THREAD_STOP) {
          g_message("%s", SHUTTING_DOWN);
          running = false;
        }
        continue;
      }
      if (events[i].events & EPOLLERR) {
        int error = 0;
        socklen_t len = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
          g_error("got EPOLLERR on fd %d but couldn't read the error; exiting", fd);
        }
        g_error("error on socket: %s; exiting...", g_strerror(error));
      }
      connection_serve(context, listen_fd.get(), efd, tok.get());
    }
  }

  tok.reset();
  context->json_commands.reset();
  context->site_state.reset();
  if (epfd.close() != 0) {
    int saved = errno;
    g_warning("close epollfd: %s", g_strerror(saved));
  }
  // The socket file stays; the next start removes it.
  if (listen_fd.close() != 0) {
    int saved = errno;
    g_warning("could not close local socket: %s", g_strerror(saved));
  }
  context->unix_socket_path.clear();
}
