#include "platform/json.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "platform/check.hpp"
#include "platform/json_access.hpp"
#include "platform/json_pull.hpp"
#include "platform/numfmt.hpp"

namespace arborvane::platform {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Members deliberately out of alphabetical order; every kind of value and escape appears.
JsonValue sample_document() {
  JsonObject inner;
  inner.emplace_back("u", JsonValue::unsigned_number(18446744073709551615u));
  JsonArray floats;
  for (double f : {1.0, 1e-7, -0.0, 1e16, 0.1, kNaN}) floats.push_back(JsonValue::float_number(f));
  inner.emplace_back("floats", std::move(floats));
  JsonObject root;
  root.emplace_back("zeta", "q\"b\\s\nn\tt\r\b\f\x01\x1f \xc3\xa9");
  root.emplace_back("alpha", JsonArray{JsonValue::unsigned_number(1),
                                       JsonArray{JsonValue::unsigned_number(2),
                                                 JsonValue::unsigned_number(3)},
                                       JsonArray{}, JsonObject{}});
  root.emplace_back("mid", std::move(inner));
  root.emplace_back("flag", true);
  root.emplace_back("none", nullptr);
  return root;
}

// The same document through the streaming interface.
std::string stream_sample_document(bool pretty) {
  JsonWriter w(pretty);
  w.begin_object();
  w.key("zeta");
  w.string_value("q\"b\\s\nn\tt\r\b\f\x01\x1f \xc3\xa9");
  w.key("alpha");
  w.begin_array();
  w.unsigned_value(1);
  w.begin_array();
  w.unsigned_value(2);
  w.unsigned_value(3);
  w.end_array();
  w.begin_array();
  w.end_array();
  w.begin_object();
  w.end_object();
  w.end_array();
  w.key("mid");
  w.begin_object();
  w.key("u");
  w.unsigned_value(18446744073709551615u);
  w.key("floats");
  w.begin_array();
  for (double f : {1.0, 1e-7, -0.0, 1e16, 0.1, kNaN}) w.float_value(f);
  w.end_array();
  w.end_object();
  w.key("flag");
  w.bool_value(true);
  w.key("none");
  w.null_value();
  w.end_object();
  return w.take();
}

constexpr const char* kCompact =
    R"({"zeta":"q\"b\\s\nn\tt\r\b\f\u0001\u001f )"
    "\xc3\xa9"
    R"(","alpha":[1,[2,3],[],{}],"mid":{"u":18446744073709551615,)"
    R"("floats":[1.0,1e-7,-0.0,1e16,0.1,null]},"flag":true,"none":null})";

constexpr const char* kPretty =
    "{\n"
    R"(  "zeta": "q\"b\\s\nn\tt\r\b\f\u0001\u001f )"
    "\xc3\xa9\",\n"
    "  \"alpha\": [\n"
    "    1,\n"
    "    [\n"
    "      2,\n"
    "      3\n"
    "    ],\n"
    "    [],\n"
    "    {}\n"
    "  ],\n"
    "  \"mid\": {\n"
    "    \"u\": 18446744073709551615,\n"
    "    \"floats\": [\n"
    "      1.0,\n"
    "      1e-7,\n"
    "      -0.0,\n"
    "      1e16,\n"
    "      0.1,\n"
    "      null\n"
    "    ]\n"
    "  },\n"
    "  \"flag\": true,\n"
    "  \"none\": null\n"
    "}";

TEST(JsonWriter, CompactAndPrettyTextsOfANestedDocument) {
  EXPECT_EQ(write_json(sample_document(), false), kCompact);
  EXPECT_EQ(write_json(sample_document(), true), kPretty);
  EXPECT_EQ(stream_sample_document(false), kCompact);
  EXPECT_EQ(stream_sample_document(true), kPretty);
}

TEST(JsonWriter, ScalarAndEmptyTopLevelValues) {
  for (bool pretty : {false, true}) {
    EXPECT_EQ(write_json(JsonObject{}, pretty), "{}");
    EXPECT_EQ(write_json(JsonArray{}, pretty), "[]");
    EXPECT_EQ(write_json(JsonValue::float_number(-std::numeric_limits<double>::infinity()), pretty),
              "null");
    EXPECT_EQ(write_json("\x7f", pretty), "\"\x7f\"");
  }
  EXPECT_EQ(write_json(JsonArray{JsonObject{}}, true), "[\n  {}\n]");
}

TEST(JsonWriter, FloatTextsMatchFormatJson) {
  std::mt19937_64 bits(20240601);
  for (int i = 0; i < 200000; ++i) {
    const double value = std::bit_cast<double>(bits());
    ASSERT_EQ(write_json(JsonValue::float_number(value), false), format_json(value)) << value;
  }
  for (double value : {0.0, -0.0, 5e-324, 1e-5, 1e-6, 0.00001234, 9999999999999998.0, 1e16,
                       123456789012345680.0, 1.7976931348623157e308, -2.5e-10}) {
    EXPECT_EQ(write_json(JsonValue::float_number(value), false), format_json(value)) << value;
  }
}

TEST(JsonWriter, CallsOutOfOrderAreInternalErrors) {
  {
    JsonWriter w(false);
    w.begin_object();
    EXPECT_THROW(w.unsigned_value(1), InternalError);
  }
  {
    JsonWriter w(false);
    w.begin_array();
    EXPECT_THROW(w.key("a"), InternalError);
    EXPECT_THROW(w.end_object(), InternalError);
    EXPECT_THROW(w.take(), InternalError);
  }
  {
    JsonWriter w(false);
    w.null_value();
    EXPECT_THROW(w.null_value(), InternalError);
  }
}

TEST(JsonRoundTrip, WriteReadWriteGivesTheSameText) {
  for (bool pretty : {false, true}) {
    const std::string text = write_json(sample_document(), pretty);
    const auto read = read_json(text);
    ASSERT_TRUE(read.has_value()) << read.error().description;
    EXPECT_EQ(write_json(*read, pretty), text);
    EXPECT_EQ(write_json(*read, !pretty), write_json(sample_document(), !pretty));
  }
}

TEST(JsonRoundTrip, FiniteFloatsReadBackBitForBit) {
  std::mt19937_64 bits(7);
  JsonArray values;
  for (int i = 0; i < 100000; ++i) {
    const double value = std::bit_cast<double>(bits());
    if (std::isfinite(value)) values.push_back(JsonValue::float_number(value));
  }
  values.push_back(JsonValue::float_number(5e-324));
  values.push_back(JsonValue::float_number(-0.0));
  const JsonValue document(std::move(values));
  const auto read = read_json(write_json(document, false));
  ASSERT_TRUE(read.has_value()) << read.error().description;
  EXPECT_EQ(*read, document);
}

// The pull reader's verdict on a whole text read as one value of any shape.
std::optional<std::string> pull_error(const std::string& text) {
  try {
    JsonPullReader in(text);
    in.skip_value();
    in.finish();
    return std::nullopt;
  } catch (const JsonPullReader::Failure& failure) {
    return failure.error.description;
  }
}

struct AcceptCase {
  std::string input;
  std::string rewritten;  // compact text of what was read
};

TEST(JsonReader, AcceptsStrictJsonAndNormalisesIt) {
  const AcceptCase cases[] = {
      {" \t\r\n{ \"b\" : [ 1 , 2 ] , \"a\" : { } }\n", R"({"b":[1,2],"a":{}})"},
      {R"("\u00e9\uD83D\uDE00\/\u0000")", "\"\xc3\xa9\xf0\x9f\x98\x80/\\u0000\""},
      {"\"\xf0\x9f\x98\x80 \xe2\x82\xac \xf4\x8f\xbf\xbf\"",
       "\"\xf0\x9f\x98\x80 \xe2\x82\xac \xf4\x8f\xbf\xbf\""},
      {"1E+2", "100.0"},
      {"-0", "-0"},
      {"-12", "-12"},
      {"0.5e-0", "0.5"},
      {"1e-400", "0.0"},
      {"-1e-400", "-0.0"},
      {"18446744073709551616", "1.8446744073709552e19"},
      {"[true,false,null]", "[true,false,null]"},
      {std::string(256, '[') + std::string(256, ']'),
       std::string(256, '[') + std::string(256, ']')},
  };
  for (const AcceptCase& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 60));
    const auto read = read_json(c.input);
    ASSERT_TRUE(read.has_value()) << read.error().description;
    EXPECT_EQ(write_json(*read, false), c.rewritten);
    EXPECT_EQ(pull_error(c.input), std::nullopt);
  }
}

