// The RRD thread: publishes the daemon's metrics every 5 seconds through our
// metrics plug-in library (metrics/rrdlib.h).
//
// The thread registers the host-wide data sources computed from the
// registry-wide counters (rates, and the read latency histograms) under the
// handle "tarnproxy_host" at the publication path, owned by the host's
// installation UUID from the inventory file, and before each sample brings
// the per-vDisk warmth series in line with the vDisk records. Each client
// context registers its own sources (status, latency histograms, its latest
// boot's figures) under "tarnproxy_client" at "<path>-<client uuid>": a
// status change publishes them at once, and the thread samples them when
// more than 4 seconds have passed.
//
// Runs as the "RRD" service thread and ends at the first check of `stopping`
// that finds it set; it checks during its sleeps, so shutdown never waits
// more than one sleep for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "metrics/rrdlib.h"

struct service_thread;
struct client_context;
struct metrics_record;

inline constexpr unsigned RRD_SAMPLE_INTERVAL_S = 5;
// A client is sampled by the thread only when this much time has passed since
// its last sample, forced or not.
inline constexpr int64_t RRD_CLIENT_INTERVAL_US = 4 * 1000000;
inline constexpr const char* RRD_PATH = "/dev/shm/metrics/tarnproxy";
inline constexpr const char* RRD_INVENTORY_PATH = "/etc/quillon-inventory";
inline constexpr const char* RRD_NULL_UUID = "00000000-0000-0000-0000-000000000000";
inline constexpr size_t RRD_HOST_SOURCES = 14;

// Where the daemon publishes: the host's files at `path`, each client's at
// "<path>-<uuid>". The daemon sets RRD_PATH before its threads start. Until
// then (as in tests that create clients outside a sandbox) nothing is
// published: the thread opens no handle and clients get none.
void rrd_set_path(const char* path);
// Removes what an earlier run left at the publication path and may no longer
// stand for anything: a killed run never closed its clients' status files
// (and a client it had may not come back) and may have left a temporary
// behind. Called before the first client is created.
void rrd_remove_stale_files();

void rrd_thread(service_thread* record);

// The installation UUID from the inventory file's INSTALLATION_UUID='...'
// line; RRD_NULL_UUID, with a warning, when the file cannot be read, has no
// such line or the value is not a UUID.
std::string rrd_installation_uuid(const char* inventory_path);
// The host sources in their order, sampling `m`, owned by `owner_uuid`
// (which must outlive their use).
void rrd_host_sources(metrics_record* m, const char* owner_uuid, rrd_source out[RRD_HOST_SOURCES]);

// A client's own status source. Open is called by client creation, close when
// the record is freed; sample with `force` by every status change, without it
// by the thread. All three do nothing while the client has no open handle
// (publication off, or rrd_open failed).
void rrd_client_open(client_context* cc);
void rrd_client_close(client_context* cc);
void rrd_client_sample(client_context* cc, bool force);
