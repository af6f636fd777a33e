// PodArray<T>: a growable array of trivially copyable values on memory_blocks, so that large
// arrays grow without copying and without leaving their old storage behind.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

#include "support/memory_blocks.h"

namespace veltrix {

template <class T>
class PodArray {
  static_assert(std::is_trivially_copyable_v<T>, "PodArray holds trivially copyable values only");

 public:
  PodArray() = default;
  PodArray(const PodArray& other) { assign(other.data_, other.size_); }
  PodArray(PodArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  PodArray& operator=(const PodArray& other) {
    if (this != &other) {
      size_ = 0;
      assign(other.data_, other.size_);
    }
    return *this;
  }
  PodArray& operator=(PodArray&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~PodArray() { release(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t capacity() const { return capacity_; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& back() { return data_[size_ - 1]; }

  void push_back(const T& value) {
    if (size_ == capacity_) grow(size_ + 1);
    data_[size_++] = value;
  }
  void append(std::span<const T> values) {
    if (values.empty()) return;
    reserve(size_ + values.size());
    std::memcpy(data_ + size_, values.data(), values.size() * sizeof(T));
    size_ += values.size();
  }
  // Appends `count` default values and returns a pointer to the first.
  T* extend(std::size_t count) {
    reserve(size_ + count);
    T* first = data_ + size_;
    for (std::size_t i = 0; i < count; ++i) first[i] = T();
    size_ += count;
    return first;
  }
  void reserve(std::size_t count) {
    if (count > capacity_) grow(count);
  }
  void clear() { size_ = 0; }
  // Drops the values from `count` on (nothing when there are no more than that).
  void truncate(std::size_t count) {
    if (count < size_) size_ = count;
  }

  std::size_t memory_bytes() const { return capacity_ * sizeof(T); }

 private:
  void grow(std::size_t wanted) {
    std::size_t capacity = capacity_ ? capacity_ * 2 : 16;
    while (capacity < wanted) capacity *= 2;
    data_ = static_cast<T*>(resize_block(data_, capacity_ * sizeof(T), capacity * sizeof(T)));
    capacity_ = capacity;
  }
  void assign(const T* values, std::size_t count) {
    if (count > capacity_) {  // copies get exactly the room they need
      free_block(data_, capacity_ * sizeof(T));
      data_ = static_cast<T*>(allocate_filled_block(count * sizeof(T)));
      capacity_ = count;
    }
    if (count) std::memcpy(data_, values, count * sizeof(T));
    size_ = count;
  }
  void release() {
    free_block(data_, capacity_ * sizeof(T));
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace veltrix
