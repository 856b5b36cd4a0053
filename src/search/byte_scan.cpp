#include "search/byte_scan.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// GCC compiles the wide scan for AVX2 alone and picks it at run time.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#define VESTIGOR_SCAN_AVX2 1
#else
#define VESTIGOR_SCAN_AVX2 0
#endif

namespace vestigor_mcp {

namespace {

constexpr std::size_t kNone = std::string_view::npos;
constexpr std::size_t kMaxProbes = ByteScan::kMaxProbes;
constexpr std::size_t kMaxReach = ByteScan::kMaxReach;

// 16-byte vectors: SSE2 on x86-64, whatever the compiler makes of the
// vector operations elsewhere. A step takes two of them, 32 positions.
namespace narrow {

using Vector = unsigned char __attribute__((vector_size(16)));
constexpr std::size_t kWidth = 16;

// A bit for each byte of `hits` that is not zero.
std::uint64_t hit_bits(Vector hits) {
#if defined(__SSE2__)
  return static_cast<std::uint32_t>(
      _mm_movemask_epi8(reinterpret_cast<__m128i>(hits)));
#else
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < kWidth; ++i) {
    bits |= static_cast<std::uint64_t>(hits[i] != 0) << i;
  }
  return bits;
#endif
}

#include "search/byte_scan_loop.inc"

}  // namespace narrow

#if VESTIGOR_SCAN_AVX2
// 32-byte vectors, 64 positions a step, on processors that have AVX2.
#pragma GCC push_options
#pragma GCC target("avx2")
namespace wide {

using Vector = unsigned char __attribute__((vector_size(32)));
constexpr std::size_t kWidth = 32;

std::uint64_t hit_bits(Vector hits) {
  return static_cast<std::uint32_t>(
      _mm256_movemask_epi8(reinterpret_cast<__m256i>(hits)));
}

#include "search/byte_scan_loop.inc"

}  // namespace wide
#pragma GCC pop_options
#endif

}  // namespace

bool ByteScan::has_avx2() {
#if VESTIGOR_SCAN_AVX2
  return __builtin_cpu_supports("avx2") != 0;
#else
  return false;
#endif
}

void ByteScan::add(const Probe& probe) {
  assert(count_ < kMaxProbes);
  probes_[count_++] = probe;
}

CandidateBlock ByteScan::scan(std::string_view text, std::size_t from) const {
#if VESTIGOR_SCAN_AVX2
  if (wide_) {
    return wide::scan_any(probes_.data(), count_, text, from);
  }
#endif
  return narrow::scan_any(probes_.data(), count_, text, from);
}

std::size_t Candidates::next() {
  if (block_.bits == 0) {
    if (from_ >= text_.size()) {
      return kNone;
    }
    block_ = scan_.scan(text_, from_);
    if (block_.bits == 0) {
      from_ = text_.size();
      return kNone;
    }
  }
  const std::size_t at =
      block_.at + static_cast<std::size_t>(std::countr_zero(block_.bits));
  block_.bits &= block_.bits - 1;
  from_ = at + 1;
  return at;
}

void Candidates::skip_to(std::size_t position) {
  from_ = std::max(from_, position);
  const std::size_t past = from_ - block_.at;
  block_.bits = past >= 64 ? 0 : block_.bits & (~std::uint64_t{0} << past);
}

}  // namespace vestigor_mcp
