// tarn-sim-vm: one booting VM for the lab. It logs in to a streaming server
// (classic or UEFI flavour), replays a read trace with extent reads and MIOs
// and checks every byte it gets back against its own copy of the vDisk image,
// so that a server, or a daemon answering in the server's place, that hands
// out a wrong byte is caught. It keeps one source port for the whole run, as
// a boot loader does, and follows forced relogons.
//
// Exit status: 0 when every read of the trace arrived and matched the image;
// 1 when a read failed, a byte differed or the login did not complete; 2 on a
// usage error.
#include <fcntl.h>
#include <getopt.h>
#include <ifaddrs.h>
#include <json-c/json.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/unique_fd.h"
#include "sim_protocol.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

// ThreadIds 0-3: a client's own MIOs never set the high bit, which the daemon
// keeps for the reads it issues itself.
constexpr int MIO_THREADS = 4;
// A server that keeps asking for relogons without a read completing in
// between is broken; give up rather than loop. (Daemon restarts each force
// some, so a long boot may see many in all.)
constexpr uint32_t MAX_RELOGONS = 50;
// Errors printed in full; the rest are only counted.
constexpr int ERROR_LINES = 10;
// Extent replies are not fragmented by the protocol, so one must fit a
// datagram.
constexpr uint32_t MAX_EXT_LENGTH = SIM_MAX_UDP_PAYLOAD - SIM_EXT_HEADER_SIZE;
constexpr uint32_t MAX_MIO_LENGTH = 65535;
constexpr int DRAIN_LIMIT = 512;

constexpr const char* USAGE =
    "usage: tarn-sim-vm --server IP --image PATH [options]\n"
    "\n"
    "  --server IP              the streaming server\n"
    "  --login-port N           its login port (default 6910)\n"
    "  --io-port N              its I/O port (default 6905)\n"
    "  --image PATH             the vDisk image the server serves, to verify against\n"
    "  --vdisk-id N             vDisk to ask for (default 1)\n"
    "  --flavour classic|uefi   login conversation (default classic); --uefi for uefi\n"
    "  --mac XX:XX:XX:XX:XX:XX  MAC sent at login (default: the source interface's)\n"
    "  --source IP              source address (default: the route's)\n"
    "  --trace FILE             reads to replay: lines \"ext|mio OFFSET LENGTH\"\n"
    "  --trace-seed N           seed of the generated trace (default 1)\n"
    "  --trace-reads N          reads in the generated trace (default 1000)\n"
    "  --sweep                  end the trace with MIOs over the whole vDisk\n"
    "  --timeout-ms N           wait per request before resending (default 200)\n"
    "  --retries N              resends per request before it fails (default 5)\n"
    "  --heartbeat-ms N         heartbeat interval, 0 for none (default 1000)\n"
    "  --deadline-ms N          give up on the reads left after N ms (default 300000)\n"
    "  --linger-ms N            after the trace, stay logged in (heartbeats) this long\n"
    "  --relogin-after N        log in again once a read was resent N times (default 0: never)\n"
    "  --hold                   after the login, wait for SIGUSR1 before the trace\n"
    "  --hold-mid-login         after the login reply, wait for SIGUSR1 (classic flow)\n"
    "  --json                   print the report as JSON\n";

enum class flavour { classic, uefi };

struct options {
  std::string server_ip;
  uint16_t login_port = 6910;
  uint16_t io_port = 6905;
  std::string image_path;
  uint32_t vdisk_id = 1;
  flavour kind = flavour::classic;
  bool have_mac = false;
  std::array<uint8_t, 6> mac{};
  std::string source_ip;
  std::string trace_path;
  uint64_t trace_seed = 1;
  uint64_t trace_reads = 1000;
  bool sweep = false;
  uint64_t timeout_ms = 200;
  uint64_t retries = 5;
  uint64_t heartbeat_ms = 1000;
  uint64_t deadline_ms = 300000;
  uint64_t linger_ms = 0;
  uint64_t relogin_after = 0;
  bool hold = false;
  bool hold_mid_login = false;
  bool json = false;
};

struct read_op {
  bool mio = false;
  uint64_t offset = 0;  // vDisk byte offset
  uint32_t length = 0;
};

// A read on the wire: the request as sent (resent unchanged on time-out) and,
// for MIOs, the fragments gathered so far.
struct slot {
  bool busy = false;
  size_t index = 0;  // position in the trace, to reissue in order after a relogon
  read_op op;
  std::vector<uint8_t> request;
  std::vector<uint8_t> data;
  std::vector<bool> got;
  size_t got_count = 0;
  uint64_t tries = 0;
  int64_t deadline_ms = 0;
};

// Read latencies, first send to last byte, in a log-linear histogram: exact
// below 128 us, then 64 buckets per power of two (within 1.6 %), so that
// percentiles come from every read in a fixed 18 KiB however long the run.
class latency_histogram {
 public:
  void add(uint64_t us) {
    buckets_[std::min<size_t>(index(us), BUCKETS - 1)]++;
    count_++;
  }
  uint64_t count() const { return count_; }
  // The smallest recorded bucket's middle at or below which `q` of the reads
  // lie; 0 with no reads.
  uint64_t quantile(double q) const {
    if (count_ == 0) return 0;
    const uint64_t rank = std::max<uint64_t>(1, static_cast<uint64_t>(q * count_ + 0.999999));
    uint64_t seen = 0;
    for (size_t i = 0; i < BUCKETS; i++) {
      seen += buckets_[i];
      if (seen >= rank) return middle(i);
    }
    return middle(BUCKETS - 1);
  }

 private:
  static constexpr size_t SUB = 64;
  static constexpr size_t BUCKETS = 2304;  // up to 2^41 us
  static size_t index(uint64_t us) {
    if (us < 2 * SUB) return static_cast<size_t>(us);
    const int shift = std::bit_width(us) - 7;
    return static_cast<size_t>(shift) * SUB + static_cast<size_t>(us >> shift);
  }
  static uint64_t middle(size_t i) {
    if (i < 2 * SUB) return i;
    const size_t shift = i / SUB - 1;
    const uint64_t low = static_cast<uint64_t>(i - shift * SUB) << shift;
    return low + (uint64_t{1} << shift) / 2;
  }
  std::array<uint64_t, BUCKETS> buckets_{};
  uint64_t count_ = 0;
};

struct counters {
  uint64_t reads = 0, bytes = 0, errors = 0, bad_bytes = 0, retries = 0, relogons = 0, stray = 0,
           duplicates = 0, failed = 0, heartbeats = 0, heartbeat_replies = 0, relogins = 0;
};

