// A vector of trivially copyable values that keeps its first N in place and
// allocates only beyond them; for short-lived snapshots on hot paths.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

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

    // Exchanges the contents; never allocates.
    void swap(SmallVector& other) noexcept {
        // Only the values in use are copied: the rest of a fresh vector's
        // room was never written.
        const std::size_t mine = heap_ ? 0 : size_;
        const std::size_t theirs = other.heap_ ? 0 : other.size_;
        T kept[N];
        std::memcpy(kept, inline_, mine * sizeof(T));
        std::memcpy(inline_, other.inline_, theirs * sizeof(T));
        std::memcpy(other.inline_, kept, mine * sizeof(T));
        std::swap(heap_, other.heap_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
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
