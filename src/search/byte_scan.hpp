// byte_scan.hpp: finds, in order, the positions of a text where one of up
// to four probes (two byte tests each) holds, with 16-byte vectors (SSE2)
// or, on processors that have AVX2, 32-byte ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vestigor_mcp {

// (offset, or-mask, value): the byte at `offset` from a position, or-ed
// with the mask, equals the value.
struct ByteTest {
  std::size_t offset = 0;
  unsigned char mask = 0;
  unsigned char value = 0;
};

// A position is a candidate when both tests of some probe hold there. Only
// the first probe may have masks, and only the last may be a single test
// (its two tests the same).
struct Probe {
  ByteTest first;
  ByteTest second;
};

// A run of candidates: bit i of `bits` stands for position at + i.
struct CandidateBlock {
  std::size_t at;
  std::uint64_t bits;
};

class ByteScan {
 public:
  static constexpr std::size_t kMaxProbes = 4;
  static constexpr std::size_t kMaxReach = 31;  // the largest test offset

  // `widest`: AVX2 when the processor has it; otherwise 16 bytes always.
  explicit ByteScan(bool widest) : wide_(widest && has_avx2()) {}

  // Needs fewer than kMaxProbes there already: the matchers add at most
  // that many.
  void add(const Probe& probe);

  // The first run of candidates at `from` or after; bits 0 when none.
  // Needs at least one probe.
  CandidateBlock scan(std::string_view text, std::size_t from) const;

 private:
  static bool has_avx2();

  std::array<Probe, kMaxProbes> probes_{};
  std::size_t count_ = 0;
  bool wide_;
};

// The candidates of a text one by one, in order.
class Candidates {
 public:
  Candidates(const ByteScan& scan, std::string_view text)
      : scan_(scan), text_(text) {}

  // The next candidate position; std::string_view::npos when none is left.
  std::size_t next();

  // Passes over every candidate before `position`.
  void skip_to(std::size_t position);

 private:
  const ByteScan& scan_;
  std::string_view text_;
  std::size_t from_ = 0;
  CandidateBlock block_{0, 0};
};

}  // namespace vestigor_mcp
