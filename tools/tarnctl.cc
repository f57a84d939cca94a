// tarnctl: the admin CLI of tarnproxy. It sends one JSON-RPC request over the
// daemon's control socket, reads the reply until the daemon closes the
// connection and prints it for people (tables, units) or, with --json, as the
// daemon returned it.
//
// `top` is the exception: it asks again every interval and draws what changed.
//
// Exit status: 0 on success, 1 when the daemon answers with a JSON-RPC error,
// 2 on a usage error, a transport error, a truncated reply or a timeout.
#include <errno.h>
#include <fcntl.h>
#include <json-c/json.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* DEFAULT_SOCKET = "/opt/vextal/tarnproxy/socket/tarnproxy";
constexpr double DEFAULT_TIMEOUT_S = 10.0;
constexpr int REQUEST_ID = 1;
// Replies are small; this only stops a runaway peer from exhausting memory.
constexpr size_t MAX_REPLY = 64u << 20;

constexpr int EXIT_OK = 0;
constexpr int EXIT_RPC_ERROR = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_TRANSPORT = 2;

constexpr const char* USAGE =
    "usage: tarnctl [--json] [--socket PATH] [--timeout SECONDS] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  configure-site FILE|-    apply a site document (its \"params\" object or a\n"
    "                           whole configure_site request) read from FILE or stdin\n"
    "  remove-site UUID         remove a site and its servers and clients\n"
    "  status                   list sites, servers and clients\n"
    "  prepop                   show prepopulation progress of the vDisks\n"
    "  metrics                  show traffic and cache counters\n"
    "  top [--interval SECONDS] [--count N]\n"
    "                           rates per client and vDisk, refreshed every\n"
    "                           SECONDS (default 1, at least 0.1); q quits\n"
    "  export-boot-set SITE VDISK FILE|-\n"
    "                           write the vDisk's boot set to FILE or stdout\n"
    "  import-boot-set SITE VDISK FILE|-\n"
    "                           replace the vDisk's boot set by FILE or stdin\n"
    "  call METHOD [PARAMS]     send any method with PARAMS as JSON\n"
    "\n"
    "options:\n"
    "  --json                   print the result exactly as the daemon returned it\n"
    "  --socket PATH            control socket (default /opt/vextal/tarnproxy/socket/tarnproxy)\n"
    "  --timeout SECONDS        give up after SECONDS (default 10)\n"
    "  --interval SECONDS       top: refresh every SECONDS\n"
    "  --count N                top: stop after N refreshes\n";

struct json_deleter {
  void operator()(json_object* o) const { json_object_put(o); }
};
using json_ptr = std::unique_ptr<json_object, json_deleter>;

struct options {
  bool json = false;
  std::string socket_path = DEFAULT_SOCKET;
  double timeout_s = DEFAULT_TIMEOUT_S;
  double interval_s = 1.0;  // top only
  int64_t count = 0;        // top only; 0: until asked to stop
  bool top_options = false;
  std::vector<std::string> args;  // command and its arguments
};

int usage_error(const std::string& why) {
  std::cerr << "tarnctl: " << why << "\n" << USAGE;
  return EXIT_USAGE;
}

bool parse_timeout(const std::string& text, double* out, double least = 0) {
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0' || !(value > 0) || value < least ||
      value > 86400)
    return false;
  *out = value;
  return true;
}

bool parse_count(const std::string& text, int64_t* out) {
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value <= 0) return false;
  *out = value;
  return true;
}

// Returns -1 when parsed, else the exit status of the usage error.
int parse_options(int argc, char** argv, options* opts) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--json") {
      opts->json = true;
    } else if (arg == "--socket" || arg == "--timeout") {
      if (i + 1 >= argc) return usage_error(arg + " needs a value");
      std::string value = argv[++i];
      if (arg == "--socket") {
        opts->socket_path = value;
      } else if (!parse_timeout(value, &opts->timeout_s)) {
        return usage_error("invalid timeout: " + value);
      }
    } else if (arg == "--interval" || arg == "--count") {
      if (i + 1 >= argc) return usage_error(arg + " needs a value");
      std::string value = argv[++i];
      opts->top_options = true;
      // Faster than ten times a second would only load the daemon.
      if (arg == "--interval" ? !parse_timeout(value, &opts->interval_s, 0.1)
                              : !parse_count(value, &opts->count))
        return usage_error("invalid " + arg.substr(2) + ": " + value);
    } else if (arg.rfind("--socket=", 0) == 0) {
      opts->socket_path = arg.substr(9);
    } else if (arg.rfind("--timeout=", 0) == 0) {
      if (!parse_timeout(arg.substr(10), &opts->timeout_s))
        return usage_error("invalid timeout: " + arg.substr(10));
    } else if (arg == "-h" || arg == "--help") {
      std::cout << USAGE;
      return EXIT_OK;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      return usage_error("unknown option: " + arg);
    } else {
      opts->args.push_back(arg);
    }
  }
  if (opts->args.empty()) return usage_error("no command given");
  return -1;
}

// ---- transport ----------------------------------------------------------

class fd_holder {
 public:
  explicit fd_holder(int fd) : fd_(fd) {}
  ~fd_holder() {
    if (fd_ >= 0) close(fd_);
  }
  fd_holder(const fd_holder&) = delete;
  fd_holder& operator=(const fd_holder&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

using clock_type = std::chrono::steady_clock;

int remaining_ms(clock_type::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

// Waits for `events` on fd until the deadline; false on timeout or error.
// A stop asked for by signal while top runs; its number, else 0.
volatile sig_atomic_t top_signal = 0;

void note_signal(int sig) {
  top_signal = sig;
}

// While top runs its stop signals are blocked but during waits (this mask),
// so that a stop is never lost and never waits for a slow reply.
const sigset_t* stop_open_mask = nullptr;

// Waits for `events` on fd until the deadline; false on timeout, error or a
// stop signal.
bool wait_fd(int fd, short events, clock_type::time_point deadline) {
  for (;;) {
    struct pollfd p = {fd, events, 0};
    const int ms = remaining_ms(deadline);
    struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    int n = ppoll(&p, 1, &left, stop_open_mask);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR || top_signal != 0) return false;
  }
}

// Sends `request` and returns in `reply` everything read until the daemon
// closes. Prints the reason and returns false on a transport error or timeout.
bool exchange(const options& opts, const std::string& request, std::string* reply) {
  const auto deadline =
      clock_type::now() + std::chrono::microseconds(static_cast<int64_t>(opts.timeout_s * 1e6));
  const std::string& path = opts.socket_path;
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    std::cerr << "tarnctl: socket path too long or empty: " << path << "\n";
    return false;
  }
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);

