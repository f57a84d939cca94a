// The log writer, observed on the real standard streams of a child process.
#include "core/log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace {

struct streams {
  std::string out, err;
  int status = 0;
};

std::string slurp(int fd) {
  std::string s;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
  close(fd);
  return s;
}

// Runs `body` after log_init in a child whose stdout and stderr are files.
streams run_child(const char* debug_env, const std::function<void()>& body) {
  char out_path[] = "/tmp/tarn-log-XXXXXX", err_path[] = "/tmp/tarn-log-XXXXXX";
  int out = mkstemp(out_path), err = mkstemp(err_path);
  unlink(out_path);
  unlink(err_path);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out, 1);
    dup2(err, 2);
    debug_env ? setenv("G_MESSAGES_DEBUG", debug_env, 1) : unsetenv("G_MESSAGES_DEBUG");
    log_init();
    body();
    fflush(nullptr);
    _exit(0);
  }
  streams s;
  waitpid(pid, &s.status, 0);
  s.out = slurp(out);
  s.err = slurp(err);
  return s;
}

void log_each_level() {
  g_message("msg-line");
  g_warning("warn-line");
  g_info("info-line");
  g_debug("debug-line");
  g_log("somelib", G_LOG_LEVEL_INFO, "lib-info-line");
  g_log(nullptr, static_cast<GLogLevelFlags>(1 << 9), "user-level-line");
}

bool has(const std::string& s, const char* text) {
  return s.find(text) != std::string::npos;
}

size_t count(const std::string& s, const char* text) {
  size_t n = 0;
  for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) n++;
  return n;
}

TEST(LogWriter, LevelsStreamsAndGMessagesDebug) {
  // G_MESSAGES_DEBUG; whether our INFO and DEBUG, and the library's INFO, show.
  const struct {
    const char* env;
    bool ours, lib;
  } rows[] = {{nullptr, false, false},
              {"all", true, true},
              {"somelib", false, true},
              {"otherlib", false, false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.env ? r.env : "unset");
    streams s = run_child(r.env, log_each_level);
    // MESSAGE and WARNING always go to stderr; user-defined levels always show.
    EXPECT_TRUE(has(s.err, "msg-line") && has(s.err, "warn-line") && !has(s.out, "msg-line"));
    EXPECT_TRUE(has(s.out + s.err, "user-level-line"));
    EXPECT_EQ(has(s.out, "debug-line"), r.ours);
    EXPECT_EQ(count(s.out + s.err, "info-line"), size_t{r.ours} + r.lib);
    EXPECT_EQ(has(s.out, "lib-info-line"), r.lib);
  }
  // ERROR is written, then the process aborts (not a breakpoint trap).
  streams e = run_child(nullptr, [] { g_error("fatal-line %d", 7); });
  ASSERT_TRUE(WIFSIGNALED(e.status));
  EXPECT_EQ(WTERMSIG(e.status), SIGABRT);
  EXPECT_TRUE(has(e.err, "fatal-line 7"));
  // Missing fields are refused with GLib's critical messages.
  streams m = run_child(nullptr, [] {
    GLogField field = {"MESSAGE", "x", -1};
    printf("results %d %d\n", log_writer(G_LOG_LEVEL_MESSAGE, nullptr, 1, nullptr),
           log_writer(G_LOG_LEVEL_MESSAGE, &field, 0, nullptr));
  });
  EXPECT_TRUE(has(m.out, "results 0 0")) << m.out;
  EXPECT_TRUE(has(m.err, "fields != NULL") && has(m.err, "n_fields > 0"));
}

}  // namespace