std::string object_with_late_duplicate() {
  std::string text = "{";
  for (int i = 0; i < 40; ++i) text += "\"k" + std::to_string(i) + "\":0,";
  return text + "\n\"k7\":1}";
}

struct RejectCase {
  std::string what;
  std::string input;
  std::string description;
};

TEST(JsonReader, RejectsMalformedInputSayingWhere) {
  const RejectCase cases[] = {
      {"empty input", "", "line 1, column 1: expected a value, found the end of the input"},
      {"only whitespace", " \n ", "line 2, column 2: expected a value, found the end of the input"},
      {"trailing garbage", "{} x", "line 1, column 4: unexpected text after the JSON value"},
      {"two values", "1 2", "line 1, column 3: unexpected text after the JSON value"},
      {"trailing comma in array", "[1,]", "line 1, column 4: trailing comma in an array"},
      {"trailing comma in object", R"({"a":1,})", "line 1, column 8: trailing comma in an object"},
      {"missing comma", "[1 2]", "line 1, column 4: expected ',' or ']' in an array, found '2'"},
      {"unclosed array", "[1",
        "line 1, column 3: expected ',' or ']' in an array, found the end of the input"},
      {"missing colon", R"({"a" 1})",
        "line 1, column 6: expected ':' after a member name, found '1'"},
      {"unquoted name", "{a:1}",
        "line 1, column 2: expected a member name in double quotes, found 'a'"},
      {"comment", "// c\n1", "line 1, column 1: expected a value, found '/'"},
      {"leading zero", "[01]", "line 1, column 2: leading zeros in a number"},
      {"negative leading zero", "-00", "line 1, column 1: leading zeros in a number"},
      {"lone minus", "-", "line 1, column 1: expected a digit in a number"},
      {"bare point", "1.", "line 1, column 1: expected a digit after '.' in a number"},
      {"empty exponent", "1e+", "line 1, column 1: expected a digit in the exponent of a number"},
      {"leading point", ".5", "line 1, column 1: expected a value, found '.'"},
      {"plus sign", "+1", "line 1, column 1: expected a value, found '+'"},
      {"NaN literal", "NaN", "line 1, column 1: expected a value, found 'N'"},
      {"Infinity literal", "-Infinity", "line 1, column 1: expected a digit in a number"},
      {"truncated literal", "tru", "line 1, column 1: expected a value, found 't'"},
      {"float overflow", "[1e400]", "line 1, column 2: number out of the float range"},
      {"bad escape", R"("a\x")", "line 1, column 3: invalid escape sequence in a string"},
      {"short unicode escape", R"("\u12G4")",
        "line 1, column 4: expected four hexadecimal digits after \\u"},
      {"lone high surrogate", R"("\uD83D")",
        "line 1, column 2: unpaired surrogate escape in a string"},
      {"lone low surrogate", R"("\uDE00")",
        "line 1, column 2: unpaired surrogate escape in a string"},
      {"high surrogate then letter", R"("\uD83D\u0041")",
       "line 1, column 2: unpaired surrogate escape in a string"},
      {"invalid UTF-8 byte", "\"a\xc3\x28\"", "line 1, column 3: invalid UTF-8 in a string"},
      {"overlong UTF-8", "\"\xc0\xaf\"", "line 1, column 2: invalid UTF-8 in a string"},
      {"UTF-8 surrogate", "\"\xed\xa0\x80\"", "line 1, column 2: invalid UTF-8 in a string"},
      {"UTF-8 beyond U+10FFFF", "\"\xf4\x90\x80\x80\"",
        "line 1, column 2: invalid UTF-8 in a string"},
      {"truncated UTF-8", "\"\xe2\x82\"", "line 1, column 2: invalid UTF-8 in a string"},
      {"UTF-8 outside a string", "\xc3\xa9", "line 1, column 1: expected a value, found byte 0xC3"},
      {"control character", "\"a\tb\"",
       "line 1, column 3: control character in a string (write it as an escape)"},
      {"unterminated string", "[\"abc", "line 1, column 2: unterminated string"},
      {"duplicate member", R"({"a":1,"b":2,"a":3})",
        "line 1, column 14: duplicate member name \"a\""},
      {"duplicate in a large object", object_with_late_duplicate(),
       "line 2, column 1: duplicate member name \"k7\""},
      {"duplicate differing only by escape", R"({"\u0061":1,"a":2})",
       "line 1, column 13: duplicate member name \"a\""},
      {"columns count characters", "[\"\xc3\xa9\",]",
        "line 1, column 6: trailing comma in an array"},
      {"error on a later line", "[1,\n\n   x]", "line 3, column 4: expected a value, found 'x'"},
      {"257 levels", std::string(257, '['),
        "line 1, column 257: arrays and objects nested deeper than 256 levels"},
      {"100000 levels", std::string(100000, '['),
       "line 1, column 257: arrays and objects nested deeper than 256 levels"},
  };
  for (const RejectCase& c : cases) {
    SCOPED_TRACE(c.what);
    const auto read = read_json(c.input);
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().description, c.description);
    // The pull reader shares the grammar and its messages.
    EXPECT_EQ(pull_error(c.input), c.description);
  }
}

