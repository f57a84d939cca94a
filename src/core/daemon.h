// The daemon's main thread: start-up, the wait for SIGTERM/SIGINT, shutdown.
//
// tarnproxy_main is the whole lifecycle; src/main.cc only calls it. Start-up
// reads the configuration, builds the opcode names and the prepopulation pool,
// initialises the registry and starts the service threads CacheManager, RRD
// and Unixsocket; shutdown joins them in the reverse order and then destroys
// clients, vDisks, servers, sites and interface threads, in that order.
#pragma once

#include <glib.h>

// The process-wide random generator (request tags); created first, freed last.
// GRand is not thread-safe: callers on several threads serialise their draws.
extern GRand* tarn_rand;

void handle_sigterm(int signum);
int tarnproxy_main();