struct vm {
  options opt;
  unique_fd fd;
  unique_fd image_fd;
  uint64_t image_size = 0;
  sockaddr_in login_addr{}, io_addr{}, local{};
  uint32_t version = SIM_VERSION_CLASSIC;
  // Session, from the login conversation.
  uint32_t connection = 0, disk = 0, mtu = 0, burst = 0, vdisk_id = 0;
  uint64_t sectors = 0;
  bool info_v1 = false;
  uint32_t next_request_id = 1;
  std::vector<read_op> trace;
  counters c;
  uint32_t relogons_since_read = 0;
  int64_t elapsed_ms = 0;
  int error_lines = 0;
  // When each trace read was first sent (-1: not yet): a resend or a
  // reissue after a relogon does not restart its latency.
  std::vector<int64_t> first_sent_us;
  latency_histogram latency;
};

int64_t now_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
int64_t now_ms() {
  return now_us() / 1000;
}

void report_error(vm& v, const std::string& what) {
  v.c.errors++;
  if (v.error_lines++ < ERROR_LINES) std::fprintf(stderr, "tarn-sim-vm: %s\n", what.c_str());
}

bool parse_mac(const char* s, std::array<uint8_t, 6>& mac) {
  unsigned b[6];
  char tail;
  if (std::sscanf(s, "%x:%x:%x:%x:%x:%x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) != 6)
    return false;
  for (int i = 0; i < 6; i++) {
    if (b[i] > 0xFF) return false;
    mac[i] = static_cast<uint8_t>(b[i]);
  }
  return true;
}

int parse_options(int argc, char** argv, options& o) {
  enum {
    OPT_SERVER = 1000,
    OPT_LOGIN_PORT,
    OPT_IO_PORT,
    OPT_IMAGE,
    OPT_VDISK,
    OPT_FLAVOUR,
    OPT_UEFI,
    OPT_MAC,
    OPT_SOURCE,
    OPT_TRACE,
    OPT_TRACE_SEED,
    OPT_TRACE_READS,
    OPT_SWEEP,
    OPT_TIMEOUT,
    OPT_RETRIES,
    OPT_HEARTBEAT,
    OPT_DEADLINE,
    OPT_LINGER,
    OPT_RELOGIN_AFTER,
    OPT_HOLD,
    OPT_HOLD_MID_LOGIN,
    OPT_JSON,
    OPT_HELP,
  };
  static const option longopts[] = {
      {"server", required_argument, nullptr, OPT_SERVER},
      {"login-port", required_argument, nullptr, OPT_LOGIN_PORT},
      {"io-port", required_argument, nullptr, OPT_IO_PORT},
      {"image", required_argument, nullptr, OPT_IMAGE},
      {"vdisk-id", required_argument, nullptr, OPT_VDISK},
      {"flavour", required_argument, nullptr, OPT_FLAVOUR},
      {"uefi", no_argument, nullptr, OPT_UEFI},
      {"mac", required_argument, nullptr, OPT_MAC},
      {"source", required_argument, nullptr, OPT_SOURCE},
      {"trace", required_argument, nullptr, OPT_TRACE},
      {"trace-seed", required_argument, nullptr, OPT_TRACE_SEED},
      {"trace-reads", required_argument, nullptr, OPT_TRACE_READS},
      {"sweep", no_argument, nullptr, OPT_SWEEP},
      {"timeout-ms", required_argument, nullptr, OPT_TIMEOUT},
      {"retries", required_argument, nullptr, OPT_RETRIES},
      {"heartbeat-ms", required_argument, nullptr, OPT_HEARTBEAT},
      {"deadline-ms", required_argument, nullptr, OPT_DEADLINE},
      {"linger-ms", required_argument, nullptr, OPT_LINGER},
      {"relogin-after", required_argument, nullptr, OPT_RELOGIN_AFTER},
      {"hold", no_argument, nullptr, OPT_HOLD},
      {"hold-mid-login", no_argument, nullptr, OPT_HOLD_MID_LOGIN},
      {"json", no_argument, nullptr, OPT_JSON},
      {"help", no_argument, nullptr, OPT_HELP},
      {nullptr, 0, nullptr, 0},
  };
  auto bad = [](const char* what, const char* value) {
    std::fprintf(stderr, "tarn-sim-vm: invalid %s: %s\n%s", what, value ? value : "", USAGE);
    return EXIT_USAGE;
  };
  int ch;
  while ((ch = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    uint64_t v = 0;
    in_addr a{};
    switch (ch) {
      case OPT_SERVER:
      case OPT_SOURCE:
        if (inet_pton(AF_INET, optarg, &a) != 1) return bad("address", optarg);
        (ch == OPT_SERVER ? o.server_ip : o.source_ip) = optarg;
        break;
      case OPT_LOGIN_PORT:
      case OPT_IO_PORT:
        if (!sim_parse_u64(optarg, 65535, &v) || v == 0) return bad("port", optarg);
        (ch == OPT_LOGIN_PORT ? o.login_port : o.io_port) = static_cast<uint16_t>(v);
        break;
      case OPT_IMAGE:
        o.image_path = optarg;
        break;
      case OPT_VDISK:
        if (!sim_parse_u64(optarg, UINT32_MAX, &v)) return bad("--vdisk-id", optarg);
        o.vdisk_id = static_cast<uint32_t>(v);
        break;
      case OPT_FLAVOUR:
        if (std::strcmp(optarg, "classic") == 0) {
          o.kind = flavour::classic;
        } else if (std::strcmp(optarg, "uefi") == 0) {
          o.kind = flavour::uefi;
        } else {
          return bad("--flavour", optarg);
        }
        break;
      case OPT_UEFI:
        o.kind = flavour::uefi;
        break;
      case OPT_MAC:
        if (!parse_mac(optarg, o.mac)) return bad("--mac", optarg);
        o.have_mac = true;
        break;
      case OPT_TRACE:
        o.trace_path = optarg;
        break;
      case OPT_TRACE_SEED:
        if (!sim_parse_u64(optarg, UINT64_MAX, &v)) return bad("--trace-seed", optarg);
        o.trace_seed = v;
        break;
      case OPT_TRACE_READS:
        if (!sim_parse_u64(optarg, 100000000, &v)) return bad("--trace-reads", optarg);
        o.trace_reads = v;
        break;
      case OPT_SWEEP:
        o.sweep = true;
        break;
      case OPT_TIMEOUT:
        if (!sim_parse_u64(optarg, 600000, &v) || v == 0) return bad("--timeout-ms", optarg);
        o.timeout_ms = v;
        break;
      case OPT_RETRIES:
        if (!sim_parse_u64(optarg, 1000, &v)) return bad("--retries", optarg);
        o.retries = v;
        break;
      case OPT_HEARTBEAT:
        if (!sim_parse_u64(optarg, 3600000, &v)) return bad("--heartbeat-ms", optarg);
        o.heartbeat_ms = v;
        break;
      case OPT_DEADLINE:
        if (!sim_parse_u64(optarg, 86400000, &v) || v == 0) return bad("--deadline-ms", optarg);
        o.deadline_ms = v;
        break;
      case OPT_LINGER:
        if (!sim_parse_u64(optarg, 86400000, &v)) return bad("--linger-ms", optarg);
        o.linger_ms = v;
        break;
      case OPT_RELOGIN_AFTER:
        if (!sim_parse_u64(optarg, 1000, &v)) return bad("--relogin-after", optarg);
        o.relogin_after = v;
        break;
      case OPT_HOLD:
        o.hold = true;
        break;
      case OPT_HOLD_MID_LOGIN:
        o.hold_mid_login = true;
        break;
      case OPT_JSON:
        o.json = true;
        break;
      case OPT_HELP:
        std::fputs(USAGE, stdout);
        return -1;
      default:
        std::fputs(USAGE, stderr);
        return EXIT_USAGE;
    }
  }
  if (optind != argc) return bad("argument", argv[optind]);
  if (o.server_ip.empty()) return bad("command line", "--server is needed");
  if (o.image_path.empty()) return bad("command line", "--image is needed");
  return 0;
}

// Trace lines are "ext OFFSET LENGTH" or "mio OFFSET LENGTH"; blank lines and
// lines starting with # are skipped.
bool load_trace(const std::string& path, std::vector<read_op>& trace) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "tarn-sim-vm: cannot open %s\n", path.c_str());
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    number++;
    std::istringstream ls(line);
    std::string kind, offset, length, extra;
    if (!(ls >> kind) || kind[0] == '#') continue;
    uint64_t off = 0, len = 0;
    bool ok =
        (ls >> offset >> length) && !(ls >> extra) && (kind == "ext" || kind == "mio") &&
        sim_parse_u64(offset.c_str(), UINT64_MAX - SIM_DISK_BASE - 65536, &off) &&
        sim_parse_u64(length.c_str(), kind == "ext" ? MAX_EXT_LENGTH : MAX_MIO_LENGTH, &len) &&
        len > 0;
    if (!ok) {
      std::fprintf(stderr, "tarn-sim-vm: %s:%d: bad trace line: %s\n", path.c_str(), number,
                   line.c_str());
      return false;
    }
    trace.push_back({kind == "mio", off, static_cast<uint32_t>(len)});
  }
  return true;
}

