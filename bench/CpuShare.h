// The process's CPU use while its calling thread sleeps, for benchmarks of what idling costs.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <thread>

// User plus system CPU time of the whole process so far, in seconds.
inline double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time of the whole process over `wait`, as a share of one core (1.0 is a core busy).
inline double CpuShare(std::chrono::seconds wait) {
  const double before = ProcessCpuSeconds();
  std::this_thread::sleep_for(wait);
  return (ProcessCpuSeconds() - before) / static_cast<double>(wait.count());
}