  fd_holder fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) {
    int err = errno;
    std::cerr << "tarnctl: socket: " << std::strerror(err) << "\n";
    return false;
  }
  // A Unix connect blocks only while the listen backlog is full; the send
  // timeout bounds that wait.
  struct timeval tv {};
  tv.tv_sec = static_cast<time_t>(opts.timeout_s);
  tv.tv_usec = static_cast<suseconds_t>((opts.timeout_s - std::floor(opts.timeout_s)) * 1e6);
  setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    std::cerr << "tarnctl: cannot connect to " << path << ": " << std::strerror(err)
              << (err == ENOENT || err == ECONNREFUSED ? " (is tarnproxy running?)" : "") << "\n";
    return false;
  }
  if (fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) | O_NONBLOCK) != 0) {
    int err = errno;
    std::cerr << "tarnctl: fcntl: " << std::strerror(err) << "\n";
    return false;
  }

  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    int err = errno;
    if (n < 0 && (err == EAGAIN || err == EINTR)) {
      if (!wait_fd(fd.get(), POLLOUT, deadline)) {
        if (top_signal == 0) std::cerr << "tarnctl: timed out sending to " << path << "\n";
        return false;
      }
      continue;
    }
    // The daemon may close early (for example on a request it rejects
    // outright); whatever it answered is still read below.
    break;
  }

  char buffer[16384];
  for (;;) {
    ssize_t n = recv(fd.get(), buffer, sizeof buffer, 0);
    if (n > 0) {
      reply->append(buffer, static_cast<size_t>(n));
      if (reply->size() > MAX_REPLY) {
        std::cerr << "tarnctl: reply from " << path << " is too large\n";
        return false;
      }
      continue;
    }
    if (n == 0) return true;
    int err = errno;
    if (err == EAGAIN || err == EINTR) {
      if (!wait_fd(fd.get(), POLLIN, deadline)) {
        if (top_signal == 0)
          std::cerr << "tarnctl: no complete reply from " << path << " within " << opts.timeout_s
                    << " s\n";
        return false;
      }
      continue;
    }
    std::cerr << "tarnctl: reading from " << path << ": " << std::strerror(err) << "\n";
    return false;
  }
}

// The whole reply must be one complete JSON object (whitespace around it
// allowed); anything else means the reply was cut short or is not ours.
json_ptr parse_reply(const std::string& reply) {
  json_tokener* tok = json_tokener_new();
  if (tok == nullptr) return nullptr;
  json_ptr obj(json_tokener_parse_ex(tok, reply.data(), static_cast<int>(reply.size())));
  bool ok = obj != nullptr && json_tokener_get_error(tok) == json_tokener_success;
  size_t used = json_tokener_get_parse_end(tok);
  json_tokener_free(tok);
  if (!ok || !json_object_is_type(obj.get(), json_type_object)) return nullptr;
  for (size_t i = used; i < reply.size(); ++i)
    if (!std::isspace(static_cast<unsigned char>(reply[i]))) return nullptr;
  return obj;
}

// ---- formatting ---------------------------------------------------------

json_object* member(json_object* obj, const char* key) {
  json_object* value = nullptr;
  if (obj == nullptr || !json_object_object_get_ex(obj, key, &value)) return nullptr;
  return value;
}

std::string text_of(json_object* obj, const char* key) {
  json_object* value = member(obj, key);
  if (value == nullptr) return "";
  return json_object_get_string(value);
}

int64_t int_of(json_object* obj, const char* key) {
  json_object* value = member(obj, key);
  return value == nullptr ? 0 : json_object_get_int64(value);
}

