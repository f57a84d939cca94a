#include "protocol/tarn.h"

void tarn_prepop_thread(gpointer /*data*/, gpointer /*user_data*/) {
  // Nothing pushes prepopulation jobs yet.
}
