#pragma once
// A byte buffer whose memory is mapped from the system for it alone and given back whole
// when it is destroyed. Buffers of a few MiB that one thread fills and another frees (the
// spool's pieces on their way to the disk) would otherwise come from the filling thread's
// heap, and once the allocator has raised its threshold for mapping, the holes they leave
// there stay resident while the heap grows beside them.

#include <cstddef>
#include <cstdint>

class MappedBuffer {
 public:
  MappedBuffer() = default;
  // Room for capacity bytes; size 0. Pages are mapped when first touched.
  explicit MappedBuffer(std::size_t capacity);
  // The same with every page mapped now: filling it later costs no page faults, and the
  // process's resident size does not change when it is filled.
  static MappedBuffer Resident(std::size_t capacity);
  ~MappedBuffer();
  MappedBuffer(MappedBuffer&& other) noexcept;
  MappedBuffer& operator=(MappedBuffer&& other) noexcept;
  MappedBuffer(const MappedBuffer&) = delete;
  MappedBuffer& operator=(const MappedBuffer&) = delete;

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  // Keeps the room (and the pages already touched).
  void clear() { size_ = 0; }
  // Makes n more bytes part of the buffer, growing the room when it is short; where they
  // start. Throws std::bad_alloc when the system has no memory for it.
  std::uint8_t* Grow(std::size_t n);

 private:
  void Release();

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};
