// The log writer, observed on the real standard streams of a child process.
// (ERROR written, then a plain abort: tests/e2e/daemon_test.cc.)
#include "core/log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <tuple>

namespace {

size_t count(const std::string& s, const char* text) {
  size_t n = 0;
  for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) n++;
  return n;
}

TEST(LogWriter, LevelsStreamsAndGMessagesDebug) {
  // Whether our INFO and DEBUG, and a library's INFO, show.
  for (const auto& [env, ours, lib] : {std::tuple{"all", true, true},
                                       {"somelib", false, true},
                                       {"otherlib", false, false},
                                       {nullptr, false, false}}) {
    SCOPED_TRACE(env ? env : "unset");
    // A child whose stdout and stderr are files logs one line of each kind.
    FILE *out = tmpfile(), *err = tmpfile();
    fflush(nullptr);
    if (fork() == 0) {
      dup2(fileno(out), 1);
      dup2(fileno(err), 2);
      env ? setenv("G_MESSAGES_DEBUG", env, 1) : unsetenv("G_MESSAGES_DEBUG");
      log_init();
      g_message("msg-line");
      g_warning("warn-line");
      g_info("info-line");
      g_debug("debug-line");
      g_log("somelib", G_LOG_LEVEL_INFO, "lib-info-line");
      g_log(nullptr, static_cast<GLogLevelFlags>(1 << 9), "user-level-line");
      fflush(nullptr);
      _exit(0);
    }
    wait(nullptr);
    std::string o, e;
    for (auto [f, text] : {std::pair{out, &o}, {err, &e}}) {
      char buf[4096];
      rewind(f);
      for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text->append(buf, n);
      fclose(f);
    }
    // MESSAGE and WARNING always go to stderr; user-defined levels always show.
    EXPECT_TRUE(count(e, "msg-line") > 0 && count(e, "warn-line") > 0 && count(o, "msg-line") == 0);
    EXPECT_TRUE(count(o + e, "user-level-line") > 0);
    EXPECT_EQ(count(o, "debug-line"), size_t{ours});
    EXPECT_EQ(count(o + e, "info-line"), size_t{ours} + lib);
    EXPECT_EQ(count(o, "lib-info-line"), size_t{lib});
  }
}

}  // namespace
