// files_request_bench: listing and copy requests over the pipe to the real
// host, on a fresh directory under TMPDIR (default /tmp).
//
//   files_request_bench [--entries=N] [--copy_mib=M] [google-benchmark flags]
//
// Lists a directory of N files (default 20000; a tenth with non-ASCII names)
// unfiltered, with an extension filter and as get_files, and copies an M MiB
// file (default 64). Figures are wall time per whole request (the work is in
// the host process), reply parsing included.

#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/bench_support.h"
#include "tools/client/host_client.h"

namespace {

struct Fixture {
  std::string dir;
  std::size_t entries = 0;
  pelagon2::HostClient* host = nullptr;
};

void run_request(benchmark::State& state, const Fixture& fixture, const std::string& method,
                 const pelagon2::Json& params, std::size_t items_per_request) {
  if (pelagon2::bench::time_requests(state, *fixture.host, method, params)) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * items_per_request));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t entries = pelagon2::bench::flag_value(argc, argv, "--entries", 20000);
  const std::size_t copy_mib = pelagon2::bench::flag_value(argc, argv, "--copy_mib", 64);
  benchmark::Initialize(&argc, argv);

  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/pelagon2-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  Fixture fixture{pattern, entries, nullptr};
  const std::string listed = fixture.dir + "/listed";
  ::mkdir(listed.c_str(), 0755);
  for (std::size_t i = 0; i < entries; ++i) {
    const char* extension = i % 10 == 0 ? ".\xCE\xA3\xCE\x91\xCE\xA3" : (i % 3 == 0 ? ".TXT" : ".bin");
    std::ofstream(listed + "/File_" + std::to_string(i * 7919 % entries) + extension);
  }
  const std::string big = fixture.dir + "/big";
  {
    std::ofstream out(big, std::ios::binary);
    const std::string chunk(std::size_t{1} << 20, 'x');
    for (std::size_t i = 0; i < copy_mib; ++i) out << chunk;
  }

  pelagon2::HostClient host(PELAGON2_BUILT_HOST);
  if (!host.started()) {
    std::fprintf(stderr, "cannot start the host: %s\n", host.last_error().c_str());
    return 1;
  }
  fixture.host = &host;
  const pelagon2::Json path{{"path", listed}};
  benchmark::RegisterBenchmark("get_file_system_entries/unfiltered", [&](benchmark::State& s) {
    run_request(s, fixture, "get_file_system_entries", path, entries);
  })->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("get_file_system_entries/filtered", [&](benchmark::State& s) {
    run_request(s, fixture, "get_file_system_entries",
                {{"path", listed}, {"extensions", {"txt", "\xCF\x83\xCE\xB1\xCF\x82"}}}, entries);
  })->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("get_files", [&](benchmark::State& s) {
    run_request(s, fixture, "get_files", path, entries);
  })->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("copy_file", [&](benchmark::State& s) {
    run_request(s, fixture, "copy_file", {{"sourcePath", big}, {"targetPath", fixture.dir + "/big.copy"}}, 1);
    s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * copy_mib) << 20);
  })->Unit(benchmark::kMillisecond)->UseRealTime();

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(fixture.dir, ignored);
  return 0;
}
