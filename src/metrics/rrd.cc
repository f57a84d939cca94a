#include "metrics/rrd.h"

#include <glib.h>
#include <unistd.h>

#include "contexts/proxy_context.h"
#include "core/service_thread.h"

void rrd_thread(service_thread* record) {
  proxy_context* context = record->context;
  g_message("RRD thread started");
  // Publication of the data sources arrives with the metrics plug-in library.
  do {
    // sleep() returns early on a signal; finish the interval so samples stay
    // 5 seconds apart.
    unsigned left = RRD_SAMPLE_INTERVAL_S;
    while (left > 0) left = sleep(left);
  } while (!context->stopping);
  g_message("RRD Thread stopped");
}

// Publication arrives with the metrics plug-in library.
void rrd_client_open(client_context*) {}
void rrd_client_close(client_context*) {}
void rrd_client_sample(client_context*, bool) {}