// A boot as a disk sees it: the first sector, runs of sequential MIOs of 4-64
// KiB (bounded by the burst size), small extent reads, re-reads of what was
// read before and a scatter of random reads. Deterministic for a seed, so a
// failing run can be repeated.
std::vector<read_op> generate_trace(uint64_t seed, uint64_t count, uint64_t disk_bytes,
                                    uint32_t burst, uint32_t mtu, bool sweep) {
  std::vector<read_op> t;
  if (disk_bytes < SIM_SECTOR) return t;
  std::mt19937_64 rng(seed);
  auto uniform = [&](uint64_t lo, uint64_t hi) {
    return std::uniform_int_distribution<uint64_t>(lo, hi)(rng);
  };
  uint32_t max_mio = std::min<uint32_t>(burst, MAX_MIO_LENGTH) / SIM_SECTOR * SIM_SECTOR;
  if (max_mio == 0) max_mio = SIM_SECTOR;
  uint64_t sectors = disk_bytes / SIM_SECTOR;
  auto clip = [&](read_op op) {
    op.length = static_cast<uint32_t>(std::min<uint64_t>(op.length, disk_bytes - op.offset));
    return op;
  };
  t.push_back({false, 0, SIM_SECTOR});
  while (t.size() < count) {
    uint64_t pick = uniform(0, 99);
    if (pick < 50) {
      // Block reads of 4 KiB pages, as file systems issue them.
      uint64_t pages = std::max<uint64_t>(1, disk_bytes / 4096);
      uint64_t off = uniform(0, pages - 1) * 4096;
      uint64_t run = uniform(2, 16);
      for (uint64_t i = 0; i < run && t.size() < count && off < disk_bytes; i++) {
        uint32_t len = static_cast<uint32_t>(uniform(1, 16) * 4096);
        len = std::min(len, max_mio);
        t.push_back(clip({true, off, len}));
        off += len;
      }
    } else if (pick < 75) {
      uint64_t off = uniform(0, sectors - 1) * SIM_SECTOR;
      // Extent replies come in one datagram of at most the packet size.
      const uint64_t most = std::clamp<uint64_t>(
          (mtu - std::min<uint32_t>(mtu, SIM_EXT_HEADER_SIZE)) / SIM_SECTOR, 1, 8);
      t.push_back(clip({false, off, static_cast<uint32_t>(uniform(1, most) * SIM_SECTOR)}));
    } else if (pick < 90) {
      t.push_back(t[uniform(0, t.size() - 1)]);
    } else {
      uint64_t off = uniform(0, sectors - 1) * SIM_SECTOR;
      uint32_t len = static_cast<uint32_t>(uniform(1, max_mio / SIM_SECTOR) * SIM_SECTOR);
      t.push_back(clip({true, off, len}));
    }
  }
  if (sweep) {
    for (uint64_t off = 0; off < disk_bytes; off += max_mio)
      t.push_back(clip({true, off, max_mio}));
  }
  return t;
}

