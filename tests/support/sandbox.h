// Sandbox for black-box tests: runs the unchanged daemon (or any command) in a
// private mount namespace where the daemon's fixed paths come from a per-test
// directory T, so tests never touch the host's /etc, /opt, /run or /dev/shm and
// can run in parallel. scripts/sandbox does the mounts; docs/sandbox.md has the
// layout. Host-visible paths of what the daemon writes: T/etc-upper (files it
// creates in /etc), T/vextal (= /opt/vextal), T/state (= /run/tarnproxy-state),
// T/shm (= /dev/shm); anything else through path().
//
//   tarn_test::sandbox sb;
//   sb.write_file("/etc/tarnproxy.conf", "[Main]\n");
//   sb.start();
//   ASSERT_TRUE(sb.wait_for_output("Listening on", 10s)) << sb.err();
//
// Set-up failures throw std::runtime_error; every wait is bounded.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"

// Namespaces and mounts need root; CI runs as root, elsewhere the test skips.
#define TARN_REQUIRE_ROOT()                                                    \
  do {                                                                         \
    if (::geteuid() != 0)                                                      \
      GTEST_SKIP() << "needs root (mount namespaces and mounts); run as root " \
                      "or in CI";                                              \
  } while (0)

namespace tarn_test {

class sandbox {
 public:
  sandbox();   // `scripts/sandbox up`
  ~sandbox();  // kills the started process, then `scripts/sandbox down`
  sandbox(const sandbox&) = delete;
  sandbox& operator=(const sandbox&) = delete;

  const std::string& dir() const { return dir_; }  // T
  std::string socket_path() const { return dir_ + "/vextal/tarnproxy/socket/tarnproxy"; }

  // Host-visible path of a fixed path inside.
  std::string path(const std::string& fixed) const;
  // Replaces the file atomically (parents created); false and a failure on error.
  bool write_file(const std::string& fixed, const std::string& contents, mode_t mode = 0644);
  // `sh -c shell_command` inside, in T, with the clean environment of start().
  // The exit status, 128 + signal, or -1 (and a failure) if it could not run
  // or outlived `timeout`. stdout and stderr go to `output`, or else to the
  // test's stderr. Background children do not hold the call up.
  int run(const std::string& shell_command, std::string* output = nullptr,
          std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Size (bytes or k/m/g) and inode count of the cache file system the open
  // script mounts for this VDI from now on.
  bool set_cache_fs(const std::string& vdi, const std::string& size, uint64_t inodes);

  // Starts `binary args...` inside, in T (where a core dump lands), in its own
  // process group, output in files of T, with an environment of only PATH,
  // the sanitizer settings and `extra_env` ("NAME=value"; a later one wins).
  // One started process at a time.
  void start(const std::vector<std::string>& extra_env = {},
             const std::string& binary = TARN_DAEMON_PATH,
             const std::vector<std::string>& args = {});
  pid_t pid() const { return started_ ? started_->pid() : -1; }
  // Network namespace (a name under /run/netns) for later start()s.
  void set_net_ns(const std::string& name) { net_ns_ = name; }
  bool running();  // reaps the process once it has exited
  bool send_signal(int sig);
  // Until `text` shows in stdout or stderr; false after `timeout` or once
  // the process has exited without writing it.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout);
  // The exit status (128 + signal when killed); nullopt while it still runs.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  // The exit within `timeout` with status 0; else a failure saying how it
  // ended, with the end of its log.
  ::testing::AssertionResult exited_cleanly(std::chrono::milliseconds timeout);
  void kill_process();      // SIGKILL and reap
  std::string out() const;  // of the latest start()
  std::string err() const;

 private:
  std::string dir_;
  pid_t holder_ = -1;  // keeps the namespace alive
  std::unique_ptr<process> started_;
  int starts_ = 0;
  std::string net_ns_;
};

// For in-process tests that call the library, which then runs the cache
// scripts at their fixed paths: moves this process into a new private mount
// namespace with a fresh T (`scripts/sandbox enter`) and returns T, removed
// at exit. Call it before any thread starts; later calls return the same T.
// "" and a failure if it cannot be done.
std::string sandbox_enter_self();

// Writes T/vextal/tarnproxy/cache-vdi.d/<vdi>.conf for the open script.
bool sandbox_set_cache_fs(const std::string& t, const std::string& vdi, const std::string& size,
                          uint64_t inodes);

}  // namespace tarn_test
