// The production daemon at work in the network lab: a streaming-server
// simulator in the servers' namespace serving one generated vDisk image, VM
// simulators in the clients' namespaces, and the daemon in its sandbox and in
// the lab's host namespace, listening on the proxy ports.
//
//   tarn_test::lab_daemon_options o;
//   o.clients = 3;
//   tarn_test::lab_daemon d(o);
//   ASSERT_TRUE(d.configure());
//   auto vm = d.boot(1);
//   tarn_test::json_value r = tarn_test::vm_report(*vm);
//
// The destructor stops the simulators and the daemon; when the test failed it
// prints the end of the daemon's log.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/control.h"
#include "support/lab.h"
#include "support/process.h"
#include "support/sandbox.h"

namespace tarn_test {

struct lab_daemon_options {
  int clients = 1;
  uint64_t image_bytes = 16 << 20;
  std::vector<std::string> server_args;        // fault knobs and the like
  int link_mtu = 1500;                         // of every link in the lab
  std::string config = "listenerThreads=2\n";  // lines of the daemon's [Main] group
  // A second image of this many bytes, served as vDisk VDISK_ID2 (0: none).
  uint64_t second_image_bytes = 0;
};

class lab_daemon {
 public:
  static constexpr uint32_t VDISK_ID = 1;
  static constexpr uint32_t VDISK_ID2 = 2;  // with second_image_bytes
  static constexpr const char* SITE = "b0075700-0000-4000-8000-000000000001";
  static constexpr const char* VDI = "b0075700-0000-4000-8000-0000000000d1";
  // A second site, with a cache VDI and a server entry of its own.
  static constexpr const char* SITE2 = "b0075700-0000-4000-8000-000000000002";
  static constexpr const char* VDI2 = "b0075700-0000-4000-8000-0000000000d2";
  // The host's inventory names this installation.
  static constexpr const char* INSTALLATION = "e3b0c442-98fc-4c14-9afb-f4c8996fb924";

  explicit lab_daemon(const lab_daemon_options& options);
  ~lab_daemon();
  lab_daemon(const lab_daemon&) = delete;
  lab_daemon& operator=(const lab_daemon&) = delete;

  tarn_test::lab& lab() { return lab_; }
  tarn_test::sandbox& sandbox() { return sb_; }
  uint64_t image_bytes() const { return image_bytes_; }
  std::string socket_path() const { return sb_.socket_path(); }
  static std::string client_uuid(int i);
  // Client i as a site lists it.
  site_client client(int i, bool prepopulate = false);
  // The site request for SITE (or SITE2) with clients `clients`.
  std::string site_request_for(const std::set<int>& clients, const std::set<int>& prepopulate = {},
                               bool second_site = false);

  // Starts (or restarts) the daemon; false if it did not come up.
  bool start_daemon();
  // (Re)starts the server with the common arguments and `args`.
  bool start_server(const std::vector<std::string>& args);
  process& server() { return *server_; }

  // configure_site with clients 1..N, or those in `only`; `prepopulate`
  // names the clients that prepopulate; `second_site` for SITE2.
  bool configure(const std::set<int>& prepopulate = {}, const std::set<int>& only = {},
                 bool second_site = false);
  // VM i replaying the default boot trace plus `extra`; in the background.
  std::unique_ptr<process> boot(int i, const std::vector<std::string>& extra = {});
  // The same for vDisk `vdisk_id` (VDISK_ID or VDISK_ID2).
  std::unique_ptr<process> boot_vdisk(int i, uint32_t vdisk_id,
                                      const std::vector<std::string>& extra = {});

  // The server's statistics (published on SIGUSR1); what it served client i.
  json_value server_stats();
  int64_t served_to(json_object* stats, int client, const char* what = "data_bytes");

  // Every sector the cache of `vdi` marks present, compared with the image:
  // {sectors checked, sectors wrong}; the lab's vDisk directory there ("" if
  // none yet); and the check for one vDisk directory, adding to the counts.
  std::pair<uint64_t, uint64_t> check_cache(const std::string& vdi = VDI);
  std::string vdisk_dir(const std::string& vdi = VDI);
  // The directory of vDisk `vdisk_id` in the cache of `vdi` ("" if none yet),
  // under `root`: the cache directory (default) or, with the cache detached
  // while the daemon is stopped, cache_disk(vdi).
  std::string vdisk_dir_of(uint32_t vdisk_id, const std::string& vdi = VDI,
                           const std::string& root = "");
  // Where the cache of `vdi` lives across restarts (the cache-vdi.conf PERSIST
  // disk), host-visible.
  std::string cache_disk(const std::string& vdi = VDI);
  void check_vdisk_dir(const std::string& dir, uint64_t* checked, uint64_t* wrong);

 private:
  lab_daemon_options options_;
  tarn_test::lab lab_;
  tarn_test::sandbox sb_;
  std::string image_;
  uint64_t image_bytes_ = 0;
  std::string image2_;
  std::unique_ptr<process> server_;
  int runs_ = 0;
};

// The VM's JSON report after it ended within `limit`; null (and a failure)
// if it did not end or printed none.
json_value vm_report(process& vm, std::chrono::milliseconds limit = std::chrono::seconds(120));
// A top-level integer member of a report; -1 when absent.
int64_t report_int(json_object* report, const char* name);

}  // namespace tarn_test
