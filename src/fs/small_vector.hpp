// A vector of trivially copyable values that keeps its first N in place and
// allocates only beyond them; for short-lived snapshots on hot paths.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>

namespace halvorn {

template <class T, std::size_t N>
class SmallVector {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    SmallVector() = default;
    SmallVector(const SmallVector&) = delete;
    SmallVector& operator=(const SmallVector&) = delete;

    void push_back(const T& value) {
        if (size_ == capacity_) grow();
        data()[size_++] = value;
    }

    void pop_back() { --size_; }
    void clear() { size_ = 0; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size_; }

private:
    T* data() { return heap_ ? heap_.get() : inline_; }
    const T* data() const { return heap_ ? heap_.get() : inline_; }

    void grow() {
        std::size_t capacity = capacity_ * 2;
        std::unique_ptr<T[]> bigger(new T[capacity]);
        std::memcpy(bigger.get(), data(), size_ * sizeof(T));
        heap_ = std::move(bigger);
        capacity_ = capacity;
    }

    T inline_[N];
    std::unique_ptr<T[]> heap_;
    std::size_t size_ = 0;
    std::size_t capacity_ = N;
};

}  // namespace halvorn