std::string format_bytes(int64_t bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (std::fabs(value) >= 1024 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  char out[64];
  if (unit == 0)
    std::snprintf(out, sizeof out, "%" PRId64 " B", bytes);
  else
    std::snprintf(out, sizeof out, "%.1f %s", value, units[unit]);
  return out;
}

std::string format_ratio(int64_t part, int64_t whole) {
  if (whole <= 0) return "n/a";
  char out[32];
  std::snprintf(out, sizeof out, "%.1f%%",
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return out;
}

// A share (0..1) as a percentage; "-" when unknown.
std::string format_share(std::optional<double> share) {
  if (!share) return "-";
  char out[32];
  std::snprintf(out, sizeof out, "%.1f%%", 100.0 * *share);
  return out;
}

// A latency in microseconds, in the unit that keeps it short; "-" when unknown.
std::string format_us(std::optional<double> us) {
  if (!us) return "-";
  char out[32];
  if (*us < 1000)
    std::snprintf(out, sizeof out, "%.0f us", *us);
  else if (*us < 1e6)
    std::snprintf(out, sizeof out, "%.1f ms", *us / 1e3);
  else
    std::snprintf(out, sizeof out, "%.2f s", *us / 1e6);
  return out;
}

std::optional<double> number_of(json_object* obj, const char* key) {
  json_object* value = member(obj, key);
  if (value == nullptr) return std::nullopt;
  return json_object_get_double(value);
}

using table = std::vector<std::vector<std::string>>;

void print_table(const std::string& title, const table& rows, std::ostream& out = std::cout) {
  out << title << " (" << (rows.size() - 1) << ")\n";
  std::vector<size_t> widths;
  for (const auto& row : rows)
    for (size_t i = 0; i < row.size(); ++i) {
      if (widths.size() <= i) widths.push_back(0);
      widths[i] = std::max(widths[i], row[i].size());
    }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    out << "  " << line << "\n";
  }
}

void print_status(json_object* result) {
  table sites = {{"SITE UUID", "CACHE VDI"}};
  json_object* list = member(result, "sites");
  for (size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i) {
    json_object* s = json_object_array_get_idx(list, i);
    sites.push_back({text_of(s, "site_uuid"), text_of(s, "cache_vdi")});
  }
  table servers = {{"SERVER UUID", "ADDRESSES", "PORTS"}};
  list = member(result, "servers");
  for (size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i) {
    json_object* s = json_object_array_get_idx(list, i);
    std::string addresses;
    json_object* addrs = member(s, "addresses");
    for (size_t j = 0; addrs != nullptr && j < json_object_array_length(addrs); ++j) {
      if (j > 0) addresses += ",";
      addresses += json_object_get_string(json_object_array_get_idx(addrs, j));
    }
    servers.push_back({text_of(s, "uuid"), addresses.empty() ? "-" : addresses,
                       text_of(s, "first_port") + "-" + text_of(s, "last_port")});
  }
  table clients = {{"CLIENT UUID", "MAC", "INTERFACE", "VDISK KEY"}};
  list = member(result, "clients");
  for (size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i) {
    json_object* c = json_object_array_get_idx(list, i);
    std::string key = text_of(c, "vdisk_key");
    clients.push_back(
        {text_of(c, "uuid"), text_of(c, "mac"), text_of(c, "interface"), key.empty() ? "-" : key});
  }
  // What each client's latest boot (since its latest login) cost; all 0
  // before its first login.
  table boots = {{"CLIENT UUID", "SINCE LOGIN", "READS", "HIT RATIO", "FROM CACHE", "FROM SERVER",
                  "MISS WAIT"}};
  for (size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i) {
    json_object* c = json_object_array_get_idx(list, i);
    json_object* boot = member(c, "latest_boot");
    if (boot == nullptr) {
      boots.push_back({text_of(c, "uuid"), "-", "-", "-", "-", "-", "-"});
      continue;
    }
    char since[32];
    std::snprintf(since, sizeof since, "%.0f s", number_of(boot, "since_login_s").value_or(0));
    const int64_t reads = int_of(boot, "reads");
    boots.push_back({text_of(c, "uuid"), since, std::to_string(reads),
                     format_ratio(int_of(boot, "cache_hit_reads"), reads),
                     format_bytes(int_of(boot, "cache_bytes")),
                     format_bytes(int_of(boot, "server_bytes")),
                     format_us(number_of(boot, "miss_wait_us"))});
  }
  print_table("Sites", sites);
  std::cout << "\n";
  print_table("Servers", servers);
  std::cout << "\n";
  print_table("Clients", clients);
  std::cout << "\n";
  print_table("Latest boots", boots);
}

void print_prepop(json_object* result) {
  std::vector<json_object*> vdisks;
  if (json_object* all = member(result, "vdisks"); all != nullptr) {
    for (size_t i = 0; i < json_object_array_length(all); ++i)
      vdisks.push_back(json_object_array_get_idx(all, i));
  } else if (json_object* one = member(result, "vdisk"); one != nullptr) {
    vdisks.push_back(one);
  }
  table rows = {{"VDISK KEY", "SIZE", "PREPOPULATED", "PROGRESS", "BOOT SET", "CACHED", "CACHED %",
                 "EVICTED"}};
  for (json_object* v : vdisks) {
    int64_t size = int_of(v, "size");
    // The position starts at 512 and reaches size + 512 when complete.
    int64_t done = std::max<int64_t>(0, int_of(v, "complete") - 512);
    if (size > 0) done = std::min(done, size);
    // The share of the boot set's bytes that is cached.
    const int64_t boot = int_of(v, "boot_set_bytes");
    std::string boot_text = "-";
    if (boot > 0) {
      char percent[16];
      std::snprintf(percent, sizeof percent, "%.0f%%",
                    std::floor(100.0 * static_cast<double>(int_of(v, "boot_set_cached")) /
                               static_cast<double>(boot)));
      boot_text = percent;
    }
    // What the cache holds of the vDisk however it got there, and what the
    // cache manager evicted of it.
    json_object* cached = member(v, "cached_bytes");
    json_object* evicted = member(v, "evicted_bytes");
    rows.push_back({text_of(v, "vdisk_key"), size > 0 ? format_bytes(size) : "unknown",
                    format_bytes(done), size > 0 ? format_ratio(done, size) : "n/a", boot_text,
                    cached ? format_bytes(json_object_get_int64(cached)) : "-",
                    format_share(number_of(v, "cached_ratio")),
                    evicted ? format_bytes(json_object_get_int64(evicted)) : "-"});
  }
  print_table("vDisks", rows);
}

void print_metrics_object(json_object* m) {
  json_object* sent = member(m, "sent_metrics");
  std::cout << "  sent:          client " << format_bytes(int_of(sent, "client_sent_b"))
            << ", server " << format_bytes(int_of(sent, "server_sent_b")) << ", total "
            << format_bytes(int_of(sent, "total_sent_b")) << ", saved by proxy "
            << format_bytes(int_of(sent, "proxy_saved_b")) << "\n";
  int64_t total = int_of(m, "total_reads"), hits = int_of(m, "cache_hit_reads");
  std::cout << "  reads:         " << total << ", cache hits " << hits << " (hit ratio "
            << format_ratio(hits, total) << ")\n";
  const char* const kinds[][2] = {{"mio_metrics", "MIO reads:     "},
                                  {"ext_metrics", "extent reads:  "}};
  for (const auto& kind : kinds) {
    json_object* k = member(m, kind[0]);
    int64_t k_total = int_of(k, "total_reads"), k_hits = int_of(k, "cache_hit_reads");
    std::cout << "  " << kind[1] << k_total << ", cache hits " << k_hits << " (hit ratio "
              << format_ratio(k_hits, k_total) << "), latency " << int_of(k, "latency") << " ns\n";
  }
  std::cout << "  held reads:    " << int_of(m, "held_reads") << ", answered from the cache "
            << int_of(m, "held_answered_reads") << ", timed out and forwarded "
            << int_of(m, "held_timed_out_reads") << "\n";
  json_object* utilised = member(m, "cache_utilized_p");
  char percent[32];
  std::snprintf(percent, sizeof percent, "%.1f%%",
                utilised == nullptr ? 0.0 : json_object_get_double(utilised));
  std::cout << "  cache:         evicted " << format_bytes(int_of(m, "cache_evicted_b"))
            << ", utilised " << percent << "\n";
  json_object* latency = member(m, "read_latency");
  for (const char* kind : {"hit", "miss", "held"}) {
    json_object* h = member(latency, kind);
    std::string label = std::string(kind) + " latency:";
    std::cout << "  " << label << std::string(15 - label.size(), ' ');
    if (h == nullptr) {
      std::cout << "-\n";
      continue;
    }
    // The daemon reports 0 for an empty histogram; no reads is no latency.
    const int64_t n = int_of(h, "count");
    std::cout << "p50 " << (n > 0 ? format_us(number_of(h, "p50_us")) : "-") << ", p99 "
              << (n > 0 ? format_us(number_of(h, "p99_us")) : "-") << " (" << n << " reads)\n";
  }
}

void print_metrics(json_object* result) {
  std::cout << "Proxy\n";
  print_metrics_object(member(result, "server_metrics"));
  json_object* clients = member(result, "clients");
  for (size_t i = 0; clients != nullptr && i < json_object_array_length(clients); ++i) {
    json_object* c = json_object_array_get_idx(clients, i);
    std::cout << "\nClient " << text_of(c, "mac") << "\n";
    if (member(c, "uuid") != nullptr)
      std::cout << "  uuid:          " << text_of(c, "uuid") << "\n";
    print_metrics_object(c);
  }
}

// ---- commands -----------------------------------------------------------

enum class printer { plain, status, prepop, metrics };

bool read_document(const std::string& source, std::string* out) {
  if (source == "-") {
    out->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return !std::cin.bad();
  }
  std::ifstream in(source, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// A site document is either the "params" object of configure_site or a whole
// request; the request's own "id" is replaced by ours.
int site_params(const std::string& source, json_ptr* params) {
  std::string text;
  if (!read_document(source, &text)) {
    int err = errno;
    std::cerr << "tarnctl: cannot read " << source << ": " << std::strerror(err) << "\n";
    return EXIT_TRANSPORT;
  }
  json_ptr doc(json_tokener_parse(text.c_str()));
  if (doc == nullptr || !json_object_is_type(doc.get(), json_type_object)) {
    std::cerr << "tarnctl: " << source << " does not hold a JSON object\n";
    return EXIT_TRANSPORT;
  }
  json_object* inner = member(doc.get(), "params");
  if (inner == nullptr) {
    *params = std::move(doc);
    return -1;
  }
  if (json_object* method = member(doc.get(), "method");
      method != nullptr && std::strcmp(json_object_get_string(method), "configure_site") != 0) {
    std::cerr << "tarnctl: " << source << " is a " << json_object_get_string(method)
              << " request, not configure_site\n";
    return EXIT_TRANSPORT;
  }
  params->reset(json_object_get(inner));
  return -1;
}

// Sends one request; -1 with `result` set on success, else the exit status
// (the reason printed).
int call(const options& opts, const std::string& method, json_ptr params, json_ptr* result) {
  json_ptr request(json_object_new_object());
  json_object_object_add(request.get(), "jsonrpc", json_object_new_string("2.0"));
  json_object_object_add(request.get(), "method", json_object_new_string(method.c_str()));
  if (params != nullptr) json_object_object_add(request.get(), "params", params.release());
  json_object_object_add(request.get(), "id", json_object_new_int(REQUEST_ID));

  std::string reply;
  if (!exchange(opts, json_object_to_json_string_ext(request.get(), JSON_C_TO_STRING_PLAIN),
                &reply))
    return EXIT_TRANSPORT;
  if (reply.empty()) {
    std::cerr << "tarnctl: the daemon closed the connection without a reply\n";
    return EXIT_TRANSPORT;
  }
  json_ptr response = parse_reply(reply);
  if (response == nullptr) {
    std::cerr << "tarnctl: truncated or invalid reply (" << reply.size() << " bytes)\n";
    return EXIT_TRANSPORT;
  }
  if (json_object* error = member(response.get(), "error"); error != nullptr) {
    std::cerr << "tarnctl: error " << text_of(error, "code") << ": " << text_of(error, "message")
              << "\n";
    return EXIT_RPC_ERROR;
  }
  json_object* got = member(response.get(), "result");
  if (got == nullptr) {
    std::cerr << "tarnctl: reply has neither result nor error\n";
    return EXIT_TRANSPORT;
  }
  result->reset(json_object_get(got));
  return -1;
}

// ---- boot sets ----------------------------------------------------------

constexpr const char* BOOT_SET_HEADER = "# tarnproxy boot set ";
constexpr size_t BOOT_SET_PAGE = 2048;  // ranges per request, as the daemon takes them
constexpr size_t BOOT_SET_MAX = 65536;

json_ptr boot_set_params(const std::string& site, const std::string& vdisk) {
  json_ptr params(json_object_new_object());
  json_object_object_add(params.get(), "site", json_object_new_string(site.c_str()));
  json_object_object_add(params.get(), "vdisk", json_object_new_string(vdisk.c_str()));
  return params;
}

int export_boot_set(const options& opts, const std::string& site, const std::string& vdisk,
                    const std::string& file) {
  std::string text = std::string(BOOT_SET_HEADER) + vdisk + "\n";
  int64_t from = 0;
  bool complete = false;
  for (size_t page = 0; !complete && page <= BOOT_SET_MAX / BOOT_SET_PAGE; ++page) {
    json_ptr params = boot_set_params(site, vdisk);
    json_object_object_add(params.get(), "from", json_object_new_int64(from));
    json_ptr result;
    if (int rc = call(opts, "export-boot-set", std::move(params), &result); rc >= 0) return rc;
    json_object* ranges = member(result.get(), "ranges");
    for (size_t i = 0; ranges != nullptr && i < json_object_array_length(ranges); ++i) {
      json_object* pair = json_object_array_get_idx(ranges, i);
      text += std::to_string(json_object_get_uint64(json_object_array_get_idx(pair, 0))) + " " +
              std::to_string(json_object_get_uint64(json_object_array_get_idx(pair, 1))) + "\n";
    }
    json_object* next = member(result.get(), "next");
    complete = next == nullptr;
    if (!complete && json_object_get_int64(next) <= from) break;
    if (!complete) from = json_object_get_int64(next);
  }
  if (!complete) {
    std::cerr << "tarnctl: the daemon's pages of the boot set do not end\n";
    return EXIT_TRANSPORT;
  }
  if (file == "-") {
    std::cout << text;
    return EXIT_OK;
  }
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    int err = errno;
    std::cerr << "tarnctl: cannot write " << file << ": " << std::strerror(err) << "\n";
    return EXIT_TRANSPORT;
  }
  return EXIT_OK;
}

// One "offset length" line: two decimal integers, length above 0.
bool parse_range_line(const std::string& line, uint64_t* offset, uint64_t* length) {
  const char* p = line.c_str();
  for (uint64_t* out : {offset, length}) {
    while (*p == ' ' || *p == '\t') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    char* end = nullptr;
    errno = 0;
    *out = std::strtoull(p, &end, 10);
    if (errno != 0) return false;
    p = end;
  }
  while (*p == ' ' || *p == '\t' || *p == '\r') ++p;
  return *p == '\0' && *length > 0 && *offset + *length >= *offset;
}

int import_boot_set(const options& opts, const std::string& site, const std::string& vdisk,
                    const std::string& file) {
  std::string text;
  if (!read_document(file, &text)) {
    int err = errno;
    std::cerr << "tarnctl: cannot read " << file << ": " << std::strerror(err) << "\n";
    return EXIT_TRANSPORT;
  }
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  std::istringstream in(text);
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    uint64_t offset, length;
    if (!parse_range_line(line, &offset, &length)) {
      std::cerr << "tarnctl: " << file << ":" << number
                << ": expected \"offset length\" (decimal, length above 0)\n";
      return EXIT_USAGE;
    }
    if (ranges.size() == BOOT_SET_MAX) {
      std::cerr << "tarnctl: " << file << ":" << number << ": more than " << BOOT_SET_MAX
                << " ranges\n";
      return EXIT_USAGE;
    }
    ranges.emplace_back(offset, length);
  }
  json_ptr result;
  for (size_t index = 0; index == 0 || index < ranges.size(); index += BOOT_SET_PAGE) {
    json_ptr params = boot_set_params(site, vdisk);
    json_object* list = json_object_new_array();
    for (size_t i = index; i < std::min(ranges.size(), index + BOOT_SET_PAGE); ++i) {
      json_object* pair = json_object_new_array_ext(2);
      json_object_array_add(pair, json_object_new_uint64(ranges[i].first));
      json_object_array_add(pair, json_object_new_uint64(ranges[i].second));
      json_object_array_add(list, pair);
    }
    json_object_object_add(params.get(), "ranges", list);
    json_object_object_add(params.get(), "index", json_object_new_uint64(index));
    if (index + BOOT_SET_PAGE < ranges.size())
      json_object_object_add(params.get(), "more", json_object_new_boolean(1));
    if (int rc = call(opts, "import-boot-set", std::move(params), &result); rc >= 0) return rc;
  }
  if (opts.json) {
    std::cout << json_object_to_json_string(result.get()) << "\n";
  } else {
    std::cout << "imported " << int_of(result.get(), "ranges") << " ranges"
              << (json_object_get_boolean(member(result.get(), "written")) ? ""
                                                                           : " (not yet written)")
              << "\n";
  }
  return EXIT_OK;
}

// ---- top ----------------------------------------------------------------

// The cumulative counters of one metrics object that top turns into rates.
struct counters {
  int64_t reads = 0, hits = 0, cache_b = 0, server_b = 0;
  // Reads by latency bucket, all kinds together, cumulative as the daemon
  // sends them; empty when it sends none.
  std::vector<int64_t> buckets;
};

counters counters_of(json_object* m) {
  counters c;
  c.reads = int_of(m, "total_reads");
  c.hits = int_of(m, "cache_hit_reads");
  json_object* sent = member(m, "sent_metrics");
  c.cache_b = int_of(sent, "proxy_saved_b");
  c.server_b = int_of(sent, "server_sent_b");
  json_object* latency = member(m, "read_latency");
  for (const char* kind : {"hit", "miss", "held"}) {
    json_object* buckets = member(member(latency, kind), "buckets");
    const size_t n = buckets == nullptr ? 0 : json_object_array_length(buckets);
    if (c.buckets.size() < n) c.buckets.resize(n);
    for (size_t i = 0; i < n; ++i)
      c.buckets[i] += json_object_get_int64(json_object_array_get_idx(buckets, i));
  }
  return c;
}

// What grew from `before` to `now`. A counter that went back was reset (the
// daemon restarted or the client was configured anew): all of it is new.
counters counters_delta(const counters& before, const counters& now) {
  counters d;
  bool reset = now.reads < before.reads || now.hits < before.hits || now.cache_b < before.cache_b ||
               now.server_b < before.server_b || now.buckets.size() != before.buckets.size();
  for (size_t i = 0; !reset && i < now.buckets.size(); ++i)
    reset = now.buckets[i] < before.buckets[i];
  if (reset) return now;
  d.reads = now.reads - before.reads;
  d.hits = now.hits - before.hits;
  d.cache_b = now.cache_b - before.cache_b;
  d.server_b = now.server_b - before.server_b;
  for (size_t i = 0; i < now.buckets.size(); ++i)
    d.buckets.push_back(now.buckets[i] - before.buckets[i]);
  return d;
}

void counters_add(counters* sum, const counters& d) {
  sum->reads += d.reads;
  sum->hits += d.hits;
  sum->cache_b += d.cache_b;
  sum->server_b += d.server_b;
  if (sum->buckets.size() < d.buckets.size()) sum->buckets.resize(d.buckets.size());
  for (size_t i = 0; i < d.buckets.size(); ++i) sum->buckets[i] += d.buckets[i];
}

// The q-quantile of cumulative bucket counts with these upper bounds (one
// more count than bounds, for +Inf), interpolated linearly inside its bucket
// as Prometheus's histogram_quantile does; a quantile in the +Inf bucket is
// the highest finite bound.
std::optional<double> histogram_quantile(double q, const std::vector<int64_t>& cumulative,
                                         const std::vector<double>& bounds) {
  if (bounds.empty() || cumulative.size() != bounds.size() + 1 || cumulative.back() <= 0)
    return std::nullopt;
  const double rank = q * static_cast<double>(cumulative.back());
  size_t i = 0;
  while (i < bounds.size() && static_cast<double>(cumulative[i]) < rank) ++i;
  if (i == bounds.size()) return bounds.back();
  const double lower = i == 0 ? 0 : bounds[i - 1];
  const double below = i == 0 ? 0 : static_cast<double>(cumulative[i - 1]);
  return lower +
         (bounds[i] - lower) * (rank - below) / (static_cast<double>(cumulative[i]) - below);
}

// Rates over one refresh; unknown (nullopt) on the first, when nothing was
// read, or when the daemon keeps no latency histograms.
struct rates {
  std::optional<double> reads_per_s, hit_ratio, p99_us, cache_bps, server_bps;
};

rates rates_of(const std::optional<counters>& d, double seconds,
               const std::vector<double>& bounds) {
  rates r;
  if (!d || seconds <= 0) return r;
  r.reads_per_s = static_cast<double>(d->reads) / seconds;
  r.cache_bps = static_cast<double>(d->cache_b) / seconds;
  r.server_bps = static_cast<double>(d->server_b) / seconds;
  if (d->reads > 0) r.hit_ratio = static_cast<double>(d->hits) / static_cast<double>(d->reads);
  r.p99_us = histogram_quantile(0.99, d->buckets, bounds);
  return r;
}

struct top_client {
  std::string uuid, mac, vdisk_key;
  std::optional<counters> now;         // none when the metrics do not list it (yet)
  json_object* latest_boot = nullptr;  // within the sample's context-state
};

struct top_vdisk {
  std::string key, site;
  std::optional<double> cached_ratio, boot_set_ratio;
};

struct top_sample {
  clock_type::time_point at;
  json_ptr state, metrics, progress;  // the replies the members point into
  counters proxy;
  std::vector<top_client> clients;
  std::vector<top_vdisk> vdisks;
  std::vector<double> bounds;
};

// context-state writes MACs as %02x:..., metrics as %x:...; both as %02x.
std::string normal_mac(const std::string& text) {
  std::string out;
  size_t at = 0;
  for (int i = 0; i < 6; ++i) {
    char* end = nullptr;
    unsigned long byte = std::strtoul(text.c_str() + at, &end, 16);
    char part[4];
    std::snprintf(part, sizeof part, i == 0 ? "%02lx" : ":%02lx", byte & 0xff);
    out += part;
    at = static_cast<size_t>(end - text.c_str()) + (*end == ':' ? 1 : 0);
  }
  return out;
}

// Asks the daemon for the three views; -1 on success, else the exit status.
int top_take_sample(const options& opts, top_sample* s) {
  const std::pair<const char*, json_ptr*> views[] = {
      {"context-state", &s->state}, {"metrics", &s->metrics}, {"prepop-progress", &s->progress}};
  for (const auto& [method, out] : views) {
    if (int rc = call(opts, method, nullptr, out); rc >= 0) return rc;
    if (out == &s->metrics) s->at = clock_type::now();
  }
  json_object* m = s->metrics.get();
  s->proxy = counters_of(member(m, "server_metrics"));
  json_object* bounds = member(m, "latency_bounds_us");
  for (size_t i = 0; bounds != nullptr && i < json_object_array_length(bounds); ++i)
    s->bounds.push_back(json_object_get_double(json_object_array_get_idx(bounds, i)));
  // Join on the uuid when the daemon names clients in its metrics, else on
  // the MAC.
  std::map<std::string, json_object*> by_key;
  json_object* list = member(m, "clients");
  for (size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i) {
    json_object* c = json_object_array_get_idx(list, i);
    by_key[member(c, "uuid") ? text_of(c, "uuid") : normal_mac(text_of(c, "mac"))] = c;
  }
  list = member(s->state.get(), "clients");
  for (size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i) {
    json_object* c = json_object_array_get_idx(list, i);
    top_client client{text_of(c, "uuid"), text_of(c, "mac"), text_of(c, "vdisk_key"), std::nullopt,
                      member(c, "latest_boot")};
    auto found = by_key.find(client.uuid);
    if (found == by_key.end()) found = by_key.find(normal_mac(client.mac));
    if (found != by_key.end()) client.now = counters_of(found->second);
    s->clients.push_back(std::move(client));
  }
  std::vector<json_object*> vdisks;
  if (json_object* all = member(s->progress.get(), "vdisks"); all != nullptr) {
    for (size_t i = 0; i < json_object_array_length(all); ++i)
      vdisks.push_back(json_object_array_get_idx(all, i));
  } else if (json_object* one = member(s->progress.get(), "vdisk"); one != nullptr) {
    vdisks.push_back(one);
  }
  for (json_object* v : vdisks) {
    top_vdisk vdisk{text_of(v, "vdisk_key"), text_of(v, "site_uuid"), number_of(v, "cached_ratio"),
                    number_of(v, "boot_set_ratio")};
    // Daemons that report no ratio still report the boot set's cached bytes.
    const int64_t boot = int_of(v, "boot_set_bytes");
    if (!vdisk.boot_set_ratio && member(v, "boot_set_cached") && boot > 0)
      vdisk.boot_set_ratio =
          static_cast<double>(int_of(v, "boot_set_cached")) / static_cast<double>(boot);
    s->vdisks.push_back(std::move(vdisk));
  }
  return -1;
}

struct top_frame {
  double seconds = 0;  // since the previous sample; 0 on the first
  rates proxy;
  std::vector<rates> clients, vdisks;  // as the sample lists them
};

top_frame top_compute(const top_sample* before, const top_sample& now) {
  top_frame f;
  f.clients.resize(now.clients.size());
  f.vdisks.resize(now.vdisks.size());
  if (before == nullptr) return f;
  f.seconds = std::chrono::duration<double>(now.at - before->at).count();
  f.proxy = rates_of(counters_delta(before->proxy, now.proxy), f.seconds, now.bounds);
  std::map<std::string, const counters*> earlier;
  for (const top_client& c : before->clients)
    if (c.now) earlier[c.uuid] = &*c.now;
  // A vDisk's rates are its clients' together: the sum of their deltas.
  std::map<std::string, counters> per_vdisk;
  for (size_t i = 0; i < now.clients.size(); ++i) {
    const top_client& c = now.clients[i];
    auto found = earlier.find(c.uuid);
    if (!c.now || found == earlier.end()) continue;
    const counters d = counters_delta(*found->second, *c.now);
    f.clients[i] = rates_of(d, f.seconds, now.bounds);
    counters_add(&per_vdisk[c.vdisk_key], d);
  }
  for (size_t i = 0; i < now.vdisks.size(); ++i) {
    auto found = per_vdisk.find(now.vdisks[i].key);
    f.vdisks[i] =
        rates_of(found == per_vdisk.end() ? counters{} : found->second, f.seconds, now.bounds);
  }
  return f;
}

std::string format_rate(std::optional<double> per_s) {
  if (!per_s) return "-";
  char out[32];
  std::snprintf(out, sizeof out, "%.1f", *per_s);
  return out;
}

std::string format_bytes_rate(std::optional<double> bps) {
  return bps ? format_bytes(static_cast<int64_t>(std::llround(*bps))) + "/s" : "-";
}

std::vector<std::string> rate_columns(const rates& r) {
  return {format_rate(r.reads_per_s), format_share(r.hit_ratio), format_us(r.p99_us),
          format_bytes_rate(r.cache_bps), format_bytes_rate(r.server_bps)};
}

std::string top_text(const options& opts, const top_sample& s, const top_frame& f, bool screen) {
  std::ostringstream out;
  char when[32] = "";
  const time_t now = time(nullptr);
  struct tm local {};
  if (localtime_r(&now, &local) != nullptr) strftime(when, sizeof when, "%H:%M:%S", &local);
  out << "tarnctl top, every " << opts.interval_s << " s, " << when << (screen ? " (q quits)" : "")
      << "\n";
  const std::vector<std::string> p = rate_columns(f.proxy);
  out << "Proxy: " << p[0] << " reads/s, hit ratio " << p[1] << ", p99 " << p[2] << ", from cache "
      << p[3] << ", from server " << p[4] << "\n\n";
  table clients = {{"CLIENT UUID", "MAC", "VDISK KEY", "READS/S", "HIT", "P99", "FROM CACHE",
                    "FROM SERVER", "BOOT READS", "BOOT HIT"}};
  for (size_t i = 0; i < s.clients.size(); ++i) {
    const top_client& c = s.clients[i];
    std::vector<std::string> row = {c.uuid, c.mac, c.vdisk_key.empty() ? "-" : c.vdisk_key};
    for (std::string& column : rate_columns(f.clients[i])) row.push_back(std::move(column));
    const int64_t boot_reads = int_of(c.latest_boot, "reads");
    row.push_back(c.latest_boot ? std::to_string(boot_reads) : "-");
    row.push_back(c.latest_boot && boot_reads > 0
                      ? format_ratio(int_of(c.latest_boot, "cache_hit_reads"), boot_reads)
                      : "-");
    clients.push_back(std::move(row));
  }
  print_table("Clients", clients, out);
  out << "\n";
  table vdisks = {{"VDISK KEY", "SITE UUID", "READS/S", "HIT", "P99", "FROM CACHE", "FROM SERVER",
                   "CACHED", "BOOT SET"}};
  for (size_t i = 0; i < s.vdisks.size(); ++i) {
    const top_vdisk& v = s.vdisks[i];
    std::vector<std::string> row = {v.key, v.site};
    for (std::string& column : rate_columns(f.vdisks[i])) row.push_back(std::move(column));
    row.push_back(format_share(v.cached_ratio));
    row.push_back(format_share(v.boot_set_ratio));
    vdisks.push_back(std::move(row));
  }
  print_table("vDisks", vdisks, out);
  return out.str();
}

json_object* json_number(std::optional<double> value) {
  return value ? json_object_new_double(*value) : nullptr;
}

void add_rates(json_object* obj, const rates& r) {
  json_object_object_add(obj, "reads_per_s", json_number(r.reads_per_s));
  json_object_object_add(obj, "hit_ratio", json_number(r.hit_ratio));
  json_object_object_add(obj, "p99_us", json_number(r.p99_us));
  json_object_object_add(obj, "cache_bytes_per_s", json_number(r.cache_bps));
  json_object_object_add(obj, "server_bytes_per_s", json_number(r.server_bps));
}

// One line of JSON per refresh; a member that is not known yet is null.
std::string top_json(const top_sample& s, const top_frame& f) {
  json_ptr frame(json_object_new_object());
  json_object_object_add(frame.get(), "interval_s",
                         json_number(f.seconds > 0 ? std::optional(f.seconds) : std::nullopt));
  json_object* proxy = json_object_new_object();
  add_rates(proxy, f.proxy);
  json_object_object_add(frame.get(), "proxy", proxy);
  json_object* clients = json_object_new_array();
  for (size_t i = 0; i < s.clients.size(); ++i) {
    json_object* c = json_object_new_object();
    json_object_object_add(c, "uuid", json_object_new_string(s.clients[i].uuid.c_str()));
    json_object_object_add(c, "mac", json_object_new_string(s.clients[i].mac.c_str()));
    json_object_object_add(c, "vdisk_key", json_object_new_string(s.clients[i].vdisk_key.c_str()));
    add_rates(c, f.clients[i]);
    json_object_array_add(clients, c);
  }
  json_object_object_add(frame.get(), "clients", clients);
  json_object* vdisks = json_object_new_array();
  for (size_t i = 0; i < s.vdisks.size(); ++i) {
    json_object* v = json_object_new_object();
    json_object_object_add(v, "vdisk_key", json_object_new_string(s.vdisks[i].key.c_str()));
    json_object_object_add(v, "site_uuid", json_object_new_string(s.vdisks[i].site.c_str()));
    add_rates(v, f.vdisks[i]);
    json_object_object_add(v, "cached_ratio", json_number(s.vdisks[i].cached_ratio));
    json_object_object_add(v, "boot_set_ratio", json_number(s.vdisks[i].boot_set_ratio));
    json_object_array_add(vdisks, v);
  }
  json_object_object_add(frame.get(), "vdisks", vdisks);
  return std::string(json_object_to_json_string_ext(frame.get(), JSON_C_TO_STRING_PLAIN)) + "\n";
}

// The screen of top: the cursor hidden and, when keys come from a terminal
// (key_fd, else -1), that terminal in non-canonical, no-echo mode so a single
// key reaches top. The destructor puts back what it found, on every way out.
class top_screen {
 public:
  explicit top_screen(int key_fd) {
    std::cout << "\033[?25l";
    if (key_fd < 0 || tcgetattr(key_fd, &saved_) != 0) return;
    struct termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(key_fd, TCSANOW, &raw) == 0) fd_ = key_fd;
  }
  ~top_screen() {
    std::cout << "\033[?25h" << std::flush;
    if (fd_ >= 0) tcsetattr(fd_, TCSANOW, &saved_);
  }
  top_screen(const top_screen&) = delete;
  top_screen& operator=(const top_screen&) = delete;

 private:
  int fd_ = -1;
  struct termios saved_ {};
};

