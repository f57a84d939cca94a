#include "support/lab_daemon.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "support/metrics_files.h"

namespace tarn_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Random words, with some all-zero stretches, as real disks have, for the
// sparse path.
void write_image(const std::string& path, uint64_t bytes, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> words(bytes / 8);
  for (size_t i = 0; i < words.size(); i++) words[i] = i % 4096 < 512 ? 0 : rng();
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(words.data()),
             static_cast<std::streamsize>(words.size() * 8));
}

}  // namespace

std::string lab_daemon::client_uuid(int i) {
  char text[40];
  snprintf(text, sizeof text, "b0075700-0000-4000-8000-%012d", i);
  return text;
}

lab_daemon::lab_daemon(const lab_daemon_options& options)
    : options_(options), lab_(options.clients, 1, options.link_mtu) {
  image_ = sb_.dir() + "/vdisk.img";
  image_bytes_ = options.image_bytes;
  write_image(image_, image_bytes_, 20261206);
  if (options.second_image_bytes > 0) {
    image2_ = sb_.dir() + "/vdisk2.img";
    write_image(image2_, options.second_image_bytes, 20261207);
  }
  sb_.set_net_ns(lab_.host_ns());
  sb_.write_file("/etc/tarnproxy.conf", "[Main]\n" + options.config);
  sb_.write_file("/etc/quillon-inventory",
                 std::string("PRODUCT_BRAND='Quillon'\nINSTALLATION_UUID='") + INSTALLATION +
                     "'\nBUILD_NUMBER='1234'\n");
  // The cache survives a restart of the daemon, as a real cache disk does.
  sb_.write_file("/opt/vextal/tarnproxy/cache-vdi.conf", "PERSIST=1\n");
  if (!start_daemon()) ADD_FAILURE() << sb_.err();
  if (!start_server(options.server_args)) ADD_FAILURE() << server_->err();
}

lab_daemon::~lab_daemon() {
  // Every run ends with an orderly stop (and, in sanitizer builds, nothing
  // to report), whatever the test did to the daemon before.
  if (sb_.send_signal(SIGTERM)) {
    EXPECT_TRUE(sb_.exited_cleanly(30s));
  }
  if (::testing::Test::HasFailure()) {
    // The daemon's view of what went wrong, without the per-packet lines.
    std::istringstream log(sb_.err());
    std::string kept;
    for (std::string line; std::getline(log, line);)
      if (line.find(" - Packet: ") == std::string::npos) kept += line + "\n";
    printf("daemon log (last 8 KiB without packet lines):\n%s\n",
           kept.substr(kept.size() > 8192 ? kept.size() - 8192 : 0).c_str());
  }
  if (server_ && server_->signal(SIGTERM)) server_->wait(5s);
}

bool lab_daemon::start_daemon() {
  if (sb_.send_signal(SIGTERM) && !sb_.wait_exit(30s)) return false;
  sb_.start();
  return sb_.wait_for_output("Listening on", 10s);
}

bool lab_daemon::start_server(const std::vector<std::string>& args) {
  if (server_ && server_->signal(SIGTERM)) server_->wait(5s);
  const std::string ready = sb_.dir() + "/server-ready";
  fs::remove(ready);
  // Replies of 1472 bytes still fit the lab's 1500-byte links unfragmented.
  std::vector<std::string> argv = {"ip", "netns", "exec", lab_.server_ns(), TARN_SIM_SERVER_PATH};
  argv.insert(argv.end(), {"--bind", lab_.server_ip(), "--image",
                           std::to_string(VDISK_ID) + "=" + image_, "--mtu", "1472", "--stats",
                           sb_.dir() + "/server-stats.json", "--ready-file", ready});
  if (!image2_.empty())
    argv.insert(argv.end(), {"--image", std::to_string(VDISK_ID2) + "=" + image2_});
  argv.insert(argv.end(), args.begin(), args.end());
  server_ = std::make_unique<process>(argv, sb_.dir() + "/server-" + std::to_string(++runs_));
  return eventually([&] { return fs::exists(ready); }, 5s);
}

site_client lab_daemon::client(int i, bool prepopulate) {
  return {client_uuid(i), mac_text(lab_.client_mac(i)), lab_.client_if(i), prepopulate};
}

std::string lab_daemon::site_request_for(const std::set<int>& clients,
                                         const std::set<int>& prepopulate, bool second_site) {
  std::vector<site_client> list;
  for (int i : clients) list.push_back(client(i, prepopulate.count(i) > 0));
  return site_request(
      second_site ? SITE2 : SITE, second_site ? VDI2 : VDI,
      std::string("b0075700-0000-4000-8000-0000000000a") + (second_site ? "2" : "1"),
      {lab_.server_ip()}, list);
}

bool lab_daemon::configure(const std::set<int>& prepopulate, const std::set<int>& only,
                           bool second_site) {
  std::set<int> clients;
  for (int i = 1; i <= lab_.clients(); i++) {
    if (!only.empty() && !only.count(i)) continue;
    clients.insert(i);
    // A prepopulating client's own reads leave from the host namespace, and
    // so does everything plain-socket listeners pass on.
    if (prepopulate.count(i) || options_.config.find("packetMmap=0") != std::string::npos)
      lab_.route_through_proxy_port(i);
  }
  return answered_ok(
      control_call(socket_path(), site_request_for(clients, prepopulate, second_site), 60s));
}