TEST(JsonPullReader, TypedReadsNameThePathOfTheValue) {
  const std::string text = R"({"a": {"list": [7, {"v": -1}], "f": 1.5, "s": "x\u0041"}})";
  const auto failure = [&](auto&& read) -> std::string {
    try {
      JsonPullReader in(text);
      read(in);
      return "no failure";
    } catch (const JsonPullReader::Failure& f) {
      return f.error.description;
    }
  };
  // Walks to a.list[1].v and reads it with `read`.
  const auto at_v = [](JsonPullReader& in, auto&& read) {
    std::string_view name;
    in.begin_object();
    in.next_member(name);
    in.begin_object();
    in.next_member(name);
    in.begin_array();
    in.next_element();
    EXPECT_EQ(in.read_u8(), 7);
    in.next_element();
    in.begin_object();
    in.next_member(name);
    read(in);
  };
  EXPECT_EQ(failure([&](JsonPullReader& in) { at_v(in, [](auto& r) { r.read_unsigned(); }); }),
            "a.list[1].v: expected an unsigned integer, found -1");
  EXPECT_EQ(failure([&](JsonPullReader& in) { at_v(in, [](auto& r) { r.read_string(); }); }),
            "a.list[1].v: expected a string, found -1");
  EXPECT_EQ(failure([&](JsonPullReader& in) {
              at_v(in, [](auto& r) {
                EXPECT_EQ(r.read_float(), -1.0);
                std::string_view name;
                EXPECT_FALSE(r.next_member(name));
                r.fail_missing_member("w");
              });
            }),
            "a.list[1].w: missing required member");
  EXPECT_EQ(failure([](JsonPullReader& in) { in.begin_array(); }),
            "expected an array, found an object");
  EXPECT_EQ(failure([](JsonPullReader& in) {
              std::string_view name;
              in.begin_object();
              in.next_member(name);
              in.begin_object();
              while (in.next_member(name)) {
                if (name == "s") {
                  EXPECT_EQ(in.read_string(), "xA");
                } else if (name == "f") {
                  in.read_u16();
                } else {
                  in.skip_value();
                }
              }
            }),
            "a.f: expected an unsigned 16-bit integer, found 1.5");
}