// Waits until `until` while watching the keyboard (key_fd, -1 for none) and
// the stop signals, which are blocked outside this wait so that none is lost
// between a check and the wait. False when asked to stop.
bool top_wait(clock_type::time_point until, int* key_fd, const sigset_t& open_mask) {
  for (;;) {
    if (top_signal != 0) return false;
    const int ms = remaining_ms(until);
    struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    struct pollfd p = {*key_fd, POLLIN, 0};
    int n = ppoll(&p, *key_fd >= 0 ? 1 : 0, &left, &open_mask);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return true;
    }
    char key = 0;
    if (read(*key_fd, &key, 1) != 1) {
      *key_fd = -1;  // the terminal went away: signals still stop top
      continue;
    }
    if (key == 'q' || key == 'Q') return false;
  }
}

int top(const options& opts) {
  const bool screen = !opts.json && isatty(STDOUT_FILENO);
  struct sigaction action {};
  action.sa_handler = note_signal;
  sigemptyset(&action.sa_mask);
  sigset_t stops, open_mask;
  sigemptyset(&stops);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(sig, &action, nullptr);
    sigaddset(&stops, sig);
  }
  sigprocmask(SIG_BLOCK, &stops, &open_mask);
  sigdelset(&open_mask, SIGINT);
  sigdelset(&open_mask, SIGTERM);
  sigdelset(&open_mask, SIGHUP);
  stop_open_mask = &open_mask;

  int key_fd = screen && isatty(STDIN_FILENO) ? STDIN_FILENO : -1;
  std::optional<top_screen> terminal;
  if (screen) terminal.emplace(key_fd);
  const auto interval = std::chrono::microseconds(static_cast<int64_t>(opts.interval_s * 1e6));
  std::optional<top_sample> before;
  auto next = clock_type::now();
  for (int64_t shown = 0; opts.count == 0 || shown < opts.count; ++shown) {
    if (shown > 0 && !top_wait(next, &key_fd, open_mask)) break;
    next = std::max(next + interval, clock_type::now());
    top_sample now;
    // A stop that came during a request is no failure.
    if (int rc = top_take_sample(opts, &now); rc >= 0) return top_signal != 0 ? EXIT_OK : rc;
    const top_frame frame = top_compute(before ? &*before : nullptr, now);
    if (opts.json) {
      std::cout << top_json(now, frame);
    } else if (!screen) {
      std::cout << (shown > 0 ? "\n" : "") << top_text(opts, now, frame, false);
    } else {
      // Lines wider or more than the terminal has would wrap or scroll the
      // head of the frame away; as top(1) does, what does not fit is cut.
      struct winsize size {};
      const bool known = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0;
      const size_t width = known ? size.ws_col : SIZE_MAX;
      const size_t height = known && size.ws_row > 1 ? size.ws_row - 1u : SIZE_MAX;
      std::istringstream lines(top_text(opts, now, frame, true));
      std::string text = "\033[H\033[2J", line;
      for (size_t n = 0; n < height && std::getline(lines, line); ++n)
        text += line.substr(0, width) + "\n";
      std::cout << text;
    }
    std::cout << std::flush;
    before = std::move(now);
  }
  return EXIT_OK;
}