std::unique_ptr<process> lab_daemon::boot(int i, const std::vector<std::string>& extra) {
  return boot_vdisk(i, VDISK_ID, extra);
}

std::unique_ptr<process> lab_daemon::boot_vdisk(int i, uint32_t vdisk_id,
                                                const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {"ip", "netns", "exec", lab_.client_ns(i), TARN_SIM_VM_PATH};
  argv.insert(argv.end(),
              {"--server", lab_.server_ip(), "--image", vdisk_id == VDISK_ID2 ? image2_ : image_,
               "--vdisk-id", std::to_string(vdisk_id), "--json"});
  argv.insert(argv.end(), extra.begin(), extra.end());
  return std::make_unique<process>(
      argv, sb_.dir() + "/vm" + std::to_string(i) + "-" + std::to_string(++runs_));
}

json_value lab_daemon::server_stats() {
  const std::string path = sb_.dir() + "/server-stats.json";
  fs::remove(path);
  server_->signal(SIGUSR1);
  eventually([&] { return fs::exists(path); }, 2s);
  return json_value(json_tokener_parse(read_text(path).c_str()));
}

int64_t lab_daemon::served_to(json_object* stats, int client, const char* what) {
  return json_path_int(stats, {"clients", lab_.client_ip(client).c_str(), what});
}

std::string lab_daemon::vdisk_dir(const std::string& vdi) {
  std::error_code ec;
  for (const auto& dir :
       fs::directory_iterator(sb_.path("/opt/vextal/tarnproxy/caches/" + vdi), ec))
    if (dir.is_directory() && dir.path().filename().string()[0] != '.') return dir.path();
  return "";
}

std::string lab_daemon::cache_disk(const std::string& vdi) {
  return sb_.path("/opt/vextal/tarnproxy/cache-disks/" + vdi);
}

// A vDisk's key starts with its id ("<id>-<GUID fields>-<key suffix>").
std::string lab_daemon::vdisk_dir_of(uint32_t vdisk_id, const std::string& vdi,
                                     const std::string& root) {
  const std::string prefix = std::to_string(vdisk_id) + "-";
  std::error_code ec;
  for (const auto& dir : fs::directory_iterator(
           root.empty() ? sb_.path("/opt/vextal/tarnproxy/caches/" + vdi) : root, ec))
    if (dir.is_directory() && dir.path().filename().string().starts_with(prefix)) return dir.path();
  return "";
}

std::pair<uint64_t, uint64_t> lab_daemon::check_cache(const std::string& vdi) {
  uint64_t checked = 0, wrong = 0;
  const std::string dir = vdisk_dir(vdi);
  if (!dir.empty()) check_vdisk_dir(dir, &checked, &wrong);
  return {checked, wrong};
}

// Chunk n of chunk size S is a file of S + S/4096 bytes: the data, then one
// bitmap bit per 512-byte sector (0x80 first).
void lab_daemon::check_vdisk_dir(const std::string& dir, uint64_t* checked, uint64_t* wrong) {
  std::ifstream img(image_, std::ios::binary);
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0]))) continue;
    // The cache manager may remove a chunk file at any moment.
    std::ifstream f(entry.path(), std::ios::binary);
    const uint64_t s = fs::file_size(entry.path(), ec) / 4097 * 4096;
    if (ec || !f) continue;
    std::vector<char> bitmap(s / 4096), cached(512), expected(512);
    f.seekg(static_cast<std::streamoff>(s));
    f.read(bitmap.data(), static_cast<std::streamsize>(bitmap.size()));
    for (uint64_t sector = 0; sector < s / 512; sector++) {
      if (!(static_cast<uint8_t>(bitmap[sector / 8]) & (0x80 >> (sector % 8)))) continue;
      const uint64_t at = std::stoull(name) * s + sector * 512;
      f.seekg(static_cast<std::streamoff>(sector * 512));
      f.read(cached.data(), 512);
      std::fill(expected.begin(), expected.end(), 0);
      img.clear();
      img.seekg(static_cast<std::streamoff>(std::min(at, image_bytes_)));
      img.read(expected.data(), 512);
      (*checked)++;
      if (cached != expected) (*wrong)++;
    }
  }
}

json_value vm_report(process& vm, std::chrono::milliseconds limit) {
  auto code = vm.wait(limit);
  if (!code) {
    ADD_FAILURE() << "VM did not finish: " << vm.err();
    vm.kill();
    return nullptr;
  }
  json_value r(json_tokener_parse(vm.out().c_str()));
  if (!r) ADD_FAILURE() << "VM exit " << *code << ", no report: " << vm.out() << vm.err();
  if (r && report_int(r.get(), "errors") != 0) printf("VM errors:\n%s\n", vm.err().c_str());
  return r;
}

int64_t report_int(json_object* report, const char* name) {
  return json_path_int(report, {name});
}

}  // namespace tarn_test
