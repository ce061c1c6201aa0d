#include "platform/json_lexer.hpp"

#include <array>
#include <charconv>
#include <system_error>

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

}  // namespace

// Line and column are worked out only when an error is reported, off the hot path.
bool JsonLexer::fail(const char* at, std::string_view what) {
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

std::string JsonLexer::describe_here() const {
  if (p_ == end_) return "the end of the input";
  const auto c = static_cast<unsigned char>(*p_);
  if (c >= 0x20 && c < 0x7F) return str_cat("'", static_cast<char>(c), "'");
  static constexpr char kHex[] = "0123456789ABCDEF";
  return str_cat("byte 0x", kHex[c >> 4], kHex[c & 0xF]);
}

bool JsonLexer::parse_string(std::string& out) {
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

bool JsonLexer::parse_hex4(const char* at, std::uint32_t& value) {
  if (end_ - at < 4) return fail(at, "expected four hexadecimal digits after \\u");
  value = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hex_value(at[i]);
    if (digit < 0) return fail(at, "expected four hexadecimal digits after \\u");
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return true;
}

bool JsonLexer::parse_escape(std::string& out) {
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

bool JsonLexer::parse_string_view(std::string_view& out, std::string& scratch) {
  const char* const start = p_ + 1;
  const char* q = start;
  while (q != end_ && kPlainStringByte[static_cast<unsigned char>(*q)]) ++q;
  if (q != end_ && *q == '"') {
    out = std::string_view(start, static_cast<std::size_t>(q - start));
    p_ = q + 1;
    return true;
  }
  scratch.clear();
  if (!parse_string(scratch)) return false;
  out = scratch;
  return true;
}

bool JsonLexer::scan_number(NumberText& text) {
  const char* const start = p_;
  text.start = start;
  text.negative = *p_ == '-';
  if (text.negative) ++p_;
  if (p_ == end_ || !is_digit(*p_)) return fail(start, "expected a digit in a number");
  text.int_start = p_;
  if (*p_ == '0') {
    ++p_;
    if (p_ != end_ && is_digit(*p_)) return fail(start, "leading zeros in a number");
  } else {
    while (p_ != end_ && is_digit(*p_)) ++p_;
  }
  text.int_end = p_;
  text.integral = true;
  if (p_ != end_ && *p_ == '.') {
    text.integral = false;
    ++p_;
    if (p_ == end_ || !is_digit(*p_)) {
      return fail(start, "expected a digit after '.' in a number");
    }
    while (p_ != end_ && is_digit(*p_)) ++p_;
  }
  if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
    text.integral = false;
    ++p_;
    if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (p_ == end_ || !is_digit(*p_)) {
      return fail(start, "expected a digit in the exponent of a number");
    }
    while (p_ != end_ && is_digit(*p_)) ++p_;
  }
  text.end = p_;
  return true;
}

bool JsonLexer::number_value(const NumberText& text, JsonNumber& out) {
  if (text.integral) {
    std::uint64_t magnitude = 0;
    const auto parsed = std::from_chars(text.int_start, text.int_end, magnitude);
    if (parsed.ec == std::errc()) {
      out = text.negative ? JsonNumber::from_negative_integer(magnitude)
                          : JsonNumber::from_unsigned(magnitude);
      return true;
    }
    // Integers beyond 64 bits are still numbers: they read as floats below.
  }
  double value = 0.0;
  const auto parsed = std::from_chars(text.start, text.end, value);
  if (parsed.ec == std::errc::result_out_of_range) {
    if (exceeds_one(text.int_start, text.end)) {
      return fail(text.start, "number out of the float range");
    }
    value = text.negative ? -0.0 : 0.0;  // underflow rounds to zero
  } else if (parsed.ec != std::errc() || parsed.ptr != text.end) {
    return fail(text.start, "malformed number");
  }
  out = JsonNumber::from_float(value);
  return true;
}

// Whether the unsigned number text [p, end) is at least 1; the text is known to be valid.
// Decides between overflow and underflow when from_chars reports a value out of range.
bool JsonLexer::exceeds_one(const char* p, const char* end) {
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

}  // namespace arborvane::platform
