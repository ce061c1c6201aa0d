#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>
#include <tuple>
#include <utility>

#include "platform/json.hpp"
#include "platform/str_cat.hpp"

namespace arborvane::platform {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// Length of the well-formed UTF-8 sequence starting at p (lead byte >= 0x80), or 0 when it is
// ill-formed: overlong forms, surrogates and code points above U+10FFFF are rejected.
std::size_t utf8_sequence_length(const unsigned char* p, const unsigned char* end) {
  const unsigned char lead = p[0];
  std::size_t length = 0;
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_min = 0xA0;
    if (lead == 0xED) second_max = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(end - p) < length) return 0;
  if (p[1] < second_min || p[1] > second_max) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
  }
  return length;
}

// Bytes a string can copy without a closer look: printable ASCII other than '"' and '\\'.
constexpr std::array<bool, 256> kPlainStringByte = [] {
  std::array<bool, 256> table{};
  for (int c = 0x20; c < 0x80; ++c) table[static_cast<std::size_t>(c)] = true;
  table['"'] = false;
  table['\\'] = false;
  return table;
}();

class Parser {
 public:
  explicit Parser(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

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
  // Line and column are worked out only when an error is reported, off the hot path.
  bool fail(const char* at, std::string_view what) {
    std::size_t line = 1;
    std::size_t column = 1;
    for (const char* q = begin_; q != at; ++q) {
      if (*q == '\n') {
        ++line;
        column = 1;
      } else if ((static_cast<unsigned char>(*q) & 0xC0) != 0x80) {
        ++column;
      }
    }
    error_ = str_cat("line ", line, ", column ", column, ": ", what);
    return false;
  }

  std::string describe_here() const {
    if (p_ == end_) return "the end of the input";
    const auto c = static_cast<unsigned char>(*p_);
    if (c >= 0x20 && c < 0x7F) return str_cat("'", static_cast<char>(c), "'");
    static constexpr char kHex[] = "0123456789ABCDEF";
    return str_cat("byte 0x", kHex[c >> 4], kHex[c & 0xF]);
  }

  void skip_whitespace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

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
        if (*p_ == '-' || is_digit(*p_)) return parse_number(out);
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

  bool parse_string(std::string& out) {
    const char* const start = p_;
    ++p_;  // '"'
    while (true) {
      const char* run = p_;
      while (p_ != end_ && kPlainStringByte[static_cast<unsigned char>(*p_)]) ++p_;
      out.append(run, p_);
      if (p_ == end_) return fail(start, "unterminated string");
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c == '\\') {
        if (!parse_escape(out)) return false;
      } else if (c < 0x20) {
        return fail(p_, "control character in a string (write it as an escape)");
      } else {
        const auto* bytes = reinterpret_cast<const unsigned char*>(p_);
        const std::size_t length =
            utf8_sequence_length(bytes, reinterpret_cast<const unsigned char*>(end_));
        if (length == 0) return fail(p_, "invalid UTF-8 in a string");
        out.append(p_, length);
        p_ += length;
      }
    }
  }

  bool parse_hex4(const char* at, std::uint32_t& value) {
    if (end_ - at < 4) return fail(at, "expected four hexadecimal digits after \\u");
    value = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = hex_value(at[i]);
      if (digit < 0) return fail(at, "expected four hexadecimal digits after \\u");
      value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  bool parse_escape(std::string& out) {
    const char* const escape_start = p_;
    ++p_;  // '\\'
    if (p_ == end_) return fail(escape_start, "unterminated string");
    const char c = *p_++;
    switch (c) {
      case '"':
        out.push_back('"');
        return true;
      case '\\':
        out.push_back('\\');
        return true;
      case '/':
        out.push_back('/');
        return true;
      case 'b':
        out.push_back('\b');
        return true;
      case 'f':
        out.push_back('\f');
        return true;
      case 'n':
        out.push_back('\n');
        return true;
      case 'r':
        out.push_back('\r');
        return true;
      case 't':
        out.push_back('\t');
        return true;
      case 'u':
        break;
      default:
        return fail(escape_start, "invalid escape sequence in a string");
    }
    std::uint32_t unit = 0;
    if (!parse_hex4(p_, unit)) return false;
    p_ += 4;
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return fail(escape_start, "unpaired surrogate escape in a string");
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      std::uint32_t low = 0;
      if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u' || !parse_hex4(p_ + 2, low) ||
          low < 0xDC00 || low > 0xDFFF) {
        return fail(escape_start, "unpaired surrogate escape in a string");
      }
      p_ += 6;
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(out, unit);
    return true;
  }

