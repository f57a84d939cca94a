// The daemon's tuning: the key file "/etc/tarnproxy.conf", group "Main".
//
// Read once at start-up. Every key has a default; defaults and file values go
// through the same key-file getters, so a default can never be parsed
// differently from the same text in the file. A value that cannot be
// interpreted is fatal (ERROR, then abort): the daemon never runs on a
// half-understood configuration.
#pragma once

#include <cstdint>

struct proxy_context;

inline constexpr const char* CONFIG_PATH = "/etc/tarnproxy.conf";
inline constexpr const char* CONFIG_GROUP = "Main";

// Fills the configuration fields of `context` from the key file at `path` and
// returns the prepopIoThreads value (the pool's maximum thread count).
int config_load(proxy_context* context, const char* path);
