// Fatal invariant checks that stay in every build (g_assert can be compiled out).
#pragma once

#include <glib.h>

#define TARN_ASSERT(expr)                                              \
  do {                                                                 \
    if (G_UNLIKELY(!(expr))) g_error("assertion failed: (%s)", #expr); \
  } while (0)
