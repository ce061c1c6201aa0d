#pragma once

#include <cstdint>
#include <string_view>

namespace arborvane::python {

// Refuses, with MemoryError naming `what`, to allocate `count` items of `item_size` bytes when
// the size overflows or exceeds the machine's physical memory. Guards every allocation sized by
// what an input claims (a shape, a row count, a canary count) rather than by data it holds, so
// a bogus claim fails at once instead of reserving memory first.
void ensure_allocatable(std::uint64_t count, std::uint64_t item_size, std::string_view what);

// `a * b`, or MemoryError naming `what` when the product does not fit in 64 bits.
std::uint64_t checked_product(std::uint64_t a, std::uint64_t b, std::string_view what);

}  // namespace arborvane::python
