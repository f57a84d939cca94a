#include "core/daemon.h"

int main() {
  return tarnproxy_main();
}
