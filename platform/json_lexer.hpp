#pragma once

// The lexical layer shared by the JSON readers: whitespace, strings (escapes, surrogate pairs,
// UTF-8 validation), numbers (strict grammar, range checks) and error positions. Internal to
// platform/; callers use read_json or JsonPullReader.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/json.hpp"

namespace arborvane::platform {

class JsonLexer {
 protected:
  explicit JsonLexer(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}
  // Reads `part`, a piece of `whole`; error positions count from the start of `whole`.
  JsonLexer(std::string_view whole, std::string_view part)
      : begin_(whole.data()), p_(part.data()), end_(part.data() + part.size()) {}

  // A number's text as scanned: [start, end), its integer digits [int_start, int_end).
  struct NumberText {
    const char* start = nullptr;
    const char* int_start = nullptr;
    const char* int_end = nullptr;
    const char* end = nullptr;
    bool negative = false;
    bool integral = true;  // no fraction and no exponent
  };

  // Records "line L, column C: <what>" for the position `at` and returns false.
  bool fail(const char* at, std::string_view what);
  // The character at the current position, for messages ("'x'", "byte 0x01", "the end ...").
  std::string describe_here() const;

  void skip_whitespace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  // At an opening quote: appends the decoded string to `out`.
  bool parse_string(std::string& out);
  // At an opening quote: a string without escapes is viewed in place; one with escapes is
  // decoded into `scratch` and viewed there.
  bool parse_string_view(std::string_view& out, std::string& scratch);
  // At '-' or a digit: the extent of a number under the strict grammar.
  bool scan_number(NumberText& text);
  // The value of a scanned number: plain integers that fit 64 bits keep their integer form,
  // underflow rounds to zero, overflow is an error.
  bool number_value(const NumberText& text, JsonNumber& out);

  const char* const begin_;
  const char* p_;
  const char* const end_;
  std::string error_;

 private:
  bool parse_hex4(const char* at, std::uint32_t& value);
  bool parse_escape(std::string& out);
  static bool exceeds_one(const char* p, const char* end);
};

}  // namespace arborvane::platform
