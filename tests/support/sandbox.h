// Sandbox for black-box tests: runs the unchanged daemon (or any command) in a
// private mount namespace where the daemon's fixed paths come from a per-test
// directory T, so tests never touch the host's /etc, /opt, /run or /dev/shm and
// can run in parallel. scripts/sandbox does the mounts; docs/sandbox.md has the
// layout.
//
//   TEST(control, answers_ping) {
//     TARN_REQUIRE_ROOT();
//     tarn_test::sandbox sb;
//     sb.write_file("/etc/tarnproxy.conf", "[tarnproxy]\n");
//     sb.start({"G_MESSAGES_DEBUG=all"});
//     ASSERT_TRUE(sb.wait_for_output("ready", std::chrono::seconds(5))) << sb.err();
//     ... connect to sb.dir() + "/vextal/tarnproxy/socket/tarnproxy" ...
//   }
//
// Host-visible paths of what the daemon writes: T/etc-upper (files it creates
// in /etc), T/vextal (= /opt/vextal), T/state (= /run/tarnproxy-state),
// T/shm (= /dev/shm). Anything else, including cache file systems mounted
// later inside, is reached through path().
//
// Failures to set the sandbox up throw std::runtime_error, which GoogleTest
// reports as a failure of the test. Every wait is bounded.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// Namespaces and mounts need root; CI runs as root, elsewhere the test skips.
#define TARN_REQUIRE_ROOT()                                                    \
  do {                                                                         \
    if (::geteuid() != 0)                                                      \
      GTEST_SKIP() << "needs root (mount namespaces and mounts); run as root " \
                      "or in CI";                                              \
  } while (0)

namespace tarn_test {

// How a started process ended, from waitpid().
struct daemon_exit {
  bool exited = false;  // returned from main or called exit: code is valid
  int code = 0;
  bool signaled = false;  // killed by a signal: signal and core are valid
  int signal = 0;
  bool core = false;
};
std::ostream& operator<<(std::ostream& os, const daemon_exit& e);

class sandbox {
 public:
  // Runs `scripts/sandbox up`; throws std::runtime_error if it fails.
  sandbox();
  // Kills a started process that still runs (SIGKILL, reaped), then runs
  // `scripts/sandbox down`, which kills whatever else is inside and removes T.
  ~sandbox();
  sandbox(const sandbox&) = delete;
  sandbox& operator=(const sandbox&) = delete;

  const std::string& dir() const { return dir_; }  // T
  pid_t holder() const { return holder_; }         // keeps the namespace alive

  // Host-visible path of a fixed path inside: /proc/<holder>/root followed by
  // `fixed` with its symlinks resolved inside (e.g. /var/run -> /run), so an
  // absolute link never leads out to the host's file.
  std::string path(const std::string& fixed) const;
  // Replaces the file (parents created, written aside and renamed, so a
  // reader never sees half of it). Returns false and adds a failure on error.
  bool write_file(const std::string& fixed, const std::string& contents, mode_t mode = 0644);
  // False if the file cannot be read (e.g. absent).
  bool read_file(const std::string& fixed, std::string* out) const;
  // `sh -c shell_command` inside, in directory T, with the clean environment
  // of start().
  // Returns the exit status, 128 + signal if killed, -1 if it could not run or
  // outlived `timeout` (then it and its process group are killed). With
  // `output`, stdout and stderr are captured there, otherwise they go to the
  // test's stderr. Background children do not hold the call up.
  int run(const std::string& shell_command, std::string* output = nullptr,
          std::chrono::milliseconds timeout = std::chrono::seconds(30));

  // Size (tmpfs size: bytes or with k/m/g suffix) and inode count of the
  // cache file system the open script mounts for this VDI from now on.
  bool set_cache_fs(const std::string& vdi, const std::string& size, uint64_t inodes);

  // Starts `binary args...` inside the namespace, in its own process group,
  // in directory T (where a core dump would land), with stdin from
  // /dev/null, stdout and stderr captured in files of T, and
  // an environment of only PATH plus `extra_env` ("NAME=value"; a later entry
  // wins). Only one started process at a time; start again after it exited.
  void start(const std::vector<std::string>& extra_env = {},
             const std::string& binary = TARN_DAEMON_PATH,
             const std::vector<std::string>& args = {});
  pid_t pid() const { return pid_; }  // -1 before start()
  // Network namespace (a name under /run/netns) that later start()s put the
  // process in; "" (the default) leaves it in the test's own.
  void set_net_ns(const std::string& name) { net_ns_ = name; }
  // True while the started process has not exited; reaps it once it has.
  bool running();
  // False if it is not running (any more).
  bool send_signal(int sig);
  // Polls the captured stdout and stderr until `text` shows up; false after
  // `timeout` or once the process has exited without writing it.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout);
  // Waits for the started process to end and reaps it; nullopt on timeout.
  // Once it has ended, returns the same answer again.
  std::optional<daemon_exit> wait_exit(std::chrono::milliseconds timeout);
  // SIGKILL and reap (bounded); nothing if it is not running.
  void kill_process();
  std::string out() const;  // captured stdout of the latest start() so far
  std::string err() const;  // captured stderr of the latest start() so far
  std::string out_path() const { return out_path_; }
  std::string err_path() const { return err_path_; }

 private:
  void reap(int status);

  std::string dir_;
  pid_t holder_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = true;
  daemon_exit exit_{};
  int starts_ = 0;
  std::string out_path_, err_path_;
  std::string net_ns_;
};

// For in-process tests that call the library directly, which then runs the
// cache scripts at their fixed paths: moves this process into a new private
// mount namespace, sets up a fresh T there (`scripts/sandbox enter`) and
// returns T; T is removed when the process exits. unshare(CLONE_NEWNS) fails
// once a second thread exists, so call it before any thread starts (from a
// gtest Environment or the first test). Later calls return the same T. Returns
// "" and adds a failure if it cannot be done.
std::string sandbox_enter_self();

// Per-VDI cache file system for the open script: writes
// T/vextal/tarnproxy/cache-vdi.d/<vdi>.conf. T is the sandbox directory, from
// sandbox::dir() or sandbox_enter_self(). Returns false and adds a failure on
// error.
bool sandbox_set_cache_fs(const std::string& t, const std::string& vdi, const std::string& size,
                          uint64_t inodes);

}  // namespace tarn_test
