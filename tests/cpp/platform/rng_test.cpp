#include "platform/rng.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "platform/check.hpp"

namespace arborvane::platform {
namespace {

using detail::ChaChaState;

// RFC 7539 section 2.3.2: key 00 01 .. 1f, block counter 1,
// nonce 00:00:00:09:00:00:00:4a:00:00:00:00.
// With a 64-bit counter and stream id the same state is counter = 1 | 0x09000000 << 32 and
// stream = 0x4a000000.
ChaChaState rfc_block_test_state() {
  std::array<std::uint32_t, 8> key{};
  for (std::uint32_t i = 0; i < 8; ++i) {
    const std::uint32_t b = 4 * i;
    key[i] = b | (b + 1) << 8 | (b + 2) << 16 | (b + 3) << 24;  // little-endian bytes
  }
  return detail::chacha_initial_state(key, 1 | std::uint64_t{0x09000000} << 32, 0x4a000000);
}

TEST(RngChaChaBlock, InitialStateMatchesRfcLayout) {
  const ChaChaState expected = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                                0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                                0x00000001, 0x09000000, 0x4a000000, 0x00000000};
  EXPECT_EQ(rfc_block_test_state(), expected);
}

TEST(RngChaChaBlock, TwentyRoundsMatchRfcKnownAnswers) {
  struct Case {
    const char* name;
    ChaChaState input;
    ChaChaState expected;
  };
  const Case cases[] = {
      {"RFC 7539 2.3.2", rfc_block_test_state(),
       {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204,
        0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de,
        0xe883d0cb, 0x4e3c50a2}},
      {"RFC 7539 A.1 zero key", detail::chacha_initial_state({}, 0, 0),
       {0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653, 0xb819d2bd, 0x1aed8da0, 0xccef36a8,
        0xc70d778b, 0x7c5941da, 0x8d485751, 0x3fe02477, 0x374ad8b8, 0xf4b8436a, 0x1ca11815,
        0x69b687c3, 0x8665eeb2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(detail::chacha_block<20>(c.input), c.expected);

    // The batched function yields the same block first and then the following counters.
    std::array<std::uint32_t, detail::kChaChaBatchWords> batch{};
    detail::chacha_blocks<20>(c.input, batch);
    EXPECT_TRUE(std::equal(c.expected.begin(), c.expected.end(), batch.begin()));
  }
}

// Each block of a batch must equal the single-block function at its own counter, including
// when the low counter word wraps into the high one.
TEST(RngChaChaBlock, BatchEqualsConsecutiveSingleBlocks) {
  const std::array<std::uint32_t, 8> key = {1, 2, 3, 4, 5, 6, 7, 0xdeadbeef};
  for (const std::uint64_t start : {std::uint64_t{0}, std::uint64_t{0xfffffffe},
                                    std::uint64_t{0x00000001fffffffd}}) {
    SCOPED_TRACE(start);
    std::array<std::uint32_t, detail::kChaChaBatchWords> batch{};
    detail::chacha_blocks<12>(detail::chacha_initial_state(key, start, 7), batch);
    for (std::size_t b = 0; b < detail::kChaChaBatchBlocks; ++b) {
      const ChaChaState single =
          detail::chacha_block<12>(detail::chacha_initial_state(key, start + b, 7));
      EXPECT_TRUE(std::equal(single.begin(), single.end(), batch.begin() + b * 16))
          << "block " << b;
    }
  }
}

TEST(RngChaChaBlock, TwelveRoundsDifferFromTwenty) {
  const ChaChaState input = rfc_block_test_state();
  EXPECT_NE(detail::chacha_block<12>(input), detail::chacha_block<20>(input));
}

// The key words written out from the PCG32 step, independently of the library's loop.
std::array<std::uint32_t, 8> pcg_key_by_hand(std::uint64_t seed) {
  std::array<std::uint32_t, 8> key{};
  std::uint64_t state = seed;
  for (auto& word : key) {
    state = state * 6364136223846793005ULL + 11634580027462260723ULL;
    const std::uint32_t xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const unsigned rot = static_cast<unsigned>(state >> 59);
    word = (xorshifted >> rot) | (xorshifted << ((32 - rot) & 31));
  }
  return key;
}

TEST(Rng, SeedExpandsToPcg32KeyWords) {
  for (const std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{1}}) {
    SCOPED_TRACE(seed);
    EXPECT_EQ(detail::expand_seed(seed), pcg_key_by_hand(seed));
  }
  // Seed 0: the first state is the increment itself, so the first word follows directly.
  const std::uint64_t s = 11634580027462260723ULL;
  const auto first = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
  EXPECT_EQ(detail::expand_seed(0)[0], std::rotr(first, static_cast<int>(s >> 59)));
}

TEST(Rng, StreamIsTwelveRoundBlocksFromCounterZero) {
  for (const std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{987654321}}) {
    SCOPED_TRACE(seed);
    ChaCha12Rng rng(seed);
    std::vector<std::uint32_t> stream(16 * 6);
    for (auto& word : stream) word = rng.next_u32();
    for (std::uint64_t block = 0; block < 6; ++block) {
      const ChaChaState expected =
          detail::chacha_block<12>(detail::chacha_initial_state(pcg_key_by_hand(seed), block, 0));
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), stream.begin() + block * 16))
          << "block " << block;
    }
  }
}

