#include "core/json.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>

#include <simdjson.h>

namespace pelagon2 {

// Callers pad their buffers by kJsonPadding without seeing the parser; it must
// be exactly what the parser reads past the end.
static_assert(kJsonPadding == simdjson::SIMDJSON_PADDING, "kJsonPadding must follow the parser's padding");

namespace {

// ---- fast path: simdjson DOM, converted into the value type ----

struct TooDeep : std::exception {};
// The DOM cannot tell "-0" from "0"; the reference parser can.
struct NegativeZero : std::exception {};

// simdjson counts a scalar inside the innermost container as one more level,
// so it is given one level of slack and the container depth is checked here.
constexpr std::size_t kFastPathDepth = kMaxJsonDepth + 1;

// `depth`: containers around `element`.
Json convert(simdjson::dom::element element, std::size_t depth, bool negative_zero_possible) {
  using simdjson::dom::element_type;
  switch (element.type()) {
    case element_type::ARRAY: {
      if (depth >= kMaxJsonDepth) throw TooDeep();
      Json array = Json::array();
      for (simdjson::dom::element child : simdjson::dom::array(element)) {
        array.push_back(convert(child, depth + 1, negative_zero_possible));
      }
      return array;
    }
    case element_type::OBJECT: {
      if (depth >= kMaxJsonDepth) throw TooDeep();
      Json object = Json::object();
      for (simdjson::dom::key_value_pair member : simdjson::dom::object(element)) {
        // Last duplicate wins, as with the reference parser.
        object[std::string(member.key)] = convert(member.value, depth + 1, negative_zero_possible);
      }
      return object;
    }
    case element_type::INT64: {
      const int64_t v = int64_t(element);
      if (v == 0 && negative_zero_possible) throw NegativeZero();
      if (v >= 0) return Json(static_cast<uint64_t>(v));
      return Json(v);
    }
    case element_type::UINT64:
      return Json(uint64_t(element));
    case element_type::DOUBLE:
      return Json(double(element));
    case element_type::STRING:
      return Json(std::string(std::string_view(element)));
    case element_type::BOOL:
      return Json(bool(element));
    case element_type::NULL_VALUE:
      return Json(nullptr);
  }
  return Json(nullptr);
}

}  // namespace

struct JsonParser::Impl {
  simdjson::dom::parser parser;
};

JsonParser::JsonParser() : impl_(std::make_unique<Impl>()) {}
JsonParser::~JsonParser() = default;

namespace {

// A raw NUL byte is never valid JSON (inside strings it must be escaped), but
// both parsers take one after a value as the end of the input.
bool has_raw_nul(std::string_view text) { return std::memchr(text.data(), 0, text.size()) != nullptr; }

// Whether the text may hold the integer literal -0 (a "-0" not followed by a
// fraction or exponent). Matches inside strings only cost a slower parse.
bool may_hold_negative_zero(std::string_view text) {
  for (std::size_t at = text.find("-0"); at != std::string_view::npos; at = text.find("-0", at + 2)) {
    const char next = at + 2 < text.size() ? text[at + 2] : ' ';
    if (next != '.' && next != 'e' && next != 'E') return true;
  }
  return false;
}

}  // namespace

std::optional<Json> JsonParser::parse_padded(const char* data, std::size_t size) {
  if (size == 0 || has_raw_nul(std::string_view(data, size))) return std::nullopt;
  const std::string_view text(data, size);
  std::optional<Json> value = parse_fast(text);
  // The parse's working memory grows with the document; a large one is not
  // kept for the requests after it.
  if (impl_->parser.capacity() > kKeptParserCapacity) impl_->parser = simdjson::dom::parser();
  return value;
}

std::optional<Json> JsonParser::parse_fast(std::string_view text) {
  simdjson::dom::parser& parser = impl_->parser;
  if (parser.max_depth() != kFastPathDepth || parser.capacity() < text.size()) {
    if (parser.allocate(text.size(), kFastPathDepth) != simdjson::SUCCESS) return std::nullopt;
  }
  auto result = parser.parse(text.data(), text.size(), /*realloc_if_needed=*/false);
  if (result.error() == simdjson::NUMBER_ERROR) {
    // simdjson refuses integers beyond 64 bits; they are doubles here. The
    // reference parser decides (it still refuses 1e400 and the like).
    return parse_json_reference(text);
  }
  if (result.error() != simdjson::SUCCESS) return std::nullopt;
  try {
    return convert(result.value(), 0, may_hold_negative_zero(text));
  } catch (const TooDeep&) {
    return std::nullopt;
  } catch (const NegativeZero&) {
    return parse_json_reference(text);
  }
}

std::optional<Json> JsonParser::parse(std::string_view text) {
  std::string padded;
  padded.reserve(text.size() + kJsonPadding);
  padded.append(text);
  padded.append(kJsonPadding, '\0');
  return parse_padded(padded.data(), text.size());
}

std::optional<Json> parse_json_reference(std::string_view text) {
  if (has_raw_nul(text)) return std::nullopt;
  const Json::parser_callback_t depth_guard = [](int depth, Json::parse_event_t event, Json&) {
    // nlohmann counts the outermost container as depth 0.
    if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
        depth >= static_cast<int>(kMaxJsonDepth)) {
      throw TooDeep();
    }
    return true;
  };
  try {
    Json value = Json::parse(text.begin(), text.end(), depth_guard, /*allow_exceptions=*/true,
                             /*ignore_comments=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
  } catch (const TooDeep&) {
    return std::nullopt;
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}

// ---- writer ----

void write_json_double(double value, std::string& out) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  // Shortest round-trip digits, in scientific form: [-]d[.ddd]e(+|-)XX.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  std::size_t pos = 0;
  if (sci[0] == '-') {
    out += '-';
    pos = 1;
  }
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (std::size_t i = pos; i < e_pos; ++i) {
    if (sci[i] != '.') digits += sci[i];
  }
  int exponent = 0;
  std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
  const int n = static_cast<int>(digits.size());

  if (value != 0.0 && (exponent < -5 || exponent >= 16)) {
    out += digits[0];
    if (n > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    out += std::to_string(exponent);
    return;
  }
  if (exponent >= 0) {
    const int int_digits = exponent + 1;
    if (n <= int_digits) {
      out += digits;
      out.append(static_cast<std::size_t>(int_digits - n), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<std::size_t>(int_digits));
      out += '.';
      out.append(digits, static_cast<std::size_t>(int_digits));
    }
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  }
}

namespace {

void write_string(const std::string& s, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s, run_start, i - run_start);
    run_start = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  }
  out.append(s, run_start, std::string::npos);
  out += '"';
}

template <class Int>
void write_integer(Int v, std::string& out) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

}  // namespace

void write_json(const Json& value, std::string& out) {
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
    case Json::value_t::binary:
      out += "null";
      return;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case Json::value_t::number_integer:
      write_integer(value.get<int64_t>(), out);
      return;
    case Json::value_t::number_unsigned:
      write_integer(value.get<uint64_t>(), out);
      return;
    case Json::value_t::number_float:
      write_json_double(value.get<double>(), out);
      return;
    case Json::value_t::string:
      write_string(value.get_ref<const std::string&>(), out);
      return;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& item : value) {
        if (!first) out += ',';
        first = false;
        write_json(item, out);
      }
      out += ']';
      return;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, item] : value.get_ref<const Json::object_t&>()) {
        if (!first) out += ',';
        first = false;
        write_string(key, out);
        out += ':';
        write_json(item, out);
      }
      out += '}';
      return;
    }
  }
}

std::string to_json_text(const Json& value) {
  std::string out;
  write_json(value, out);
  return out;
}

Json finite_or_null(double value) { return std::isfinite(value) ? Json(value) : Json(); }

const Json* find_member(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

const std::string* string_member(const Json& object, std::string_view key) {
  const Json* member = find_member(object, key);
  return member != nullptr && member->is_string() ? &member->get_ref<const std::string&>() : nullptr;
}

std::optional<std::uint64_t> unsigned_member(const Json& object, std::string_view key) {
  const Json* member = find_member(object, key);
  if (member == nullptr || !member->is_number_unsigned()) return std::nullopt;
  return member->get<std::uint64_t>();
}

}  // namespace pelagon2
