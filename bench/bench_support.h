#pragma once
// Shared pieces of the request benchmarks.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "tools/client/host_client.h"

namespace pelagon2::bench {

// "--name=N" options, taken out of argv before Google Benchmark sees them.
inline std::size_t flag_value(int& argc, char** argv, const char* name, std::size_t fallback) {
  const std::size_t length = std::strlen(name);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') {
      const std::size_t value = std::strtoull(argv[i] + length + 1, nullptr, 10);
      for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc;
      return value;
    }
  }
  return fallback;
}

// Times one request per iteration; false (and the benchmark marked failed)
// when the host answers with an error or not at all.
inline bool time_requests(benchmark::State& state, HostClient& host, const std::string& method, const Json& params) {
  for (auto _ : state) {
    const std::optional<Json> reply = host.call(method, params);
    if (!reply || !reply->contains("result")) {
      state.SkipWithError("request failed");
      return false;
    }
    benchmark::DoNotOptimize(reply);
  }
  return true;
}

}  // namespace pelagon2::bench
