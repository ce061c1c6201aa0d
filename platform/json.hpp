#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace arborvane::platform {

// A JSON number as written or read. Writers choose the unsigned or the float form; the reader
// keeps which form the text had, so a caller can tell "7" from "7.0" and "-0" from "0".
class JsonNumber {
 public:
  static JsonNumber from_unsigned(std::uint64_t value);
  static JsonNumber from_float(double value);
  // "-<digits>" read from text whose magnitude fits 64 bits (including "-0").
  static JsonNumber from_negative_integer(std::uint64_t magnitude);

  // Present only for a plain non-negative integer (no sign, fraction or exponent) that fits.
  std::optional<std::uint64_t> as_unsigned() const;
  // The value as a double: always present for read numbers (out-of-range text is rejected on
  // reading); absent only for a non-finite float a writer put in.
  std::optional<double> as_float() const;

  // The JSON text the writer emits: integers in decimal, floats as format_json does, non-finite
  // floats as "null".
  std::string to_text() const;
  void append_to(std::string& out) const;

  bool operator==(const JsonNumber&) const = default;

 private:
  enum class Form : std::uint8_t { Unsigned, NegativeInteger, Float };
  JsonNumber(Form form, std::uint64_t bits) : form_(form), bits_(bits) {}

  Form form_;
  std::uint64_t bits_;  // the magnitude for the integer forms, the double's bits for Float
};

class JsonValue;
using JsonArray = std::vector<JsonValue>;
using JsonMember = std::pair<std::string, JsonValue>;
// Members in insertion order: the writer emits them exactly as the caller built them.
using JsonObject = std::vector<JsonMember>;

enum class JsonType : std::uint8_t { Null, Bool, Number, String, Array, Object };

class JsonValue {
 public:
  JsonValue() = default;  // null
  JsonValue(std::nullptr_t) {}
  JsonValue(bool value) : data_(value) {}
  JsonValue(JsonNumber value) : data_(value) {}
  JsonValue(std::string value) : data_(std::move(value)) {}
  JsonValue(std::string_view value) : data_(std::string(value)) {}
  JsonValue(const char* value) : data_(std::string(value)) {}
  JsonValue(JsonArray value) : data_(std::move(value)) {}
  JsonValue(JsonObject value) : data_(std::move(value)) {}
  // Integers and floats must say which JSON form they take: use the factories below. Without
  // this an int would silently become a bool.
  template <class T>
    requires(std::is_arithmetic_v<T> && !std::same_as<T, bool>)
  JsonValue(T) = delete;

  static JsonValue unsigned_number(std::uint64_t value) { return JsonNumber::from_unsigned(value); }
  static JsonValue float_number(double value) { return JsonNumber::from_float(value); }

  JsonType type() const { return static_cast<JsonType>(data_.index()); }
  bool is_null() const { return type() == JsonType::Null; }

  const bool* if_bool() const { return std::get_if<bool>(&data_); }
  const JsonNumber* if_number() const { return std::get_if<JsonNumber>(&data_); }
  const std::string* if_string() const { return std::get_if<std::string>(&data_); }
  const JsonArray* if_array() const { return std::get_if<JsonArray>(&data_); }
  JsonArray* if_array() { return std::get_if<JsonArray>(&data_); }
  const JsonObject* if_object() const { return std::get_if<JsonObject>(&data_); }
  JsonObject* if_object() { return std::get_if<JsonObject>(&data_); }

  // The first member called `name` of an object; nullptr when absent or not an object.
  const JsonValue* find(std::string_view name) const;

  bool operator==(const JsonValue&) const = default;

 private:
  // Alternative order matches JsonType.
  std::variant<std::monostate, bool, JsonNumber, std::string, JsonArray, JsonObject> data_;
};

// Streams JSON text into one growing string, so a large document can be written without first
// building a JsonValue tree. Compact form has no whitespace; pretty form puts each member and
// element on its own line indented two spaces per level. Neither ends with a newline.
// Calls out of order (a value in an object without a key, mismatched ends) are programming
// errors and stop with an InternalError.
class JsonWriter {
 public:
  explicit JsonWriter(bool pretty) : pretty_(pretty) {}
  // A writer for a value that will sit `base_depth` levels deep in a larger document: its pretty
  // form is indented as it will be there, so raw_value can splice it in unchanged.
  JsonWriter(bool pretty, std::size_t base_depth) : base_depth_(base_depth), pretty_(pretty) {}

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  void key(std::string_view name);
  // A member name known to need no escaping (plain ASCII letters, digits and '_'), written
  // without the escape scan: documents write millions of fixed names.
  void plain_key(std::string_view name);
  // Room for `bytes` of text, so a large document is not copied as it grows.
  void reserve(std::size_t bytes) { out_.reserve(bytes); }

  void null_value();
  void bool_value(bool value);
  void unsigned_value(std::uint64_t value);
  void float_value(double value);  // non-finite values are written as null
  void string_value(std::string_view value);
  void number_value(const JsonNumber& value);
  void value(const JsonValue& value);
  // A complete value already written, in the same form, by a writer whose base depth is this
  // writer's current depth.
  void raw_value(std::string_view text);

  bool is_pretty() const { return pretty_; }

  // The finished text; the writer is left empty.
  std::string take();

 private:
  void before_value();
  void begin_member();  // the comma and indentation before a member's name
  void newline_and_indent(std::size_t depth);

  std::string out_;
  std::vector<std::uint8_t> open_;  // per open container: kind and whether it has items yet
  std::size_t base_depth_ = 0;
  bool pretty_;
  bool after_key_ = false;
};

std::string write_json(const JsonValue& value, bool pretty);

// Appends `text` as a quoted JSON string with standard escaping; non-ASCII bytes pass through.
void append_json_string(std::string& out, std::string_view text);

// "the string \"...\"" for messages about a string value: quoted, and cut after 40 bytes (at a
// character boundary, marked "...") so hostile input keeps messages short.
std::string describe_json_string(std::string_view text);

// The description never ends with a full stop, so callers can embed it in a sentence.
struct JsonError {
  std::string description;
  bool operator==(const JsonError&) const = default;
};

// Containers nested deeper than this are rejected, so hostile input cannot exhaust the stack.
inline constexpr std::size_t kJsonMaxDepth = 256;

// Parses exactly one JSON value (RFC 8259, strictly) followed only by whitespace. Also rejects
// duplicate member names within an object and numbers beyond the double range. Syntax errors
// are described with their line and column (1-based, columns in characters).
std::expected<JsonValue, JsonError> read_json(std::string_view text);

}  // namespace arborvane::platform
