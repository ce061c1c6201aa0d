#include "platform/numfmt.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "platform/rng.hpp"

namespace arborvane::platform {
namespace {

struct Case {
  double value;
  const char* expected;
};

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Numfmt, DisplayIsShortestPositionalText) {
  const Case cases[] = {
      {1.0, "1"},
      {2.5, "2.5"},
      {1e-7, "0.0000001"},
      {-0.0, "-0"},
      {0.0, "0"},
      {1e21, "1000000000000000000000"},
      {123.456, "123.456"},
      {-2.5, "-2.5"},
      {0.1, "0.1"},
      {100.0, "100"},
      {1.5e-7, "0.00000015"},
      {9007199254740993.0, "9007199254740992"},
      {kInf, "inf"},
      {-kInf, "-inf"},
      {kNaN, "NaN"},
      {-kNaN, "NaN"},
      {std::bit_cast<double>(std::uint64_t{0x7ff0000000000001}), "NaN"},  // signalling payload
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(format_display(c.value), c.expected);
  }
}

TEST(Numfmt, JsonFollowsNumberLayoutRules) {
  const Case cases[] = {
      {1.0, "1.0"},
      {100.0, "100.0"},
      {0.5, "0.5"},
      {0.00001, "0.00001"},
      {0.000001, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {1e16, "1e16"},
      {1e15, "1000000000000000.0"},
      {1234.5, "1234.5"},
      {12345678901234567890.0, "1.2345678901234567e19"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {-2.5, "-2.5"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {-1.7976931348623157e308, "-1.7976931348623157e308"},
      {0.000012345, "0.000012345"},
      {1234567890123456.7, "1234567890123456.8"},
      {12345678901234567.0, "1.2345678901234568e16"},
      {-0.000001, "-1e-6"},
      {kInf, "null"},
      {-kInf, "null"},
      {kNaN, "null"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(format_json(c.value), c.expected);
  }
}

// Random bit patterns cover subnormals, huge and tiny exponents and long digit strings.
TEST(Numfmt, BothFormsReadBackBitForBit) {
  ChaCha12Rng rng(20240601);
  int checked = 0;
  while (checked < 5000) {
    const double x = std::bit_cast<double>(rng.next_u64());
    if (!std::isfinite(x)) continue;
    ++checked;
    const std::string json = format_json(x);
    const std::string display = format_display(x);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(json.c_str(), nullptr)),
              std::bit_cast<std::uint64_t>(x))
        << json;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(std::strtod(display.c_str(), nullptr)),
              std::bit_cast<std::uint64_t>(x))
        << display;
    ASSERT_EQ(display.find_first_of("eE"), std::string::npos) << display;
  }
}

}  // namespace
}  // namespace arborvane::platform
