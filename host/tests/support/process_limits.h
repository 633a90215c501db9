#pragma once
// Memory and descriptor figures of a running process, and limits imposed on
// one from outside, for tests that check the host survives its resource limits.

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

namespace pelagon2::testing {

// Sanitizer runtimes reserve terabytes of address space and hold freed memory
// in quarantine: address-space limits and resident-size figures mean nothing
// under them.
#if defined(PELAGON2_SANITIZED_BUILD) || defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif
#else
inline constexpr bool kSanitizedBuild = false;
#endif

// A "Name:   value kB" line of /proc/{pid}/status, in bytes.
inline std::optional<std::uint64_t> status_bytes(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) != 0) continue;
    return std::stoull(line.substr(field.size() + 1)) * 1024;
  }
  return std::nullopt;
}

// Lowers the soft and hard limit `resource` of the process `pid`.
inline bool limit_process(pid_t pid, int resource, rlim_t value) {
#if defined(__linux__)
  const struct rlimit limit {value, value};
  return ::prlimit(pid, static_cast<__rlimit_resource>(resource), &limit, nullptr) == 0;
#else
  (void)pid, (void)resource, (void)value;
  return false;
#endif
}

}  // namespace pelagon2::testing
