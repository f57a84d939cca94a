#include "support/netns.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>

namespace tarn_test {
namespace {

std::atomic<int> counter{0};

int shell(const std::string& command) {
  int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

}  // namespace

netns::netns(const std::string& stem)
    : name_(stem + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++)) {
  if (shell("ip netns add " + name_) != 0) throw std::runtime_error("ip netns add " + name_);
  run("ip link set lo up; sysctl -qw net.ipv6.conf.all.disable_ipv6=1");
}

netns::~netns() {
  shell("ip netns del " + name_ + " 2>/dev/null");
}

int netns::run(const std::string& command) const {
  return shell("ip netns exec " + name_ + " sh -c '" + command + "'");
}

netns_enter::netns_enter(const netns& ns) {
  saved_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  int target = open(("/run/netns/" + ns.name()).c_str(), O_RDONLY | O_CLOEXEC);
  if (saved_ < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) {
    if (target >= 0) close(target);
    throw std::runtime_error("cannot enter netns " + ns.name());
  }
  close(target);
}

netns_enter::~netns_enter() {
  if (saved_ < 0) return;
  if (setns(saved_, CLONE_NEWNET) != 0) ADD_FAILURE() << "cannot leave the test's netns";
  close(saved_);
}

}  // namespace tarn_test
