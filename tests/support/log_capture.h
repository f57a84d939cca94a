// Records what the code under test logs, while still writing it out.
#pragma once

#include <glib.h>

#include <mutex>
#include <string>
#include <vector>

namespace tarn_test {

struct log_line {
  GLogLevelFlags level;
  std::string message;
};

// Installs a recording writer for the whole process (GLib allows one writer
// per process, set once); later instances share it. clear() forgets the lines.
class log_capture {
 public:
  log_capture();
  std::vector<log_line> lines() const;
  bool contains(const std::string& text) const;
  bool contains(GLogLevelFlags level, const std::string& text) const;
  size_t count(const std::string& text) const;
  void clear();
};

}  // namespace tarn_test