TEST(JsonPullReader, RewindsToReadAnObjectTwice) {
  JsonPullReader in(R"({"x": [1, {"y": 2}], "tag": "late"})");
  in.begin_object();
  const JsonPullReader::ObjectMark start = in.mark_object();
  std::string_view name;
  std::string tag;
  while (in.next_member(name)) {
    if (name == "tag") {
      tag = in.read_string();
      break;
    }
    in.skip_value();
  }
  EXPECT_EQ(tag, "late");
  in.rewind_object(start);
  std::vector<std::string> names;
  while (in.next_member(name)) {
    names.emplace_back(name);
    in.skip_value();
  }
  in.finish();
  EXPECT_EQ(names, (std::vector<std::string>{"x", "tag"}));
}

TEST(JsonPullReader, UncheckedMembersLeaveDuplicatesToTheCaller) {
  const auto failure = [](const std::string& text) -> std::string {
    try {
      JsonPullReader in(text);
      in.begin_object();
      std::string_view name;
      bool seen_known = false;
      while (in.next_member_unchecked(name)) {
        if (name == "known") {
          if (seen_known) in.fail_duplicate_member();
          seen_known = true;
        } else {
          in.check_other_member(name);
        }
        in.skip_value();
      }
      return "no failure";
    } catch (const JsonPullReader::Failure& f) {
      return f.error.description;
    }
  };
  EXPECT_EQ(failure(R"({"known":1,"b":2,"known":3})"),
            "line 1, column 18: duplicate member name \"known\"");
  EXPECT_EQ(failure(R"({"known":1,"b":2,"b":3})"), "line 1, column 18: duplicate member name \"b\"");
  std::string large = "{";
  for (int i = 0; i < 40; ++i) large += "\"k" + std::to_string(i) + "\":0,";
  EXPECT_EQ(failure(large + "\"known\":0,\"k39\":1}"),
            "line 1, column 322: duplicate member name \"k39\"");
}

