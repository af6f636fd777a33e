// SmallVector<T, N>: a vector of trivially copyable values that keeps up to N of them inline.
// Short lists (node inputs, e-node children) are the common case; keeping them inline saves a
// heap allocation per node on the hottest paths.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <span>
#include <type_traits>

namespace veltrix {

template <class T, std::size_t N>
class SmallVector {
  static_assert(std::is_trivially_copyable_v<T>, "SmallVector holds trivially copyable values only");
  static_assert(N > 0, "use std::vector for lists without inline storage");

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  SmallVector() = default;
  SmallVector(std::initializer_list<T> values) { assign(values.begin(), values.size()); }
  explicit SmallVector(std::span<const T> values) { assign(values.data(), values.size()); }
  SmallVector(std::size_t count, const T& value) {
    reserve(count);
    std::fill_n(data_, count, value);
    size_ = count;
  }
  SmallVector(const SmallVector& other) { assign(other.data_, other.size_); }
  SmallVector(SmallVector&& other) noexcept { steal(other); }
  SmallVector& operator=(const SmallVector& other) {
    if (this != &other) {
      size_ = 0;
      assign(other.data_, other.size_);
    }
    return *this;
  }
  SmallVector& operator=(SmallVector&& other) noexcept {
    if (this != &other) {
      free_heap();
      steal(other);
    }
    return *this;
  }
  ~SmallVector() { free_heap(); }

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
  const T& back() const { return data_[size_ - 1]; }
  std::span<const T> span() const { return {data_, size_}; }

  void push_back(const T& value) {
    if (size_ == capacity_) grow(size_ + 1);
    data_[size_++] = value;
  }
  void pop_back() { --size_; }
  void clear() { size_ = 0; }
  void resize(std::size_t count, const T& value = T()) {
    reserve(count);
    if (count > size_) std::fill(data_ + size_, data_ + count, value);
    size_ = count;
  }
  void truncate(std::size_t count) {
    if (count < size_) size_ = count;
  }
  void reserve(std::size_t count) {
    if (count > capacity_) grow(count);
  }
  void append(std::span<const T> values) {
    reserve(size_ + values.size());
    if (!values.empty()) std::memcpy(data_ + size_, values.data(), values.size() * sizeof(T));
    size_ += values.size();
  }

  friend bool operator==(const SmallVector& a, const SmallVector& b) {
    return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
  }
  friend bool operator<(const SmallVector& a, const SmallVector& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  bool on_heap() const { return data_ != inline_data(); }
  T* inline_data() { return reinterpret_cast<T*>(inline_); }
  const T* inline_data() const { return reinterpret_cast<const T*>(inline_); }

  void assign(const T* values, std::size_t count) {
    reserve(count);
    if (count) std::memcpy(data_, values, count * sizeof(T));
    size_ = count;
  }

  void grow(std::size_t wanted) {
    std::size_t capacity = std::max(wanted, capacity_ * 2);
    T* fresh = static_cast<T*>(std::malloc(capacity * sizeof(T)));
    if (!fresh) throw std::bad_alloc();
    if (size_) std::memcpy(fresh, data_, size_ * sizeof(T));
    free_heap();
    data_ = fresh;
    capacity_ = capacity;
  }

  void free_heap() {
    if (on_heap()) std::free(data_);
    data_ = inline_data();
    capacity_ = N;
  }

  void steal(SmallVector& other) {
    if (other.on_heap()) {
      data_ = other.data_;
      capacity_ = other.capacity_;
      size_ = other.size_;
      other.data_ = other.inline_data();
      other.capacity_ = N;
    } else {
      data_ = inline_data();
      capacity_ = N;
      size_ = other.size_;
      if (size_) std::memcpy(data_, other.data_, size_ * sizeof(T));
    }
    other.size_ = 0;
  }

  T* data_ = inline_data();
  std::size_t size_ = 0;
  std::size_t capacity_ = N;
  alignas(T) unsigned char inline_[N * sizeof(T)];
};

}  // namespace veltrix
