#include "cache/script.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "core/unique_fd.h"

namespace {

constexpr int64_t TICK_MS = 100;      // how often the clock and the stop flag are looked at
constexpr int64_t IDLE_TICK_MS = 10;  // both streams closed: only the exit is awaited
constexpr int64_t TERM_GRACE_US = 5 * G_USEC_PER_SEC;
constexpr int64_t KILL_WAIT_US = 10 * G_USEC_PER_SEC;
constexpr int64_t EXIT_POLL_US = 20 * 1000;
constexpr int READS_PER_DRAIN = 16;

// In the child, before exec: a group of its own, so that what the script
// starts can be ended with it.
void child_setup(gpointer) {
  setpgid(0, 0);
  // The daemon's threads block its exit signals, and exec keeps a mask: the
  // script must start with none blocked, or the SIGTERM at its timeout would
  // wait for ever.
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);
}

// Reads what the stream has ready; false once it has ended. Bounded per call,
// so a script that never stops printing cannot keep the caller from its
// clock.
bool drain(int fd, cache_script_output* output) {
  char buffer[4096];
  for (int i = 0; i < READS_PER_DRAIN; i++) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      size_t room =
          CACHE_SCRIPT_OUTPUT_MAX - std::min(output->text.size(), CACHE_SCRIPT_OUTPUT_MAX);
      size_t keep = std::min(room, static_cast<size_t>(n));
      output->text.append(buffer, keep);
      output->dropped += static_cast<size_t>(n) - keep;
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
  return true;
}

// Waits up to `limit_us` for the leader to end, without reaping it: while it
// is a zombie its pid, and so its group id, cannot be given to another
// process, so signalling the group afterwards stays safe.
bool ended_within(GPid pid, int64_t limit_us) {
  const int64_t deadline = g_get_monotonic_time() + limit_us;
  for (;;) {
    siginfo_t info{};
    int rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (rc == 0 && info.si_pid == pid) return true;
    if (rc != 0 && errno != EINTR) return true;  // nothing left to wait for
    if (g_get_monotonic_time() >= deadline) return false;
    g_usleep(EXIT_POLL_US);
  }
}

// SIGTERM to the group first: sudo passes it on to the script, which may
// clean up. Then SIGKILL to whatever of the group is left, and reap.
void end_script(GPid pid) {
  kill(-pid, SIGTERM);
  ended_within(pid, TERM_GRACE_US);
  kill(-pid, SIGKILL);
  if (!ended_within(pid, KILL_WAIT_US)) {
    // Stuck in the kernel (an unmount of a dead device): it cannot be
    // helped, only reaped whenever it ends.
    g_warning("Cache VDI script %d survived SIGKILL; reaping it in the background", pid);
    std::thread([pid] {
      int status;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
    return;
  }
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

void set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

}  // namespace

void cache_script_run(char** argv, int timeout_s, const std::atomic<uint8_t>* stopping,
                      cache_script_result* result) {
  g_return_if_fail(argv != NULL && argv[0] != NULL && result != NULL);
  *result = cache_script_result{};
  GPid pid = 0;
  int out_fd = -1;
  int err_fd = -1;
  GError* error = nullptr;
  if (!g_spawn_async_with_pipes(
          nullptr, argv, nullptr,
          static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), child_setup,
          nullptr, &pid, nullptr, &out_fd, &err_fd, &error)) {
    result->error_code = error->code;
    result->error_message = error->message;
    g_error_free(error);
    return;
  }
  unique_fd out(out_fd);
  unique_fd err(err_fd);
  set_nonblocking(out.get());
  set_nonblocking(err.get());

  const bool watch_stop = stopping != nullptr && stopping->load() == 0;
  bool cancelling = false;
  int64_t deadline =
      g_get_monotonic_time() + static_cast<int64_t>(std::max(timeout_s, 1)) * G_USEC_PER_SEC;
  for (;;) {
    int status = 0;
    pid_t reaped = waitpid(pid, &status, WNOHANG);
    if (reaped < 0 && errno == EINTR) continue;
    if (reaped != 0) {
      // What it wrote just before it ended is still in the pipes; a child
      // it left behind may hold them open, so only what is there is read.
      if (out) drain(out.get(), &result->out);
      if (err) drain(err.get(), &result->err);
      result->outcome = cache_script_outcome::exited;
      result->status = reaped == pid ? status : -1;
      return;
    }
    const int64_t now = g_get_monotonic_time();
    // A shutdown lets a script that is nearly done finish, so that a cache is
    // not left half attached for no reason, but does not wait for a hung one.
    if (watch_stop && !cancelling && stopping->load() != 0) {
      cancelling = true;
      deadline = std::min(deadline, now + CACHE_SCRIPT_SHUTDOWN_GRACE_S * G_USEC_PER_SEC);
    }
    if (now >= deadline) {
      result->outcome =
          cancelling ? cache_script_outcome::cancelled : cache_script_outcome::timed_out;
      end_script(pid);
      return;
    }
    struct pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
    const int64_t tick = out || err ? TICK_MS : IDLE_TICK_MS;
    const int64_t wait_ms = std::min(tick, (deadline - now) / 1000 + 1);
    if (poll(fds, 2, static_cast<int>(wait_ms)) < 0 && errno != EINTR) {
      g_usleep(static_cast<gulong>(tick * 1000));
    }
    if (out && fds[0].revents != 0 && !drain(out.get(), &result->out)) out.reset();
    if (err && fds[1].revents != 0 && !drain(err.get(), &result->err)) err.reset();
  }
}

std::string cache_script_text(const cache_script_output& output) {
  const size_t shown = std::min(output.text.size(), CACHE_SCRIPT_LOG_MAX);
  // With a length, validation also fails on a NUL byte.
  const bool utf8 = g_utf8_validate(output.text.data(), static_cast<gssize>(shown), nullptr);
  std::string text;
  text.reserve(shown);
  for (size_t i = 0; i < shown; i++) {
    const auto c = static_cast<unsigned char>(output.text[i]);
    if (c == '\n' || c == '\t' || (c >= 0x20 && c != 0x7f && (c < 0x80 || utf8))) {
      text += static_cast<char>(c);
    } else {
      char escaped[5];
      snprintf(escaped, sizeof escaped, "\\x%02x", c);
      text += escaped;
    }
  }
  const size_t left_out = output.text.size() - shown + output.dropped;
  if (left_out != 0) text += "... (" + std::to_string(left_out) + " more bytes)";
  return text;
}