bool open_socket(vm& v) {
  v.login_addr = {};
  v.login_addr.sin_family = AF_INET;
  v.login_addr.sin_port = htons(v.opt.login_port);
  inet_pton(AF_INET, v.opt.server_ip.c_str(), &v.login_addr.sin_addr);
  v.io_addr = v.login_addr;
  v.io_addr.sin_port = htons(v.opt.io_port);

  v.local = {};
  v.local.sin_family = AF_INET;
  if (!v.opt.source_ip.empty()) {
    inet_pton(AF_INET, v.opt.source_ip.c_str(), &v.local.sin_addr);
  } else {
    // Connecting a scratch socket makes the kernel choose the source address
    // the route gives, without sending anything.
    unique_fd probe(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in chosen{};
    socklen_t len = sizeof chosen;
    if (!probe ||
        connect(probe.get(), reinterpret_cast<sockaddr*>(&v.login_addr), sizeof v.login_addr) !=
            0 ||
        getsockname(probe.get(), reinterpret_cast<sockaddr*>(&chosen), &len) != 0) {
      std::fprintf(stderr, "tarn-sim-vm: no route to %s: %s\n", v.opt.server_ip.c_str(),
                   std::strerror(errno));
      return false;
    }
    v.local.sin_addr = chosen.sin_addr;
  }
  v.fd.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  int buf = 4 << 20;
  if (v.fd) setsockopt(v.fd.get(), SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  socklen_t len = sizeof v.local;
  if (!v.fd || bind(v.fd.get(), reinterpret_cast<sockaddr*>(&v.local), sizeof v.local) != 0 ||
      getsockname(v.fd.get(), reinterpret_cast<sockaddr*>(&v.local), &len) != 0) {
    std::fprintf(stderr, "tarn-sim-vm: cannot bind %s: %s\n", sim_ip_text(v.local).c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

// The MAC of the interface that holds the source address.
bool find_mac(vm& v) {
  if (v.opt.have_mac) return true;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  std::string name;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if (reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == v.local.sin_addr.s_addr) {
      name = i->ifa_name;
      break;
    }
  }
  freeifaddrs(list);
  ifreq req{};
  if (name.empty() || name.size() >= sizeof req.ifr_name) {
    std::fprintf(stderr, "tarn-sim-vm: no interface holds %s; give --mac\n",
                 sim_ip_text(v.local).c_str());
    return false;
  }
  std::memcpy(req.ifr_name, name.c_str(), name.size() + 1);
  if (ioctl(v.fd.get(), SIOCGIFHWADDR, &req) != 0) {
    std::fprintf(stderr, "tarn-sim-vm: cannot read the MAC of %s: %s\n", name.c_str(),
                 std::strerror(errno));
    return false;
  }
  std::memcpy(v.opt.mac.data(), req.ifr_hwaddr.sa_data, 6);
  return true;
}

void send_to(vm& v, const sockaddr_in& to, const std::vector<uint8_t>& m) {
  // A full send buffer is a lost datagram; the time-out resends it.
  sendto(v.fd.get(), m.data(), m.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// One datagram from the server, waiting until `deadline_ms`; -1 when none
// came in time. Datagrams from anyone else are stray.
ssize_t receive(vm& v, std::vector<uint8_t>& buf, int64_t deadline_ms) {
  for (;;) {
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    ssize_t n = recvfrom(v.fd.get(), buf.data(), buf.size(), MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&from), &fl);
    if (n >= 0) {
      if (from.sin_addr.s_addr != v.login_addr.sin_addr.s_addr) {
        v.c.stray++;
        continue;
      }
      return n;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    int64_t left = deadline_ms - now_ms();
    if (left <= 0) return -1;
    pollfd p{v.fd.get(), POLLIN, 0};
    poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
  }
}

// Sends a session request and waits for the reply with `want`, resending on
// time-out. Anything else that arrives meanwhile is stray.
bool exchange(vm& v, const std::vector<uint8_t>& request, uint32_t want, size_t min_len,
              std::vector<uint8_t>& reply) {
  std::vector<uint8_t> buf(65536);
  for (uint64_t attempt = 0; attempt <= v.opt.retries; attempt++) {
    if (attempt > 0) v.c.retries++;
    send_to(v, v.login_addr, request);
    int64_t deadline = now_ms() + static_cast<int64_t>(v.opt.timeout_ms);
    ssize_t n;
    while ((n = receive(v, buf, deadline)) >= 0) {
      if (static_cast<size_t>(n) >= SIM_HEADER_SIZE && sim_get32(buf.data(), 0) == want) {
        if (static_cast<size_t>(n) < min_len) {
          report_error(v, "short reply " + std::to_string(n) + " bytes");
          return false;
        }
        reply.assign(buf.begin(), buf.begin() + n);
        return true;
      }
      if (static_cast<size_t>(n) >= SIM_HEADER_SIZE &&
          sim_get32(buf.data(), 0) == LS_HEARTBEAT_REPLY_CODE) {
        v.c.heartbeat_replies++;
      } else {
        v.c.stray++;
      }
    }
  }
  char what[64];
  std::snprintf(what, sizeof what, "no reply 0x%08" PRIX32 " from the server", want);
  report_error(v, what);
  return false;
}

bool check_mtu(vm& v) {
  if (v.mtu <= SIM_MIO_HEADER_SIZE || v.mtu > SIM_MAX_UDP_PAYLOAD) {
    report_error(v, "unusable MTU " + std::to_string(v.mtu));
    return false;
  }
  // A burst size of 0 leaves the VM only extent reads; a trace with MIOs
  // is refused before it starts.
  if (v.burst > 65536) {
    report_error(v, "unusable burst size " + std::to_string(v.burst));
    return false;
  }
  return true;
}

bool check_sectors(vm& v) {
  uint64_t want = (v.image_size + SIM_SECTOR - 1) / SIM_SECTOR;
  if (v.sectors != want) {
    report_error(v, "server reports " + std::to_string(v.sectors) + " sectors, image has " +
                        std::to_string(want));
    return false;
  }
  return true;
}

void keep_session(vm& v, int64_t until, bool until_released);

bool login_classic(vm& v) {
  std::vector<uint8_t> r;
  auto m = sim_message(LS_LOGIN_PORT_REQUEST_CODE, SIM_PORT_REPLY_SIZE, v.version);
  if (!exchange(v, m, LS_LOGIN_PORT_REPLY_CODE, SIM_PORT_REPLY_SIZE, r)) return false;
  v.burst = sim_get32(r.data(), SIM_OFF_BURST);
  v.mtu = sim_get32(r.data(), SIM_OFF_MTU);

  m = sim_message(LS_IO_PORT_REQUEST_CODE, SIM_PORT_REPLY_SIZE, v.version);
  if (!exchange(v, m, LS_IO_PORT_REPLY_CODE, SIM_PORT_REPLY_SIZE, r)) return false;
  v.mtu = sim_get32(r.data(), SIM_OFF_MTU);
  if (!check_mtu(v)) return false;

  m = sim_message(LS_LOGIN_REQUEST_CODE, SIM_LOGIN_REQUEST_SIZE, v.version);
  std::memcpy(m.data() + SIM_OFF_LOGIN_MAC, v.opt.mac.data(), 6);
  if (!exchange(v, m, LS_LOGIN_REPLY_CODE, SIM_LOGIN_REPLY_SIZE, r)) return false;
  v.connection = sim_get32(r.data(), SIM_OFF_LOGIN_CONNECTION);
  v.disk = sim_get32(r.data(), SIM_OFF_LOGIN_DISK);
  if (v.opt.hold_mid_login) {
    v.opt.hold_mid_login = false;  // a relogon goes straight through
    keep_session(v, now_ms() + static_cast<int64_t>(v.opt.deadline_ms), true);
  }

  m = sim_message(LS_SELECT_DISK_REQUEST_CODE, SIM_VDISK_REQUEST_SIZE, v.version);
  sim_put32(m.data(), SIM_OFF_CONNECTION_HANDLE, v.connection);
  sim_put32(m.data(), SIM_OFF_REQUEST_VDISK, v.opt.vdisk_id);
  if (!exchange(v, m, LS_IO_SELECT_REPLY_CODE, SIM_SELECT_REPLY_SIZE, r)) return false;
  v.vdisk_id = sim_get32(r.data(), SIM_OFF_SELECT_VDISK);

  m = sim_message(LS_SERVICE_REQUEST_CODE, SIM_VDISK_REQUEST_SIZE, v.version);
  sim_put32(m.data(), SIM_OFF_CONNECTION_HANDLE, v.connection);
  sim_put32(m.data(), SIM_OFF_REQUEST_VDISK, v.vdisk_id);
  if (!exchange(v, m, LS_OPTIONS_REPLY_CODE, SIM_HEADER_SIZE, r)) return false;

  m = sim_message(LS_GET_VDISK_INFO_REQUEST_CODE_V2, SIM_VDISK_REQUEST_SIZE, v.version);
  sim_put32(m.data(), SIM_OFF_CONNECTION_HANDLE, v.connection);
  sim_put32(m.data(), SIM_OFF_REQUEST_VDISK, v.vdisk_id);
  // A server that only knows the first version of the record answers with
  // it; the boot goes on (the daemon then leaves the client uncached).
  send_to(v, v.login_addr, m);
  std::vector<uint8_t> buf(65536);
  for (uint64_t attempt = 0;; attempt++) {
    int64_t deadline = now_ms() + static_cast<int64_t>(v.opt.timeout_ms);
    ssize_t n;
    while ((n = receive(v, buf, deadline)) >= 0) {
      uint32_t op = n >= static_cast<ssize_t>(SIM_HEADER_SIZE) ? sim_get32(buf.data(), 0) : 0;
      if (op == LS_GET_VDISK_INFO_REPLY_CODE) {
        v.info_v1 = true;
        v.sectors = (v.image_size + SIM_SECTOR - 1) / SIM_SECTOR;
        return true;
      }
      if (op == LS_GET_VDISK_INFO_REPLY_CODE_V2 &&
          n >= static_cast<ssize_t>(SIM_OFF_INFO_GUID + SIM_GUID_SIZE)) {
        if (sim_get32(buf.data(), SIM_OFF_CONNECTION_HANDLE) != v.connection) {
          report_error(v, "vDisk info of another session");
          return false;
        }
        v.sectors = static_cast<uint64_t>(sim_get32(buf.data(), SIM_OFF_INFO_SECTORS + 4)) << 32 |
                    sim_get32(buf.data(), SIM_OFF_INFO_SECTORS);
        return check_sectors(v);
      }
      v.c.stray++;
    }
    if (attempt >= v.opt.retries) break;
    v.c.retries++;
    send_to(v, v.login_addr, m);
  }
  report_error(v, "no vDisk info from the server");
  return false;
}

bool login_uefi(vm& v) {
  std::vector<uint8_t> r;
  auto m = sim_message(LS_LOGIN_PORT_TLV_REQUEST_CODE, SIM_HEADER_SIZE, v.version);
  if (!exchange(v, m, LS_LOGIN_PORT_TLV_REPLY_CODE, SIM_HEADER_SIZE, r)) return false;
  auto port_items = sim_tlv_parse(r.data(), r.size());
  if (!port_items) {
    report_error(v, "malformed TLV sequence in the login port reply");
    return false;
  }
  for (const auto& t : *port_items) {
    if (t.type == SIM_TLV_MTU && t.length == 4) v.mtu = sim_get32(t.value, 0);
    if (t.type == SIM_TLV_BURST && t.length == 4) v.burst = sim_get32(t.value, 0);
  }

  m = sim_message(LS_UEFI_LOGIN_REQUEST_CODE, SIM_LOGIN_REQUEST_SIZE, v.version);
  std::memcpy(m.data() + SIM_OFF_LOGIN_MAC, v.opt.mac.data(), 6);
  sim_put32(m.data(), SIM_OFF_UEFI_WANT_VDISK, v.opt.vdisk_id);
  if (!exchange(v, m, LS_UEFI_LOGIN_REPLY_CODE, SIM_UEFI_LOGIN_REPLY_SIZE, r)) return false;
  v.vdisk_id = sim_get32(r.data(), SIM_OFF_UEFI_VDISK);
  v.connection = sim_get32(r.data(), SIM_OFF_CONNECTION_HANDLE);

  m = sim_message(LS_UEFI_SERVICE_TLV_REQUEST_CODE, SIM_HEADER_SIZE, v.version);
  sim_put32(m.data(), SIM_OFF_CONNECTION_HANDLE, v.connection);
  sim_tlv_append32(m, SIM_TLV_VDISK_ID, v.vdisk_id);
  if (!exchange(v, m, LS_UEFI_SERVICE_TLV_REPLY_CODE, SIM_HEADER_SIZE, r)) return false;
  auto items = sim_tlv_parse(r.data(), r.size());
  if (!items) {
    report_error(v, "malformed TLV sequence in the service reply");
    return false;
  }
  bool have_params = false, have_connection = false;
  for (const auto& t : *items) {
    switch (t.type) {
      case SIM_TLV_VDISK_PARAMS:
        if (t.length < SIM_TLV_VDISK_PARAMS_SIZE) break;
        v.disk = sim_get32(t.value, 2);
        v.sectors = static_cast<uint64_t>(sim_get32(t.value, 14)) << 32 | sim_get32(t.value, 10);
        have_params = true;
        break;
      case SIM_TLV_MTU:
        if (t.length == 4) v.mtu = sim_get32(t.value, 0);
        break;
      case SIM_TLV_BURST:
        if (t.length == 4) v.burst = sim_get32(t.value, 0);
        break;
      case SIM_TLV_CONNECTION:
        if (t.length == 4) {
          v.connection = sim_get32(t.value, 0);
          have_connection = true;
        }
        break;
      default:
        break;
    }
  }
  if (!have_params || !have_connection) {
    report_error(v, "service reply lacks the vDisk parameters or the connection handle");
    return false;
  }
  return check_mtu(v) && check_sectors(v);
}

bool login(vm& v) {
  v.version = v.opt.kind == flavour::uefi ? SIM_VERSION_TLV : SIM_VERSION_CLASSIC;
  bool ok = v.opt.kind == flavour::uefi ? login_uefi(v) : login_classic(v);
  if (ok && v.vdisk_id != v.opt.vdisk_id) {
    report_error(v, "server selected vDisk " + std::to_string(v.vdisk_id) + " instead of " +
                        std::to_string(v.opt.vdisk_id));
    return false;
  }
  return ok;
}

// Compares a read's data with the image; bytes past the image's end must be
// zero, as the server pads them.
void verify(vm& v, const read_op& op, const uint8_t* data) {
  std::vector<uint8_t> want(op.length, 0);
  if (op.offset < v.image_size) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(op.length, v.image_size - op.offset));
    size_t done = 0;
    while (done < n) {
      ssize_t r = pread(v.image_fd.get(), want.data() + done, n - done,
                        static_cast<off_t>(op.offset + done));
      if (r <= 0) break;
      done += static_cast<size_t>(r);
    }
  }
  uint64_t bad = 0;
  size_t first = 0;
  for (size_t i = 0; i < op.length; i++) {
    if (data[i] != want[i]) {
      if (bad++ == 0) first = i;
    }
  }
  v.c.reads++;
  v.relogons_since_read = 0;
  v.c.bytes += op.length;
  if (bad != 0) {
    v.c.bad_bytes += bad;
    char what[160];
    std::snprintf(what, sizeof what,
                  "%s read at %" PRIu64 " length %" PRIu32 ": %" PRIu64
                  " wrong bytes, first at %" PRIu64,
                  op.mio ? "mio" : "ext", op.offset, op.length, bad, op.offset + first);
    report_error(v, what);
  }
}

void record_latency(vm& v, size_t index) {
  v.latency.add(static_cast<uint64_t>(std::max<int64_t>(0, now_us() - v.first_sent_us[index])));
}

struct replay {
  std::array<slot, MIO_THREADS> mio;
  slot ext;
  std::deque<size_t> again;  // reads to reissue after a relogon, in trace order
  size_t next = 0;
};

void arm(vm& v, slot& s) {
  s.deadline_ms = now_ms() + static_cast<int64_t>(v.opt.timeout_ms);
}

void issue(vm& v, slot& s, size_t index, int thread) {
  const read_op& op = v.trace[index];
  if (v.first_sent_us[index] < 0) v.first_sent_us[index] = now_us();
  s = slot{};
  s.busy = true;
  s.index = index;
  s.op = op;
  uint64_t offset = op.offset + SIM_DISK_BASE;
  if (op.mio) {
    s.request = sim_message(IOS_READ_MIO_REQUEST_CODE, SIM_MIO_REQUEST_SIZE, v.version);
    sim_put32(s.request.data(), SIM_OFF_CONNECTION_HANDLE, v.connection);
    sim_put32(s.request.data(), SIM_OFF_MIO_REQUEST_ID, v.next_request_id++);
    sim_put16(s.request.data(), SIM_OFF_MIO_FLAGS, 1);
    s.request[SIM_OFF_MIO_THREAD] = static_cast<uint8_t>(thread);
    sim_put32(s.request.data(), SIM_OFF_MIO_DISK, v.disk);
    sim_put_offset(s.request.data(), SIM_OFF_MIO_OFFSET_HI, offset);
    sim_put16(s.request.data(), SIM_OFF_MIO_LENGTH, static_cast<uint16_t>(op.length));
    s.data.assign(op.length, 0);
    s.got.assign(sim_fragment_count(op.length, v.mtu), false);
  } else {
    s.request = sim_message(IOS_READ_EXT_REQUEST_CODE, SIM_EXT_HEADER_SIZE, v.version);
    sim_put32(s.request.data(), SIM_OFF_CONNECTION_HANDLE, v.connection);
    sim_put32(s.request.data(), SIM_OFF_EXT_DISK, v.disk);
    sim_put_offset(s.request.data(), SIM_OFF_EXT_OFFSET_HI, offset);
    sim_put16(s.request.data(), SIM_OFF_EXT_LENGTH, static_cast<uint16_t>(op.length));
  }
  send_to(v, v.io_addr, s.request);
  arm(v, s);
}

// Issues trace reads in order while their kind has room: up to four MIOs, one
// extent read. A read that has to wait holds back those after it, as a
// boot's dependent reads would.
void issue_ready(vm& v, replay& r) {
  for (;;) {
    size_t index;
    if (!r.again.empty()) {
      index = r.again.front();
    } else if (r.next < v.trace.size()) {
      index = r.next;
    } else {
      return;
    }
    slot* s = nullptr;
    int thread = 0;
    if (v.trace[index].mio) {
      for (; thread < MIO_THREADS && r.mio[thread].busy; thread++) {
      }
      if (thread < MIO_THREADS) s = &r.mio[thread];
    } else if (!r.ext.busy) {
      s = &r.ext;
    }
    if (s == nullptr) return;
    if (!r.again.empty()) {
      r.again.pop_front();
    } else {
      r.next++;
    }
    issue(v, *s, index, thread);
  }
}

bool is_relogon(const uint8_t* m, size_t len) {
  return len == SIM_MIO_HEADER_SIZE &&
         (sim_get32(m, SIM_OFF_CONNECTION_HANDLE) & SIM_RELOGON_FLAG) != 0 &&
         m[SIM_OFF_MIO_FLAGS] == 0xFF && m[SIM_OFF_MIO_FLAGS + 1] == 0xFF;
}

// Logs in again and queues every read in flight to go out anew under the new
// handles: when the peer forces it, or (`forced` false) when reads go
// unanswered, as after a server restart that forgot the session. False when
// the login fails or forced relogons never end.
bool relogon(vm& v, replay& r, bool forced) {
  if (forced) v.c.relogons++;
  if (forced && ++v.relogons_since_read > MAX_RELOGONS) {
    report_error(v, "too many forced relogons");
    return false;
  }
  if (!forced) v.c.relogins++;
  std::vector<size_t> pending;
  for (auto& s : r.mio)
    if (s.busy) pending.push_back(s.index);
  if (r.ext.busy) pending.push_back(r.ext.index);
  for (auto& s : r.mio) s.busy = false;
  r.ext.busy = false;
  pending.insert(pending.end(), r.again.begin(), r.again.end());
  std::sort(pending.begin(), pending.end());
  r.again.assign(pending.begin(), pending.end());
  return login(v);
}

// One MIO reply fragment. Returns false only when a relogon failed.
bool on_mio_reply(vm& v, replay& r, const uint8_t* m, size_t len) {
  uint8_t thread = len >= SIM_MIO_HEADER_SIZE ? m[SIM_OFF_MIO_THREAD] : 0xFF;
  if (thread >= MIO_THREADS || !r.mio[thread].busy) {
    v.c.stray++;
    return true;
  }
  slot& s = r.mio[thread];
  if (is_relogon(m, len)) {
    // The relogon reply repeats the request's id and thread; one for an
    // earlier request is stale.
    if (sim_get32(m, SIM_OFF_MIO_REQUEST_ID) !=
        sim_get32(s.request.data(), SIM_OFF_MIO_REQUEST_ID)) {
      v.c.stray++;
      return true;
    }
    return relogon(v, r, true);
  }
  // Everything up to the fragment fields repeats the request; a reply that
  // differs answers some other request or session.
  if (std::memcmp(m + SIM_OFF_VERSION, s.request.data() + SIM_OFF_VERSION,
                  SIM_MIO_ECHO_END - SIM_OFF_VERSION) != 0) {
    v.c.stray++;
    return true;
  }
  size_t room = sim_fragment_room(v.mtu);
  uint16_t off = sim_get16(m, SIM_OFF_FRAG_OFFSET), flen = sim_get16(m, SIM_OFF_FRAG_LENGTH);
  uint16_t number = sim_get16(m, SIM_OFF_FRAG_NUMBER), count = sim_get16(m, SIM_OFF_FRAG_COUNT);
  bool ok = len == SIM_MIO_HEADER_SIZE + flen && count == s.got.size() && number >= 1 &&
            number <= count && off == (number - 1) * room &&
            flen == std::min<size_t>(room, s.op.length - off);
  if (!ok) {
    char what[160];
    std::snprintf(what, sizeof what,
                  "malformed fragment of mio at %" PRIu64
                  ": %zu bytes, offset %u length %u number "
                  "%u of %u",
                  s.op.offset, len, off, flen, number, count);
    report_error(v, what);
    return true;
  }
  if (s.got[number - 1]) {
    v.c.duplicates++;
    return true;
  }
  s.got[number - 1] = true;
  s.got_count++;
  std::memcpy(s.data.data() + off, m + SIM_MIO_HEADER_SIZE, flen);
  if (s.got_count == s.got.size()) {
    verify(v, s.op, s.data.data());
    record_latency(v, s.index);
    s.busy = false;
  }
  return true;
}

void on_ext_reply(vm& v, replay& r, const uint8_t* m, size_t len) {
  slot& s = r.ext;
  // The tag byte is not compared: the daemon rewrites it in the requests it
  // forwards, so the server's reply carries the daemon's tag.
  if (!s.busy || len < SIM_EXT_HEADER_SIZE ||
      std::memcmp(m + SIM_OFF_VERSION, s.request.data() + SIM_OFF_VERSION,
                  SIM_OFF_TAG - SIM_OFF_VERSION) != 0 ||
      std::memcmp(m + SIM_OFF_TAG + 1, s.request.data() + SIM_OFF_TAG + 1,
                  SIM_EXT_ECHO_END - SIM_OFF_TAG - 1) != 0) {
    v.c.stray++;
    return;
  }
  uint16_t length = sim_get16(m, SIM_OFF_EXT_LENGTH);
  if (length != s.op.length || len != SIM_EXT_HEADER_SIZE + length) {
    char what[128];
    std::snprintf(what, sizeof what,
                  "malformed reply to ext at %" PRIu64 ": %zu bytes, length field %u", s.op.offset,
                  len, length);
    report_error(v, what);
    return;
  }
  verify(v, s.op, m + SIM_EXT_HEADER_SIZE);
  record_latency(v, s.index);
  s.busy = false;
}

// Resends reads whose reply is late; a read out of retries fails. True when
// a read went unanswered long enough to log in again.
bool check_timeouts(vm& v, replay& r) {
  int64_t now = now_ms();
  bool relogin = false;
  auto check = [&](slot& s) {
    if (!s.busy || now < s.deadline_ms) return;
    if (v.opt.relogin_after > 0 && s.tries >= v.opt.relogin_after) {
      relogin = true;
      return;
    }
    if (s.tries >= v.opt.retries) {
      v.c.failed++;
      char what[96];
      std::snprintf(what, sizeof what, "%s read at %" PRIu64 " length %" PRIu32 " timed out",
                    s.op.mio ? "mio" : "ext", s.op.offset, s.op.length);
      report_error(v, what);
      s.busy = false;
      return;
    }
    s.tries++;
    v.c.retries++;
    // Fragments already gathered are kept: the resent reply fills the gaps.
    send_to(v, v.io_addr, s.request);
    arm(v, s);
  };
  for (auto& s : r.mio) check(s);
  check(r.ext);
  return relogin;
}

bool busy(const replay& r) {
  if (r.ext.busy) return true;
  for (const auto& s : r.mio)
    if (s.busy) return true;
  return false;
}

void send_heartbeat(vm& v) {
  auto hb = sim_message(LS_HEARTBEAT_REQUEST_CODE, SIM_HEARTBEAT_SIZE, v.version);
  sim_put32(hb.data(), SIM_OFF_CONNECTION_HANDLE, v.connection);
  send_to(v, v.login_addr, hb);
  v.c.heartbeats++;
}

bool run_trace(vm& v) {
  replay r;
  v.first_sent_us.assign(v.trace.size(), -1);
  std::vector<uint8_t> buf(65536);
  int64_t start = now_ms();
  int64_t next_heartbeat = start + static_cast<int64_t>(v.opt.heartbeat_ms);
  const int64_t give_up = start + static_cast<int64_t>(v.opt.deadline_ms);
  while (r.next < v.trace.size() || !r.again.empty() || busy(r)) {
    if (now_ms() >= give_up) {
      // Whatever has not arrived by now fails; a wedged peer must not keep
      // the run going for retries x timeout per read.
      uint64_t left = v.trace.size() - r.next + r.again.size() + (r.ext.busy ? 1 : 0);
      for (const auto& s : r.mio) left += s.busy ? 1 : 0;
      v.c.failed += left;
      report_error(v, "deadline passed with " + std::to_string(left) + " reads left");
      break;
    }
    issue_ready(v, r);
    int64_t wake = next_heartbeat;
    if (v.opt.heartbeat_ms == 0) wake = now_ms() + 1000;
    for (const auto& s : r.mio)
      if (s.busy) wake = std::min(wake, s.deadline_ms);
    if (r.ext.busy) wake = std::min(wake, r.ext.deadline_ms);
    pollfd p{v.fd.get(), POLLIN, 0};
    poll(&p, 1, static_cast<int>(std::clamp<int64_t>(wake - now_ms(), 0, 1000)));
    for (int i = 0; i < DRAIN_LIMIT; i++) {
      sockaddr_in from{};
      socklen_t fl = sizeof from;
      ssize_t n = recvfrom(v.fd.get(), buf.data(), buf.size(), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &fl);
      if (n < 0) break;
      size_t len = static_cast<size_t>(n);
      uint32_t op = len >= SIM_HEADER_SIZE ? sim_get32(buf.data(), 0) : 0;
      if (from.sin_addr.s_addr != v.login_addr.sin_addr.s_addr) {
        v.c.stray++;
      } else if (op == IOS_READ_MIO_REPLY_CODE) {
        if (!on_mio_reply(v, r, buf.data(), len)) return false;
      } else if (op == IOS_READ_EXT_REPLY_CODE) {
        on_ext_reply(v, r, buf.data(), len);
      } else if (op == LS_HEARTBEAT_REPLY_CODE) {
        v.c.heartbeat_replies++;
      } else {
        v.c.stray++;
      }
    }
    if (check_timeouts(v, r) && !relogon(v, r, false)) return false;
    if (v.opt.heartbeat_ms > 0 && now_ms() >= next_heartbeat) {
      send_heartbeat(v);
      next_heartbeat = now_ms() + static_cast<int64_t>(v.opt.heartbeat_ms);
    }
  }
  v.elapsed_ms = now_ms() - start;
  return true;
}

volatile sig_atomic_t released = 0;

void on_release(int) {
  released = 1;
}

// Stays logged in: heartbeats at their interval, replies drained, until
// `until` or, with `until_released`, until SIGUSR1 came.
void keep_session(vm& v, int64_t until, bool until_released) {
  std::vector<uint8_t> buf(65536);
  int64_t next_heartbeat = now_ms();
  while (now_ms() < until && !(until_released && released)) {
    if (v.opt.heartbeat_ms > 0 && now_ms() >= next_heartbeat) {
      send_heartbeat(v);
      next_heartbeat = now_ms() + static_cast<int64_t>(v.opt.heartbeat_ms);
    }
    pollfd p{v.fd.get(), POLLIN, 0};
    poll(&p, 1, static_cast<int>(std::clamp<int64_t>(until - now_ms(), 0, 100)));
    for (int i = 0; i < DRAIN_LIMIT; i++) {
      ssize_t n = recv(v.fd.get(), buf.data(), buf.size(), MSG_DONTWAIT);
      if (n < 0) break;
      const size_t len = static_cast<size_t>(n);
      const uint32_t op = len >= SIM_HEADER_SIZE ? sim_get32(buf.data(), 0) : 0;
      if (op == LS_HEARTBEAT_REPLY_CODE) {
        v.c.heartbeat_replies++;
      } else {
        v.c.stray++;
      }
    }
  }
}

using json_ptr = std::unique_ptr<json_object, decltype(&json_object_put)>;

void print_report(const vm& v, bool login_ok) {
  const counters& c = v.c;
  if (!v.opt.json) {
    std::printf("flavour %s vdisk %" PRIu32 " mtu %" PRIu32 " burst %" PRIu32
                " login %s%s\n"
                "reads %" PRIu64 " of %zu, bytes %" PRIu64 ", elapsed_ms %" PRId64
                ", errors %" PRIu64 " (bad bytes %" PRIu64 ", failed reads %" PRIu64
                "), retries %" PRIu64 ", relogons %" PRIu64 ", relogins %" PRIu64 ", stray %" PRIu64
                ", duplicates %" PRIu64 ", heartbeats %" PRIu64 "/%" PRIu64 ", latency p50 %" PRIu64
                " us p99 %" PRIu64 " us\n",
                v.opt.kind == flavour::uefi ? "uefi" : "classic", v.vdisk_id, v.mtu, v.burst,
                login_ok ? "ok" : "failed", v.info_v1 ? " (vDisk info V1)" : "", c.reads,
                v.trace.size(), c.bytes, v.elapsed_ms, c.errors, c.bad_bytes, c.failed, c.retries,
                c.relogons, c.relogins, c.stray, c.duplicates, c.heartbeat_replies, c.heartbeats,
                v.latency.quantile(0.50), v.latency.quantile(0.99));
    return;
  }
  json_ptr root(json_object_new_object(), &json_object_put);
  auto add = [&](const char* key, uint64_t value) {
    json_object_object_add(root.get(), key, json_object_new_int64(static_cast<int64_t>(value)));
  };
  json_object_object_add(root.get(), "flavour",
                         json_object_new_string(v.opt.kind == flavour::uefi ? "uefi" : "classic"));
  json_object_object_add(root.get(), "login", json_object_new_boolean(login_ok));
  json_object_object_add(root.get(), "info_v1", json_object_new_boolean(v.info_v1));
  add("vdisk_id", v.vdisk_id);
  add("mtu", v.mtu);
  add("burst", v.burst);
  add("trace_reads", v.trace.size());
  add("reads", c.reads);
  add("bytes", c.bytes);
  add("elapsed_ms", static_cast<uint64_t>(v.elapsed_ms));
  add("errors", c.errors);
  add("bad_bytes", c.bad_bytes);
  add("failed", c.failed);
  add("retries", c.retries);
  add("relogons", c.relogons);
  add("relogins", c.relogins);
  add("stray", c.stray);
  add("duplicates", c.duplicates);
  add("heartbeats", c.heartbeats);
  add("heartbeat_replies", c.heartbeat_replies);
  add("latency_p50_us", v.latency.quantile(0.50));
  add("latency_p99_us", v.latency.quantile(0.99));
  std::printf("%s\n", json_object_to_json_string_ext(root.get(), JSON_C_TO_STRING_PRETTY));
}

int run(vm& v) {
  v.image_fd.reset(open(v.opt.image_path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!v.image_fd || fstat(v.image_fd.get(), &st) != 0) {
    std::fprintf(stderr, "tarn-sim-vm: cannot open %s: %s\n", v.opt.image_path.c_str(),
                 std::strerror(errno));
    return EXIT_USAGE;
  }
  v.image_size = static_cast<uint64_t>(st.st_size);
  if (!v.opt.trace_path.empty() && !load_trace(v.opt.trace_path, v.trace)) return EXIT_USAGE;
  if (!open_socket(v) || !find_mac(v)) return EXIT_FAILED;
  if (v.opt.hold || v.opt.hold_mid_login) signal(SIGUSR1, on_release);

  bool login_ok = login(v);
  bool ok = login_ok;
  if (ok) {
    if (v.opt.trace_path.empty()) {
      v.trace = generate_trace(v.opt.trace_seed, v.opt.trace_reads, v.sectors * SIM_SECTOR, v.burst,
                               v.mtu, v.opt.sweep);
    }
    for (const auto& op : v.trace) {
      if (op.mio && op.length > v.burst) {
        std::fprintf(stderr,
                     "tarn-sim-vm: trace mio of %" PRIu32 " bytes exceeds the burst size %" PRIu32
                     "\n",
                     op.length, v.burst);
        return EXIT_USAGE;
      }
    }
    // Bounded by the deadline, like the trace.
    if (v.opt.hold) keep_session(v, now_ms() + static_cast<int64_t>(v.opt.deadline_ms), true);
    ok = run_trace(v);
    if (ok) keep_session(v, now_ms() + static_cast<int64_t>(v.opt.linger_ms), false);
  }
  print_report(v, login_ok);
  bool clean = ok && v.c.errors == 0 && v.c.failed == 0 && v.c.reads == v.trace.size();
  return clean ? EXIT_OK : EXIT_FAILED;
}

}  // namespace

int main(int argc, char** argv) {
  vm v;
  int rc = parse_options(argc, argv, v.opt);
  if (rc != 0) return rc < 0 ? 0 : rc;
  return run(v);
}