int run(const options& opts) {
  const std::string& command = opts.args[0];
  const size_t nargs = opts.args.size() - 1;
  std::string method;
  json_ptr params;
  printer print = printer::plain;
  if (opts.top_options && command != "top")
    return usage_error("--interval and --count are options of top");
  if (command == "configure-site") {
    if (nargs != 1) return usage_error("configure-site takes one FILE (or - for stdin)");
    method = "configure_site";
    if (int rc = site_params(opts.args[1], &params); rc >= 0) return rc;
  } else if (command == "remove-site") {
    if (nargs != 1) return usage_error("remove-site takes one UUID");
    method = "remove_site";
    params.reset(json_object_new_object());
    json_object_object_add(params.get(), "site_uuid", json_object_new_string(opts.args[1].c_str()));
  } else if (command == "status" || command == "prepop" || command == "metrics") {
    if (nargs != 0) return usage_error(command + " takes no arguments");
    method = command == "status"   ? "context-state"
             : command == "prepop" ? "prepop-progress"
                                   : command;
    print = command == "status"   ? printer::status
            : command == "prepop" ? printer::prepop
                                  : printer::metrics;
  } else if (command == "export-boot-set" || command == "import-boot-set") {
    if (nargs != 3) return usage_error(command + " takes SITE VDISK FILE (or - for stdio)");
    return command[0] == 'e' ? export_boot_set(opts, opts.args[1], opts.args[2], opts.args[3])
                             : import_boot_set(opts, opts.args[1], opts.args[2], opts.args[3]);
  } else if (command == "top") {
    if (nargs != 0) return usage_error("top takes no arguments but its options");
    return top(opts);
  } else if (command == "call") {
    if (nargs < 1 || nargs > 2) return usage_error("call takes METHOD and optional PARAMS");
    method = opts.args[1];
    if (nargs == 2) {
      params.reset(json_tokener_parse(opts.args[2].c_str()));
      if (params == nullptr && opts.args[2] != "null")
        return usage_error("PARAMS is not valid JSON: " + opts.args[2]);
    }
  } else {
    return usage_error("unknown command: " + command);
  }

  json_ptr owned;
  if (int rc = call(opts, method, std::move(params), &owned); rc >= 0) return rc;
  json_object* result = owned.get();
  if (opts.json) {
    // The daemon serialises with json-c's default flags; so do we.
    std::cout << json_object_to_json_string(result) << "\n";
    return EXIT_OK;
  }
  switch (print) {
    case printer::status:
      print_status(result);
      break;
    case printer::prepop:
      print_prepop(result);
      break;
    case printer::metrics:
      print_metrics(result);
      break;
    case printer::plain:
      if (json_object_is_type(result, json_type_string))
        std::cout << json_object_get_string(result) << "\n";
      else
        std::cout << json_object_to_json_string_ext(result, JSON_C_TO_STRING_PRETTY) << "\n";
      break;
  }
  return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
  options opts;
  if (int rc = parse_options(argc, argv, &opts); rc >= 0) return rc;
  const int rc = run(opts);
  // top stopped by SIGTERM or SIGHUP, its terminal restored: end as the
  // signal would have ended it.
  if (const int sig = top_signal; sig == SIGTERM || sig == SIGHUP) {
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
  }
  return rc;
}
