#include "platform/json_pull.hpp"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <limits>
#include <system_error>

#include "platform/str_cat.hpp"

namespace arborvane::platform {
namespace {

// Objects with more members than this check duplicates through a hash set, so hostile input
// with huge objects stays linear.
constexpr std::size_t kPairwiseDuplicateLimit = 16;

bool starts_with(const char* p, const char* end, std::string_view word) {
  return static_cast<std::size_t>(end - p) >= word.size() &&
         std::memcmp(p, word.data(), word.size()) == 0;
}

}  // namespace

JsonPullReader::JsonPullReader(std::string_view text) : JsonLexer(text) {}

JsonPullReader::JsonPullReader(std::string_view whole, std::string_view part,
                               std::string path_prefix, std::size_t base_depth)
    : JsonLexer(whole, part), path_prefix_(std::move(path_prefix)), base_depth_(base_depth) {}

std::optional<std::vector<std::string_view>> JsonPullReader::element_texts() const {
  // Bytes the scan stops at; everything else (digits, letters, whitespace) is passed over.
  static constexpr std::array<std::uint8_t, 256> kStop = [] {
    std::array<std::uint8_t, 256> table{};
    for (const char c : {'"', '[', ']', '{', '}', ','}) table[static_cast<unsigned char>(c)] = 1;
    return table;
  }();
  const char* p = p_;
  while (p != end_ && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) ++p;
  if (p == end_ || *p != '[') return std::nullopt;
  ++p;
  std::vector<std::string_view> elements;
  const char* element = p;
  std::size_t depth = 0;
  const auto blank = [](const char* from, const char* to) {
    for (; from != to; ++from) {
      if (*from != ' ' && *from != '\n' && *from != '\r' && *from != '\t') return false;
    }
    return true;
  };
  while (true) {
    while (p != end_ && kStop[static_cast<unsigned char>(*p)] == 0) ++p;
    if (p == end_) return std::nullopt;
    const char c = *p;
    if (c == '"') {
      // A string ends at the first quote not escaped by an odd run of backslashes.
      const char* q = p + 1;
      while (true) {
        q = static_cast<const char*>(std::memchr(q, '"', static_cast<std::size_t>(end_ - q)));
        if (q == nullptr) return std::nullopt;
        std::size_t backslashes = 0;
        while (q - backslashes > p + 1 && q[-1 - static_cast<std::ptrdiff_t>(backslashes)] == '\\') {
          ++backslashes;
        }
        if (backslashes % 2 == 0) break;
        ++q;
      }
      p = q + 1;
    } else if (c == '[' || c == '{') {
      if (++depth + depth_ + base_depth_ >= kJsonMaxDepth) return std::nullopt;
      ++p;
    } else if (c == ']' || c == '}') {
      if (depth == 0) {
        if (c != ']') return std::nullopt;
        if (blank(element, p)) {
          // "[]" has no elements; "[1,]" is left to the usual reading.
          if (!elements.empty()) return std::nullopt;
          return elements;
        }
        elements.emplace_back(element, static_cast<std::size_t>(p - element));
        return elements;
      }
      --depth;
      ++p;
    } else {  // ','
      if (depth == 0) {
        if (blank(element, p)) return std::nullopt;
        elements.emplace_back(element, static_cast<std::size_t>(p - element));
        element = p + 1;
      }
      ++p;
    }
  }
}

JsonPullReader JsonPullReader::element_reader(std::string_view element, std::size_t index) const {
  return JsonPullReader(std::string_view(begin_, static_cast<std::size_t>(end_ - begin_)), element,
                        str_cat(path(depth_), "[", index, "]"), base_depth_ + depth_ + 1);
}

void JsonPullReader::finish_element() {
  skip_whitespace();
  if (p_ != end_) {
    fail(p_, str_cat("expected ',' or ']' in an array, found ", describe_here()));
    syntax_failure();
  }
}

void JsonPullReader::skip_elements(const std::vector<std::string_view>& elements) {
  // The scan ended on the array's closing bracket, just after the last element.
  skip_whitespace();
  if (elements.empty()) {
    ++p_;  // '['
    skip_whitespace();
  } else {
    p_ = elements.back().data() + elements.back().size();
    skip_whitespace();
  }
  ++p_;  // ']'
}

void JsonPullReader::syntax_failure() { throw Failure{JsonError{std::move(error_)}}; }

std::string JsonPullReader::path(std::size_t frames) const {
  std::string out = path_prefix_;
  for (std::size_t i = 0; i < frames; ++i) {
    const Frame& frame = frames_[i];
    if (frame.is_object) {
      if (frame.index == 0) break;
      if (!out.empty()) out.push_back('.');
      out.append(frame.key);
    } else {
      if (frame.index == 0) break;
      out.append(str_cat("[", frame.index - 1, "]"));
    }
  }
  return out;
}

void JsonPullReader::fail_here(std::string_view what) const {
  const std::string where = path(depth_);
  throw Failure{JsonError{where.empty() ? std::string(what) : str_cat(where, ": ", what)}};
}

void JsonPullReader::fail_missing_member(std::string_view name) const {
  const std::string where = path(depth_);
  throw Failure{JsonError{where.empty() ? str_cat(name, ": missing required member")
                                        : str_cat(where, ".", name, ": missing required member")}};
}

void JsonPullReader::expect_value_start() {
  skip_whitespace();
  if (p_ == end_) {
    fail(p_, "expected a value, found the end of the input");
    syntax_failure();
  }
}

// What the value at the current position is, for a type error. Checks its grammar on the way.
std::string JsonPullReader::describe_value_here() {
  expect_value_start();
  const char c = *p_;
  if (c == '{') return "an object";
  if (c == '[') return "an array";
  if (c == '"') {
    std::string_view text;
    if (!parse_string_view(text, scratch_)) syntax_failure();
    return describe_json_string(text);
  }
  for (std::string_view word : {"null", "true", "false"}) {
    if (starts_with(p_, end_, word)) return std::string(word);
  }
  if (c == '-' || (c >= '0' && c <= '9')) {
    NumberText text;
    if (!scan_number(text)) syntax_failure();
    return std::string(text.start, text.end);
  }
  fail(p_, str_cat("expected a value, found ", describe_here()));
  syntax_failure();
}

void JsonPullReader::open(bool is_object) {
  if (base_depth_ + depth_ + 1 > kJsonMaxDepth) {
    fail(p_, str_cat("arrays and objects nested deeper than ", kJsonMaxDepth, " levels"));
    syntax_failure();
  }
  ++p_;  // '{' or '['
  if (frames_.size() <= depth_) frames_.emplace_back();
  Frame& frame = frames_[depth_++];
  frame.is_object = is_object;
  frame.index = 0;
  frame.key = {};
  if (is_object) {
    frame.owned_keys.clear();
    frame.seen.clear();
    frame.seen_set.clear();
    frame.first_member = p_;
  }
}

void JsonPullReader::close() {
  ++p_;  // '}' or ']'
  --depth_;
}

void JsonPullReader::begin_object() {
  expect_value_start();
  if (*p_ != '{') fail_here(str_cat("expected an object, found ", describe_value_here()));
  open(true);
}

void JsonPullReader::begin_array() {
  expect_value_start();
  if (*p_ != '[') fail_here(str_cat("expected an array, found ", describe_value_here()));
  open(false);
}

void JsonPullReader::check_duplicate(Frame& frame, std::string_view name, const char* at) {
  bool repeated = false;
  if (frame.seen.size() < kPairwiseDuplicateLimit) {
    for (const std::string_view seen : frame.seen) {
      if (seen == name) {
        repeated = true;
        break;
      }
    }
    frame.seen.push_back(name);
    if (frame.seen.size() == kPairwiseDuplicateLimit) {
      frame.seen_set.insert(frame.seen.begin(), frame.seen.end());
    }
  } else {
    repeated = !frame.seen_set.insert(name).second;
  }
  if (!repeated) return;
  std::string quoted;
  append_json_string(quoted, name);
  fail(at, str_cat("duplicate member name ", quoted));
  syntax_failure();
}

bool JsonPullReader::next_member(std::string_view& name) {
  if (!advance_member(name)) return false;
  Frame& frame = frames_[depth_ - 1];
  check_duplicate(frame, name, frame.key_start);
  return true;
}

bool JsonPullReader::next_member_unchecked(std::string_view& name) { return advance_member(name); }

void JsonPullReader::check_other_member(std::string_view name) {
  Frame& frame = frames_[depth_ - 1];
  check_duplicate(frame, name, frame.key_start);
}

void JsonPullReader::fail_duplicate_member() {
  const Frame& frame = frames_[depth_ - 1];
  std::string quoted;
  append_json_string(quoted, frame.key);
  fail(frame.key_start, str_cat("duplicate member name ", quoted));
  syntax_failure();
}

bool JsonPullReader::advance_member(std::string_view& name) {
  Frame& frame = frames_[depth_ - 1];
  skip_whitespace();
  if (frame.index == 0) {
    if (p_ != end_ && *p_ == '}') {
      close();
      return false;
    }
  } else if (p_ != end_ && *p_ == '}') {
    close();
    return false;
  } else if (p_ != end_ && *p_ == ',') {
    ++p_;
    skip_whitespace();
    if (p_ != end_ && *p_ == '}') {
      fail(p_, "trailing comma in an object");
      syntax_failure();
    }
  } else {
    fail(p_, str_cat("expected ',' or '}' in an object, found ", describe_here()));
    syntax_failure();
  }
  if (p_ == end_ || *p_ != '"') {
    fail(p_, str_cat("expected a member name in double quotes, found ", describe_here()));
    syntax_failure();
  }
  frame.key_start = p_;
  if (!parse_string_view(name, scratch_)) syntax_failure();
  if (name.data() == scratch_.data() && !name.empty()) {
    name = frame.owned_keys.emplace_back(name);
  }
  skip_whitespace();
  if (p_ == end_ || *p_ != ':') {
    fail(p_, str_cat("expected ':' after a member name, found ", describe_here()));
    syntax_failure();
  }
  ++p_;
  frame.key = name;
  ++frame.index;
  return true;
}

bool JsonPullReader::next_element() {
  Frame& frame = frames_[depth_ - 1];
  skip_whitespace();
  if (frame.index != 0) {
    if (p_ != end_ && *p_ == ',') {
      ++p_;
      skip_whitespace();
      if (p_ != end_ && *p_ == ']') {
        fail(p_, "trailing comma in an array");
        syntax_failure();
      }
      ++frame.index;
      return true;
    }
    if (p_ == end_ || *p_ != ']') {
      fail(p_, str_cat("expected ',' or ']' in an array, found ", describe_here()));
      syntax_failure();
    }
  }
  if (p_ != end_ && *p_ == ']') {
    close();
    return false;
  }
  ++frame.index;
  return true;
}

template <class U>
U JsonPullReader::read_unsigned_as(std::string_view expected) {
  expect_value_start();
  const char* const start = p_;
  if (*p_ >= '0' && *p_ <= '9') {
    NumberText text;
    if (!scan_number(text)) syntax_failure();
    if (text.integral) {
      // Up to 19 digits cannot overflow 64 bits; longer runs take the checked path.
      const std::size_t digits = static_cast<std::size_t>(text.int_end - text.int_start);
      std::uint64_t value = 0;
      bool fits = true;
      if (digits <= 19) {
        for (const char* d = text.int_start; d != text.int_end; ++d) {
          value = value * 10 + static_cast<std::uint64_t>(*d - '0');
        }
      } else {
        fits = std::from_chars(text.int_start, text.int_end, value).ec == std::errc();
      }
      if (fits && value <= std::numeric_limits<U>::max()) return static_cast<U>(value);
    }
    JsonNumber checked = JsonNumber::from_unsigned(0);
    if (!number_value(text, checked)) syntax_failure();  // out of the float range
    p_ = start;
  }
  fail_here(str_cat("expected ", expected, ", found ", describe_value_here()));
}

std::uint64_t JsonPullReader::read_unsigned() {
  return read_unsigned_as<std::uint64_t>("an unsigned integer");
}

std::uint16_t JsonPullReader::read_u16() {
  return read_unsigned_as<std::uint16_t>("an unsigned 16-bit integer");
}

std::uint8_t JsonPullReader::read_u8() {
  return read_unsigned_as<std::uint8_t>("an unsigned 8-bit integer");
}

double JsonPullReader::read_float() {
  expect_value_start();
  if (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) {
    NumberText text;
    JsonNumber number = JsonNumber::from_unsigned(0);
    if (!scan_number(text) || !number_value(text, number)) syntax_failure();
    return *number.as_float();
  }
  fail_here(str_cat("expected a number, found ", describe_value_here()));
}

bool JsonPullReader::read_bool() {
  expect_value_start();
  if (starts_with(p_, end_, "true")) {
    p_ += 4;
    return true;
  }
  if (starts_with(p_, end_, "false")) {
    p_ += 5;
    return false;
  }
  fail_here(str_cat("expected a boolean, found ", describe_value_here()));
}

std::string_view JsonPullReader::read_string() {
  expect_value_start();
  if (*p_ != '"') fail_here(str_cat("expected a string, found ", describe_value_here()));
  std::string_view text;
  if (!parse_string_view(text, scratch_)) syntax_failure();
  return text;
}

bool JsonPullReader::read_null() {
  expect_value_start();
  if (!starts_with(p_, end_, "null")) return false;
  p_ += 4;
  return true;
}

void JsonPullReader::skip_value() {
  expect_value_start();
  switch (*p_) {
    case '{': {
      begin_object();
      std::string_view name;
      while (next_member(name)) skip_value();
      return;
    }
    case '[':
      begin_array();
      while (next_element()) skip_value();
      return;
    case '"': {
      std::string_view text;
      if (!parse_string_view(text, scratch_)) syntax_failure();
      return;
    }
    default:
      break;
  }
  for (std::string_view word : {"null", "true", "false"}) {
    if (starts_with(p_, end_, word)) {
      p_ += word.size();
      return;
    }
  }
  if (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) {
    NumberText text;
    JsonNumber number = JsonNumber::from_unsigned(0);
    if (!scan_number(text) || !number_value(text, number)) syntax_failure();
    return;
  }
  fail(p_, str_cat("expected a value, found ", describe_here()));
  syntax_failure();
}

void JsonPullReader::finish() {
  skip_whitespace();
  if (p_ != end_) {
    fail(p_, "unexpected text after the JSON value");
    syntax_failure();
  }
}

JsonPullReader::ObjectMark JsonPullReader::mark_object() const {
  return {frames_[depth_ - 1].first_member};
}

void JsonPullReader::rewind_object(ObjectMark mark) {
  Frame& frame = frames_[depth_ - 1];
  p_ = mark.position;
  frame.index = 0;
  frame.key = {};
  frame.owned_keys.clear();
  frame.seen.clear();
  frame.seen_set.clear();
}

}  // namespace arborvane::platform
