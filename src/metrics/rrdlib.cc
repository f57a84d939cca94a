#include "metrics/rrdlib.h"

#include <fcntl.h>
#include <glib.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "core/uuid.h"

namespace {

constexpr const char* PROM_SUFFIX = ".prom";

struct source_copy {
  std::string name;
  std::string prom_name;
  std::string description;
  std::string owner_uuid;
  std::string units;
  std::string min;
  std::string max;
  rrd_sample_fn sample = nullptr;
  void* sample_arg = nullptr;
  int32_t owner = 0;
  int32_t archive_default = 0;
  int32_t scale = 0;
  int32_t type = 0;
  std::vector<std::pair<std::string, std::string>> labels;
  rrd_histogram_fn histogram = nullptr;
};

// Paths with an open handle in this process: two handles on one path would
// overwrite each other's files and the first close would delete both.
std::mutex open_paths_mutex;
std::set<std::string> open_paths;

struct json_deleter {
  void operator()(json_object* o) const { json_object_put(o); }
};
using json_ptr = std::unique_ptr<json_object, json_deleter>;

// A limit is a number, possibly infinite, and nothing else.
bool is_number(const char* text) {
  if (*text == '\0') return false;
  char* end = nullptr;
  double value = g_ascii_strtod(text, &end);
  return *end == '\0' && !std::isnan(value);
}

bool has_suffix(const std::string& s, const char* suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Colons are valid but reserved for recording rules, so they go too.
std::string sanitize_name(const char* name) {
  std::string out;
  for (const char* p = name; *p != '\0'; p++) {
    if (g_ascii_isalpha(*p) || *p == '_') {
      out += *p;
    } else if (g_ascii_isdigit(*p)) {
      if (out.empty()) out += '_';  // a name may not start with a digit
      out += *p;
    } else {
      out += '_';
    }
  }
  return out.empty() ? std::string("_") : out;
}

// HELP text escapes backslash and newline; label values also the quote.
std::string escape(const std::string& text, bool label) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (label && c == '"') {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

// The shortest text that reads back as the same double.
std::string prom_double(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[32];
  for (int digits = 15; digits <= 17; digits++) {
    snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (g_ascii_strtod(buf, nullptr) == v) break;
  }
  return buf;
}

bool is_label_name(const char* name) {
  if (!g_ascii_isalpha(*name) && *name != '_') return false;
  for (const char* p = name; *p != '\0'; p++) {
    if (!g_ascii_isalnum(*p) && *p != '_') return false;
  }
  // "le" is the histograms' own, "client_uuid" a VM source's, and names
  // starting "__" are reserved to Prometheus.
  return strcmp(name, "le") != 0 && strcmp(name, "client_uuid") != 0 && strncmp(name, "__", 2) != 0;
}

// A series' labels as `{a="x",b="y"}`, with `extra` (already formatted) last;
// "" when there are none.
std::string label_text(const source_copy& s, const std::string& extra = "") {
  std::string out;
  if (s.owner == RRD_OWNER_VM) out += "client_uuid=\"" + escape(s.owner_uuid, true) + "\"";
  for (const auto& [name, value] : s.labels) {
    out += (out.empty() ? "" : ",") + name + "=\"" + escape(value, true) + "\"";
  }
  if (!extra.empty()) out += (out.empty() ? "" : ",") + extra;
  return out.empty() ? out : "{" + out + "}";
}

// One source's lines of its family, and its JSON value.
json_object* publish_value(const source_copy& s, std::string* prom) {
  if (s.type == RRD_TYPE_HISTOGRAM) {
    rrd_histogram h;
    s.histogram(s.sample_arg, &h);
    h.bounds = std::min(h.bounds, RRD_HISTOGRAM_MAX_BOUNDS);
    json_object* value = json_object_new_object();
    json_object* buckets = json_object_new_array();
    for (size_t i = 0; i < h.bounds; i++) {
      const std::string le = prom_double(h.le[i]);
      *prom += s.prom_name + "_bucket" + label_text(s, "le=\"" + le + "\"") + " " +
               std::to_string(h.cumulative[i]) + "\n";
      json_object* bucket = json_object_new_array();
      json_object_array_add(bucket, json_object_new_double(h.le[i]));
      json_object_array_add(bucket, json_object_new_uint64(h.cumulative[i]));
      json_object_array_add(buckets, bucket);
    }
    *prom += s.prom_name + "_bucket" + label_text(s, "le=\"+Inf\"") + " " +
             std::to_string(h.count) + "\n";
    *prom += s.prom_name + "_sum" + label_text(s) + " " + prom_double(h.sum) + "\n";
    *prom += s.prom_name + "_count" + label_text(s) + " " + std::to_string(h.count) + "\n";
    json_object_object_add(value, "count", json_object_new_uint64(h.count));
    json_object_object_add(value, "sum", json_object_new_double(h.sum));
    json_object_object_add(value, "p50", json_object_new_double(rrd_histogram_quantile(h, 0.5)));
    json_object_object_add(value, "p99", json_object_new_double(rrd_histogram_quantile(h, 0.99)));
    json_object_object_add(value, "buckets", buckets);
    return value;
  }
  uint64_t bits = s.sample(s.sample_arg);
  json_object* value;
  std::string text;
  if (s.type == RRD_TYPE_DOUBLE) {
    double d = std::bit_cast<double>(bits);
    // JSON has no NaN or infinity.
    value = std::isfinite(d) ? json_object_new_double(d) : nullptr;
    text = prom_double(d);
  } else if (s.scale == RRD_SCALE_DERIVE) {
    value = json_object_new_uint64(bits);
    text = std::to_string(bits);
  } else {
    value = json_object_new_int64(static_cast<int64_t>(bits));
    text = std::to_string(static_cast<int64_t>(bits));
  }
  *prom += s.prom_name + label_text(s) + " " + text + "\n";
  return value;
}

const char* family_type(const source_copy& s) {
  if (s.type == RRD_TYPE_HISTOGRAM) return "histogram";
  return s.scale == RRD_SCALE_DERIVE ? "counter" : "gauge";
}

std::string help_text(const source_copy& s) {
  if (s.scale == RRD_SCALE_DERIVE && s.type != RRD_TYPE_HISTOGRAM) {
    return s.description + " (" + s.units + "); published as a running total";
  }
  return s.description + " (" + s.units + ")";
}

// Writes `contents` to a hidden temporary file beside `path` and renames it
// over `path`, so a reader sees the old file or the new one, never a part.
// The temporary name ends in random characters, never in ".prom", so the
// textfile collector never reads it.
int write_atomically(const std::string& path, const std::string& contents) {
  std::string dir = path.substr(0, path.rfind('/') + 1);
  std::string tmp = dir + "." + path.substr(dir.size()) + ".XXXXXX";
  int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return -errno;
  int rc = 0;
  size_t at = 0;
  while (at < contents.size()) {
    ssize_t n = write(fd, contents.data() + at, contents.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      rc = n < 0 ? -errno : -EIO;
      break;
    }
    at += static_cast<size_t>(n);
  }
  // mkostemp makes the file 0600; readers such as node_exporter may run as
  // another user.
  if (rc == 0 && fchmod(fd, 0644) != 0) rc = -errno;
  if (close(fd) != 0 && rc == 0) rc = -errno;
  if (rc == 0 && rename(tmp.c_str(), path.c_str()) != 0) rc = -errno;
  if (rc != 0) unlink(tmp.c_str());
  return rc;
}

}  // namespace

struct rrd_handle {
  std::string name;
  int32_t domain = 0;
  std::string path;
  std::mutex mutex;
  std::vector<source_copy> sources;  // in the order they were added
};

namespace {

// The two documents of one sample, built under the handle's mutex.
int publish(rrd_handle* h) {
  json_ptr doc(json_object_new_object());
  json_ptr sources(json_object_new_array());
  std::string prom;
  std::set<std::string> hosts;
  for (const source_copy& s : h->sources) {
    if (s.owner == RRD_OWNER_HOST) hosts.insert(s.owner_uuid);
  }
  // The host's UUID once, as an info metric, rather than as a label on every
  // host series.
  if (!hosts.empty()) {
    std::string info = sanitize_name(h->name.c_str()) + "_installation_info";
    prom += "# HELP " + info + " Installation UUID of the host that owns the " +
            escape(h->name, false) + " sources\n";
    prom += "# TYPE " + info + " gauge\n";
    for (const std::string& uuid : hosts) {
      prom += info + "{installation_uuid=\"" + escape(uuid, true) + "\"} 1\n";
    }
  }

  // A family's series follow its one HELP and TYPE, in the order their
  // sources were added.
  std::set<std::string> families;
  for (const source_copy& first : h->sources) {
    if (!families.insert(first.prom_name).second) continue;
    prom += "# HELP " + first.prom_name + " " + escape(help_text(first), false) + "\n";
    prom += "# TYPE " + first.prom_name + " " + family_type(first) + "\n";
    for (const source_copy& s : h->sources) {
      if (s.prom_name != first.prom_name) continue;
      json_object* value = publish_value(s, &prom);
      json_object* o = json_object_new_object();
      json_object_object_add(o, "name", json_object_new_string(s.name.c_str()));
      json_object_object_add(o, "description", json_object_new_string(s.description.c_str()));
      json_object_object_add(o, "owner_uuid", json_object_new_string(s.owner_uuid.c_str()));
      json_object_object_add(o, "units", json_object_new_string(s.units.c_str()));
      json_object_object_add(o, "min", json_object_new_string(s.min.c_str()));
      json_object_object_add(o, "max", json_object_new_string(s.max.c_str()));
      json_object_object_add(o, "owner_kind", json_object_new_int(s.owner));
      json_object_object_add(o, "archive_default", json_object_new_int(s.archive_default));
      json_object_object_add(o, "scale", json_object_new_int(s.scale));
      json_object_object_add(o, "value_type", json_object_new_int(s.type));
      if (!s.labels.empty()) {
        json_object* labels = json_object_new_object();
        for (const auto& [name, text] : s.labels) {
          json_object_object_add(labels, name.c_str(), json_object_new_string(text.c_str()));
        }
        json_object_object_add(o, "labels", labels);
      }
      json_object_object_add(o, "value", value);
      json_object_array_add(sources.get(), o);
    }
  }
  json_object_object_add(doc.get(), "plugin", json_object_new_string(h->name.c_str()));
  json_object_object_add(doc.get(), "domain", json_object_new_int(h->domain));
  json_object_object_add(doc.get(), "sources", sources.release());
  std::string json = json_object_to_json_string_ext(
      doc.get(), JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE);
  json += "\n";

  int rc = write_atomically(h->path + PROM_SUFFIX, prom);
  int rc_json = write_atomically(h->path, json);
  return rc != 0 ? rc : rc_json;
}

}  // namespace

std::string rrd_prometheus_name(const char* name, int32_t scale) {
  std::string out = sanitize_name(name);
  if (scale == RRD_SCALE_DERIVE && !has_suffix(out, "_total")) out += "_total";
  return out;
}

rrd_handle* rrd_open(const char* name, int32_t domain, const char* path) {
  if (name == nullptr || *name == '\0' || path == nullptr || path[0] != '/' || domain < 0) {
    errno = EINVAL;
    return nullptr;
  }
  std::string p(path);
  std::string base = p.substr(p.rfind('/') + 1);
  // "<path>.prom" must not be another handle's data file, and a directory
  // path has no file name to publish at.
  if (base.empty() || base[0] == '.' || has_suffix(base, PROM_SUFFIX)) {
    errno = EINVAL;
    return nullptr;
  }
  std::string dir = p.substr(0, p.size() - base.size());
  if (g_mkdir_with_parents(dir.c_str(), 0755) != 0) return nullptr;  // errno is set

  auto h = std::make_unique<rrd_handle>();
  h->name = name;
  h->domain = domain;
  h->path = p;
  {
    std::lock_guard<std::mutex> hold(open_paths_mutex);
    if (!open_paths.insert(p).second) {
      errno = EBUSY;
      return nullptr;
    }
  }
  int rc = publish(h.get());
  if (rc != 0) {
    unlink((p + PROM_SUFFIX).c_str());
    unlink(p.c_str());
    std::lock_guard<std::mutex> hold(open_paths_mutex);
    open_paths.erase(p);
    errno = -rc;
    return nullptr;
  }
  return h.release();
}

int32_t rrd_add_src(rrd_handle* handle, const rrd_source* s) {
  if (handle == nullptr || s == nullptr) return -EINVAL;
  if (s->name == nullptr || *s->name == '\0' || s->description == nullptr ||
      s->owner_uuid == nullptr || s->units == nullptr || s->min == nullptr || s->max == nullptr) {
    return -EINVAL;
  }
  if (!uuid_is_valid(s->owner_uuid) || !is_number(s->min) || !is_number(s->max)) return -EINVAL;
  if (s->owner != RRD_OWNER_HOST && s->owner != RRD_OWNER_VM) return -EINVAL;
  if (s->archive_default != 0 && s->archive_default != 1) return -EINVAL;
  if (s->scale != RRD_SCALE_GAUGE && s->scale != RRD_SCALE_DERIVE) return -EINVAL;
  if (s->type != RRD_TYPE_DOUBLE && s->type != RRD_TYPE_INT64 && s->type != RRD_TYPE_HISTOGRAM) {
    return -EINVAL;
  }
  if (s->type == RRD_TYPE_HISTOGRAM ? s->histogram == nullptr || s->scale != RRD_SCALE_DERIVE
                                    : s->sample == nullptr) {
    return -EINVAL;
  }
  std::vector<std::pair<std::string, std::string>> labels;
  for (const char* const* l = s->labels; l != nullptr && l[0] != nullptr; l += 2) {
    if (l[1] == nullptr || !is_label_name(l[0]) || labels.size() == RRD_MAX_LABELS) return -EINVAL;
    for (const auto& [name, value] : labels) {
      if (name == l[0]) return -EINVAL;
    }
    labels.emplace_back(l[0], l[1]);
  }

  source_copy c;
  c.name = s->name;
  c.prom_name = rrd_prometheus_name(s->name, s->scale);
  c.description = s->description;
  c.owner_uuid = s->owner_uuid;
  c.units = s->units;
  c.min = s->min;
  c.max = s->max;
  c.sample = s->sample;
  c.sample_arg = s->sample_arg;
  c.owner = s->owner;
  c.archive_default = s->archive_default;
  c.scale = s->scale;
  c.type = s->type;
  c.labels = std::move(labels);
  c.histogram = s->histogram;
  if (c.type == RRD_TYPE_HISTOGRAM) c.prom_name = sanitize_name(s->name);

  std::lock_guard<std::mutex> hold(handle->mutex);
  for (const source_copy& other : handle->sources) {
    if (other.name != c.name && other.prom_name != c.prom_name) continue;
    // Two series of one name and labels would make the file invalid, and so
    // would a family whose members disagree on its HELP or TYPE.
    if (label_text(other) == label_text(c)) return -EEXIST;
    if (other.prom_name != c.prom_name || help_text(other) != help_text(c) ||
        family_type(other) != std::string(family_type(c))) {
      return -EINVAL;
    }
  }
  if (handle->sources.size() >= RRD_MAX_SOURCES) return -ENOSPC;
  handle->sources.push_back(std::move(c));
  return 0;
}

int32_t rrd_del_src(rrd_handle* handle, const rrd_source* s) {
  if (handle == nullptr || s == nullptr || s->name == nullptr) return -EINVAL;
  std::lock_guard<std::mutex> hold(handle->mutex);
  std::vector<std::pair<std::string, std::string>> labels;
  for (const char* const* l = s->labels; l != nullptr && l[0] != nullptr && l[1] != nullptr;
       l += 2) {
    labels.emplace_back(l[0], l[1]);
  }
  for (auto it = handle->sources.begin(); it != handle->sources.end(); ++it) {
    if (it->name == s->name && it->labels == labels) {
      handle->sources.erase(it);
      return 0;
    }
  }
  return -ENOENT;
}

int32_t rrd_sample(rrd_handle* handle, void* reserved) {
  if (handle == nullptr || reserved != nullptr) return -EINVAL;
  std::lock_guard<std::mutex> hold(handle->mutex);
  return publish(handle);
}

int32_t rrd_close(rrd_handle* handle) {
  if (handle == nullptr) return -EINVAL;
  std::unique_ptr<rrd_handle> h(handle);
  int rc = 0;
  for (const std::string& file : {h->path + PROM_SUFFIX, h->path}) {
    if (unlink(file.c_str()) != 0 && errno != ENOENT && rc == 0) rc = -errno;
  }
  std::lock_guard<std::mutex> hold(open_paths_mutex);
  open_paths.erase(h->path);
  return rc;
}

double rrd_histogram_quantile(const rrd_histogram& h, double q) {
  if (h.count == 0 || h.bounds == 0) return 0;
  const size_t n = std::min(h.bounds, RRD_HISTOGRAM_MAX_BOUNDS);
  const double rank = std::clamp(q, 0.0, 1.0) * static_cast<double>(h.count);
  for (size_t i = 0; i < n; i++) {
    if (static_cast<double>(h.cumulative[i]) < rank) continue;
    const double lower = i == 0 ? 0 : h.le[i - 1];
    const uint64_t below = i == 0 ? 0 : h.cumulative[i - 1];
    const uint64_t in = h.cumulative[i] - below;
    if (in == 0) return h.le[i];
    return lower +
           (h.le[i] - lower) * (rank - static_cast<double>(below)) / static_cast<double>(in);
  }
  return h.le[n - 1];
}
