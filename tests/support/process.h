// A background process for tests: started with its output in files, waited
// for with a bound, and killed (with its process group) when the record goes,
// also when the test fails. Simulators in lab namespaces run this way:
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

class process {
 public:
  // Runs argv[0] (searched in PATH) with stdout in `stem`.out and stderr in
  // `stem`.err, in a process group of its own. Throws std::runtime_error if
  // it cannot start.
  process(const std::vector<std::string>& argv, const std::string& stem);
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
  std::optional<int> status_;
  std::string stem_;
};

}  // namespace tarn_test
