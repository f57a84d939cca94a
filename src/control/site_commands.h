// Site configuration commands: "configure_site" and "remove_site".
//
// A "configure_site" request describes one site completely (cache VDI, servers,
// clients). The handler reconciles the running contexts with it against the
// site's previous accepted request (kept in `site_state`), then persists the
// request as the site's state file under STATE_DIR, so that the restore at
// start-up can replay it through site_state_restore. "remove_site" removes the
// site, its stored request and its state file.
//
// A request that leaves "servers" or "clients" out leaves those entries as
// they are; the stored request and the state file then carry the previous
// list forward, so that a later list (even an empty one) is compared with it
// and a restart restores those entries too. State files are written aside
// under a name starting with "." and renamed into place after an fsync.
//
// All operations run on the unixsocket thread only; `site_state` must exist.
#pragma once

#include <json-c/json.h>

#include <string>

struct proxy_context;

// Method handlers (json_command_fn). connection -1 is reload mode: nothing is
// sent and no state file is written.
void process_configure_site(proxy_context* context, json_object* request, int connection);
void process_remove_site(proxy_context* context, json_object* request, int connection);

// Replays one parsed state file at start-up: configure_site in reload mode.
void site_state_restore(proxy_context* context, json_object* request);

// Compares `jobj_tofind` with the entry of `jobjs` that has the same "uuid":
// 0 identical, 1 differs (or `jobjs` is null), 2 no such entry.
int find_json_object(json_object* jobjs, json_object* jobj_tofind);

// The directory that state files go to; STATE_DIR unless a test changed it.
const std::string& site_state_dir();
void site_state_set_dir(const std::string& dir);
