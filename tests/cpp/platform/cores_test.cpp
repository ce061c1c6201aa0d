#include "platform/cores.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace arborvane::platform {
namespace {

TEST(Cores, PhysicalCountIsBetweenOneAndLogicalCpus) {
  const std::size_t cores = physical_core_count();
  EXPECT_GE(cores, 1U);
  if (const unsigned logical = std::thread::hardware_concurrency(); logical > 0) {
    EXPECT_LE(cores, logical);
  }
  EXPECT_EQ(physical_core_count(), cores);  // cached, stable
}

}  // namespace
}  // namespace arborvane::platform
