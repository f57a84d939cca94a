// The daemon's log writer.
//
// Everything logs through GLib without a log domain. ERROR is fatal, CRITICAL
// is reserved for precondition failures, WARNING for failed requests and
// recoverable errors, MESSAGE for lifecycle events, INFO for rare diagnostics
// (written only with G_MESSAGES_DEBUG=all). Call log_init before anything is
// logged.
#pragma once

#include <glib.h>

void log_init();
GLogWriterOutput log_writer(GLogLevelFlags log_level, const GLogField* fields, gsize n_fields,
                            gpointer user_data);
