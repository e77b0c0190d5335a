// What one file system holds against the limits its host set for it: the
// bytes of all files' contents and all names, and the nodes, each a count that every
// creation, growth and removal keeps up to date, so that asking costs no walk
// of the tree.
//
// A change takes its share before it is made and gives it back if it then
// fails, so the counts never pass a limit, whatever threads do at once: a
// reservation is one compare-and-swap that fails rather than go over.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace halvorn {

// The limits of one file system; an absent one does not limit.
struct Limits {
    // The memory the tree holds for what its users put in it: all files'
    // contents (FileData::room) and the bytes of every name. The fixed cost
    // of each node is bounded by max_nodes instead.
    std::optional<std::uint64_t> max_bytes{};
    // Directories, files and links together, the root included.
    std::optional<std::uint64_t> max_nodes{};
    // The bytes of one name.
    std::optional<std::uint64_t> max_name_length{};
};

class Usage {
public:
    explicit Usage(const Limits& limits);
    Usage(const Usage&) = delete;
    Usage& operator=(const Usage&) = delete;

    // Takes `bytes` from the byte budget; false, taking nothing, when that
    // would pass max_bytes.
    bool reserve_bytes(std::uint64_t bytes) { return reserve(bytes_, byte_limit_, bytes); }
    void release_bytes(std::uint64_t bytes) { bytes_.fetch_sub(bytes, std::memory_order_relaxed); }
    // The same for one node.
    bool reserve_node() { return reserve(nodes_, node_limit_, 1); }
    void release_node() { nodes_.fetch_sub(1, std::memory_order_relaxed); }

    bool name_fits(std::string_view name) const { return name.size() <= name_limit_; }

    std::uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
    std::uint64_t nodes() const { return nodes_.load(std::memory_order_relaxed); }
    const Limits& limits() const { return limits_; }

private:
    static constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

    static bool reserve(std::atomic<std::uint64_t>& used, std::uint64_t limit,
                        std::uint64_t amount) {
        // Without a limit nothing can be refused, so one add does.
        if (limit == kUnlimited) {
            used.fetch_add(amount, std::memory_order_relaxed);
            return true;
        }
        std::uint64_t seen = used.load(std::memory_order_relaxed);
        do {
            if (seen > limit || amount > limit - seen) return false;
        } while (!used.compare_exchange_weak(seen, seen + amount, std::memory_order_relaxed));
        return true;
    }

    // The counts publish nothing (the nodes and bytes they count are
    // published by the locks that guard them), so relaxed order does. The
    // file system keeps them beside its id counter, which every creation
    // changes too: a creation still touches one shared cache line.
    std::atomic<std::uint64_t> nodes_{0};
    std::atomic<std::uint64_t> bytes_{0};
    const std::uint64_t byte_limit_;
    const std::uint64_t node_limit_;
    const std::uint64_t name_limit_;
    const Limits limits_;
};

// A share of the byte budget taken for a change that may still fail: given
// back when it goes out of scope, unless the change was made and kept it.
class ByteReservation {
public:
    ByteReservation(Usage& usage, std::uint64_t bytes)
        : usage_(usage), bytes_(bytes), taken_(usage.reserve_bytes(bytes)) {}
    ~ByteReservation() {
        if (taken_) usage_.release_bytes(bytes_);
    }
    ByteReservation(const ByteReservation&) = delete;
    ByteReservation& operator=(const ByteReservation&) = delete;

    explicit operator bool() const { return taken_; }
    void keep() { taken_ = false; }

private:
    Usage& usage_;
    const std::uint64_t bytes_;
    bool taken_;
};

inline Usage::Usage(const Limits& limits)
    : byte_limit_(limits.max_bytes.value_or(kUnlimited)),
      node_limit_(limits.max_nodes.value_or(kUnlimited)),
      name_limit_(limits.max_name_length.value_or(kUnlimited)),
      limits_(limits) {}

}  // namespace halvorn
