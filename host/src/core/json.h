#pragma once
// The one JSON value type of the host, plus its strict parser and its wire writer.
//
// nlohmann's json keeps unsigned, signed and double numbers apart and stores
// object members in a std::map, i.e. sorted by byte order of the keys, which is
// exactly the order the wire form needs.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace pelagon2 {

using Json = nlohmann::json;

// Extra readable bytes the parser needs after the end of its input.
inline constexpr std::size_t kJsonPadding = 64;

// The deepest nesting of arrays and objects a request may have.
inline constexpr std::size_t kMaxJsonDepth = 128;

// Documents up to about this size reuse the parser's working memory; a larger
// one releases it once parsed.
inline constexpr std::size_t kKeptParserCapacity = std::size_t{16} << 20;

// Strict RFC 8259 parser: exactly one value, surrounded only by space, tab, LF
// and CR; valid UTF-8; no lone surrogates; no number beyond a double's range;
// at most kMaxJsonDepth levels. Integers beyond 64 bits become doubles.
// Reuses its internal buffers from one document to the next, up to
// kKeptParserCapacity.
class JsonParser {
 public:
  JsonParser();
  ~JsonParser();
  JsonParser(const JsonParser&) = delete;
  JsonParser& operator=(const JsonParser&) = delete;

  // `data` must have kJsonPadding readable bytes after data + size.
  std::optional<Json> parse_padded(const char* data, std::size_t size);

  // Convenience for callers without a padded buffer (copies the text).
  std::optional<Json> parse(std::string_view text);

 private:
  std::optional<Json> parse_fast(std::string_view text);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The slower reference path used for documents the fast path cannot represent
// (integers beyond 64 bits). Same acceptance rules as JsonParser.
std::optional<Json> parse_json_reference(std::string_view text);

// Appends the compact wire form of `value` to `out`: no blanks, keys sorted,
// doubles in shortest round-trip form (".0" kept on integral values, plain
// notation for magnitudes in [1e-5, 1e16), exponent form like 1e16 or 1.5e-7
// otherwise, NaN and infinities as null), strings escaping only '"', '\\' and
// U+0000..U+001F.
void write_json(const Json& value, std::string& out);
std::string to_json_text(const Json& value);

// The double formatting rule of the writer on its own.
void write_json_double(double value, std::string& out);

// A float as a JSON number, or null when it is not finite.
Json finite_or_null(double value);

// Member lookups for request parameters. Each gives "absent" (nullptr or
// nullopt) when `object` is not an object, has no member `key`, or the member
// is of another kind; callers supply their own default or error.
const Json* find_member(const Json& object, std::string_view key);
const std::string* string_member(const Json& object, std::string_view key);
// Only JSON unsigned integers count: not 3.0, and not -0, which parses as a
// signed integer.
std::optional<std::uint64_t> unsigned_member(const Json& object, std::string_view key);

}  // namespace pelagon2
