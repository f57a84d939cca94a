#include "support/lab.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "support/wire_builder.h"

namespace tarn_test {
namespace {

std::atomic<int> lab_counter{0};
const std::string LAB = std::string(TARN_SOURCE_DIR) + "/scripts/lab";

}  // namespace

std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int run_shell(const std::string& command, std::string* output, int limit_s) {
  FILE* p = popen(
      ("timeout -k 5 " + std::to_string(limit_s) + " sh -c " + shell_quote(command)).c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
    if (output != nullptr) output->append(buf, n);
  const int rc = pclose(p);
  // timeout(1) reports a command it had to end as 124, or 137 after SIGKILL.
  if (!WIFEXITED(rc) || WEXITSTATUS(rc) == 124 || WEXITSTATUS(rc) == 137) return -1;
  return WEXITSTATUS(rc);
}

std::string mac_text(const mac_address& m) {
  char s[18];
  snprintf(s, sizeof s, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
  return s;
}

lab::lab(int clients, int servers, int mtu) : clients_(clients), servers_(servers) {
  // At most 8 characters: "l" and, in base 36, the process id and a counter.
  char id[16];
  const uint64_t unique = static_cast<uint64_t>(getpid()) * 1296 + lab_counter++ % 1296;
  prefix_ = "l" + std::string(id, std::to_chars(id, id + sizeof id, unique, 36).ptr);
  // A lab of a dead process that had this id would stand in the way.
  run_shell(LAB + " down " + prefix_);
  std::string out;
  if (run_shell(LAB + " up " + prefix_ + " " + std::to_string(clients) + " " +
                    std::to_string(servers) + " " + std::to_string(mtu) + " 2>&1",
                &out) != 0) {
    run_shell(LAB + " down " + prefix_);
    throw std::runtime_error("scripts/lab up " + prefix_ + " failed: " + out);
  }
}

lab::~lab() {
  run_shell(LAB + " down " + prefix_);
}

mac_address lab::client_mac(int i) const {
  return {0x02, 0x00, 0x00, 0x00, 0x01, static_cast<uint8_t>(i)};
}

int lab::run(const std::string& ns, const std::string& command, std::string* output) const {
  return run_shell("ip netns exec " + shell_quote(ns) + " sh -c " + shell_quote(command) + " 2>&1",
                   output);
}

bool lab::steer(bool on) const {
  return run_shell(LAB + " steer " + prefix_ + (on ? " on" : " off")) == 0;
}

bool lab::route_through_proxy_port(int i) const {
  auto route = [&](const std::string& ip, const mac_address& mac) {
    return "ip route replace " + ip + "/32 dev " + client_if(i) + " && ip neigh replace " + ip +
           " lladdr " + mac_text(mac) + " dev " + client_if(i) + " nud permanent";
  };
  std::string cmd = route(client_ip(i), client_mac(i));
  for (int j = 0; j < servers_; j++) cmd += " && " + route(server_ip(j), server_mac());
  return run(host_ns(), cmd) == 0;
}

unique_fd lab::udp_socket(const std::string& ns, const std::string& ip, uint16_t port) const {
  lab_enter in(ns);
  unique_fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = address(ip.c_str(), port);
  if (fd && bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fd.reset();
  return fd;
}

lab_enter::lab_enter(const std::string& ns) {
  saved_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  const int target = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  const bool entered = saved_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
  if (target >= 0) close(target);
  if (entered) return;
  if (saved_ >= 0) close(saved_);
  throw std::runtime_error("cannot enter netns " + ns);
}

lab_enter::~lab_enter() {
  // A thread left in a lab namespace would open later sockets there.
  if (setns(saved_, CLONE_NEWNET) != 0) {
    perror("lab_enter: cannot return to the original network namespace");
    std::abort();
  }
  close(saved_);
}

}  // namespace tarn_test
