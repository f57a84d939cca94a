// What the lab programs share on their command line: --vdisk-mib=N and
// --budget-s=N, and that they need root.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>

// Reads the two options into `size` and `budget`. Returns -1 to go on, else
// the exit status: 2 for an unknown argument, 0 (nothing measured) without
// root.
inline int lab_args_parse(int argc, char** argv, const char* name, uint64_t* size,
                          std::chrono::seconds* budget) {
  for (int i = 1; i < argc; i++) {
    unsigned long long n = 0;
    if (sscanf(argv[i], "--vdisk-mib=%llu", &n) == 1 && n > 0) {
      *size = static_cast<uint64_t>(n) << 20;
    } else if (sscanf(argv[i], "--budget-s=%llu", &n) == 1 && n > 0) {
      *budget = std::chrono::seconds(n);
    } else {
      std::fprintf(stderr, "%s: unknown argument %s (--vdisk-mib=N, --budget-s=N)\n", name,
                   argv[i]);
      return 2;
    }
  }
  if (geteuid() != 0) {
    std::fprintf(stderr, "%s: needs root (network namespaces); nothing measured\n", name);
    return 0;
  }
  return -1;
}
