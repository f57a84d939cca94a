// Our metrics plug-in library: publishes a plug-in's data sources as files.
//
// A plug-in opens a handle on a path, adds its data sources (name,
// description, owner, units, limits and a sampling function) and samples the
// handle periodically. Every sample calls each source's sampling function and
// rewrites, each atomically (a hidden temporary file in the same directory,
// then rename), two files:
//
//   <path>       a JSON document listing every source with its current value
//   <path>.prom  the same values in the Prometheus text exposition format, for
//                node_exporter's textfile collector pointed at the directory
//
// rrd_close removes both. docs/metrics.md describes the two formats.
//
//   rrd_handle* h = rrd_open("tarnproxy_host", 0, "/dev/shm/metrics/tarnproxy");
//   rrd_add_src(h, &source);          // the library copies the source
//   rrd_sample(h, nullptr);           // every few seconds
//   rrd_del_src(h, &source);
//   rrd_close(h);
//
// Operations return 0 or a negative errno value. A handle may be used from
// several threads; sampling functions run under the handle's own lock, so they
// must not call back into the library.
#pragma once

#include <cstdint>
#include <string>

// Owner kinds.
inline constexpr int32_t RRD_OWNER_HOST = 0;
inline constexpr int32_t RRD_OWNER_VM = 1;
// Scales: a gauge is published as it is, a derived source is the running
// total of a counter whose per-second rate the consumer computes.
inline constexpr int32_t RRD_SCALE_GAUGE = 0;
inline constexpr int32_t RRD_SCALE_DERIVE = 2;
// Value types: the sampling function returns the bits of a double, or a
// 64-bit integer (unsigned for a derived source, signed for a gauge); or, for
// a histogram (always derived), the histogram function fills its buckets.
inline constexpr int32_t RRD_TYPE_DOUBLE = 0;
inline constexpr int32_t RRD_TYPE_INT64 = 1;
inline constexpr int32_t RRD_TYPE_HISTOGRAM = 2;

// Sources per handle; more are refused with -ENOSPC.
inline constexpr size_t RRD_MAX_SOURCES = 256;
inline constexpr size_t RRD_MAX_LABELS = 4;
inline constexpr size_t RRD_HISTOGRAM_MAX_BOUNDS = 32;

// One sample of a histogram: its buckets' ascending upper bounds (in the
// source's units), the count of observations at or below each, and the
// count and sum of all.
struct rrd_histogram {
  size_t bounds = 0;
  double le[RRD_HISTOGRAM_MAX_BOUNDS] = {};
  uint64_t cumulative[RRD_HISTOGRAM_MAX_BOUNDS] = {};
  uint64_t count = 0;
  double sum = 0;
};

using rrd_sample_fn = uint64_t (*)(void* arg);
using rrd_histogram_fn = void (*)(void* arg, rrd_histogram* out);

struct rrd_source {
  const char* name;         // unique per handle; its Prometheus form too
  const char* description;  // any text
  const char* owner_uuid;   // a UUID
  const char* units;        // any text
  const char* min;          // a number as text, e.g. "0", "inf"
  const char* max;
  rrd_sample_fn sample;
  void* sample_arg;
  int32_t owner;            // RRD_OWNER_*
  int32_t archive_default;  // 0 or 1; published, not otherwise used here
  int32_t scale;            // RRD_SCALE_*
  int32_t type;             // RRD_TYPE_*
  // Further labels: name and value pairs, ended by a null name; null for
  // none. Sources may share a name when their labels tell them apart.
  const char* const* labels;
  rrd_histogram_fn histogram;  // for RRD_TYPE_HISTOGRAM; `sample` unused then
};

struct rrd_handle;

// `name` is the plug-in's name, `domain` the domain it runs in (0: the host),
// `path` an absolute file path whose directory is created if missing. Writes
// the (still empty) files at once, so a path that cannot be published fails
// here. Null on failure (errno says why), also for a path that another handle
// of this process has open.
rrd_handle* rrd_open(const char* name, int32_t domain, const char* path);
// Validates and copies `source`: -EINVAL for a field out of range or a name
// shared with a source of other units, description, scale or type (one
// Prometheus family has one HELP and TYPE), -EEXIST for a name (or
// Prometheus name) already in the handle with the same labels.
int32_t rrd_add_src(rrd_handle* handle, const rrd_source* source);
// Removes the source of that name and labels; -ENOENT if there is none.
int32_t rrd_del_src(rrd_handle* handle, const rrd_source* source);
// Samples every source and publishes the files. `reserved` must be null.
int32_t rrd_sample(rrd_handle* handle, void* reserved);
// Removes the files and frees the handle, also when removing fails.
int32_t rrd_close(rrd_handle* handle);

// The metric name a source gets in the Prometheus file: invalid characters
// become '_', and a derived source ends in "_total".
std::string rrd_prometheus_name(const char* name, int32_t scale);

// The q-quantile (0 <= q <= 1) as Prometheus's histogram_quantile computes
// it: linear within the bucket the rank falls in (from 0 for the first),
// the last bound when it falls above them all; 0 for an empty histogram.
double rrd_histogram_quantile(const rrd_histogram& h, double q);
