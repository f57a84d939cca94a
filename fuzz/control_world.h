// The registry as the control socket's thread sees it, for the jsonrpc and
// state targets: real site, server and client tables, state files in a
// temporary directory, and a stand-in for `sudo` first on PATH that plays the
// cache VDI scripts (open prints a fresh cache directory, close succeeds), so
// that no installed script ever runs. Clients get one real listener thread;
// requests that name an existing interface are skipped (`names_real_interface`),
// so every client either fails to start or is refused.
#pragma once

#include <json-c/json.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "contexts/proxy_context.h"
#include "control/jsonrpc.h"
#include "control/lifecycle.h"
#include "control/queries.h"
#include "control/site_commands.h"
#include "core/unique_fd.h"
#include "fuzz_check.h"
#include "net/interface_thread.h"

namespace fuzz {

struct control_world {
  temp_dir root{"control"};
  std::string state_dir = root.path + "/state";
  std::string caches = root.path + "/caches";
  proxy_context ctx;
  unique_fd ours, theirs;  // the peer's end and the daemon's end of a connection

  control_world() {
    quiet_logs();
    // As root, a network namespace of our own leaves only "lo" to name.
    if (geteuid() == 0) unshare(CLONE_NEWNET);
    std::filesystem::create_directories(state_dir);
    std::filesystem::create_directories(caches);
    std::filesystem::create_directories(root.path + "/bin");
    const std::string sudo = root.path + "/bin/sudo";
    std::ofstream(sudo) << "#!/bin/sh\n"
                           "case \"$1\" in\n"
                           "  */open-cache-vdi.sh) mkdir -p '"
                        << caches << "/'\"$2\" && echo '" << caches
                        << "/'\"$2\" ;;\n"
                           "  */close-cache-vdi.sh) ;;\n"
                           "  *) exit 1 ;;\n"
                           "esac\n";
    std::filesystem::permissions(sudo, std::filesystem::perms::owner_all);
    const char* path = std::getenv("PATH");
    setenv("PATH", (root.path + "/bin:" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    site_state_set_dir(state_dir);

    ctx.listener_threads = 1;
    ctx.packet_mmap = true;
    interface_thread_init(&ctx);
    site_contexts_init(&ctx);
    server_contexts_init(&ctx);
    client_contexts_init(&ctx);
    vdisk_contexts_init(&ctx);
    ctx.site_state = std::make_unique<site_state_table>();
    ctx.json_commands = std::make_unique<json_command_table>();
    register_json_command(&ctx, "configure_site", process_configure_site);
    register_json_command(&ctx, "remove_site", process_remove_site);
    register_json_command(&ctx, "metrics", process_metrics);
    register_json_command(&ctx, "prepop-progress", process_prepop_progress);
    register_json_command(&ctx, "context-state", process_context_state);
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    ours.reset(fds[0]);
    theirs.reset(fds[1]);
  }

  // Back to no sites and no saved state, as a fresh daemon.
  void reset() {
    std::vector<std::string> sites;
    for (const auto& [uuid, site] : *ctx.site_context_ht) sites.push_back(uuid);
    for (const auto& uuid : sites) site_contexts_remove(&ctx, uuid.c_str());
    ctx.site_state->clear();
    for (const char* dir : {state_dir.c_str(), caches.c_str()}) {
      std::error_code ignored;
      for (const auto& e : std::filesystem::directory_iterator(dir, ignored))
        std::filesystem::remove_all(e.path(), ignored);
    }
  }

  // What the daemon sent on the connection: "" when nothing.
  std::string response() {
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = recv(ours.get(), buf, sizeof buf, MSG_DONTWAIT)) > 0) out.append(buf, n);
    return out;
  }

  // Whether the registry still reads as a whole: every query builds.
  void check_queries() {
    for (json_object* r :
         {context_state_result(&ctx), prepop_progress_result(&ctx), metrics_result(&ctx)}) {
      FUZZ_CHECK(r != nullptr && json_object_to_json_string(r) != nullptr);
      json_object_put(r);
    }
  }
};

// Whether any "interface" member anywhere in `o` names an interface this
// network namespace has: such a request would start a real listener.
inline bool names_real_interface(json_object* o) {
  if (json_object_is_type(o, json_type_array)) {
    for (size_t i = 0; i < json_object_array_length(o); i++)
      if (names_real_interface(json_object_array_get_idx(o, i))) return true;
  } else if (json_object_is_type(o, json_type_object)) {
    json_object_object_foreach(o, key, value) {
      if (std::strcmp(key, "interface") == 0 && json_object_is_type(value, json_type_string)) {
        const char* name = json_object_get_string(value);
        if (if_nametoindex(name) != 0) return true;
      }
      if (names_real_interface(value)) return true;
    }
  }
  return false;
}

}  // namespace fuzz
