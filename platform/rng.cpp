#include "platform/rng.hpp"

#include <bit>

#include "platform/check.hpp"

namespace arborvane::platform {
namespace detail {
namespace {

constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865U, 0x3320646eU, 0x79622d32U,
                                                 0x6b206574U};  // "expand 32-byte k"

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
  a += b;
  d = std::rotl(d ^ a, 16);
  c += d;
  b = std::rotl(b ^ c, 12);
  a += b;
  d = std::rotl(d ^ a, 8);
  c += d;
  b = std::rotl(b ^ c, 7);
}

// One column round and one diagonal round.
inline void double_round(ChaChaState& x) {
  quarter_round(x[0], x[4], x[8], x[12]);
  quarter_round(x[1], x[5], x[9], x[13]);
  quarter_round(x[2], x[6], x[10], x[14]);
  quarter_round(x[3], x[7], x[11], x[15]);
  quarter_round(x[0], x[5], x[10], x[15]);
  quarter_round(x[1], x[6], x[11], x[12]);
  quarter_round(x[2], x[7], x[8], x[13]);
  quarter_round(x[3], x[4], x[9], x[14]);
}

std::uint64_t block_counter(const ChaChaState& state) {
  return static_cast<std::uint64_t>(state[12]) | (static_cast<std::uint64_t>(state[13]) << 32);
}

void set_block_counter(ChaChaState& state, std::uint64_t counter) {
  state[12] = static_cast<std::uint32_t>(counter);
  state[13] = static_cast<std::uint32_t>(counter >> 32);
}

}  // namespace

ChaChaState chacha_initial_state(const std::array<std::uint32_t, 8>& key, std::uint64_t counter,
                                 std::uint64_t stream) {
  ChaChaState state{};
  for (std::size_t i = 0; i < kSigma.size(); ++i) state[i] = kSigma[i];
  for (std::size_t i = 0; i < key.size(); ++i) state[4 + i] = key[i];
  set_block_counter(state, counter);
  state[14] = static_cast<std::uint32_t>(stream);
  state[15] = static_cast<std::uint32_t>(stream >> 32);
  return state;
}

template <int Rounds>
ChaChaState chacha_block(const ChaChaState& input) {
  static_assert(Rounds > 0 && Rounds % 2 == 0, "ChaCha runs whole double rounds");
  ChaChaState x = input;
  for (int r = 0; r < Rounds; r += 2) double_round(x);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] += input[i];
  return x;
}

template <int Rounds>
void chacha_blocks(const ChaChaState& input, ChaChaBatch out) {
  static_assert(Rounds > 0 && Rounds % 2 == 0, "ChaCha runs whole double rounds");
  constexpr std::size_t kLanes = kChaChaBatchBlocks;
  // Word-major layout (x[w][lane]) with the lane loop innermost: GCC vectorises that loop, so
  // each round step handles all blocks in one SSE2 instruction without target-specific code.
  std::uint32_t x[kChaChaBlockWords][kLanes];
  for (std::size_t w = 0; w < kChaChaBlockWords; ++w) {
    for (std::size_t l = 0; l < kLanes; ++l) x[w][l] = input[w];
  }
  const std::uint64_t counter = block_counter(input);
  for (std::size_t l = 0; l < kLanes; ++l) {
    const std::uint64_t c = counter + l;
    x[12][l] = static_cast<std::uint32_t>(c);
    x[13][l] = static_cast<std::uint32_t>(c >> 32);
  }
  std::uint32_t initial[kChaChaBlockWords][kLanes];
  for (std::size_t w = 0; w < kChaChaBlockWords; ++w) {
    for (std::size_t l = 0; l < kLanes; ++l) initial[w][l] = x[w][l];
  }
  for (int r = 0; r < Rounds; r += 2) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      ChaChaState lane;
      for (std::size_t w = 0; w < kChaChaBlockWords; ++w) lane[w] = x[w][l];
      double_round(lane);
      for (std::size_t w = 0; w < kChaChaBlockWords; ++w) x[w][l] = lane[w];
    }
  }
  for (std::size_t w = 0; w < kChaChaBlockWords; ++w) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      out[l * kChaChaBlockWords + w] = x[w][l] + initial[w][l];
    }
  }
}