TEST(Rng, SameSeedSameStreamDifferentSeedsDiffer) {
  ChaCha12Rng a(42);
  ChaCha12Rng b(42);
  ChaCha12Rng c(43);
  int equal_to_other_seed = 0;
  for (int i = 0; i < 1000; ++i) {
    const std::uint32_t x = a.next_u32();
    EXPECT_EQ(x, b.next_u32());
    equal_to_other_seed += x == c.next_u32() ? 1 : 0;
  }
  EXPECT_LT(equal_to_other_seed, 3);
}

// Low word first, each word taken from the stream in order, also across refills.
TEST(Rng, NextU64TakesTwoStreamWordsLowFirst) {
  ChaCha12Rng words(5);
  ChaCha12Rng pairs(5);
  words.next_u32();  // odd offset so some pairs straddle a block boundary
  pairs.next_u32();
  for (int i = 0; i < 300; ++i) {
    const std::uint64_t low = words.next_u32();
    const std::uint64_t high = words.next_u32();
    ASSERT_EQ(pairs.next_u64(), low | high << 32) << "pair " << i;
  }
}

TEST(Rng, UniformBelowRejectsEmptyRangeAndOneGivesZero) {
  ChaCha12Rng rng(3);
  EXPECT_THROW(rng.uniform_below(0), InternalError);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(rng.uniform_below(1), 0U);
}

// Ranges that divide the draw width never reject, which pins the word size used per range.
TEST(Rng, UniformBelowDrawsWordSizeByRange) {
  ChaCha12Rng rng(11);
  ChaCha12Rng twin(11);
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(rng.uniform_below(std::uint64_t{1} << 32), twin.next_u32());
    ASSERT_EQ(rng.uniform_below(std::uint64_t{1} << 33), twin.next_u64() >> 31);
    ASSERT_EQ(rng.uniform_below(2), twin.next_u32() >> 31);
  }
}

// Equal-width buckets must be hit about equally. The 3 * 2^30 and 3 * 2^62 ranges make a
// modulo reduction visibly biased (the first third would get half of the draws).
TEST(Rng, UniformBelowIsInRangeAndUnbiased) {
  struct Case {
    std::uint64_t n;
    std::uint64_t buckets;
  };
  const Case cases[] = {
      {3, 3},
      {7, 7},
      {(std::uint64_t{1} << 32) + 5, 4},
      {std::uint64_t{3} << 30, 3},
      {std::uint64_t{3} << 62, 3},
  };
  constexpr int kDrawsPerBucket = 20000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    ChaCha12Rng rng(c.n);
    std::vector<int> counts(c.buckets, 0);
    const std::uint64_t width = c.n / c.buckets;
    const int draws = kDrawsPerBucket * static_cast<int>(c.buckets);
    for (int i = 0; i < draws; ++i) {
      const std::uint64_t x = rng.uniform_below(c.n);
      ASSERT_LT(x, c.n);
      ++counts[std::min(x / width, c.buckets - 1)];
    }
    // About 8 standard deviations; a seeded stream makes this exact anyway.
    for (const int count : counts) EXPECT_NEAR(count, kDrawsPerBucket, 1200);
  }
}

TEST(Rng, ShufflePermutesAndFollowsLastDownFisherYates) {
  for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{10},
                              std::size_t{1000}}) {
    SCOPED_TRACE(n);
    std::vector<int> shuffled(n);
    std::iota(shuffled.begin(), shuffled.end(), 0);
    std::vector<int> by_hand = shuffled;

    ChaCha12Rng rng(2024);
    rng.shuffle(std::span<int>(shuffled));

    ChaCha12Rng twin(2024);
    for (std::size_t i = n; i-- > 1;) std::swap(by_hand[i], by_hand[twin.uniform_below(i + 1)]);
    EXPECT_EQ(shuffled, by_hand);

    std::vector<int> sorted = shuffled;
    std::sort(sorted.begin(), sorted.end());
    std::vector<int> identity(n);
    std::iota(identity.begin(), identity.end(), 0);
    EXPECT_EQ(sorted, identity);
    if (n >= 10) {
      EXPECT_NE(shuffled, identity);
    }
    // Both generators consumed the same number of words.
    EXPECT_EQ(rng.next_u32(), twin.next_u32());
  }
}

TEST(Rng, ShuffleMovesEveryValueToEveryPositionEvenly) {
  // Position counts over many shuffles of 4 elements: each value lands in each slot ~1/4.
  ChaCha12Rng rng(77);
  constexpr int kRounds = 40000;
  std::array<std::array<int, 4>, 4> hits{};
  for (int r = 0; r < kRounds; ++r) {
    std::array<int, 4> values = {0, 1, 2, 3};
    rng.shuffle(std::span<int>(values));
    for (std::size_t pos = 0; pos < 4; ++pos) ++hits[static_cast<std::size_t>(values[pos])][pos];
  }
  for (const auto& row : hits) {
    for (const int count : row) EXPECT_NEAR(count, kRounds / 4, 800);
  }
}

}  // namespace
}  // namespace arborvane::platform
