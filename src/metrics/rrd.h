// The RRD thread: publishes the daemon's metrics every 5 seconds.
//
// Runs as the "RRD" service thread and ends after the first sleep that finds
// `stopping` set, so shutdown waits at most one sleep for it.
#pragma once

struct service_thread;
struct client_context;

inline constexpr unsigned RRD_SAMPLE_INTERVAL_S = 5;

void rrd_thread(service_thread* record);

// A client's own data source. Until the metrics plug-in library arrives these
// do nothing; the client operations already call them where publication
// belongs. rrd_client_sample does nothing while the source is not open.
void rrd_client_open(client_context* cc);
void rrd_client_close(client_context* cc);
void rrd_client_sample(client_context* cc, bool force);
