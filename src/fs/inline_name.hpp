// A node's name: stored inside the node when it is short (most are), in an
// allocation of its own when it is not. A rename makes the new name first
// (the only step that can fail) and then swaps it in.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace halvorn {

class InlineName {
public:
    static constexpr std::size_t kInline = 24;
    // Names are checked against this before a node is built.
    static constexpr std::size_t kMaxSize = UINT32_MAX;

    explicit InlineName(std::string_view text) : size_(static_cast<std::uint32_t>(text.size())) {
        if (size_ <= kInline) {
            if (size_ != 0) std::memcpy(bytes_, text.data(), size_);
        } else {
            char* heap = new char[size_];
            std::memcpy(heap, text.data(), size_);
            std::memcpy(bytes_, &heap, sizeof heap);
        }
    }
    ~InlineName() {
        if (size_ > kInline) delete[] heap();
    }
    InlineName(const InlineName&) = delete;
    InlineName& operator=(const InlineName&) = delete;

    std::string_view view() const { return {size_ <= kInline ? bytes_ : heap(), size_}; }

    // The bytes are the whole state (an allocation is owned through the
    // pointer kept in them), so swapping them swaps the names.
    void swap(InlineName& other) noexcept {
        std::swap(size_, other.size_);
        char bytes[kInline];
        std::memcpy(bytes, bytes_, kInline);
        std::memcpy(bytes_, other.bytes_, kInline);
        std::memcpy(other.bytes_, bytes, kInline);
    }

private:
    char* heap() const {
        char* p;
        std::memcpy(&p, bytes_, sizeof p);
        return p;
    }

    std::uint32_t size_;
    // The name itself, or a pointer to it; a byte array keeps the whole
    // object at 28 bytes with 4-byte alignment.
    char bytes_[kInline];
};

}  // namespace halvorn
