// Reading the metrics files the daemon publishes, for the metrics tests.
#pragma once

#include <json-c/json.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "support/process.h"

namespace tarn_test {

inline bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// Polls, bounded, until `pred` holds.
inline bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Member `key` of the source `name` in the JSON document at `path`, as text;
// "<absent>" if there is no such document, source or member.
inline std::string source_member(const std::string& path, const std::string& name,
                                 const char* key) {
  json_object* root = json_tokener_parse(read_text(path).c_str());
  std::string result = "<absent>";
  json_object* sources = nullptr;
  if (root != nullptr && json_object_object_get_ex(root, "sources", &sources)) {
    for (size_t i = 0; i < json_object_array_length(sources); i++) {
      json_object* s = json_object_array_get_idx(sources, i);
      json_object* n = nullptr;
      json_object* v = nullptr;
      if (json_object_object_get_ex(s, "name", &n) && name == json_object_get_string(n) &&
          json_object_object_get_ex(s, key, &v)) {
        result = v == nullptr ? "null" : json_object_get_string(v);
      }
    }
  }
  json_object_put(root);
  return result;
}

}  // namespace tarn_test
