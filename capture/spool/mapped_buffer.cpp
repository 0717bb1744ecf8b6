#include "capture/spool/mapped_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>
#include <utility>

namespace {

std::uint8_t* Map(std::size_t bytes, int flags = 0) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return static_cast<std::uint8_t*>(p);
}

}  // namespace

MappedBuffer::MappedBuffer(std::size_t capacity) : capacity_(capacity) {
  if (capacity_ > 0) data_ = Map(capacity_);
}

MappedBuffer MappedBuffer::Resident(std::size_t capacity) {
  MappedBuffer buffer;
  if (capacity > 0) {
    buffer.data_ = Map(capacity, MAP_POPULATE);
    buffer.capacity_ = capacity;
  }
  return buffer;
}

MappedBuffer::~MappedBuffer() { Release(); }

MappedBuffer::MappedBuffer(MappedBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

MappedBuffer& MappedBuffer::operator=(MappedBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void MappedBuffer::Release() {
  if (data_) ::munmap(data_, capacity_);
  data_ = nullptr;
  size_ = capacity_ = 0;
}

std::uint8_t* MappedBuffer::Grow(std::size_t n) {
  if (n > capacity_ - size_) {
    const std::size_t wanted = std::max(size_ + n, capacity_ * 2);
    if (!data_) {
      data_ = Map(wanted);
    } else {
      void* p = ::mremap(data_, capacity_, wanted, MREMAP_MAYMOVE);
      if (p == MAP_FAILED) throw std::bad_alloc();
      data_ = static_cast<std::uint8_t*>(p);
    }
    capacity_ = wanted;
  }
  std::uint8_t* at = data_ + size_;
  size_ += n;
  return at;
}