  bool parse_number(JsonValue& out) {
    const char* const start = p_;
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_ || !is_digit(*p_)) return fail(start, "expected a digit in a number");
    const char* const int_start = p_;
    if (*p_ == '0') {
      ++p_;
      if (p_ != end_ && is_digit(*p_)) return fail(start, "leading zeros in a number");
    } else {
      while (p_ != end_ && is_digit(*p_)) ++p_;
    }
    const char* const int_end = p_;
    bool integral = true;
    if (p_ != end_ && *p_ == '.') {
      integral = false;
      ++p_;
      if (p_ == end_ || !is_digit(*p_)) {
        return fail(start, "expected a digit after '.' in a number");
      }
      while (p_ != end_ && is_digit(*p_)) ++p_;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      integral = false;
      ++p_;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !is_digit(*p_)) {
        return fail(start, "expected a digit in the exponent of a number");
      }
      while (p_ != end_ && is_digit(*p_)) ++p_;
    }
    if (integral) {
      std::uint64_t magnitude = 0;
      const auto parsed = std::from_chars(int_start, int_end, magnitude);
      if (parsed.ec == std::errc()) {
        out = JsonValue(negative ? JsonNumber::from_negative_integer(magnitude)
                                 : JsonNumber::from_unsigned(magnitude));
        return true;
      }
      // Integers beyond 64 bits are still numbers: they read as floats below.
    }
    double value = 0.0;
    const auto parsed = std::from_chars(start, p_, value);
    if (parsed.ec == std::errc::result_out_of_range) {
      if (exceeds_one(int_start, p_)) return fail(start, "number out of the float range");
      value = negative ? -0.0 : 0.0;  // underflow rounds to zero
    } else if (parsed.ec != std::errc() || parsed.ptr != p_) {
      return fail(start, "malformed number");
    }
    out = JsonValue(JsonNumber::from_float(value));
    return true;
  }

  // Whether the unsigned number text [p, end) is at least 1; the text is known to be valid.
  // Decides between overflow and underflow when from_chars reports a value out of range.
  static bool exceeds_one(const char* p, const char* end) {
    // Decimal exponent of the first significant digit, plus the written exponent (saturated).
    long long position = 0;
    bool seen_point = false;
    bool found = false;
    for (; p != end && *p != 'e' && *p != 'E'; ++p) {
      if (*p == '.') {
        seen_point = true;
      } else if (!found && *p != '0') {
        found = true;
        if (seen_point) break;
      } else if (!found && seen_point) {
        --position;
      }
      if (found && !seen_point) ++position;
    }
    while (p != end && *p != 'e' && *p != 'E') ++p;
    if (!found) return false;
    long long exponent = 0;
    if (p != end) {
      ++p;
      bool negative_exponent = false;
      if (*p == '+' || *p == '-') negative_exponent = *p++ == '-';
      constexpr long long kCap = 1'000'000'000;
      for (; p != end; ++p) exponent = std::min(kCap, exponent * 10 + (*p - '0'));
      if (negative_exponent) exponent = -exponent;
    }
    return position + exponent > 0;
  }

  const char* const begin_;
  const char* p_;
  const char* const end_;
  std::vector<std::size_t> key_offsets_;
  std::string error_;
};

}  // namespace

std::expected<JsonValue, JsonError> read_json(std::string_view text) {
  return Parser(text).run();
}

}  // namespace arborvane::platform
