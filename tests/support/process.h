// The one process spawner of the tests: a command started in a process group
// of its own with its output in files, optionally inside a sandbox's mount
// namespace or a network namespace, waited for with a bound and killed (with
// its group) when the record goes, also when the test fails.
//
//   tarn_test::process server({"ip", "netns", "exec", ns, SIM_SERVER, ...}, dir + "/server");
//   ... server.wait(30s) ... server.out() ...
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tarn_test {

struct spawn_options {
  std::vector<std::string> env;  // the whole environment; empty: this process's
  int mnt_ns = -1, net_ns = -1;  // namespace descriptors to join first
  std::string cwd;               // "" stays
  bool merge_err = false;        // stderr into `stem`.out as well
};

class process {
 public:
  // Runs argv[0] (searched in PATH) with stdout in `stem`.out and stderr in
  // `stem`.err. Throws std::runtime_error if it cannot start; a failure
  // after the fork (no such binary) ends it with status 127.
  process(const std::vector<std::string>& argv, const std::string& stem,
          const spawn_options& options = {});
  ~process();
  process(const process&) = delete;
  process& operator=(const process&) = delete;

  pid_t pid() const { return pid_; }
  // The exit code (128 + signal when killed); nullopt while it still runs
  // after `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  bool signal(int sig) const;
  // SIGKILL to the group and reap.
  void kill();
  std::string out() const;
  std::string err() const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;  // raw wait status
  std::string stem_;
};

std::string read_text(const std::string& path);
// A short default, or the soak run's figure when TARN_SOAK=1 (long loops,
// floods and storms run long only there).
int soak_or(int quick, int soak);

}  // namespace tarn_test
