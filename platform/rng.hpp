#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace arborvane::platform {

// The building blocks of the generator, exposed so that the block function can be checked
// against published ChaCha20 vectors while the generator itself runs 12 rounds.
namespace detail {

inline constexpr std::size_t kChaChaBlockWords = 16;
// Blocks produced per keystream refill; four at a time lets the compiler vectorise across them.
inline constexpr std::size_t kChaChaBatchBlocks = 4;
inline constexpr std::size_t kChaChaBatchWords = kChaChaBlockWords * kChaChaBatchBlocks;

using ChaChaState = std::array<std::uint32_t, kChaChaBlockWords>;
using ChaChaBatch = std::span<std::uint32_t, kChaChaBatchWords>;

// The ChaCha state for a 256-bit key, a 64-bit block counter (words 12-13) and a 64-bit
// stream id (words 14-15).
ChaChaState chacha_initial_state(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                                 std::uint64_t stream);

// One keystream block: `Rounds` rounds over `input`, then the input added back.
template <int Rounds>
ChaChaState chacha_block(const ChaChaState& input);

// kChaChaBatchBlocks consecutive keystream blocks starting at the counter in `input`
// (the 64-bit counter carries from word 12 into word 13). Block b occupies out[16b, 16b+16).
template <int Rounds>
void chacha_blocks(const ChaChaState& input, ChaChaBatch out);

extern template ChaChaState chacha_block<12>(const ChaChaState&);
extern template ChaChaState chacha_block<20>(const ChaChaState&);
extern template void chacha_blocks<12>(const ChaChaState&, ChaChaBatch);
extern template void chacha_blocks<20>(const ChaChaState&, ChaChaBatch);

// The 256-bit key derived from a 64-bit seed: eight PCG32 outputs, as in the common
// seed_from_u64 convention.
std::array<std::uint32_t, 8> expand_seed(std::uint64_t seed);

}  // namespace detail

// ChaCha with 12 rounds used as a deterministic generator: key from expand_seed(seed), stream 0,
// block counter from 0; output words are taken in order from successive 64-byte blocks.
class ChaCha12Rng {
 public:
  explicit ChaCha12Rng(std::uint64_t seed);

  // Defined here: this is the per-draw hot path and must inline into callers' loops.
  std::uint32_t next_u32() {
    if (position_ == buffer_.size()) [[unlikely]] {
      refill();
    }
    return buffer_[position_++];
  }

  // Two consecutive stream words, the first one as the low half.
  std::uint64_t next_u64();

  // Uniform in [0, n) without modulo bias; n must be at least 1. Draws 32-bit words when
  // n <= 2^32 and 64-bit words otherwise (Lemire's multiply-and-reject).
  std::uint64_t uniform_below(std::uint64_t n);

  // Fisher-Yates from the last position down: for i = n-1 .. 1, swap values[i] with
  // values[uniform_below(i + 1)].
  template <class T>
  void shuffle(std::span<T> values) {
    for (std::size_t i = values.size(); i > 1; --i) {
      const std::size_t last = i - 1;
      const auto j = static_cast<std::size_t>(uniform_below(i));
      using std::swap;
      swap(values[last], values[j]);
    }
  }

 private:
  void refill();

  detail::ChaChaState state_;  // counter words advance by one batch per refill
  std::array<std::uint32_t, detail::kChaChaBatchWords> buffer_{};
  std::size_t position_;
};

}  // namespace arborvane::platform
