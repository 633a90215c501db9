#pragma once
// CPU time of a process, for benchmark programs that print figures.

#include <sys/types.h>

#include <cstdio>
#include <string>

// CPU time of a process so far in ms (the first field of /proc/PID/schedstat,
// in ns). Unlike wall time it does not grow when other processes share the
// cores, so it shows the cost on a busy machine.
inline double cpu_ms(pid_t pid) {
  std::FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/schedstat").c_str(), "r");
  if (file == nullptr) return 0;
  unsigned long long ns = 0;
  const int got = std::fscanf(file, "%llu", &ns);
  std::fclose(file);
  return got == 1 ? static_cast<double>(ns) / 1e6 : 0.0;
}
