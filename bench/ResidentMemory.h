// The process's resident memory, for benchmarks that report what the log view costs.
#pragma once

#include <fstream>
#include <unistd.h>

inline double ResidentMiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}
