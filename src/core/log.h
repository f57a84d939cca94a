// The daemon's log writer.
//
// Everything logs through GLib without a log domain. ERROR is fatal, CRITICAL
// is reserved for precondition failures, WARNING for failed requests and
// recoverable errors, MESSAGE for lifecycle events, INFO for rare diagnostics
// (written only with G_MESSAGES_DEBUG=all). Call log_init before anything is
// logged.
//
// Lines the packet path can cause pass a log_limit: at most `burst` lines per
// interval, the first at once; the others are counted, and the call that
// opens the next interval learns how many were held back so that its caller
// can say so. Lock-free and allocation-free, safe from any thread.
#pragma once

#include <glib.h>

#include <atomic>
#include <cstdint>

void log_init();
GLogWriterOutput log_writer(GLogLevelFlags log_level, const GLogField* fields, gsize n_fields,
                            gpointer user_data);

struct log_limit {
  std::atomic<int64_t> window{0};  // monotonic microseconds; 0: none yet
  std::atomic<uint32_t> count{0};  // lines let out in the present window
  std::atomic<uint32_t> dropped{0};
};

// True when a line may go out now. *held is how many lines earlier windows
// held back when this call opened a new window, 0 otherwise.
bool log_limit_admit(log_limit* limit, int64_t interval_us, uint32_t burst, uint32_t* held);
