// Prepopulation: warming a vDisk's cache ahead of need.
#include "contexts/clients.h"
#include "protocol/tarn.h"

void tarn_prepop_thread(gpointer data, gpointer /*user_data*/) {
  auto* job = static_cast<tarn_prepop_job*>(data);
  client_context* cc = job->client;
  delete job;
  // Warming itself is not written yet; the job only gives its client back.
  client_context_release(cc);
}
