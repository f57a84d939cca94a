// The log writer, observed on the real standard streams of a child process.
#include "core/log.h"

#include <fcntl.h>
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
  ssize_t n;
  lseek(fd, 0, SEEK_SET);
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

// Runs `body` after log_init in a child whose stdout and stderr are files.
streams run_child(const char* debug_env, const std::function<void()>& body) {
  char out_path[] = "/tmp/tarn-log-out-XXXXXX";
  char err_path[] = "/tmp/tarn-log-err-XXXXXX";
  int out = mkstemp(out_path), err = mkstemp(err_path);
  unlink(out_path);
  unlink(err_path);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out, 1);
    dup2(err, 2);
    if (debug_env)
      setenv("G_MESSAGES_DEBUG", debug_env, 1);
    else
      unsetenv("G_MESSAGES_DEBUG");
    log_init();
    body();
    fflush(nullptr);
    _exit(0);
  }
  streams s;
  waitpid(pid, &s.status, 0);
  s.out = slurp(out);
  s.err = slurp(err);
  close(out);
  close(err);
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

TEST(LogWriter, InfoAndDebugFollowGMessagesDebug) {
  streams unset = run_child(nullptr, log_each_level);
  EXPECT_NE(unset.err.find("msg-line"), std::string::npos);
  EXPECT_NE(unset.err.find("warn-line"), std::string::npos);
  EXPECT_NE((unset.out + unset.err).find("user-level-line"), std::string::npos);
  EXPECT_EQ(unset.out.find("info-line"), std::string::npos);
  EXPECT_EQ(unset.err.find("info-line"), std::string::npos);
  EXPECT_EQ(unset.out.find("debug-line"), std::string::npos);

  streams all = run_child("all", log_each_level);
  EXPECT_NE(all.out.find("info-line"), std::string::npos);
  EXPECT_NE(all.out.find("debug-line"), std::string::npos);
  EXPECT_NE(all.out.find("lib-info-line"), std::string::npos);
  EXPECT_EQ(all.out.find("msg-line"), std::string::npos);  // MESSAGE goes to stderr
  EXPECT_NE(all.err.find("msg-line"), std::string::npos);

  // A domain name lets that library through and none of the daemon's own.
  streams lib = run_child("somelib", log_each_level);
  EXPECT_NE(lib.out.find("lib-info-line"), std::string::npos);
  EXPECT_EQ(lib.out.find("info-line\n"), lib.out.find("lib-info-line") + 4);
  EXPECT_EQ(lib.out.find("debug-line"), std::string::npos);

  streams other = run_child("otherlib", log_each_level);
  EXPECT_EQ(other.out.find("info-line"), std::string::npos);
  EXPECT_NE(other.err.find("msg-line"), std::string::npos);
}

TEST(LogWriter, ErrorIsWrittenThenAborts) {
  streams s = run_child(nullptr, [] { g_error("fatal-line %d", 7); });
  ASSERT_TRUE(WIFSIGNALED(s.status));
  EXPECT_EQ(WTERMSIG(s.status), SIGABRT);
  EXPECT_NE(s.err.find("fatal-line 7"), std::string::npos);
}

TEST(LogWriter, MissingFieldsAreRefused) {
  streams s = run_child(nullptr, [] {
    GLogField field = {"MESSAGE", "x", -1};
    int a = log_writer(G_LOG_LEVEL_MESSAGE, nullptr, 1, nullptr);
    int b = log_writer(G_LOG_LEVEL_MESSAGE, &field, 0, nullptr);
    printf("results %d %d\n", a, b);
  });
  EXPECT_NE(s.out.find("results 0 0"), std::string::npos) << s.out;
  EXPECT_NE(s.err.find("fields != NULL"), std::string::npos);
  EXPECT_NE(s.err.find("n_fields > 0"), std::string::npos);
}

}  // namespace
