#include "util/buffer.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace vestigor_mcp {

Buffer::~Buffer() { std::free(data_); }

Buffer::Buffer(Buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

bool Buffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) {
    return true;
  }
  const std::size_t wanted = std::max(capacity, capacity_ * 2);
  void* grown = std::realloc(data_, wanted);
  if (grown == nullptr) {
    return false;
  }
  data_ = static_cast<char*>(grown);
  capacity_ = wanted;
  return true;
}

bool Buffer::append(std::string_view bytes) {
  if (bytes.size() > capacity_ - size_ && !reserve(size_ + bytes.size())) {
    return false;
  }
  if (!bytes.empty()) {
    std::memcpy(data_ + size_, bytes.data(), bytes.size());
  }
  size_ += bytes.size();
  return true;
}

void Buffer::shrink_to(std::size_t limit) {
  const std::size_t target = std::max(limit, size_);
  if (capacity_ <= target) {
    return;
  }
  if (target == 0) {
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
    return;
  }
  void* smaller = std::realloc(data_, target);
  if (smaller != nullptr) {
    data_ = static_cast<char*>(smaller);
    capacity_ = target;
  }
}

}  // namespace vestigor_mcp
