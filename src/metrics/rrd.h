// The RRD thread: publishes the daemon's metrics every 5 seconds.
//
// Runs as the "RRD" service thread and ends after the first sleep that finds
// `stopping` set, so shutdown waits at most one sleep for it.
#pragma once

struct service_thread;

inline constexpr unsigned RRD_SAMPLE_INTERVAL_S = 5;

void rrd_thread(service_thread* record);
