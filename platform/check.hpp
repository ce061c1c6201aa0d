#pragma once

#include <stdexcept>
#include <string>

namespace arborvane {

// Thrown when a state that correct code never reaches is reached anyway. It carries a fixed
// text naming the broken invariant; the Python layer turns it into RuntimeError.
class InternalError : public std::logic_error {
 public:
  explicit InternalError(const std::string& what) : std::logic_error(what) {}
};

[[noreturn]] inline void internal_failure(const char* text) { throw InternalError(text); }

}  // namespace arborvane

// Stops the current operation with `text` when `cond` does not hold. Never compiled out.
#define AV_CHECK(cond, text)                        \
  do {                                              \
    if (!(cond)) [[unlikely]] {                     \
      ::arborvane::internal_failure(text);          \
    }                                               \
  } while (false)
