// Throwaway network namespaces for tests that need real packet sockets: made
// with a unique name on construction, deleted on destruction (also when the
// test fails). lab_enter (support/lab.h) switches the calling thread into
// one for its scope; sockets made meanwhile stay in that namespace.
#pragma once

#include <string>

#include "support/lab.h"

namespace tarn_test {

class netns {
 public:
  explicit netns(const std::string& stem);  // name = stem + "-" + pid + "-" + counter
  ~netns();
  netns(const netns&) = delete;
  netns& operator=(const netns&) = delete;
  const std::string& name() const { return name_; }
  // Runs `ip netns exec NAME sh -c command`; returns its exit status.
  int run(const std::string& command) const;

 private:
  std::string name_;
};

}  // namespace tarn_test
