#include "support/log_capture.h"

#include <cstring>

#include "core/log.h"

namespace tarn_test {
namespace {

std::mutex capture_mutex;
std::vector<log_line>* captured = nullptr;

GLogWriterOutput recording_writer(GLogLevelFlags level, const GLogField* fields, gsize n_fields,
                                  gpointer user_data) {
  for (gsize i = 0; i < n_fields; i++) {
    if (strcmp(fields[i].key, "MESSAGE") != 0) continue;
    const auto* text = static_cast<const char*>(fields[i].value);
    std::lock_guard<std::mutex> hold(capture_mutex);
    captured->push_back({static_cast<GLogLevelFlags>(level & G_LOG_LEVEL_MASK),
                         fields[i].length < 0
                             ? std::string(text)
                             : std::string(text, static_cast<size_t>(fields[i].length))});
  }
  return log_writer(level, fields, n_fields, user_data);
}

}  // namespace

log_capture::log_capture() {
  std::lock_guard<std::mutex> hold(capture_mutex);
  if (captured == nullptr) {
    captured = new std::vector<log_line>();
    g_log_set_writer_func(recording_writer, nullptr, nullptr);
  }
}

std::vector<log_line> log_capture::lines() const {
  std::lock_guard<std::mutex> hold(capture_mutex);
  return *captured;
}

bool log_capture::contains(const std::string& text) const {
  return count(text) > 0;
}

bool log_capture::contains(GLogLevelFlags level, const std::string& text) const {
  for (const auto& l : lines())
    if ((l.level & level) && l.message.find(text) != std::string::npos) return true;
  return false;
}

size_t log_capture::count(const std::string& text) const {
  size_t n = 0;
  for (const auto& l : lines()) n += l.message.find(text) != std::string::npos;
  return n;
}

void log_capture::clear() {
  std::lock_guard<std::mutex> hold(capture_mutex);
  captured->clear();
}

}  // namespace tarn_test
