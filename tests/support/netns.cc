#include "support/netns.h"

#include <unistd.h>

#include <atomic>
#include <stdexcept>

namespace tarn_test {
namespace {

std::atomic<int> counter{0};

}  // namespace

netns::netns(const std::string& stem)
    : name_(stem + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++)) {
  if (run_shell("ip netns add " + name_) != 0) throw std::runtime_error("ip netns add " + name_);
  run("ip link set lo up; sysctl -qw net.ipv6.conf.all.disable_ipv6=1");
}

netns::~netns() {
  run_shell("ip netns del " + name_ + " 2>/dev/null");
}

int netns::run(const std::string& command) const {
  return run_shell("ip netns exec " + name_ + " sh -c " + shell_quote(command));
}

}  // namespace tarn_test