TEST(JsonReader, DeeplyNestedObjectsAreRejectedWithoutCrashing) {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "{\"a\":";
  const auto read = read_json(text);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().description,
            "line 1, column 1281: arrays and objects nested deeper than 256 levels");
}

// Reads {"v": <value_text>} and asks for member v as T.
template <JsonReadable T>
std::expected<T, JsonError> read_member(const std::string& value_text) {
  static JsonValue document;  // the reader views the document, so it must outlive the result
  auto read = read_json("{\"v\":" + value_text + "}");
  EXPECT_TRUE(read.has_value()) << value_text;
  document = std::move(*read);
  return JsonObjectReader::open(document, "doc").value().required<T>("v");
}

template <class T>
struct Accept {
  std::string text;
  T value;
};

struct Reject {
  std::string text;
  std::string description;
};

TEST(JsonAccess, UnsignedMembersAcceptOnlyPlainIntegersInRange) {
  const Accept<std::uint64_t> accepted[] = {{"0", 0},
                                            {"18446744073709551615", 18446744073709551615u}};
  for (const auto& c : accepted) {
    EXPECT_EQ(read_member<std::uint64_t>(c.text).value(), c.value) << c.text;
  }
  const Reject rejected[] = {
      {"-1", "doc.v: expected an unsigned integer, found -1"},
      {"-0", "doc.v: expected an unsigned integer, found -0"},
      {"1.5", "doc.v: expected an unsigned integer, found 1.5"},
      {"1e2", "doc.v: expected an unsigned integer, found 100.0"},
      {"1.0", "doc.v: expected an unsigned integer, found 1.0"},
      {"18446744073709551616", "doc.v: expected an unsigned integer, found 1.8446744073709552e19"},
      {"\"7\"", "doc.v: expected an unsigned integer, found the string \"7\""},
      {"null", "doc.v: expected an unsigned integer, found null"},
      {"[7]", "doc.v: expected an unsigned integer, found an array"},
  };
  for (const Reject& c : rejected) {
    EXPECT_EQ(read_member<std::uint64_t>(c.text).error().description, c.description) << c.text;
  }
}

TEST(JsonAccess, NarrowUnsignedMembersCheckTheirRange) {
  EXPECT_EQ(read_member<std::uint16_t>("65535").value(), 65535);
  EXPECT_EQ(read_member<std::uint16_t>("65536").error().description,
            "doc.v: expected an unsigned 16-bit integer, found 65536");
  EXPECT_EQ(read_member<std::uint8_t>("255").value(), 255);
  EXPECT_EQ(read_member<std::uint8_t>("256").error().description,
            "doc.v: expected an unsigned 8-bit integer, found 256");
  EXPECT_EQ(read_member<std::uint8_t>("2.0").error().description,
            "doc.v: expected an unsigned 8-bit integer, found 2.0");
}

TEST(JsonAccess, FloatMembersAcceptAnyNumberButNotNull) {
  const Accept<double> accepted[] = {
      {"3", 3.0}, {"-2", -2.0}, {"1e2", 100.0}, {"2.5E-3", 0.0025}, {"0.1", 0.1},
      {"18446744073709551616", 18446744073709551616.0},
      {"1.7976931348623157e308", 1.7976931348623157e308},
  };
  for (const auto& c : accepted) EXPECT_EQ(read_member<double>(c.text).value(), c.value) << c.text;
  EXPECT_TRUE(std::signbit(read_member<double>("-0").value()));
  const Reject rejected[] = {
      {"null", "doc.v: expected a number, found null"},
      {"\"1.5\"", "doc.v: expected a number, found the string \"1.5\""},
      {"true", "doc.v: expected a number, found true"},
      {"{}", "doc.v: expected a number, found an object"},
  };
  for (const Reject& c : rejected) {
    EXPECT_EQ(read_member<double>(c.text).error().description, c.description) << c.text;
  }
}

