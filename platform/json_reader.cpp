#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>
#include <tuple>
#include <utility>

#include "platform/json.hpp"
#include "platform/json_lexer.hpp"
#include "platform/str_cat.hpp"

namespace arborvane::platform {
namespace {

class Parser : JsonLexer {
 public:
  explicit Parser(std::string_view text) : JsonLexer(text) {}

  std::expected<JsonValue, JsonError> run() {
    JsonValue value;
    if (!parse_value(value, 0)) return std::unexpected(JsonError{std::move(error_)});
    skip_whitespace();
    if (p_ != end_) {
      fail(p_, "unexpected text after the JSON value");
      return std::unexpected(JsonError{std::move(error_)});
    }
    return value;
  }

 private:
  bool parse_value(JsonValue& out, std::size_t depth) {
    skip_whitespace();
    if (p_ == end_) return fail(p_, "expected a value, found the end of the input");
    switch (*p_) {
      case '{':
        return parse_object(out, depth + 1);
      case '[':
        return parse_array(out, depth + 1);
      case '"': {
        std::string text;
        if (!parse_string(text)) return false;
        out = JsonValue(std::move(text));
        return true;
      }
      case 't':
        return parse_literal("true", JsonValue(true), out);
      case 'f':
        return parse_literal("false", JsonValue(false), out);
      case 'n':
        return parse_literal("null", JsonValue(), out);
      default:
        if (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) return parse_number(out);
        return fail(p_, str_cat("expected a value, found ", describe_here()));
    }
  }

  bool parse_literal(std::string_view word, JsonValue value, JsonValue& out) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::memcmp(p_, word.data(), word.size()) != 0) {
      return fail(p_, str_cat("expected a value, found ", describe_here()));
    }
    p_ += word.size();
    out = std::move(value);
    return true;
  }

  bool check_depth(std::size_t depth) {
    if (depth > kJsonMaxDepth) {
      return fail(p_, str_cat("arrays and objects nested deeper than ", kJsonMaxDepth, " levels"));
    }
    return true;
  }

  bool parse_array(JsonValue& out, std::size_t depth) {
    if (!check_depth(depth)) return false;
    ++p_;  // '['
    JsonArray items;
    skip_whitespace();
    if (p_ != end_ && *p_ == ']') {
      ++p_;
      out = JsonValue(std::move(items));
      return true;
    }
    while (true) {
      if (!parse_value(items.emplace_back(), depth)) return false;
      skip_whitespace();
      if (p_ != end_ && *p_ == ',') {
        ++p_;
        skip_whitespace();
        if (p_ != end_ && *p_ == ']') return fail(p_, "trailing comma in an array");
        continue;
      }
      if (p_ != end_ && *p_ == ']') {
        ++p_;
        out = JsonValue(std::move(items));
        return true;
      }
      return fail(p_, str_cat("expected ',' or ']' in an array, found ", describe_here()));
    }
  }

  bool parse_object(JsonValue& out, std::size_t depth) {
    if (!check_depth(depth)) return false;
    ++p_;  // '{'
    JsonObject members;
    // Key offsets of the enclosing objects sit below `base`; nested objects finish first, so
    // one vector serves as a stack.
    const std::size_t base = key_offsets_.size();
    skip_whitespace();
    if (p_ != end_ && *p_ == '}') {
      ++p_;
      out = JsonValue(std::move(members));
      return true;
    }
    while (true) {
      skip_whitespace();
      if (p_ == end_ || *p_ != '"') {
        return fail(p_,
                    str_cat("expected a member name in double quotes, found ", describe_here()));
      }
      key_offsets_.push_back(static_cast<std::size_t>(p_ - begin_));
      std::string name;
      if (!parse_string(name)) return false;
      skip_whitespace();
      if (p_ == end_ || *p_ != ':') {
        return fail(p_, str_cat("expected ':' after a member name, found ", describe_here()));
      }
      ++p_;
      JsonMember& member = members.emplace_back(std::piecewise_construct,
                                                std::forward_as_tuple(std::move(name)),
                                                std::forward_as_tuple());
      if (!parse_value(member.second, depth)) return false;
      skip_whitespace();
      if (p_ != end_ && *p_ == ',') {
        ++p_;
        skip_whitespace();
        if (p_ != end_ && *p_ == '}') return fail(p_, "trailing comma in an object");
        continue;
      }
      if (p_ != end_ && *p_ == '}') {
        ++p_;
        break;
      }
      return fail(p_, str_cat("expected ',' or '}' in an object, found ", describe_here()));
    }
    if (!check_duplicates(members, base)) return false;
    key_offsets_.resize(base);
    out = JsonValue(std::move(members));
    return true;
  }

  // Reports the earliest member whose name occurred before it in the same object.
  bool check_duplicates(const JsonObject& members, std::size_t base) {
    const std::size_t n = members.size();
    std::size_t first_repeat = n;
    constexpr std::size_t kPairwiseLimit = 16;
    if (n <= kPairwiseLimit) {
      for (std::size_t i = 1; i < n && first_repeat == n; ++i) {
        for (std::size_t j = 0; j < i; ++j) {
          if (members[i].first == members[j].first) {
            first_repeat = i;
            break;
          }
        }
      }
    } else {
      // Sorting keeps hostile objects with many members from taking quadratic time.
      std::vector<std::size_t> order(n);
      for (std::size_t i = 0; i < n; ++i) order[i] = i;
      std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return members[a].first < members[b].first;
      });
      for (std::size_t i = 1; i < n; ++i) {
        if (members[order[i]].first == members[order[i - 1]].first) {
          first_repeat = std::min(first_repeat, order[i]);
        }
      }
    }
    if (first_repeat == n) return true;
    std::string quoted;
    append_json_string(quoted, members[first_repeat].first);
    return fail(begin_ + key_offsets_[base + first_repeat],
                str_cat("duplicate member name ", quoted));
  }

  bool parse_number(JsonValue& out) {
    NumberText text;
    JsonNumber number = JsonNumber::from_unsigned(0);
    if (!scan_number(text) || !number_value(text, number)) return false;
    out = JsonValue(number);
    return true;
  }

  std::vector<std::size_t> key_offsets_;
};

}  // namespace

std::expected<JsonValue, JsonError> read_json(std::string_view text) {
  return Parser(text).run();
}

}  // namespace arborvane::platform
