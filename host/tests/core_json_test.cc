#include "core/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

namespace pelagon2 {
namespace {

std::string written(const Json& v) { return to_json_text(v); }

struct DoubleCase {
  double value;
  const char* text;
};

TEST(JsonWriter, DoublesUseShortestRoundTripFormWithWireLayout) {
  const DoubleCase cases[] = {
      {0.1, "0.1"},
      {2.0, "2.0"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {1e16, "1e16"},
      {9999999999999998.0, "9999999999999998.0"},
      {1.5e-7, "1.5e-7"},
      {1e-5, "0.00001"},
      {9.99e-6, "9.99e-6"},
      {123456.789, "123456.789"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {123456789012345680.0, "1.2345678901234568e17"},
      {9007199254740993.0, "9007199254740992.0"},
      {-2.5e20, "-2.5e20"},
      {0.30000000000000004, "0.30000000000000004"},
      {static_cast<double>(0.8f), "0.800000011920929"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(written(Json(c.value)), c.text) << "value " << c.value;
  }
}

TEST(JsonWriter, WrittenDoublesReadBackExactly) {
  JsonParser parser;
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < 20000; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    double v;
    std::memcpy(&v, &state, sizeof v);
    if (!std::isfinite(v)) continue;
    const std::string text = written(Json(v));
    const std::optional<Json> back = parser.parse(text);
    ASSERT_TRUE(back.has_value()) << text;
    ASSERT_TRUE(back->is_number_float()) << text;
    EXPECT_EQ(std::signbit(back->get<double>()), std::signbit(v)) << text;
    EXPECT_EQ(back->get<double>(), v) << text;
  }
}

TEST(JsonWriter, IntegersStringsAndContainers) {
  EXPECT_EQ(written(Json(std::uint64_t{9007199254740993})), "9007199254740993");
  EXPECT_EQ(written(Json(std::uint64_t{18446744073709551615u})), "18446744073709551615");
  EXPECT_EQ(written(Json(std::int64_t{-9223372036854775807 - 1})), "-9223372036854775808");
  EXPECT_EQ(written(Json(std::string("a\"b\\c/d\b\f\n\r\t\x01\x1f\x7f"))),
            "\"a\\\"b\\\\c/d\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\"");
  EXPECT_EQ(written(Json(std::string("\0x", 2))), "\"\\u0000x\"");
  EXPECT_EQ(written(Json(std::string("Grüße \xF0\x9F\x98\x80 \xE2\x80\xA8"))),
            "\"Grüße \xF0\x9F\x98\x80 \xE2\x80\xA8\"");
  Json object = {{"result", Json::array({1, true, nullptr, Json::object(), Json::array()})}, {"id", "x"}};
  object["Zeta"] = 1;
  object["\xC3\xA9"] = 2;  // é sorts after every ASCII key
  EXPECT_EQ(written(object), "{\"Zeta\":1,\"id\":\"x\",\"result\":[1,true,null,{},[]],\"\xC3\xA9\":2}");
}

struct ParseCase {
  std::string text;
  bool accepted;
};

TEST(JsonParser, StrictAcceptanceRules) {
  const std::string deep128 = std::string(128, '[') + std::string(128, ']');
  const std::string deep129 = std::string(129, '[') + std::string(129, ']');
  std::string objects128;
  for (int i = 0; i < 127; ++i) objects128 += "{\"a\":";
  objects128 += "[]" + std::string(127, '}');
  const ParseCase cases[] = {
      {"{}", true},
      {"{} \r\n\t", true},
      {" \t\r\n{}", true},
      {"{}{}", false},
      {"{} x", false},
      {"{}\f", false},
      {std::string("{}\0", 3), false},
      {std::string("4\0", 2), false},
      {std::string("[1] \0 ", 6), false},
      {std::string("\"a\0\"", 4), false},
      {"{}\v", false},
      {"{}\xC2\xA0", false},
      {"", false},
      {"   ", false},
      {"[1,]", false},
      {"{\"a\":1,}", false},
      {"// c\n{}", false},
      {"{} /* c */", false},
      {"/* c */{}", false},
      {"\"a\x01\"", false},
      {"\"a\tb\"", false},
      {"\"\\u0000\"", true},
      {"\"\\uD83D\\uDE00\"", true},
      {"\"\\uD800\"", false},
      {"\"\\uDC00\"", false},
      {"\"\\uD800\\u0041\"", false},
      {"\"\\uDBFF\\uDBFF\"", false},
      {"\"\xFF\"", false},
      {"\"\xC0\xAF\"", false},
      {"\"\xED\xA0\x80\"", false},
      {"\"\xF4\x90\x80\x80\"", false},
      {"1e400", false},
      {"-1e400", false},
      {"1e-400", true},
      {"18446744073709551616", true},
      {"[18446744073709551616, 1e400]", false},
      {"[18446744073709551616, {}}", false},
      {"01", false},
      {"1.", false},
      {".5", false},
      {"+1", false},
      {"NaN", false},
      {"Infinity", false},
      {"tru", false},
      {"'a'", false},
      {deep128, true},
      {deep129, false},
      {objects128, true},
      {"{\"a\":" + objects128 + "}", false},
  };
  JsonParser parser;
  for (const auto& c : cases) {
    EXPECT_EQ(parser.parse(c.text).has_value(), c.accepted) << "input: " << c.text.substr(0, 60);
    EXPECT_EQ(parse_json_reference(c.text).has_value(), c.accepted) << "reference, input: " << c.text.substr(0, 60);
  }
}

// `levels` nested containers around `inner`: arrays, or objects chained by
// the key "a".
std::string nested(int levels, const std::string& inner, bool objects) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += objects ? "{\"a\":" : "[";
  text += inner;
  for (int i = 0; i < levels; ++i) text += objects ? "}" : "]";
  return text;
}

TEST(JsonParser, DepthLimitCountsContainersNotTheirContents) {
  // The big integer sends the document down the reference path.
  const std::string big = "18446744073709551616";
  struct Case {
    int levels;
    std::string inner;  // what the innermost container holds
    bool accepted;
  };
  const Case cases[] = {
      {128, "1", true},     {128, "\"s\"", true}, {128, "null", true}, {128, big, true},
      {127, "[]", true},    {127, "{}", true},     {127, "[1]", true},   {127, "{\"k\":1}", true},
      {127, "[" + big + "]", true},
      {129, "1", false},    {129, big, false},     {128, "[]", false},   {128, "{}", false},
      {128, "[1]", false},  {128, "[" + big + "]", false},
  };
  JsonParser parser;
  for (const bool objects : {false, true}) {
    for (const Case& c : cases) {
      // An object's innermost member is the `inner` value itself.
      const std::string text = nested(c.levels, c.inner, objects);
      EXPECT_EQ(parser.parse(text).has_value(), c.accepted) << c.levels << (objects ? " objects around " : " arrays around ") << c.inner;
      EXPECT_EQ(parse_json_reference(text).has_value(), c.accepted)
          << "reference: " << c.levels << (objects ? " objects around " : " arrays around ") << c.inner;
    }
  }
  // A mixed chain: 64 arrays, 64 objects, a value.
  EXPECT_TRUE(parser.parse(nested(64, nested(64, "true", true), false)).has_value());
  EXPECT_FALSE(parser.parse(nested(65, nested(64, "true", true), false)).has_value());
}

TEST(JsonParser, NegativeZeroIsASignedIntegerOnBothPaths) {
  JsonParser parser;
  const char* const texts[] = {"-0", "[-0]", "{\"a\":-0 }", "[-0,18446744073709551616]", "{\"n\":-0,\"s\":\"-0.\"}"};
  for (const char* text : texts) {
    for (const std::optional<Json>& value : {parser.parse(text), parse_json_reference(text)}) {
      ASSERT_TRUE(value.has_value()) << text;
      const Json& zero = value->is_array() ? (*value)[0] : value->is_object() ? value->begin().value() : *value;
      EXPECT_TRUE(zero.is_number_integer() && !zero.is_number_unsigned()) << text << " gave " << zero.type_name();
      EXPECT_EQ(zero.get<std::int64_t>(), 0) << text;
    }
  }
  // Only the literal itself: "-0.0", "-0e0", "0" and a "-0" inside a string keep their kinds.
  EXPECT_TRUE(parser.parse("-0.0").value().is_number_float());
  EXPECT_TRUE(parser.parse("-0e0").value().is_number_float());
  EXPECT_TRUE(parser.parse("[0]").value()[0].is_number_unsigned());
  EXPECT_EQ(to_json_text(parser.parse("{\"k\":\"a-0\",\"z\":0}").value()), "{\"k\":\"a-0\",\"z\":0}");
  EXPECT_TRUE(parser.parse("{\"k\":\"a-0\",\"z\":0}").value()["z"].is_number_unsigned());
}

TEST(JsonParser, NumbersKeepTheirKind) {
  JsonParser parser;
  const auto parsed = [&](const char* text) { return parser.parse(text).value(); };
  EXPECT_TRUE(parsed("3").is_number_unsigned());
  EXPECT_TRUE(parsed("3.0").is_number_float());
  EXPECT_TRUE(parsed("3e0").is_number_float());
  EXPECT_TRUE(parsed("-3").is_number_integer());
  EXPECT_FALSE(parsed("-3").is_number_unsigned());
  EXPECT_EQ(parsed("18446744073709551615").get<std::uint64_t>(), 18446744073709551615u);
  EXPECT_EQ(parsed("9007199254740993").get<std::uint64_t>(), 9007199254740993u);
  EXPECT_EQ(parsed("-9223372036854775808").get<std::int64_t>(), INT64_MIN);

  const Json big = parsed("18446744073709551616");
  ASSERT_TRUE(big.is_number_float());
  EXPECT_EQ(big.get<double>(), 18446744073709551616.0);
  const Json small = parsed("-9223372036854775809");
  ASSERT_TRUE(small.is_number_float());
  EXPECT_EQ(small.get<double>(), -9223372036854775808.0);
  // The slow path for big integers still builds whole documents.
  EXPECT_EQ(to_json_text(parsed("{\"b\":[100000000000000000000,\"\\u00e9\"],\"a\":-1}")),
            "{\"a\":-1,\"b\":[1e20,\"\xC3\xA9\"]}");
}

TEST(JsonParser, DuplicateKeysKeepTheLastValueOnBothPaths) {
  JsonParser parser;
  EXPECT_EQ(to_json_text(parser.parse("{\"a\":1,\"a\":2}").value()), "{\"a\":2}");
  EXPECT_EQ(to_json_text(parser.parse("{\"a\":1,\"a\":2,\"n\":99999999999999999999}").value()),
            "{\"a\":2,\"n\":1e20}");
}

TEST(JsonParser, ReusedParserHandlesGrowingAndShrinkingDocuments) {
  JsonParser parser;
  const std::string big = "{\"data\":\"" + std::string(3 << 20, 'A') + "\"}";
  EXPECT_EQ(parser.parse(big).value()["data"].get_ref<const std::string&>().size(), std::size_t{3} << 20);
  EXPECT_EQ(parser.parse("[1]").value(), Json::array({1}));
  EXPECT_FALSE(parser.parse("[1").has_value());
  EXPECT_EQ(parser.parse(big).value()["data"].get_ref<const std::string&>().size(), std::size_t{3} << 20);
}

// Lookups over parsed text, so the member kinds are the parser's: a
// non-negative integer is unsigned, -0 is signed, 3.0 is a double.
TEST(JsonMembers, LookupsGiveTheMemberOnlyOfTheirKind) {
  JsonParser parser;
  const std::optional<Json> doc = parser.parse(
      R"({"n":7,"big":18446744073709551615,"neg":-3,"negzero":-0,"real":3.0,"s":"text","nul":null,"obj":{"n":1}})");
  ASSERT_TRUE(doc.has_value());
  struct Case {
    const char* key;
    std::optional<std::uint64_t> as_unsigned;
    const char* as_string;  // nullptr: not a string
    bool present;
  };
  const Case cases[] = {
      {"n", 7u, nullptr, true},
      {"big", std::numeric_limits<std::uint64_t>::max(), nullptr, true},
      {"neg", std::nullopt, nullptr, true},
      {"negzero", std::nullopt, nullptr, true},
      {"real", std::nullopt, nullptr, true},
      {"s", std::nullopt, "text", true},
      {"nul", std::nullopt, nullptr, true},
      {"obj", std::nullopt, nullptr, true},
      {"missing", std::nullopt, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(unsigned_member(*doc, c.key), c.as_unsigned);
    const std::string* text = string_member(*doc, c.key);
    EXPECT_EQ(text != nullptr, c.as_string != nullptr);
    if (text != nullptr && c.as_string != nullptr) {
      EXPECT_EQ(*text, c.as_string);
    }
    const Json* member = find_member(*doc, c.key);
    EXPECT_EQ(member != nullptr, c.present);
    if (member != nullptr) {
      EXPECT_EQ(member, &doc->at(c.key));
    }
  }
  // Members of a nested object are not members of the outer one.
  EXPECT_EQ(unsigned_member(doc->at("obj"), "n"), 1u);
  // Anything but an object has no members.
  for (const Json& other : {Json(), Json(3), Json("n"), Json::array({7})}) {
    EXPECT_EQ(find_member(other, "n"), nullptr);
    EXPECT_EQ(string_member(other, "n"), nullptr);
    EXPECT_EQ(unsigned_member(other, "n"), std::nullopt);
  }
}

}  // namespace
}  // namespace pelagon2
