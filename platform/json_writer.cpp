#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <system_error>

#include "platform/check.hpp"
#include "platform/json.hpp"

namespace arborvane::platform {
namespace {

void append_unsigned(std::string& out, std::uint64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

// Same text as format_json (numfmt.hpp), appended in place: documents hold millions of floats
// and a temporary string per float doubles the writing time. The tests compare the two.
void append_float(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  std::array<char, 32> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                    std::chars_format::scientific);
  AV_CHECK(result.ec == std::errc(), "to_chars failed for a finite double");
  const char* p = buffer.data();
  const char* const end = result.ptr;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  // Shortest digits d1..dn without the point; |value| = 0.d1..dn * 10^k.
  char digits[24];
  int n = 0;
  for (; p != end && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  AV_CHECK(p != end, "scientific to_chars output has no exponent");
  ++p;
  if (*p == '+') ++p;
  int scientific_exponent = 0;
  const auto parsed = std::from_chars(p, end, scientific_exponent);
  AV_CHECK(parsed.ec == std::errc(), "scientific to_chars output has a malformed exponent");
  const int k = scientific_exponent + 1;

  constexpr int kMaxPositionalExponent = 16;
  constexpr int kMinPositionalExponent = -5;  // exclusive
  if (k > kMinPositionalExponent && k <= kMaxPositionalExponent) {
    if (k <= 0) {
      out.append("0.");
      out.append(static_cast<std::size_t>(-k), '0');
      out.append(digits, static_cast<std::size_t>(n));
    } else if (k >= n) {
      out.append(digits, static_cast<std::size_t>(n));
      out.append(static_cast<std::size_t>(k - n), '0');
      out.append(".0");
    } else {
      out.append(digits, static_cast<std::size_t>(k));
      out.push_back('.');
      out.append(digits + k, static_cast<std::size_t>(n - k));
    }
    return;
  }
  out.push_back(digits[0]);
  if (n > 1) {
    out.push_back('.');
    out.append(digits + 1, static_cast<std::size_t>(n - 1));
  }
  out.push_back('e');
  char exponent_buffer[8];
  const auto written =
      std::to_chars(exponent_buffer, exponent_buffer + sizeof exponent_buffer, k - 1);
  out.append(exponent_buffer, written.ptr);
}

// 0: byte copied as is; otherwise the character after the backslash ('u' for \u00XX).
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = 'u';
  table['"'] = '"';
  table['\\'] = '\\';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['\t'] = 't';
  table['\b'] = 'b';
  table['\f'] = 'f';
  return table;
}();

enum OpenFlags : std::uint8_t { kIsObject = 1, kHasItems = 2 };

}  // namespace

JsonNumber JsonNumber::from_unsigned(std::uint64_t value) { return {Form::Unsigned, value}; }

JsonNumber JsonNumber::from_float(double value) {
  return {Form::Float, std::bit_cast<std::uint64_t>(value)};
}

JsonNumber JsonNumber::from_negative_integer(std::uint64_t magnitude) {
  return {Form::NegativeInteger, magnitude};
}

std::optional<std::uint64_t> JsonNumber::as_unsigned() const {
  if (form_ == Form::Unsigned) return bits_;
  return std::nullopt;
}

std::optional<double> JsonNumber::as_float() const {
  switch (form_) {
    case Form::Unsigned:
      return static_cast<double>(bits_);
    case Form::NegativeInteger:
      return -static_cast<double>(bits_);
    case Form::Float: {
      const double value = std::bit_cast<double>(bits_);
      if (!std::isfinite(value)) return std::nullopt;
      return value;
    }
  }
  internal_failure("unknown JSON number form");
}

void JsonNumber::append_to(std::string& out) const {
  switch (form_) {
    case Form::Unsigned:
      append_unsigned(out, bits_);
      return;
    case Form::NegativeInteger:
      out.push_back('-');
      append_unsigned(out, bits_);
      return;
    case Form::Float:
      append_float(out, std::bit_cast<double>(bits_));
      return;
  }
  internal_failure("unknown JSON number form");
}

std::string JsonNumber::to_text() const {
  std::string out;
  append_to(out);
  return out;
}

const JsonValue* JsonValue::find(std::string_view name) const {
  const JsonObject* members = if_object();
  if (members == nullptr) return nullptr;
  for (const JsonMember& member : *members) {
    if (member.first == name) return &member.second;
  }
  return nullptr;
}

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p != end) {
    const char* run = p;
    while (p != end && kEscapes[static_cast<unsigned char>(*p)] == 0) ++p;
    out.append(run, p);
    if (p == end) break;
    const auto byte = static_cast<unsigned char>(*p++);
    const char escape = kEscapes[byte];
    out.push_back('\\');
    out.push_back(escape);
    if (escape == 'u') {
      out.append("00");
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    }
  }
  out.push_back('"');
}

