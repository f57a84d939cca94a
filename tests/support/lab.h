// The network lab (scripts/lab, docs/lab.md) for tests and benchmarks.
//
//   tarn_test::lab lab(2);                     // clients 1 and 2, one server
//   unique_fd srv = lab.udp_socket(lab.server_ns(), lab.server_ip(), 6901);
//   { tarn_test::lab_enter in(lab.host_ns()); ... open the daemon's sockets on lab.client_if(1) ...
//   }
//
// Each lab has a prefix of its own (from the process id and a counter), so
// labs of tests running in parallel never meet; the destructor runs
// `scripts/lab down`, also when the test fails. Set-up failures throw
// std::runtime_error. Nothing here depends on GoogleTest, so benchmarks use
// it too. Needs root.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <string>

#include "core/unique_fd.h"

namespace tarn_test {

using mac_address = std::array<uint8_t, 6>;

class lab {
 public:
  // `mtu`: of every link in the lab.
  explicit lab(int clients = 1, int servers = 1, int mtu = 1500);
  ~lab();
  lab(const lab&) = delete;
  lab& operator=(const lab&) = delete;

  int clients() const { return clients_; }
  std::string host_ns() const { return prefix_ + "-h"; }
  std::string server_ns() const { return prefix_ + "-s"; }
  std::string client_ns(int i) const { return prefix_ + "-c" + std::to_string(i); }
  // Client i's proxy port in the host namespace: the daemon listens here.
  std::string client_if(int i) const { return "tp" + std::to_string(i); }
  // Its peer, also in the host namespace: what the daemon sends enters here.
  std::string proxy_peer_if(int i) const { return client_if(i) + "p"; }
  std::string client_ip(int i) const { return "198.18.0." + std::to_string(100 + i); }
  mac_address client_mac(int i) const;
  std::string server_ip(int j = 0) const { return "198.18.0." + std::to_string(20 + j); }
  mac_address server_mac() const { return {0x02, 0x00, 0x00, 0x00, 0x02, 0x00}; }

  // `sh -c command` in namespace `ns`, bounded to 30 s. Returns the exit
  // status (-1 if it could not run or timed out); with `output`, stdout and
  // stderr are captured there.
  int run(const std::string& ns, const std::string& command, std::string* output = nullptr) const;
  // UDP through the proxy ports (true) or straight between the peers.
  bool steer(bool on) const;
  // Routes and permanent neighbours in the host namespace, so that raw IPv4
  // datagrams sent there (the Open vSwitch listener's transmit path) leave
  // through client i's proxy port to client i or to the servers.
  bool route_through_proxy_port(int i) const;
  // A UDP socket in `ns` bound to ip:port (port 0: any); invalid on failure.
  unique_fd udp_socket(const std::string& ns, const std::string& ip, uint16_t port) const;

 private:
  std::string prefix_;
  int clients_ = 0;
  int servers_ = 0;
};

std::string mac_text(const mac_address& mac);
// `sh -c command`, bounded to `limit_s` seconds; stdout (add 2>&1 for stderr)
// in `output`. Returns the exit status, -1 if it could not run or timed out.
int run_shell(const std::string& command, std::string* output = nullptr, int limit_s = 30);
// Single quotes for sh.
std::string shell_quote(const std::string& s);

// Switches the calling thread into network namespace `ns` (a name under
// /run/netns) for its scope; sockets opened meanwhile stay in `ns`. Throws
// std::runtime_error if it cannot enter.
class lab_enter {
 public:
  explicit lab_enter(const std::string& ns);
  ~lab_enter();
  lab_enter(const lab_enter&) = delete;
  lab_enter& operator=(const lab_enter&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace tarn_test
