// slot_ring.hpp: the notes in a reader's window, in the order they were
// added: a ring of slots (each with the note's `path`) holding size()
// notes from the front one, and the count of notes dropped so far. Each
// way of reading keeps its notes in one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

namespace vestigor_mcp {

template <typename Slot>
class SlotRing {
 public:
  explicit SlotRing(std::size_t depth = 0) : slots_(depth) {}

  std::size_t depth() const { return slots_.size(); }
  std::size_t size() const { return count_; }
  bool ring_empty() const { return count_ == 0; }
  // Notes dropped so far.
  std::size_t taken() const { return taken_; }
  // The front note's path.
  std::string_view front_path() const { return slots_[head_].path; }

 protected:
  void resize(std::size_t depth) { slots_.resize(depth); }
  // Where the front slot, or the `i`-th one after it, is in the ring.
  std::size_t index(std::size_t i = 0) const {
    return (head_ + i) % slots_.size();
  }
  Slot& at(std::size_t index) { return slots_[index]; }
  const Slot& at(std::size_t index) const { return slots_[index]; }
  Slot& front() { return slots_[head_]; }
  // Takes the slot after the last one: where it is in the ring.
  std::size_t push() { return index(count_++); }
  // Lets the front slot go.
  void pop() {
    head_ = index(1);
    --count_;
    ++taken_;
  }

 private:
  std::vector<Slot> slots_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::size_t taken_ = 0;
};

// The slow start shared by the ways that read ahead: how many notes may be
// in the window after `taken` notes were dropped, when reads have shown
// that `wanted` notes ahead are worth having.
inline std::size_t window_limit(std::size_t depth, std::size_t taken,
                                std::size_t wanted) {
  return std::min({depth, 8 + taken, wanted});
}

}  // namespace vestigor_mcp
