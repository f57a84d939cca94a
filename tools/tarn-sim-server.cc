// tarn-sim-server: a streaming server for the lab. It serves raw vDisk image
// files over UDP to simulated VMs (tarn-sim-vm) or real clients, through the
// daemon or around it, answers the login conversation with handles of its own,
// and can misbehave on purpose (drops, duplicates, reordered fragments, stale
// tags, foreign handles, forced relogons) so that the daemon's caching
// decisions can be tested against a peer that is not always polite.
//
// One thread, one poll loop: the login and I/O sockets, a signalfd, and a
// queue of delayed replies. Each reply leaves from the socket its request came
// in on. Statistics go out as JSON on SIGUSR1 and when SIGTERM or SIGINT ends
// the run.
#include <fcntl.h>
#include <getopt.h>
#include <json-c/json.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/unique_fd.h"
#include "sim_protocol.h"

namespace {

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_RUNTIME = 1;

// Handles are counters in ranges of their own so that a connection handle is
// never mistaken for a disk handle; neither ever sets bit 31, which the
// protocol reserves for forced relogons.
constexpr uint32_t CONNECTION_HANDLE_BASE = 0x00010000;
constexpr uint32_t DISK_HANDLE_BASE = 0x00D00000;
// What the wrong-handle fault flips: bit 22 keeps bit 31 clear.
constexpr uint32_t WRONG_HANDLE_FLIP = 0x00400000;
// Requests drained per wake-up from one socket, so that a flood on one port
// does not starve the other or the signals.
constexpr int DRAIN_LIMIT = 256;

constexpr uint8_t DEFAULT_GUID[SIM_GUID_SIZE] = {0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE,
                                                 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

constexpr const char* USAGE =
    "usage: tarn-sim-server --image VDISK_ID=PATH [--image ...] [options]\n"
    "\n"
    "  --bind IP                address to serve on (default 0.0.0.0)\n"
    "  --login-port N           login port (default 6910)\n"
    "  --io-port N              I/O port (default 6905)\n"
    "  --image ID=PATH          serve raw image PATH as vDisk ID (repeatable)\n"
    "  --mtu N                  packet size given to clients (default 1500)\n"
    "  --burst N                largest I/O a client may ask for (default 32768)\n"
    "  --write-cache-type N     write cache type in the vDisk info (default 1)\n"
    "  --key-suffix N           key suffix in the vDisk info (default 1)\n"
    "  --guid HEX32             vDisk GUID as 32 hex digits, wire order\n"
    "  --info-v1                answer V2 vDisk info requests with a V1 reply\n"
    "  --delay-us N             delay every reply by N microseconds\n"
    "  --drop P                 drop each reply datagram with probability P\n"
    "  --duplicate P            send each reply datagram twice with probability P\n"
    "  --reorder P              shuffle the fragments of an MIO reply with probability P\n"
    "  --stale-tag P            answer an extent read with another tag byte\n"
    "  --wrong-handle P         answer a read with another connection handle\n"
    "  --relogon P              answer an MIO read with a forced relogon\n"
    "  --prepop-drop-fragment P drop each fragment of a reply to an MIO whose\n"
    "                           ThreadId has the high bit with probability P\n"
    "  --prepop-ignore N        leave the first N such MIOs unanswered\n"
    "  --seed N                 seed of the fault generator (default 1)\n"
    "  --stats FILE             write statistics there instead of to stdout\n"
    "  --ready-file FILE        create FILE once the sockets are bound\n"
    "  --traffic-log FILE       every 100 ms, append a line with the milliseconds\n"
    "                           since start, the read data bytes sent since the\n"
    "                           last line and their total (after a # line with\n"
    "                           the start in ms since the epoch)\n";

struct image {
  uint32_t vdisk_id = 0;
  std::string path;
  unique_fd fd;
  uint64_t size = 0;
};

struct options {
  std::string bind_ip = "0.0.0.0";
  uint16_t login_port = 6910;
  uint16_t io_port = 6905;
  std::vector<std::pair<uint32_t, std::string>> images;
  uint32_t mtu = 1500;
  uint32_t burst = 32768;
  uint32_t write_cache_type = 1;
  uint32_t key_suffix = 1;
  uint8_t guid[SIM_GUID_SIZE] = {};
  bool info_v1 = false;
  uint64_t delay_us = 0;
  double drop = 0, duplicate = 0, reorder = 0, stale_tag = 0, wrong_handle = 0, relogon = 0;
  double prepop_drop_fragment = 0;
  uint64_t prepop_ignore = 0;  // high-bit MIOs left unanswered first
  uint64_t seed = 1;
  std::string stats_path;
  std::string ready_path;
  std::string traffic_path;
};

struct session {
  uint32_t connection = 0;
  uint32_t disk = 0;
  uint32_t vdisk_id = 0;
  std::string client_ip;
};

// MIO requests whose request id lies in the range a cache proxy uses for the
// reads it issues in a client's name, and those whose ThreadId carries the
// high bit, are counted apart so that tests can see what such a proxy asks.
inline constexpr uint32_t PROXY_REQUEST_ID_BASE = 0xF0000000;
inline constexpr uint8_t THREAD_ID_HIGH_BIT = 0x80;

struct client_stats {
  uint64_t requests = 0;
  uint64_t logins = 0;
  uint64_t reads = 0;
  uint64_t data_bytes = 0;
  // MIOs with the ThreadId high bit: how many, the data they got, and the
  // most in flight at once (received, last fragment not yet sent).
  uint64_t high_bit_mios = 0;
  uint64_t high_bit_data_bytes = 0;
  uint64_t high_bit_in_flight = 0, high_bit_max_in_flight = 0;
  // All MIOs of the client in flight at once.
  uint64_t mio_in_flight = 0, mio_max_in_flight = 0;
  // MIOs with a proxy request id but no high bit in their ThreadId.
  uint64_t proxy_ids_without_high_bit = 0;
  // The high-bit MIO that reached furthest: its offset and length.
  uint64_t high_bit_last_offset = 0, high_bit_last_length = 0;
};

struct fault_stats {
  uint64_t dropped = 0, duplicated = 0, reordered = 0, stale_tag = 0, wrong_handle = 0, relogon = 0;
  uint64_t prepop_fragments_dropped = 0;
  uint64_t prepop_ignored = 0;
};

struct outgoing {
  int64_t due_us = 0;
  int fd = -1;  // -1: no datagram, only the end of an MIO reply for `client`
  sockaddr_in to{};
  std::vector<uint8_t> bytes;
  std::string client;
  bool high_bit = false;
};

struct server {
  options opt;
  std::vector<image> images;
  unique_fd login_fd, io_fd, signal_fd;
  std::map<uint32_t, session> sessions;            // by connection handle
  std::map<std::string, uint32_t> latest_session;  // client IP to its newest handle
  uint32_t session_count = 0;
  std::map<std::string, uint64_t> requests;  // by kind
  std::map<std::string, uint64_t> rejected;
  std::map<std::string, client_stats> clients;
  fault_stats faults;
  uint64_t data_bytes = 0;
  std::mt19937_64 rng;
  std::deque<outgoing> delayed;  // one delay for all, so due times only grow
  // --traffic-log: the file, when the run started, the next sample's due
  // time and the total at the last sample.
  FILE* traffic = nullptr;
  int64_t traffic_start_us = 0, traffic_next_us = 0;
  uint64_t traffic_last_bytes = 0;
};

int64_t now_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

bool chance(server& s, double p) {
  if (p <= 0) return false;
  return std::uniform_real_distribution<double>(0.0, 1.0)(s.rng) < p;
}

bool parse_guid(const char* text, uint8_t* out) {
  if (std::strlen(text) != 2 * SIM_GUID_SIZE) return false;
  for (size_t i = 0; i < SIM_GUID_SIZE; i++) {
    char pair[3] = {text[2 * i], text[2 * i + 1], 0};
    char* end = nullptr;
    long v = std::strtol(pair, &end, 16);
    if (*end != '\0' || !isxdigit(static_cast<unsigned char>(pair[0]))) return false;
    out[i] = static_cast<uint8_t>(v);
  }
  return true;
}

// 0 on success, EXIT_USAGE with a message on a bad command line, -1 when help
// was asked for.
int parse_options(int argc, char** argv, options& o) {
  enum {
    OPT_BIND = 1000,
    OPT_LOGIN_PORT,
    OPT_IO_PORT,
    OPT_IMAGE,
    OPT_MTU,
    OPT_BURST,
    OPT_WCT,
    OPT_KEY_SUFFIX,
    OPT_GUID,
    OPT_INFO_V1,
    OPT_DELAY,
    OPT_DROP,
    OPT_DUPLICATE,
    OPT_REORDER,
    OPT_STALE_TAG,
    OPT_WRONG_HANDLE,
    OPT_RELOGON,
    OPT_PREPOP_DROP,
    OPT_PREPOP_IGNORE,
    OPT_SEED,
    OPT_STATS,
    OPT_READY,
    OPT_TRAFFIC,
    OPT_HELP,
  };
  static const option longopts[] = {
      {"bind", required_argument, nullptr, OPT_BIND},
      {"login-port", required_argument, nullptr, OPT_LOGIN_PORT},
      {"io-port", required_argument, nullptr, OPT_IO_PORT},
      {"image", required_argument, nullptr, OPT_IMAGE},
      {"mtu", required_argument, nullptr, OPT_MTU},
      {"burst", required_argument, nullptr, OPT_BURST},
      {"write-cache-type", required_argument, nullptr, OPT_WCT},
      {"key-suffix", required_argument, nullptr, OPT_KEY_SUFFIX},
      {"guid", required_argument, nullptr, OPT_GUID},
      {"info-v1", no_argument, nullptr, OPT_INFO_V1},
      {"delay-us", required_argument, nullptr, OPT_DELAY},
      {"drop", required_argument, nullptr, OPT_DROP},
      {"duplicate", required_argument, nullptr, OPT_DUPLICATE},
      {"reorder", required_argument, nullptr, OPT_REORDER},
      {"stale-tag", required_argument, nullptr, OPT_STALE_TAG},
      {"wrong-handle", required_argument, nullptr, OPT_WRONG_HANDLE},
      {"relogon", required_argument, nullptr, OPT_RELOGON},
      {"prepop-drop-fragment", required_argument, nullptr, OPT_PREPOP_DROP},
      {"prepop-ignore", required_argument, nullptr, OPT_PREPOP_IGNORE},
      {"seed", required_argument, nullptr, OPT_SEED},
      {"stats", required_argument, nullptr, OPT_STATS},
      {"ready-file", required_argument, nullptr, OPT_READY},
      {"traffic-log", required_argument, nullptr, OPT_TRAFFIC},
      {"help", no_argument, nullptr, OPT_HELP},
      {nullptr, 0, nullptr, 0},
  };
  std::memcpy(o.guid, DEFAULT_GUID, sizeof o.guid);
  auto bad = [](const char* what, const char* value) {
    std::fprintf(stderr, "tarn-sim-server: invalid %s: %s\n%s", what, value ? value : "", USAGE);
    return EXIT_USAGE;
  };
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    uint64_t v = 0;
    switch (c) {
      case OPT_BIND: {
        in_addr a{};
        if (inet_pton(AF_INET, optarg, &a) != 1) return bad("--bind", optarg);
        o.bind_ip = optarg;
        break;
      }
      case OPT_LOGIN_PORT:
      case OPT_IO_PORT:
        if (!sim_parse_u64(optarg, 65535, &v) || v == 0) return bad("port", optarg);
        (c == OPT_LOGIN_PORT ? o.login_port : o.io_port) = static_cast<uint16_t>(v);
        break;
      case OPT_IMAGE: {
        const char* eq = std::strchr(optarg, '=');
        if (eq == nullptr || eq[1] == '\0') return bad("--image", optarg);
        std::string id(optarg, static_cast<size_t>(eq - optarg));
        if (!sim_parse_u64(id.c_str(), UINT32_MAX, &v)) return bad("--image", optarg);
        o.images.emplace_back(static_cast<uint32_t>(v), std::string(eq + 1));
        break;
      }
      case OPT_MTU:
        // A fragment must carry at least one byte and fit one UDP datagram.
        if (!sim_parse_u64(optarg, SIM_MAX_UDP_PAYLOAD, &v) || v <= SIM_MIO_HEADER_SIZE)
          return bad("--mtu", optarg);
        o.mtu = static_cast<uint32_t>(v);
        break;
      case OPT_BURST:
        if (!sim_parse_u64(optarg, UINT32_MAX, &v)) return bad("--burst", optarg);
        o.burst = static_cast<uint32_t>(v);
        break;
      case OPT_WCT:
      case OPT_KEY_SUFFIX:
        if (!sim_parse_u64(optarg, UINT32_MAX, &v)) return bad("number", optarg);
        (c == OPT_WCT ? o.write_cache_type : o.key_suffix) = static_cast<uint32_t>(v);
        break;
      case OPT_GUID:
        if (!parse_guid(optarg, o.guid)) return bad("--guid", optarg);
        break;
      case OPT_INFO_V1:
        o.info_v1 = true;
        break;
      case OPT_DELAY:
        if (!sim_parse_u64(optarg, 10000000, &v)) return bad("--delay-us", optarg);
        o.delay_us = v;
        break;
      case OPT_DROP:
      case OPT_DUPLICATE:
      case OPT_REORDER:
      case OPT_STALE_TAG:
      case OPT_WRONG_HANDLE:
      case OPT_RELOGON:
      case OPT_PREPOP_DROP: {
        double p = 0;
        if (!sim_parse_probability(optarg, &p)) return bad("probability", optarg);
        double* field[] = {
            &o.drop,    &o.duplicate,           &o.reorder, &o.stale_tag, &o.wrong_handle,
            &o.relogon, &o.prepop_drop_fragment};
        *field[c - OPT_DROP] = p;
        break;
      }
      case OPT_PREPOP_IGNORE:
        if (!sim_parse_u64(optarg, UINT64_MAX, &v)) return bad("--prepop-ignore", optarg);
        o.prepop_ignore = v;
        break;
      case OPT_SEED:
        if (!sim_parse_u64(optarg, UINT64_MAX, &v)) return bad("--seed", optarg);
        o.seed = v;
        break;
      case OPT_STATS:
        o.stats_path = optarg;
        break;
      case OPT_READY:
        o.ready_path = optarg;
        break;
      case OPT_TRAFFIC:
        o.traffic_path = optarg;
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
  if (o.images.empty()) return bad("command line", "at least one --image is needed");
  return 0;
}

bool open_images(server& s) {
  for (const auto& [id, path] : s.opt.images) {
    image im;
    im.vdisk_id = id;
    im.path = path;
    im.fd.reset(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!im.fd || fstat(im.fd.get(), &st) != 0) {
      std::fprintf(stderr, "tarn-sim-server: cannot open %s: %s\n", path.c_str(),
                   std::strerror(errno));
      return false;
    }
    im.size = static_cast<uint64_t>(st.st_size);
    s.images.push_back(std::move(im));
  }
  return true;
}

const image* find_image(const server& s, uint32_t vdisk_id) {
  for (const auto& im : s.images)
    if (im.vdisk_id == vdisk_id) return &im;
  return nullptr;
}

unique_fd bind_udp(const std::string& ip, uint16_t port) {
  unique_fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return fd;
  // Bursts of MIO fragments from many clients: leave the kernel room to queue.
  int buf = 4 << 20;
  setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fd.reset();
  return fd;
}

void transmit(int fd, const sockaddr_in& to, const std::vector<uint8_t>& m) {
  // A full socket buffer loses the datagram as the network would; the client
  // retries.
  sendto(fd, m.data(), m.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// Every reply datagram passes here, so drops and duplicates apply to session
// replies and read replies alike.
void emit(server& s, int fd, const sockaddr_in& to, const std::vector<uint8_t>& m) {
  if (chance(s, s.opt.drop)) {
    s.faults.dropped++;
    return;
  }
  int copies = 1;
  if (chance(s, s.opt.duplicate)) {
    s.faults.duplicated++;
    copies = 2;
  }
  for (int i = 0; i < copies; i++) {
    if (s.opt.delay_us == 0) {
      transmit(fd, to, m);
    } else {
      s.delayed.push_back({now_us() + static_cast<int64_t>(s.opt.delay_us), fd, to, m, {}, false});
    }
  }
}

void mio_done(server& s, const std::string& client, bool high_bit) {
  client_stats& cs = s.clients[client];
  if (cs.mio_in_flight > 0) cs.mio_in_flight--;
  if (high_bit && cs.high_bit_in_flight > 0) cs.high_bit_in_flight--;
}

void flush_delayed(server& s) {
  int64_t now = now_us();
  while (!s.delayed.empty() && s.delayed.front().due_us <= now) {
    const outgoing& o = s.delayed.front();
    if (o.fd < 0) {
      mio_done(s, o.client, o.high_bit);
    } else {
      transmit(o.fd, o.to, o.bytes);
    }
    s.delayed.pop_front();
  }
}

// Bytes of the vDisk seen from protocol offset `offset`: zeros before the
// vDisk's first byte and past its end.
void read_disk(const image& im, uint64_t offset, uint8_t* out, size_t length) {
  std::memset(out, 0, length);
  uint64_t start = std::max(offset, SIM_DISK_BASE);
  uint64_t end = std::min(offset + length, im.size + SIM_DISK_BASE);
  size_t done = 0;
  while (start + done < end) {
    ssize_t n = pread(im.fd.get(), out + (start - offset) + done, end - start - done,
                      static_cast<off_t>(start - SIM_DISK_BASE + done));
    if (n <= 0) break;  // a file shrunk under us reads as zeros
    done += static_cast<size_t>(n);
  }
}

// A reply that starts as a copy of the request's header, so that the opaque
// header bytes travel back unchanged.
std::vector<uint8_t> reply_for(const uint8_t* req, uint32_t opcode, size_t size) {
  std::vector<uint8_t> m(size);
  std::memcpy(m.data(), req, SIM_HEADER_SIZE);
  sim_put32(m.data(), 0, opcode);
  return m;
}

session& new_session(server& s, const std::string& ip) {
  uint32_t n = ++s.session_count;
  session se;
  se.connection = CONNECTION_HANDLE_BASE + n;
  se.disk = DISK_HANDLE_BASE + n;
  se.vdisk_id = s.images.front().vdisk_id;
  se.client_ip = ip;
  s.latest_session[ip] = se.connection;
  s.clients[ip].logins++;
  return s.sessions[se.connection] = se;
}

// The session a session message belongs to: by its connection handle, else
// the client's newest login (early messages carry no handle yet).
session* find_session(server& s, const uint8_t* req, const std::string& ip) {
  auto it = s.sessions.find(sim_get32(req, SIM_OFF_CONNECTION_HANDLE));
  if (it != s.sessions.end()) return &it->second;
  auto latest = s.latest_session.find(ip);
  if (latest == s.latest_session.end()) return nullptr;
  it = s.sessions.find(latest->second);
  return it == s.sessions.end() ? nullptr : &it->second;
}

void select_vdisk(server& s, session* se, uint32_t wanted) {
  if (se != nullptr && find_image(s, wanted) != nullptr) se->vdisk_id = wanted;
}

uint64_t sectors_of(const image& im) {
  return (im.size + SIM_SECTOR - 1) / SIM_SECTOR;
}

void put_info(server& s, uint8_t* m, const image& im) {
  uint64_t sectors = sectors_of(im);
  sim_put32(m, SIM_OFF_INFO_SECTORS, static_cast<uint32_t>(sectors));
  sim_put32(m, SIM_OFF_INFO_SECTORS + 4, static_cast<uint32_t>(sectors >> 32));
  sim_put32(m, SIM_OFF_INFO_WRITE_CACHE, s.opt.write_cache_type);
  sim_put32(m, SIM_OFF_INFO_KEY_SUFFIX, s.opt.key_suffix);
  std::memcpy(m + SIM_OFF_INFO_GUID, s.opt.guid, SIM_GUID_SIZE);
}

std::vector<uint8_t> uefi_service_reply(server& s, const uint8_t* req, const session& se) {
  const image& im = *find_image(s, se.vdisk_id);
  std::vector<uint8_t> m = reply_for(req, LS_UEFI_SERVICE_TLV_REPLY_CODE, SIM_HEADER_SIZE);
  sim_put32(m.data(), SIM_OFF_CONNECTION_HANDLE, se.connection);
  uint8_t params[SIM_TLV_VDISK_PARAMS_SIZE] = {};
  uint64_t sectors = sectors_of(im);
  sim_put32(params, 2, se.disk);
  sim_put32(params, 10, static_cast<uint32_t>(sectors));
  sim_put32(params, 14, static_cast<uint32_t>(sectors >> 32));
  sim_put32(params, 18, s.opt.write_cache_type);
  sim_tlv_append(m, SIM_TLV_VDISK_PARAMS, params, sizeof params);
  sim_tlv_append32(m, SIM_TLV_MTU, s.opt.mtu);
  sim_tlv_append32(m, SIM_TLV_BURST, s.opt.burst);
  sim_tlv_append32(m, SIM_TLV_CONNECTION, se.connection);
  uint8_t identity[SIM_TLV_IDENTITY_SIZE] = {};
  sim_put32(identity, 4, s.opt.key_suffix);
  std::memcpy(identity + 8, s.opt.guid, SIM_GUID_SIZE);
  sim_tlv_append(m, SIM_TLV_IDENTITY, identity, sizeof identity);
  return m;
}

// The session an I/O request names, or null when its handles are not those
// of a live login. Stale requests are dropped unanswered: a client that
// missed its relogon times out and logs in again, as it would after a server
// restart.
const session* io_session(server& s, uint32_t connection, uint32_t disk) {
  auto it = s.sessions.find(connection);
  if (it == s.sessions.end() || it->second.disk != disk) {
    s.rejected["stale_handle"]++;
    return nullptr;
  }
  return &it->second;
}

void serve_ext(server& s, int fd, const sockaddr_in& from, const uint8_t* req, size_t len) {
  if (len < SIM_EXT_HEADER_SIZE) {
    s.rejected["malformed"]++;
    return;
  }
  const session* se =
      io_session(s, sim_get32(req, SIM_OFF_CONNECTION_HANDLE), sim_get32(req, SIM_OFF_EXT_DISK));
  if (se == nullptr) return;
  uint16_t length = sim_get16(req, SIM_OFF_EXT_LENGTH);
  if (SIM_EXT_HEADER_SIZE + length > SIM_MAX_UDP_PAYLOAD) {
    s.rejected["oversize"]++;
    return;
  }
  std::vector<uint8_t> m(SIM_EXT_HEADER_SIZE + length);
  std::memcpy(m.data(), req, SIM_EXT_HEADER_SIZE);
  sim_put32(m.data(), 0, IOS_READ_EXT_REPLY_CODE);
  read_disk(*find_image(s, se->vdisk_id), sim_get_offset(req, SIM_OFF_EXT_OFFSET_HI),
            m.data() + SIM_EXT_HEADER_SIZE, length);
  if (chance(s, s.opt.stale_tag)) {
    s.faults.stale_tag++;
    m[SIM_OFF_TAG] = static_cast<uint8_t>(m[SIM_OFF_TAG] + 1);
  }
  if (chance(s, s.opt.wrong_handle)) {
    s.faults.wrong_handle++;
    sim_put32(m.data(), SIM_OFF_CONNECTION_HANDLE, se->connection ^ WRONG_HANDLE_FLIP);
  }
  client_stats& cs = s.clients[sim_ip_text(from)];
  cs.reads++;
  cs.data_bytes += length;
  s.data_bytes += length;
  emit(s, fd, from, m);
}

void serve_mio(server& s, int fd, const sockaddr_in& from, const uint8_t* req, size_t len) {
  if (len < SIM_MIO_REQUEST_SIZE) {
    s.rejected["malformed"]++;
    return;
  }
  const session* se =
      io_session(s, sim_get32(req, SIM_OFF_CONNECTION_HANDLE), sim_get32(req, SIM_OFF_MIO_DISK));
  if (se == nullptr) return;
  uint16_t length = sim_get16(req, SIM_OFF_MIO_LENGTH);
  if (length == 0) {
    // No fragment could describe it; nothing a client should send.
    s.rejected["malformed"]++;
    return;
  }
  if (chance(s, s.opt.relogon)) {
    // What the daemon sends a client it wants to see log in again.
    s.faults.relogon++;
    std::vector<uint8_t> m(SIM_MIO_HEADER_SIZE);
    std::memcpy(m.data(), req, SIM_OFF_MIO_OFFSET_HI);
    sim_put32(m.data(), 0, IOS_READ_MIO_REPLY_CODE);
    sim_put32(m.data(), SIM_OFF_CONNECTION_HANDLE,
              sim_get32(req, SIM_OFF_CONNECTION_HANDLE) | SIM_RELOGON_FLAG);
    m[SIM_OFF_MIO_FLAGS] = 0xFF;
    m[SIM_OFF_MIO_FLAGS + 1] = 0xFF;
    emit(s, fd, from, m);
    return;
  }
  if ((req[SIM_OFF_MIO_THREAD] & THREAD_ID_HIGH_BIT) &&
      s.faults.prepop_ignored < s.opt.prepop_ignore) {
    s.faults.prepop_ignored++;
    return;
  }
  std::vector<uint8_t> data(length);
  read_disk(*find_image(s, se->vdisk_id), sim_get_offset(req, SIM_OFF_MIO_OFFSET_HI), data.data(),
            length);
  uint32_t connection = sim_get32(req, SIM_OFF_CONNECTION_HANDLE);
  if (chance(s, s.opt.wrong_handle)) {
    s.faults.wrong_handle++;
    connection ^= WRONG_HANDLE_FLIP;
  }
  size_t room = sim_fragment_room(s.opt.mtu);
  size_t count = sim_fragment_count(length, s.opt.mtu);
  std::vector<std::vector<uint8_t>> fragments;
  for (size_t i = 0; i < count; i++) {
    size_t off = i * room;
    size_t flen = std::min(room, static_cast<size_t>(length) - off);
    std::vector<uint8_t> m(SIM_MIO_HEADER_SIZE + flen);
    std::memcpy(m.data(), req, SIM_MIO_ECHO_END);
    sim_put32(m.data(), 0, IOS_READ_MIO_REPLY_CODE);
    sim_put32(m.data(), SIM_OFF_CONNECTION_HANDLE, connection);
    sim_put16(m.data(), SIM_OFF_FRAG_OFFSET, static_cast<uint16_t>(off));
    sim_put16(m.data(), SIM_OFF_FRAG_LENGTH, static_cast<uint16_t>(flen));
    sim_put16(m.data(), SIM_OFF_FRAG_NUMBER, static_cast<uint16_t>(i + 1));
    sim_put16(m.data(), SIM_OFF_FRAG_COUNT, static_cast<uint16_t>(count));
    std::memcpy(m.data() + SIM_MIO_HEADER_SIZE, data.data() + off, flen);
    fragments.push_back(std::move(m));
  }
  if (fragments.size() > 1 && chance(s, s.opt.reorder)) {
    s.faults.reordered++;
    std::shuffle(fragments.begin(), fragments.end(), s.rng);
  }
  const std::string client = sim_ip_text(from);
  client_stats& cs = s.clients[client];
  cs.reads++;
  cs.data_bytes += length;
  s.data_bytes += length;
  const uint8_t thread_id = req[SIM_OFF_MIO_THREAD];
  const bool high_bit = (thread_id & THREAD_ID_HIGH_BIT) != 0;
  const uint64_t offset = sim_get_offset(req, SIM_OFF_MIO_OFFSET_HI);
  if (sim_get32(req, SIM_OFF_MIO_REQUEST_ID) >= PROXY_REQUEST_ID_BASE && !high_bit) {
    cs.proxy_ids_without_high_bit++;
  }
  cs.mio_max_in_flight = std::max(cs.mio_max_in_flight, ++cs.mio_in_flight);
  if (high_bit) {
    cs.high_bit_mios++;
    cs.high_bit_data_bytes += length;
    cs.high_bit_max_in_flight = std::max(cs.high_bit_max_in_flight, ++cs.high_bit_in_flight);
    if (offset >= cs.high_bit_last_offset) {
      cs.high_bit_last_offset = offset;
      cs.high_bit_last_length = length;
    }
  }
  for (const auto& m : fragments) {
    if (high_bit && chance(s, s.opt.prepop_drop_fragment)) {
      s.faults.prepop_fragments_dropped++;
      continue;
    }
    emit(s, fd, from, m);
  }
  // The read stays in flight until its last fragment has left.
  if (s.opt.delay_us == 0) {
    mio_done(s, client, high_bit);
  } else {
    outgoing done;
    done.due_us = now_us() + static_cast<int64_t>(s.opt.delay_us);
    done.client = client;
    done.high_bit = high_bit;
    s.delayed.push_back(std::move(done));
  }
}

void handle_request(server& s, int fd, const sockaddr_in& from, const uint8_t* req, size_t len) {
  const std::string ip = sim_ip_text(from);
  if (len < SIM_HEADER_SIZE) {
    s.rejected["malformed"]++;
    return;
  }
  s.clients[ip].requests++;
  uint32_t opcode = sim_get32(req, 0);
  std::vector<uint8_t> m;
  auto count = [&](const char* kind) { s.requests[kind]++; };
  switch (opcode) {
    case LS_LOGIN_PORT_REQUEST_CODE:
      count("login_port");
      m = reply_for(req, LS_LOGIN_PORT_REPLY_CODE, SIM_PORT_REPLY_SIZE);
      sim_put32(m.data(), SIM_OFF_BURST, s.opt.burst);
      sim_put32(m.data(), SIM_OFF_MTU, s.opt.mtu);
      break;
    case LS_IO_PORT_REQUEST_CODE:
      count("io_port");
      m = reply_for(req, LS_IO_PORT_REPLY_CODE, SIM_PORT_REPLY_SIZE);
      sim_put32(m.data(), SIM_OFF_MTU, s.opt.mtu);
      break;
    case LS_LOGIN_PORT_TLV_REQUEST_CODE:
      count("login_port_tlv");
      m = reply_for(req, LS_LOGIN_PORT_TLV_REPLY_CODE, SIM_HEADER_SIZE);
      sim_tlv_append32(m, SIM_TLV_MTU, s.opt.mtu);
      sim_tlv_append32(m, SIM_TLV_BURST, s.opt.burst);
      break;
    case LS_LOGIN_REQUEST_CODE:
    case LS_LOGIN_REQUEST_CODE_V2: {
      count("login");
      const session& se = new_session(s, ip);
      m = reply_for(req, LS_LOGIN_REPLY_CODE, SIM_LOGIN_REPLY_SIZE);
      sim_put32(m.data(), SIM_OFF_CONNECTION_HANDLE, se.connection);
      sim_put32(m.data(), SIM_OFF_LOGIN_CONNECTION, se.connection);
      sim_put32(m.data(), SIM_OFF_LOGIN_DISK, se.disk);
      break;
    }
    case LS_UEFI_LOGIN_REQUEST_CODE: {
      count("uefi_login");
      session& se = new_session(s, ip);
      if (len >= SIM_OFF_UEFI_WANT_VDISK + 4)
        select_vdisk(s, &se, sim_get32(req, SIM_OFF_UEFI_WANT_VDISK));
      m = reply_for(req, LS_UEFI_LOGIN_REPLY_CODE, SIM_UEFI_LOGIN_REPLY_SIZE);
      sim_put32(m.data(), SIM_OFF_CONNECTION_HANDLE, se.connection);
      sim_put32(m.data(), SIM_OFF_UEFI_VDISK, se.vdisk_id);
      sim_put32(m.data(), SIM_OFF_UEFI_DISK, se.disk);
      break;
    }
    case LS_SELECT_DISK_REQUEST_CODE: {
      count("select_disk");
      session* se = find_session(s, req, ip);
      if (se == nullptr) {
        s.rejected["no_session"]++;
        return;
      }
      if (len >= SIM_VDISK_REQUEST_SIZE) select_vdisk(s, se, sim_get32(req, SIM_OFF_REQUEST_VDISK));
      m = reply_for(req, LS_IO_SELECT_REPLY_CODE, SIM_SELECT_REPLY_SIZE);
      sim_put32(m.data(), SIM_OFF_CONNECTION_HANDLE, se->connection);
      sim_put32(m.data(), SIM_OFF_SELECT_VDISK, se->vdisk_id);
      break;
    }
    case LS_SERVICE_REQUEST_CODE:
      // Acknowledged only; its vDisk was settled by the select.
      count("service");
      m = reply_for(req, LS_OPTIONS_REPLY_CODE, SIM_VDISK_REQUEST_SIZE);
      break;
    case LS_UEFI_SERVICE_TLV_REQUEST_CODE: {
      count("uefi_service_tlv");
      session* se = find_session(s, req, ip);
      auto items = sim_tlv_parse(req, len);
      if (se == nullptr || !items) {
        s.rejected[se == nullptr ? "no_session" : "malformed"]++;
        return;
      }
      for (const auto& t : *items)
        if (t.type == SIM_TLV_VDISK_ID && t.length == 4) select_vdisk(s, se, sim_get32(t.value, 0));
      m = uefi_service_reply(s, req, *se);
      break;
    }
    case LS_GET_VDISK_INFO_REQUEST_CODE_V2:
    case LS_GET_VDISK_INFO_REQUEST_CODE: {
      bool v2 = opcode == LS_GET_VDISK_INFO_REQUEST_CODE_V2;
      count(v2 ? "vdisk_info_v2" : "vdisk_info");
      session* se = find_session(s, req, ip);
      if (se == nullptr) {
        s.rejected["no_session"]++;
        return;
      }
      bool answer_v2 = v2 && !s.opt.info_v1;
      m = reply_for(req, answer_v2 ? LS_GET_VDISK_INFO_REPLY_CODE_V2 : LS_GET_VDISK_INFO_REPLY_CODE,
                    answer_v2 ? SIM_INFO_REPLY_SIZE : SIM_INFO_V1_REPLY_SIZE);
      sim_put32(m.data(), SIM_OFF_CONNECTION_HANDLE, se->connection);
      // The V1 layout is not known to us beyond its opcode; the size rides
      // along where V2 has it, which no reader relies on.
      if (answer_v2) {
        put_info(s, m.data(), *find_image(s, se->vdisk_id));
      } else {
        uint64_t sectors = sectors_of(*find_image(s, se->vdisk_id));
        sim_put32(m.data(), SIM_OFF_INFO_SECTORS, static_cast<uint32_t>(sectors));
        sim_put32(m.data(), SIM_OFF_INFO_SECTORS + 4, static_cast<uint32_t>(sectors >> 32));
      }
      break;
    }
    case LS_HEARTBEAT_REQUEST_CODE:
      count("heartbeat");
      m = reply_for(req, LS_HEARTBEAT_REPLY_CODE, SIM_HEARTBEAT_SIZE);
      break;
    case IOS_READ_EXT_REQUEST_CODE:
      count("read_ext");
      serve_ext(s, fd, from, req, len);
      return;
    case IOS_READ_MIO_REQUEST_CODE:
      count("read_mio");
      serve_mio(s, fd, from, req, len);
      return;
    default:
      count("other");
      return;
  }
  emit(s, fd, from, m);
}

void drain(server& s, int fd) {
  static uint8_t buf[65536];
  for (int i = 0; i < DRAIN_LIMIT; i++) {
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    ssize_t n =
        recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fl);
    if (n < 0) return;
    handle_request(s, fd, from, buf, static_cast<size_t>(n));
  }
}

using json_ptr = std::unique_ptr<json_object, decltype(&json_object_put)>;

void add_u64(json_object* o, const char* key, uint64_t v) {
  json_object_object_add(o, key, json_object_new_int64(static_cast<int64_t>(v)));
}

std::string stats_json(const server& s) {
  json_ptr root(json_object_new_object(), &json_object_put);
  json_object* requests = json_object_new_object();
  for (const auto& [kind, n] : s.requests) add_u64(requests, kind.c_str(), n);
  json_object_object_add(root.get(), "requests", requests);
  json_object* rejected = json_object_new_object();
  for (const auto& [kind, n] : s.rejected) add_u64(rejected, kind.c_str(), n);
  json_object_object_add(root.get(), "rejected", rejected);
  add_u64(root.get(), "data_bytes", s.data_bytes);
  add_u64(root.get(), "sessions", s.session_count);
  json_object* faults = json_object_new_object();
  add_u64(faults, "dropped", s.faults.dropped);
  add_u64(faults, "duplicated", s.faults.duplicated);
  add_u64(faults, "reordered", s.faults.reordered);
  add_u64(faults, "stale_tag", s.faults.stale_tag);
  add_u64(faults, "wrong_handle", s.faults.wrong_handle);
  add_u64(faults, "relogon", s.faults.relogon);
  add_u64(faults, "prepop_fragments_dropped", s.faults.prepop_fragments_dropped);
  add_u64(faults, "prepop_ignored", s.faults.prepop_ignored);
  json_object_object_add(root.get(), "faults", faults);
  json_object* clients = json_object_new_object();
  for (const auto& [ip, c] : s.clients) {
    json_object* o = json_object_new_object();
    add_u64(o, "requests", c.requests);
    add_u64(o, "logins", c.logins);
    add_u64(o, "reads", c.reads);
    add_u64(o, "data_bytes", c.data_bytes);
    add_u64(o, "high_bit_mios", c.high_bit_mios);
    add_u64(o, "high_bit_data_bytes", c.high_bit_data_bytes);
    add_u64(o, "high_bit_max_in_flight", c.high_bit_max_in_flight);
    add_u64(o, "mio_max_in_flight", c.mio_max_in_flight);
    add_u64(o, "proxy_ids_without_high_bit", c.proxy_ids_without_high_bit);
    add_u64(o, "high_bit_last_offset", c.high_bit_last_offset);
    add_u64(o, "high_bit_last_length", c.high_bit_last_length);
    json_object_object_add(clients, ip.c_str(), o);
  }
  json_object_object_add(root.get(), "clients", clients);
  return std::string(json_object_to_json_string_ext(root.get(), JSON_C_TO_STRING_PRETTY)) + "\n";
}

// Written beside the target and renamed over it, so a reader never sees half
// a document.
void publish_stats(const server& s) {
  std::string text = stats_json(s);
  if (s.opt.stats_path.empty()) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    return;
  }
  std::string tmp = s.opt.stats_path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << text;
    if (!out) {
      std::fprintf(stderr, "tarn-sim-server: cannot write %s\n", tmp.c_str());
      return;
    }
  }
  if (rename(tmp.c_str(), s.opt.stats_path.c_str()) != 0)
    std::fprintf(stderr, "tarn-sim-server: cannot rename %s: %s\n", tmp.c_str(),
                 std::strerror(errno));
}

inline constexpr int64_t TRAFFIC_INTERVAL_US = 100000;

// One line per interval that has ended, so a chart of the data served over
// time needs no polling from outside.
void log_traffic(server& s) {
  if (s.traffic == nullptr) return;
  const int64_t now = now_us();
  bool wrote = false;
  while (now >= s.traffic_next_us) {
    std::fprintf(s.traffic, "%lld %llu %llu\n",
                 static_cast<long long>((s.traffic_next_us - s.traffic_start_us) / 1000),
                 static_cast<unsigned long long>(s.data_bytes - s.traffic_last_bytes),
                 static_cast<unsigned long long>(s.data_bytes));
    s.traffic_last_bytes = s.data_bytes;
    s.traffic_next_us += TRAFFIC_INTERVAL_US;
    wrote = true;
  }
  if (wrote) std::fflush(s.traffic);
}

int run(server& s) {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGUSR1);
  if (sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) return EXIT_RUNTIME;
  s.signal_fd.reset(signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));
  s.login_fd = bind_udp(s.opt.bind_ip, s.opt.login_port);
  if (!s.login_fd) {
    std::fprintf(stderr, "tarn-sim-server: cannot bind %s:%u: %s\n", s.opt.bind_ip.c_str(),
                 s.opt.login_port, std::strerror(errno));
    return EXIT_RUNTIME;
  }
  s.io_fd = bind_udp(s.opt.bind_ip, s.opt.io_port);
  if (!s.io_fd || !s.signal_fd) {
    std::fprintf(stderr, "tarn-sim-server: cannot bind %s:%u: %s\n", s.opt.bind_ip.c_str(),
                 s.opt.io_port, std::strerror(errno));
    return EXIT_RUNTIME;
  }
  if (!s.opt.traffic_path.empty()) {
    s.traffic = std::fopen(s.opt.traffic_path.c_str(), "we");
    if (s.traffic == nullptr) {
      std::fprintf(stderr, "tarn-sim-server: cannot write %s: %s\n", s.opt.traffic_path.c_str(),
                   std::strerror(errno));
      return EXIT_RUNTIME;
    }
    s.traffic_start_us = now_us();
    s.traffic_next_us = s.traffic_start_us + TRAFFIC_INTERVAL_US;
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    std::fprintf(s.traffic, "# start %lld ms since the epoch; ms bytes total\n",
                 static_cast<long long>(wall.tv_sec) * 1000 + wall.tv_nsec / 1000000);
    std::fflush(s.traffic);
  }
  if (!s.opt.ready_path.empty()) {
    std::ofstream ready(s.opt.ready_path, std::ios::trunc);
    ready << getpid() << "\n";
    if (!ready) {
      std::fprintf(stderr, "tarn-sim-server: cannot write %s\n", s.opt.ready_path.c_str());
      return EXIT_RUNTIME;
    }
  }
  pollfd fds[3] = {
      {s.login_fd.get(), POLLIN, 0}, {s.io_fd.get(), POLLIN, 0}, {s.signal_fd.get(), POLLIN, 0}};
  for (;;) {
    timespec wait{};
    timespec* timeout = nullptr;
    if (!s.delayed.empty()) {
      int64_t left = std::max<int64_t>(0, s.delayed.front().due_us - now_us());
      wait.tv_sec = left / 1000000;
      wait.tv_nsec = (left % 1000000) * 1000;
      timeout = &wait;
    }
    if (s.traffic != nullptr) {
      int64_t left = std::max<int64_t>(0, s.traffic_next_us - now_us());
      if (timeout == nullptr ||
          left < static_cast<int64_t>(wait.tv_sec) * 1000000 + wait.tv_nsec / 1000) {
        wait.tv_sec = left / 1000000;
        wait.tv_nsec = (left % 1000000) * 1000;
        timeout = &wait;
      }
    }
    int n = ppoll(fds, 3, timeout, nullptr);
    if (n < 0 && errno != EINTR) {
      std::fprintf(stderr, "tarn-sim-server: poll: %s\n", std::strerror(errno));
      return EXIT_RUNTIME;
    }
    flush_delayed(s);
    log_traffic(s);
    if (n <= 0) continue;
    if (fds[2].revents & POLLIN) {
      signalfd_siginfo si{};
      while (read(s.signal_fd.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        publish_stats(s);
        if (si.ssi_signo != SIGUSR1) return 0;
      }
    }
    if (fds[0].revents & POLLIN) drain(s, s.login_fd.get());
    if (fds[1].revents & POLLIN) drain(s, s.io_fd.get());
  }
}

}  // namespace

int main(int argc, char** argv) {
  server s;
  int rc = parse_options(argc, argv, s.opt);
  if (rc != 0) return rc < 0 ? 0 : rc;
  if (!open_images(s)) return EXIT_RUNTIME;
  s.rng.seed(s.opt.seed);
  return run(s);
}
