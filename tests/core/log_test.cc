// The log writer, observed on the real standard streams of a child process.
#include "core/log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <tuple>

namespace {

struct streams {
  std::string out, err;
  int status = 0;
};

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
  for (auto [fd, text] : {std::pair{out, &s.out}, {err, &s.err}}) {
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text->append(buf, size_t(n));
    close(fd);
  }
  return s;
}

size_t count(const std::string& s, const char* text) {
  size_t n = 0;
  for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) n++;
  return n;
}

TEST(LogWriter, LevelsStreamsAndGMessagesDebug) {
  // Whether our INFO and DEBUG, and a library's INFO, show. (The daemon's own
  // INFO with the variable unset or set to another domain: tests/e2e.)
  for (const auto& [env, ours, lib] :
       {std::tuple{"all", true, true}, {"somelib", false, true}, {"otherlib", false, false}}) {
    SCOPED_TRACE(env);
    streams s = run_child(env, [] {
      g_message("msg-line");
      g_warning("warn-line");
      g_info("info-line");
      g_debug("debug-line");
      g_log("somelib", G_LOG_LEVEL_INFO, "lib-info-line");
      g_log(nullptr, static_cast<GLogLevelFlags>(1 << 9), "user-level-line");
    });
    // MESSAGE and WARNING always go to stderr; user-defined levels always show.
    EXPECT_TRUE(count(s.err, "msg-line") > 0 && count(s.err, "warn-line") > 0 &&
                count(s.out, "msg-line") == 0);
    EXPECT_TRUE(count(s.out + s.err, "user-level-line") > 0);
    EXPECT_EQ(count(s.out, "debug-line"), size_t{ours});
    EXPECT_EQ(count(s.out + s.err, "info-line"), size_t{ours} + lib);
    EXPECT_EQ(count(s.out, "lib-info-line"), size_t{lib});
  }
  // ERROR is written, then the process aborts (not a breakpoint trap).
  streams e = run_child(nullptr, [] { g_error("fatal-line %d", 7); });
  ASSERT_TRUE(WIFSIGNALED(e.status));
  EXPECT_EQ(WTERMSIG(e.status), SIGABRT);
  EXPECT_TRUE(count(e.err, "fatal-line 7") > 0);
}

}  // namespace
