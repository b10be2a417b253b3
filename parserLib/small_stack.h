// A last-in first-out work list for the tree walks of the semantic checks.
// Most walks visit a handful of nodes: the first Inline entries live in the
// object itself, so such a walk allocates nothing; deeper walks spill to the
// heap and keep working.
#pragma once
#include <cstddef>
#include <vector>

template <class T, size_t Inline = 32>
class SmallStack {
 public:
  SmallStack() = default;
  explicit SmallStack(const T& first) { push(first); }
  SmallStack(const SmallStack&) = delete;
  SmallStack& operator=(const SmallStack&) = delete;

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }

  void push(const T& value) {
    if (size_ < Inline) [[likely]] {
      inline_[size_++] = value;
      return;
    }
    pushSpilled(value);
  }

  // Removes and returns the most recently pushed entry; the stack must not be empty.
  T pop() {
    --size_;
    if (size_ < Inline) [[likely]] return inline_[size_];
    T value = spilled_.back();
    spilled_.pop_back();
    return value;
  }

 private:
  [[gnu::noinline]] void pushSpilled(const T& value) {
    spilled_.push_back(value);
    ++size_;
  }

  T inline_[Inline];
  std::vector<T> spilled_;
  size_t size_ = 0;
};
