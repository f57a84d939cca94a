#include "core/log.h"

#include <cstdlib>
#include <cstring>

void log_init() {
  if (glib_check_version(2, 50, 0) == nullptr) {
    g_log_set_writer_func(log_writer, nullptr, nullptr);
  }
}

GLogWriterOutput log_writer(GLogLevelFlags log_level, const GLogField* fields, gsize n_fields,
                            gpointer user_data) {
  g_return_val_if_fail(fields != NULL, G_LOG_WRITER_UNHANDLED);
  g_return_val_if_fail(n_fields > 0, G_LOG_WRITER_UNHANDLED);

  constexpr unsigned always =
      G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE;
  // Bits at and above 8 are user-defined levels; they are always written.
  const bool user_level = (log_level & ~0xFFu) != 0;
  if (!(log_level & always) && !user_level) {
    const char* debug = g_getenv("G_MESSAGES_DEBUG");
    if (!(log_level & (G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG)) || debug == nullptr) {
      return G_LOG_WRITER_HANDLED;
    }
    if (strcmp(debug, "all") != 0) {
      const GLogField* domain = nullptr;
      for (gsize i = 0; i < n_fields; i++) {
        if (strcmp(fields[i].key, "GLIB_DOMAIN") == 0) {
          domain = &fields[i];
          break;
        }
      }
      if (domain == nullptr || domain->value == nullptr) return G_LOG_WRITER_HANDLED;
      // A field's value is NUL-terminated only when its length is negative.
      g_autofree char* name =
          domain->length < 0 ? g_strdup(static_cast<const char*>(domain->value))
                             : g_strndup(static_cast<const char*>(domain->value), domain->length);
      if (strstr(debug, name) == nullptr) return G_LOG_WRITER_HANDLED;
    }
  }

  if (g_log_writer_standard_streams(log_level, fields, n_fields, user_data) !=
      G_LOG_WRITER_HANDLED) {
    return G_LOG_WRITER_UNHANDLED;
  }
  // GLib strips the fatal flag before an ERROR reaches the writer and would
  // then stop the process with a breakpoint trap; ERROR is always fatal, so
  // abort here and give the service manager a plain abort.
  if (log_level & (G_LOG_FLAG_FATAL | G_LOG_LEVEL_ERROR)) abort();
  return G_LOG_WRITER_HANDLED;
}

bool log_limit_admit(log_limit* limit, int64_t interval_us, uint32_t burst, uint32_t* held) {
  *held = 0;
  const int64_t now = g_get_monotonic_time();
  int64_t window = limit->window.load(std::memory_order_relaxed);
  if ((window == 0 || now - window >= interval_us) &&
      limit->window.compare_exchange_strong(window, now, std::memory_order_relaxed)) {
    limit->count.store(0, std::memory_order_relaxed);
    *held = limit->dropped.exchange(0, std::memory_order_relaxed);
  }
  if (limit->count.fetch_add(1, std::memory_order_relaxed) >= burst) {
    limit->dropped.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  return true;
}
