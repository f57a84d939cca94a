// Running the cache VDI scripts with a time limit and bounded output.
//
// The scripts are the installation's own and run through sudo while the
// caller holds site_lock for writing, so one that hangs or prints without end
// must not hold the daemon with it. cache_script_run starts the command in a
// process group of its own, collects at most CACHE_SCRIPT_OUTPUT_MAX bytes of
// each stream (reading and dropping the rest, so the script is never blocked
// on a full pipe), and when the time is up, or CACHE_SCRIPT_SHUTDOWN_GRACE_S
// after the daemon began to shut down, it ends the script (SIGTERM to the
// group, which sudo passes on, then SIGKILL) and reaps it.
//
//   cache_script_result r;
//   cache_script_run(argv, 120, &context->stopping, &r);
//   if (r.outcome == cache_script_outcome::exited && r.status == 0) ... r.out.text ...
#pragma once

#include <glib.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr size_t CACHE_SCRIPT_OUTPUT_MAX = 64 * 1024;
// How much of a stream a log line shows.
inline constexpr size_t CACHE_SCRIPT_LOG_MAX = 2048;
// Real attach and detach operations take tens of seconds.
inline constexpr int CACHE_SCRIPT_DEFAULT_TIMEOUT_S = 120;
// What a script still running when shutdown begins is given at most.
inline constexpr int64_t CACHE_SCRIPT_SHUTDOWN_GRACE_S = 20;

struct cache_script_output {
  std::string text;    // at most CACHE_SCRIPT_OUTPUT_MAX bytes, as received
  size_t dropped = 0;  // bytes beyond that, read and thrown away
};

enum class cache_script_outcome {
  not_started,  // the spawn failed: error_code and error_message say why
  exited,       // status is the raw wait status
  timed_out,    // killed after the time limit
  cancelled,    // killed after the shutdown's grace
};

struct cache_script_result {
  cache_script_outcome outcome = cache_script_outcome::not_started;
  int status = 0;
  int error_code = 0;
  std::string error_message;
  cache_script_output out;
  cache_script_output err;
};

// Runs argv (searched in PATH) with stdin from /dev/null. `stopping`, when
// given and 0 at the start, shortens the wait to the shutdown's grace once it
// turns nonzero; a script started during shutdown (to close a cache) gets
// its full time.
// `timeout_s` below 1 counts as 1.
void cache_script_run(char** argv, int timeout_s, const std::atomic<uint8_t>* stopping,
                      cache_script_result* result);

// A stream for a log line: at most CACHE_SCRIPT_LOG_MAX bytes, control bytes
// other than newline and tab (and anything that is not UTF-8) written as
// \xHH, and how many bytes were left out.
std::string cache_script_text(const cache_script_output& output);
