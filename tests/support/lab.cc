#include "support/lab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace tarn_test {
namespace {

std::atomic<int> lab_counter{0};

const std::string& lab_script() {
  static const std::string path = std::string(TARN_SOURCE_DIR) + "/scripts/lab";
  return path;
}

std::string base36(unsigned long v, size_t width) {
  const char* digits = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string s;
  do {
    s.insert(s.begin(), digits[v % 36]);
    v /= 36;
  } while (v != 0);
  while (s.size() < width) s.insert(s.begin(), '0');
  return s;
}

}  // namespace

std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int run_shell(const std::string& command, std::string* output, int limit_s) {
  const std::string bounded =
      "timeout -k 5 " + std::to_string(limit_s) + " sh -c " + shell_quote(command);
  FILE* p = popen(bounded.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
    if (output != nullptr) output->append(buf, n);
  }
  int rc = pclose(p);
  if (!WIFEXITED(rc)) return -1;
  int code = WEXITSTATUS(rc);
  return code == 124 || code == 137 ? -1 : code;
}

std::string mac_text(const mac_address& m) {
  char s[18];
  snprintf(s, sizeof s, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
  return s;
}

lab::lab(int clients, int servers, int mtu) : clients_(clients), servers_(servers) {
  // A prefix is at most 8 characters: "l", the process id and a counter.
  prefix_ = "l" + base36(static_cast<unsigned long>(getpid()), 1) +
            base36(static_cast<unsigned long>(lab_counter++ % 1296), 2);
  // A lab of a dead process that had this id would stand in the way.
  run_shell(lab_script() + " down " + prefix_, nullptr);
  std::string out;
  if (run_shell(lab_script() + " up " + prefix_ + " " + std::to_string(clients) + " " +
                    std::to_string(servers) + " " + std::to_string(mtu) + " 2>&1",
                &out) != 0) {
    run_shell(lab_script() + " down " + prefix_, nullptr);
    throw std::runtime_error("scripts/lab up " + prefix_ + " failed: " + out);
  }
}

lab::~lab() {
  run_shell(lab_script() + " down " + prefix_, nullptr);
}

mac_address lab::client_mac(int i) const {
  return {0x02, 0x00, 0x00, 0x00, 0x01, static_cast<uint8_t>(i)};
}

int lab::run(const std::string& ns, const std::string& command, std::string* output) const {
  return run_shell("ip netns exec " + shell_quote(ns) + " sh -c " + shell_quote(command) + " 2>&1",
                   output);
}

bool lab::steer(bool on) const {
  return run_shell(lab_script() + " steer " + prefix_ + (on ? " on" : " off"), nullptr) == 0;
}

bool lab::route_through_proxy_port(int i) const {
  const std::string dev = client_if(i);
  std::string cmd = "ip route replace " + client_ip(i) + "/32 dev " + dev +
                    " && ip neigh replace " + client_ip(i) + " lladdr " + mac_text(client_mac(i)) +
                    " dev " + dev + " nud permanent";
  for (int j = 0; j < servers_; j++) {
    cmd += " && ip route replace " + server_ip(j) + "/32 dev " + dev + " && ip neigh replace " +
           server_ip(j) + " lladdr " + mac_text(server_mac()) + " dev " + dev + " nud permanent";
  }
  return run(host_ns(), cmd) == 0;
}

unique_fd lab::udp_socket(const std::string& ns, const std::string& ip, uint16_t port) const {
  lab_enter in(ns);
  unique_fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  sockaddr_in a = lab_address(ip, port);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fd.reset();
  return fd;
}

sockaddr_in lab_address(const std::string& ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

lab_enter::lab_enter(const std::string& ns) {
  saved_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  int target = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (saved_ < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) {
    if (target >= 0) close(target);
    if (saved_ >= 0) close(saved_);
    throw std::runtime_error("cannot enter netns " + ns);
  }
  close(target);
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
