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

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "contexts/proxy_context.h"
#include "control/bootset_commands.h"
#include "control/jsonrpc.h"
#include "control/queries.h"
#include "control/site_commands.h"
#include "core/service_thread.h"
#include "core/unique_fd.h"

namespace {

constexpr const char* SHUTTING_DOWN = "Shutting down unixsocketThread";
constexpr int LISTEN_BACKLOG = 10;
// Connections being read at once; far above what the management stack opens.
constexpr size_t MAX_PENDING_CONNECTIONS = 32;
// Room for every waiting connection, the listening socket and the eventfd.
constexpr int MAX_EVENTS = MAX_PENDING_CONNECTIONS + 2;
// How long accepting pauses when the process has no descriptor left.
constexpr int64_t ACCEPT_PAUSE_MS = 100;
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
  if (listen(sock.get(), LISTEN_BACKLOG) != 0) {
    int saved = errno;
    g_error("listen: %s", g_strerror(saved));
  }
  // Only now: whoever waits for this line may connect at once.
  g_message("Listening on %s", addr.sun_path);
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
  register_json_command(context, "export-boot-set", process_export_boot_set);
  register_json_command(context, "import-boot-set", process_import_boot_set);
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

// One accepted connection whose request is still being read. Each has a
// tokener of its own, so bytes of one peer can never join another's request.
struct pending_connection {
  unique_fd fd;
  tokener_ptr tok;
  size_t total = 0;
  int64_t deadline = 0;
};

enum class read_outcome { incomplete, complete, abandoned };

// Feeds what the peer has sent so far to its tokener without waiting for
// more; the event loop comes back when more arrives.
read_outcome request_read(pending_connection* c, json_ptr* request) {
  char buffer[READ_BUFFER_SIZE] = {};
  for (;;) {
    ssize_t n = read(c->fd.get(), buffer, sizeof buffer - 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return read_outcome::incomplete;
    // The peer closed, or the read failed, before a complete value.
    if (n <= 0) return read_outcome::abandoned;
    c->total += static_cast<size_t>(n);
    if (c->total > MAX_REQUEST_BYTES) {
      g_warning("Closing control connection: request larger than %zu bytes", MAX_REQUEST_BYTES);
      return read_outcome::abandoned;
    }
    json_object* value = json_tokener_parse_ex(c->tok.get(), buffer, static_cast<int>(n));
    enum json_tokener_error err = json_tokener_get_error(c->tok.get());
    if (err == json_tokener_continue) continue;
    if (err != json_tokener_success) return read_outcome::abandoned;
    request->reset(value);
    return read_outcome::complete;
  }
}

void connection_close(unique_fd* fd) {
  if (fd->close() != 0) {
    int saved = errno;
    g_warning("could not close socket: %s", g_strerror(saved));
  }
}

// The connections whose request is being read. They are read side by side,
// so a silent or dripping peer delays no one; requests are still processed
// one at a time, on this thread. Their number is bounded: when the bound is
// reached, or when the process runs out of descriptors, the oldest waiting
// connection makes room, so that a flood of idle connections can neither
// exhaust the daemon's descriptors nor keep a fresh request out for long.
struct connection_set {
  proxy_context* context = nullptr;
  int epfd = -1;
  int listen_fd = -1;
  // Oldest first; small enough that a linear search is the cheapest lookup.
  std::vector<pending_connection> pending;
  uint64_t evicted = 0;
  // While not 0, accepting is paused until this time (monotonic ms).
  int64_t accept_resume_ms = 0;
};

void connections_evict_oldest(connection_set* set, const char* why) {
  // Counted, and logged at powers of two, so that a flood cannot flood the
  // log as well.
  set->evicted++;
  if ((set->evicted & (set->evicted - 1)) == 0)
    g_warning("Closing control connection: %s (%llu so far)", why,
              static_cast<unsigned long long>(set->evicted));
  connection_close(&set->pending.front().fd);
  set->pending.erase(set->pending.begin());
}

void connections_watch_listener(connection_set* set, uint32_t events) {
  struct epoll_event ev {};
  ev.events = events;
  ev.data.fd = set->listen_fd;
  if (epoll_ctl(set->epfd, EPOLL_CTL_MOD, set->listen_fd, &ev) != 0) {
    int saved = errno;
    g_error("epoll_ctl: %s", g_strerror(saved));
  }
}

// Accepts what the backlog holds, up to one set's worth per call so that the
// stop request and the waiting peers are looked at in between.
void connections_accept(connection_set* set) {
  for (size_t i = 0; i < MAX_PENDING_CONNECTIONS; i++) {
    unique_fd fd(accept4(set->listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) {
      int saved = errno;
      // The listening socket is non-blocking, so a peer that gave up between
      // the readiness report and accept() leaves nothing to take.
      if (saved == EAGAIN || saved == EWOULDBLOCK || saved == EINTR) return;
      const bool no_descriptor = saved == EMFILE || saved == ENFILE;
      if (no_descriptor && !set->pending.empty()) {
        connections_evict_oldest(set, "the process has no descriptor left");
        continue;
      }
      g_warning("accept %s", g_strerror(saved));
      // With nothing of ours to give back, a listening socket left in the set
      // would wake the loop at once, again and again, until descriptors come
      // free elsewhere.
      if (no_descriptor) {
        connections_watch_listener(set, 0);
        set->accept_resume_ms = monotonic_ms() + ACCEPT_PAUSE_MS;
      }
      return;
    }
    if (set->pending.size() >= MAX_PENDING_CONNECTIONS)
      connections_evict_oldest(set, "too many connections waiting for their request");
    pending_connection c;
    c.tok.reset(json_tokener_new());
    if (!c.tok) {
      g_warning("json_tokener_new: out of memory");
      continue;
    }
    struct epoll_event ev {};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.fd = fd.get();
    if (epoll_ctl(set->epfd, EPOLL_CTL_ADD, fd.get(), &ev) != 0) {
      int saved = errno;
      g_warning("epoll_ctl: %s", g_strerror(saved));
      continue;
    }
    c.deadline = monotonic_ms() + CONNECTION_DEADLINE_MS;
    c.fd = std::move(fd);
    set->pending.push_back(std::move(c));
  }
}

// Reads from the connection `fd`; processes its request once complete. An
// event for a descriptor that is no longer waiting (closed, and perhaps
// reused, earlier in the same batch) finds nothing or nothing to read.
void connections_serve(connection_set* set, int fd) {
  auto it = std::find_if(set->pending.begin(), set->pending.end(),
                         [fd](const pending_connection& c) { return c.fd.get() == fd; });
  if (it == set->pending.end()) return;
  json_ptr request;
  read_outcome outcome = request_read(&*it, &request);
  if (outcome == read_outcome::incomplete) return;
  pending_connection c = std::move(*it);
  set->pending.erase(it);
  if (outcome == read_outcome::complete)
    process_json_message(set->context, request.get(), c.fd.get());
  request.reset();
  connection_close(&c.fd);
}

// Closes the connections whose deadline has passed and ends a pause in
// accepting that is over; returns the epoll timeout until the next of these
// events, -1 for none.
int connections_expire(connection_set* set) {
  const int64_t now = monotonic_ms();
  int64_t next = -1;
  if (set->accept_resume_ms != 0) {
    if (now >= set->accept_resume_ms) {
      connections_watch_listener(set, EPOLLIN);
      set->accept_resume_ms = 0;
    } else {
      next = set->accept_resume_ms;
    }
  }
  for (auto it = set->pending.begin(); it != set->pending.end();) {
    if (it->deadline <= now) {
      g_warning("Closing control connection: no complete request within %d ms",
                CONNECTION_DEADLINE_MS);
      connection_close(&it->fd);
      it = set->pending.erase(it);
      continue;
    }
    if (next < 0 || it->deadline < next) next = it->deadline;
    ++it;
  }
  return next < 0 ? -1 : static_cast<int>(next - now);
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

  // Requests that arrive meanwhile wait in the listen backlog.
  site_state_restore_all(context);
  context->sites_restored.store(1);

  connection_set connections;
  connections.context = context;
  connections.epfd = epfd.get();
  connections.listen_fd = listen_fd.get();
  for (bool running = true; running;) {
    struct epoll_event events[MAX_EVENTS];
    int n = epoll_wait(epfd.get(), events, MAX_EVENTS, connections_expire(&connections));
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
      if (fd != listen_fd.get()) {
        connections_serve(&connections, fd);
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
      connections_accept(&connections);
    }
  }

  // Peers still sending their request get no answer.
  connections.pending.clear();
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
