// buffer.hpp: the one growable byte buffer. Its bytes are never zeroed, so
// a fresh process touches only the pages it writes, and large buffers grow
// with realloc, which moves pages instead of copying them. Running out of
// memory is a value (false), never an exception or an abort: the caller
// turns it into an error answer and the server keeps serving.
#pragma once

#include <cstddef>
#include <string_view>

namespace vestigor_mcp {

class Buffer {
 public:
  Buffer() = default;
  ~Buffer();
  Buffer(Buffer&& other) noexcept;
  Buffer& operator=(Buffer&& other) noexcept;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  char* data() { return data_; }
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::string_view view() const { return {data_, size_}; }

  // Makes the capacity at least `capacity` (at least doubling it when it
  // grows), keeping the bytes held. False when out of memory; the buffer
  // is then unchanged.
  [[nodiscard]] bool reserve(std::size_t capacity);

  // Sets the number of bytes held; `size` must not exceed capacity().
  void resize(std::size_t size) { size_ = size; }
  void clear() { size_ = 0; }

  // Adds bytes at the end; false (and nothing added) when out of memory.
  [[nodiscard]] bool append(std::string_view bytes);

  // Gives memory back: a capacity above `limit` drops to `limit`, or to
  // size() when more is held. Failure to shrink is harmless and ignored.
  void shrink_to(std::size_t limit);

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace vestigor_mcp
