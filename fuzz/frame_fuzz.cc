// Frames -> parser -> writer -> parser: every accepted value writes to text that
// parses back to the same value and writes identically again. The whole input
// also goes through both parsers, which must agree.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "core/json.h"
#include "main/message_loop.h"

namespace {

void check_round_trip(pelagon2::JsonParser& parser, const pelagon2::Json& value) {
  const std::string text = pelagon2::to_json_text(value);
  const std::optional<pelagon2::Json> again = parser.parse(text);
  if (!again || *again != value || pelagon2::to_json_text(*again) != text) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static pelagon2::JsonParser parser;  // reused, as the host reuses its parser
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const std::optional<pelagon2::Json> fast = parser.parse(input);
  const std::optional<pelagon2::Json> reference = pelagon2::parse_json_reference(input);
  if (fast.has_value() != reference.has_value()) std::abort();
  if (fast) {
    if (*fast != *reference) std::abort();
    check_round_trip(parser, *fast);
  }

  if (size == 0) return 0;
  std::FILE* in = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (in == nullptr) return 0;
  while (std::optional<pelagon2::Json> request = pelagon2::read_request(in, parser)) {
    check_round_trip(parser, *request);
  }
  std::fclose(in);
  return 0;
}
