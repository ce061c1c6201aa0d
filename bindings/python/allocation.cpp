#include "bindings/python/allocation.hpp"

#include <unistd.h>

#include "bindings/python/errors.hpp"

namespace arborvane::python {

namespace {

std::uint64_t physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) {
    return UINT64_MAX;  // unknown: leave the decision to the allocator
  }
  std::uint64_t total = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(pages),
                             static_cast<std::uint64_t>(page_size), &total)) {
    return UINT64_MAX;
  }
  return total;
}

}  // namespace

std::uint64_t checked_product(std::uint64_t a, std::uint64_t b, std::string_view what) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) {
    raise_memory_error(what);
  }
  return product;
}

void ensure_allocatable(std::uint64_t count, std::uint64_t item_size, std::string_view what) {
  static const std::uint64_t limit = physical_memory_bytes();
  if (checked_product(count, item_size, what) > limit) {
    raise_memory_error(what);
  }
}

}  // namespace arborvane::python
