// Message-host figures: parsing a 10 MiB request (one base64 string, the shape
// of an image search) and the round trip of get_version through the real host.

#include <benchmark/benchmark.h>

#include <string>

#include "core/base64.h"
#include "core/json.h"
#include "tools/client/host_client.h"

namespace {

std::string ten_mib_request() {
  std::string bytes(std::size_t{10} << 20, '\0');
  std::uint32_t state = 12345;
  for (char& c : bytes) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  std::string body = R"({"id":1,"method":"search_image","params":{"image":{"data":")";
  body += pelagon2::base64_encode(std::string_view(bytes).substr(0, (std::size_t{10} << 20) / 4 * 3));
  body += R"("},"options":{"minSimilarity":0.9}}})";
  return body;
}

void BM_ParseTenMebibyteRequest(benchmark::State& state) {
  std::string padded = ten_mib_request();
  const std::size_t size = padded.size();
  padded.append(pelagon2::kJsonPadding, '\0');
  pelagon2::JsonParser parser;
  for (auto _ : state) {
    std::optional<pelagon2::Json> value = parser.parse_padded(padded.data(), size);
    if (!value) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_ParseTenMebibyteRequest)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_WriteTenMebibyteReply(benchmark::State& state) {
  pelagon2::JsonParser parser;
  const pelagon2::Json value = *parser.parse(ten_mib_request());
  for (auto _ : state) {
    std::string out;
    pelagon2::write_json(value, out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_WriteTenMebibyteReply)->Unit(benchmark::kMillisecond);

void BM_GetVersionRoundTrip(benchmark::State& state) {
  pelagon2::HostClient host(PELAGON2_BUILT_HOST);
  const std::string frame = pelagon2::frame(R"({"id":1,"method":"get_version"})");
  for (auto _ : state) {
    if (!host.send_raw(frame) || !host.read_frame()) state.SkipWithError("no reply");
  }
}
BENCHMARK(BM_GetVersionRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