template ChaChaState chacha_block<12>(const ChaChaState&);
template ChaChaState chacha_block<20>(const ChaChaState&);
template void chacha_blocks<12>(const ChaChaState&, ChaChaBatch);
template void chacha_blocks<20>(const ChaChaState&, ChaChaBatch);

std::array<std::uint32_t, 8> expand_seed(std::uint64_t seed) {
  constexpr std::uint64_t kMultiplier = 6364136223846793005ULL;
  constexpr std::uint64_t kIncrement = 11634580027462260723ULL;
  std::array<std::uint32_t, 8> key{};
  std::uint64_t state = seed;
  for (auto& word : key) {
    state = state * kMultiplier + kIncrement;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rot = static_cast<int>(state >> 59);
    word = std::rotr(xorshifted, rot);
  }
  return key;
}

}  // namespace detail

namespace {

struct Product128 {
  std::uint64_t high;
  std::uint64_t low;
};

// 64x64 -> 128-bit multiply from 32-bit halves; portable, and only the rare n > 2^32 path uses it.
Product128 multiply_wide(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t a_lo = a & 0xffffffffU;
  const std::uint64_t a_hi = a >> 32;
  const std::uint64_t b_lo = b & 0xffffffffU;
  const std::uint64_t b_hi = b >> 32;
  const std::uint64_t lo_lo = a_lo * b_lo;
  const std::uint64_t hi_lo = a_hi * b_lo;
  const std::uint64_t lo_hi = a_lo * b_hi;
  const std::uint64_t hi_hi = a_hi * b_hi;
  const std::uint64_t middle = (lo_lo >> 32) + (hi_lo & 0xffffffffU) + lo_hi;
  return {hi_hi + (hi_lo >> 32) + (middle >> 32), (middle << 32) | (lo_lo & 0xffffffffU)};
}

}  // namespace

ChaCha12Rng::ChaCha12Rng(std::uint64_t seed)
    : state_(detail::chacha_initial_state(detail::expand_seed(seed), 0, 0)),
      position_(buffer_.size()) {}

void ChaCha12Rng::refill() {
  detail::chacha_blocks<12>(state_, buffer_);
  const std::uint64_t counter = (static_cast<std::uint64_t>(state_[13]) << 32) | state_[12];
  const std::uint64_t next = counter + detail::kChaChaBatchBlocks;
  state_[12] = static_cast<std::uint32_t>(next);
  state_[13] = static_cast<std::uint32_t>(next >> 32);
  position_ = 0;
}

std::uint64_t ChaCha12Rng::next_u64() {
  const std::uint64_t low = next_u32();
  const std::uint64_t high = next_u32();
  return low | (high << 32);
}

std::uint64_t ChaCha12Rng::uniform_below(std::uint64_t n) {
  AV_CHECK(n >= 1, "uniform_below needs a non-empty range");
  constexpr std::uint64_t kTwo32 = std::uint64_t{1} << 32;
  if (n <= kTwo32) {
    // x * n fits in 64 bits; the high half is the candidate, the low half decides rejection.
    std::uint64_t product = static_cast<std::uint64_t>(next_u32()) * n;
    auto low = static_cast<std::uint32_t>(product);
    if (low < n) {
      const std::uint64_t threshold = (kTwo32 - n) % n;
      while (low < threshold) {
        product = static_cast<std::uint64_t>(next_u32()) * n;
        low = static_cast<std::uint32_t>(product);
      }
    }
    return product >> 32;
  }
  Product128 product = multiply_wide(next_u64(), n);
  if (product.low < n) {
    const std::uint64_t threshold = (0 - n) % n;  // 2^64 mod n
    while (product.low < threshold) {
      product = multiply_wide(next_u64(), n);
    }
  }
  return product.high;
}

}  // namespace arborvane::platform
