#include "platform/numfmt.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

#include "platform/check.hpp"

namespace arborvane::platform {
namespace {

// The shortest round-trip decimal form of a finite double: |v| = 0.<digits> * 10^exponent.
struct Decimal {
  bool negative = false;
  std::string digits;
  int exponent = 0;
};

Decimal to_decimal(double v) {
  // Scientific to_chars gives the shortest digits as "-d.ddde-xx"; 32 bytes fit any double.
  std::array<char, 32> buffer{};
  const auto result =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), v, std::chars_format::scientific);
  AV_CHECK(result.ec == std::errc(), "to_chars failed for a finite double");
  const std::string_view text(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
  Decimal decimal;
  std::size_t pos = 0;
  if (text[pos] == '-') {
    decimal.negative = true;
    ++pos;
  }
  const std::size_t e_pos = text.find('e', pos);
  AV_CHECK(e_pos != std::string_view::npos, "scientific to_chars output has no exponent");
  for (std::size_t i = pos; i < e_pos; ++i) {
    if (text[i] != '.') decimal.digits.push_back(text[i]);
  }
  std::string_view exponent_text = text.substr(e_pos + 1);
  if (!exponent_text.empty() && exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int scientific_exponent = 0;
  const char* const exponent_end = exponent_text.data() + exponent_text.size();
  const auto parsed = std::from_chars(exponent_text.data(), exponent_end, scientific_exponent);
  AV_CHECK(parsed.ec == std::errc(), "scientific to_chars output has a malformed exponent");
  // d1.d2..dn * 10^e == 0.d1..dn * 10^(e+1)
  decimal.exponent = scientific_exponent + 1;
  return decimal;
}

// Digits placed around the decimal point; `integral_suffix` is appended to integral values.
std::string positional(const Decimal& d, std::string_view integral_suffix) {
  const int n = static_cast<int>(d.digits.size());
  const int k = d.exponent;
  std::string out = d.negative ? "-" : "";
  if (k <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-k), '0');
    out += d.digits;
  } else if (k >= n) {
    out += d.digits;
    out.append(static_cast<std::size_t>(k - n), '0');
    out += integral_suffix;
  } else {
    out.append(d.digits, 0, static_cast<std::size_t>(k));
    out += '.';
    out.append(d.digits, static_cast<std::size_t>(k));
  }
  return out;
}

}  // namespace

std::string format_display(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  return positional(to_decimal(v), "");
}

std::string format_json(double v) {
  if (!std::isfinite(v)) return "null";
  const Decimal d = to_decimal(v);
  constexpr int kMaxPositionalExponent = 16;
  constexpr int kMinPositionalExponent = -5;  // exclusive
  if (d.exponent > kMinPositionalExponent && d.exponent <= kMaxPositionalExponent) {
    return positional(d, ".0");
  }
  std::string out = d.negative ? "-" : "";
  out += d.digits.front();
  if (d.digits.size() > 1) {
    out += '.';
    out.append(d.digits, 1);
  }
  out += 'e';
  out += std::to_string(d.exponent - 1);
  return out;
}

}  // namespace arborvane::platform
