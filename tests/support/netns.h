// Throwaway network namespaces for tests that need real packet sockets.
//
// A netns is created with a unique name on construction and deleted on
// destruction, also when the test fails. netns_enter switches the calling
// thread into it for its scope; sockets made meanwhile stay in that
// namespace after the thread has switched back.
#pragma once

#include <string>

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

class netns_enter {
 public:
  explicit netns_enter(const netns& ns);
  ~netns_enter();
  netns_enter(const netns_enter&) = delete;
  netns_enter& operator=(const netns_enter&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace tarn_test
