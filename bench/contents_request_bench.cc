// contents_request_bench: file-content and run_process requests over the pipe
// to the real host, on a fresh directory under TMPDIR (default /tmp).
//
//   contents_request_bench [--file_mib=M] [google-benchmark flags]
//
// Reads an M MiB file (default 8) as whole-file base64 and in 512 KiB ranges,
// writes it back as base64, and runs shell commands: a waited-for `true`, one
// that prints 1 MiB (cut to 400 KiB in the reply) and a background start.
// Figures are wall time per whole request, reply parsing included.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "core/base64.h"
#include "bench/bench_support.h"
#include "tools/client/host_client.h"

namespace {

void run_request(benchmark::State& state, pelagon2::HostClient& host, const std::string& method,
                 const pelagon2::Json& params, std::int64_t bytes_per_request) {
  if (pelagon2::bench::time_requests(state, host, method, params)) {
    state.SetBytesProcessed(state.iterations() * bytes_per_request);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t file_mib = pelagon2::bench::flag_value(argc, argv, "--file_mib", 8);
  benchmark::Initialize(&argc, argv);

  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/pelagon2-bench-XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string big = dir + "/big";
  const auto file_bytes = static_cast<std::int64_t>(file_mib) << 20;
  std::string content(static_cast<std::size_t>(file_bytes), '\0');
  std::mt19937 gen(1);
  for (auto& c : content) c = static_cast<char>(gen());
  std::ofstream(big, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
  const std::string encoded = pelagon2::base64_encode(content);

  pelagon2::HostClient host(PELAGON2_BUILT_HOST);
  if (!host.started()) {
    std::fprintf(stderr, "cannot start the host: %s\n", host.last_error().c_str());
    return 1;
  }

  benchmark::RegisterBenchmark("read_all_bytes", [&](benchmark::State& s) {
    run_request(s, host, "read_all_bytes", {{"path", big}}, file_bytes);
  })->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("read_file_range/512KiB", [&](benchmark::State& s) {
    run_request(s, host, "read_file_range", {{"path", big}, {"rangeStart", 4096u}}, 524288);
  })->Unit(benchmark::kMicrosecond)->UseRealTime();
  benchmark::RegisterBenchmark("write_all_bytes", [&](benchmark::State& s) {
    run_request(s, host, "write_all_bytes", {{"path", dir + "/written"}, {"content", encoded}}, file_bytes);
  })->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("run_process/true", [&](benchmark::State& s) {
    run_request(s, host, "run_process", {{"fileName", "true"}, {"waitForExit", true}}, 0);
  })->Unit(benchmark::kMicrosecond)->UseRealTime();
  benchmark::RegisterBenchmark("run_process/1MiB_stdout", [&](benchmark::State& s) {
    run_request(s, host, "run_process",
                {{"fileName", "head"}, {"arguments", "-c 1048576 /dev/zero | tr '\\000' a"}, {"waitForExit", true}},
                1 << 20);
  })->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("run_process/background", [&](benchmark::State& s) {
    run_request(s, host, "run_process", {{"fileName", "true"}}, 0);
  })->Unit(benchmark::kMicrosecond)->UseRealTime();

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