TEST(JsonAccess, StringAndBoolMembers) {
  EXPECT_EQ(read_member<std::string_view>("\"a\\nb\"").value(), "a\nb");
  EXPECT_EQ(read_member<bool>("false").value(), false);
  EXPECT_EQ(read_member<bool>("0").error().description, "doc.v: expected a boolean, found 0");
  EXPECT_EQ(read_member<std::string_view>("1").error().description,
            "doc.v: expected a string, found 1");
  EXPECT_EQ(read_member<std::string_view>("[]").error().description,
            "doc.v: expected a string, found an array");
  EXPECT_EQ(read_member<bool>("\"" + std::string(50, 'x') + "\"").error().description,
            "doc.v: expected a boolean, found the string \"" + std::string(40, 'x') + "...\"");
}

TEST(JsonAccess, ErrorsNameTheFullMemberPath) {
  const auto document = read_json(
      R"({"model":{"extra":[1],"trees":[{"nodes":[{"depth":2},{"depth":-1,"w":null}]}]}})");
  ASSERT_TRUE(document.has_value());
  const auto root = JsonObjectReader::open(*document, "").value();
  const auto model = root.required<JsonObjectReader>("model").value();
  const auto trees = model.required<JsonArrayReader>("trees").value();
  ASSERT_EQ(trees.size(), 1u);
  const auto tree = trees.at<JsonObjectReader>(0).value();
  const auto nodes = tree.required<JsonArrayReader>("nodes").value();
  ASSERT_EQ(nodes.size(), 2u);
  const auto first = nodes.at<JsonObjectReader>(0).value();
  const auto second = nodes.at<JsonObjectReader>(1).value();
  EXPECT_EQ(first.required<std::uint16_t>("depth").value(), 2);

  const auto error = [](const auto& result) { return result.error().description; };
  EXPECT_EQ(error(second.required<std::uint16_t>("depth")),
            "model.trees[0].nodes[1].depth: expected an unsigned 16-bit integer, found -1");
  EXPECT_EQ(error(first.required<double>("weight")),
            "model.trees[0].nodes[0].weight: missing required member");
  EXPECT_EQ(error(nodes.at<JsonObjectReader>(2)),
            "model.trees[0].nodes[2]: index past the end of the array");
  EXPECT_EQ(error(model.required<JsonObjectReader>("trees")),
            "model.trees: expected an object, found an array");
  EXPECT_EQ(error(model.required<JsonArrayReader>("extra").value().at<std::string_view>(0)),
            "model.extra[0]: expected a string, found 1");
  EXPECT_EQ(error(JsonArrayReader::open(*document, "")), "expected an array, found an object");
}

TEST(JsonAccess, OptionalAndNullableMembers) {
  const auto document = read_json(R"({"n":null,"f":1.5,"s":"x"})");
  ASSERT_TRUE(document.has_value());
  const auto object = JsonObjectReader::open(*document, "o").value();

  EXPECT_EQ(object.optional<double>("missing").value(), std::nullopt);
  EXPECT_EQ(object.optional<double>("f").value(), 1.5);
  EXPECT_EQ(object.optional<double>("n").error().description, "o.n: expected a number, found null");
  EXPECT_EQ(object.optional<std::uint64_t>("s").error().description,
            "o.s: expected an unsigned integer, found the string \"x\"");

  EXPECT_EQ(object.nullable<double>("n").value(), std::nullopt);
  EXPECT_EQ(object.nullable<double>("f").value(), 1.5);
  EXPECT_EQ(object.nullable<double>("missing").error().description,
            "o.missing: missing required member");
  EXPECT_EQ(object.nullable<double>("s").error().description,
            "o.s: expected a number, found the string \"x\"");
}

}  // namespace
}  // namespace arborvane::platform
