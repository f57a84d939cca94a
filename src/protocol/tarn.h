// The streaming-protocol engine.
//
// For now only the prepopulation pool's task function, so that main can
// create the pool; the engine proper arrives with packet processing.
#pragma once

#include <glib.h>

// Task function of the prepopulation pool: `data` is one job, `user_data` the
// proxy_context.
void tarn_prepop_thread(gpointer data, gpointer user_data);