std::string describe_json_string(std::string_view text) {
  constexpr std::size_t kShown = 40;
  const bool cut = text.size() > kShown;
  if (cut) {
    std::size_t end = kShown;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text = text.substr(0, end);
  }
  std::string out = "the string ";
  append_json_string(out, text);
  if (cut) out.insert(out.size() - 1, "...");
  return out;
}

void JsonWriter::newline_and_indent(std::size_t depth) {
  out_.push_back('\n');
  out_.append(2 * (base_depth_ + depth), ' ');
}

void JsonWriter::raw_value(std::string_view text) {
  before_value();
  out_.append(text);
}

void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (open_.empty()) {
    AV_CHECK(out_.empty(), "JSON writer holds one top-level value");
    return;
  }
  std::uint8_t& top = open_.back();
  AV_CHECK((top & kIsObject) == 0, "JSON object member written without a key");
  if (top & kHasItems) out_.push_back(',');
  top |= kHasItems;
  if (pretty_) newline_and_indent(open_.size());
}

void JsonWriter::begin_member() {
  AV_CHECK(!open_.empty() && (open_.back() & kIsObject) != 0 && !after_key_,
           "JSON key written outside an object");
  std::uint8_t& top = open_.back();
  if (top & kHasItems) out_.push_back(',');
  top |= kHasItems;
  if (pretty_) newline_and_indent(open_.size());
}

void JsonWriter::key(std::string_view name) {
  begin_member();
  append_json_string(out_, name);
  if (pretty_) {
    out_.append(": ");
  } else {
    out_.push_back(':');
  }
  after_key_ = true;
}

void JsonWriter::plain_key(std::string_view name) {
  begin_member();
  out_.push_back('"');
  out_.append(name);
  out_.append(pretty_ ? "\": " : "\":");
  after_key_ = true;
}

void JsonWriter::begin_object() {
  before_value();
  out_.push_back('{');
  open_.push_back(kIsObject);
}

void JsonWriter::begin_array() {
  before_value();
  out_.push_back('[');
  open_.push_back(0);
}

void JsonWriter::end_object() {
  AV_CHECK(!open_.empty() && (open_.back() & kIsObject) != 0 && !after_key_,
           "JSON object closed out of order");
  const bool has_items = (open_.back() & kHasItems) != 0;
  open_.pop_back();
  if (pretty_ && has_items) newline_and_indent(open_.size());
  out_.push_back('}');
}

void JsonWriter::end_array() {
  AV_CHECK(!open_.empty() && (open_.back() & kIsObject) == 0, "JSON array closed out of order");
  const bool has_items = (open_.back() & kHasItems) != 0;
  open_.pop_back();
  if (pretty_ && has_items) newline_and_indent(open_.size());
  out_.push_back(']');
}

void JsonWriter::null_value() {
  before_value();
  out_.append("null");
}

void JsonWriter::bool_value(bool value) {
  before_value();
  out_.append(value ? "true" : "false");
}

void JsonWriter::unsigned_value(std::uint64_t value) {
  before_value();
  append_unsigned(out_, value);
}

void JsonWriter::float_value(double value) {
  before_value();
  append_float(out_, value);
}

void JsonWriter::string_value(std::string_view value) {
  before_value();
  append_json_string(out_, value);
}

void JsonWriter::number_value(const JsonNumber& value) {
  before_value();
  value.append_to(out_);
}

void JsonWriter::value(const JsonValue& value) {
  switch (value.type()) {
    case JsonType::Null:
      null_value();
      return;
    case JsonType::Bool:
      bool_value(*value.if_bool());
      return;
    case JsonType::Number:
      number_value(*value.if_number());
      return;
    case JsonType::String:
      string_value(*value.if_string());
      return;
    case JsonType::Array:
      begin_array();
      for (const JsonValue& item : *value.if_array()) this->value(item);
      end_array();
      return;
    case JsonType::Object:
      begin_object();
      for (const JsonMember& member : *value.if_object()) {
        key(member.first);
        this->value(member.second);
      }
      end_object();
      return;
  }
  internal_failure("unknown JSON value type");
}

std::string JsonWriter::take() {
  AV_CHECK(open_.empty() && !after_key_, "JSON writer taken before the value is complete");
  std::string text = std::move(out_);
  out_.clear();
  return text;
}

std::string write_json(const JsonValue& value, bool pretty) {
  JsonWriter writer(pretty);
  writer.value(value);
  return writer.take();
}

}  // namespace arborvane::platform
