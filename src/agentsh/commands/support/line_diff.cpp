#include "agentsh/commands/support/line_diff.hpp"

#include <span>

namespace halvorn::agentsh::cmd {
namespace {

using Keys = std::span<const std::uint32_t>;

struct Differ {
    Keys a, b;
    std::vector<bool> removed, inserted;
    const std::function<bool()>& stop;
    std::uint64_t work = 0;
    bool stopped = false;

    bool should_stop() {
        if (stopped) return true;
        if ((++work & 0xffff) == 0 && stop && stop()) stopped = true;
        return stopped;
    }

    void mark(std::size_t a0, std::size_t a1, std::size_t b0, std::size_t b1) {
        for (std::size_t i = a0; i < a1; ++i)
            removed[i] = true;
        for (std::size_t j = b0; j < b1; ++j)
            inserted[j] = true;
    }

    // Compares a[a0, a1) with b[b0, b1).
    void compare(std::size_t a0, std::size_t a1, std::size_t b0, std::size_t b1) {
        while (a0 < a1 && b0 < b1 && a[a0] == b[b0])
            ++a0, ++b0;
        while (a0 < a1 && b0 < b1 && a[a1 - 1] == b[b1 - 1])
            --a1, --b1;
        if (a0 == a1 || b0 == b1 || stopped) {
            mark(a0, a1, b0, b1);
            return;
        }
        bisect(a0, a1, b0, b1);
    }

    // Finds the middle snake of the shortest edit and recurses on both
    // halves; a and b are non-empty here and differ at both ends.
    void bisect(std::size_t a0, std::size_t a1, std::size_t b0, std::size_t b1) {
        const auto n = static_cast<std::ptrdiff_t>(a1 - a0);
        const auto m = static_cast<std::ptrdiff_t>(b1 - b0);
        const std::ptrdiff_t max_d = (n + m + 1) / 2;
        const std::ptrdiff_t offset = max_d;
        const std::ptrdiff_t length = 2 * max_d + 2;
        std::vector<std::ptrdiff_t> forward(static_cast<std::size_t>(length), -1);
        std::vector<std::ptrdiff_t> backward(static_cast<std::size_t>(length), -1);
        forward[static_cast<std::size_t>(offset + 1)] = 0;
        backward[static_cast<std::size_t>(offset + 1)] = 0;
        const std::ptrdiff_t delta = n - m;
        const bool front = (delta % 2) != 0;
        std::ptrdiff_t k1_start = 0, k1_end = 0, k2_start = 0, k2_end = 0;
        auto A = [&](std::ptrdiff_t i) { return a[a0 + static_cast<std::size_t>(i)]; };
        auto B = [&](std::ptrdiff_t j) { return b[b0 + static_cast<std::size_t>(j)]; };
        auto at = [](std::vector<std::ptrdiff_t>& v, std::ptrdiff_t i) -> std::ptrdiff_t& {
            return v[static_cast<std::size_t>(i)];
        };
        for (std::ptrdiff_t d = 0; d < max_d; ++d) {
            if (should_stop()) break;
            for (std::ptrdiff_t k1 = -d + k1_start; k1 <= d - k1_end; k1 += 2) {
                const std::ptrdiff_t k1_offset = offset + k1;
                std::ptrdiff_t x1 =
                    k1 == -d || (k1 != d && at(forward, k1_offset - 1) < at(forward, k1_offset + 1))
                        ? at(forward, k1_offset + 1)
                        : at(forward, k1_offset - 1) + 1;
                std::ptrdiff_t y1 = x1 - k1;
                while (x1 < n && y1 < m && A(x1) == B(y1))
                    ++x1, ++y1;
                at(forward, k1_offset) = x1;
                if (x1 > n) {
                    k1_end += 2;
                } else if (y1 > m) {
                    k1_start += 2;
                } else if (front) {
                    const std::ptrdiff_t k2_offset = offset + delta - k1;
                    if (k2_offset >= 0 && k2_offset < length && at(backward, k2_offset) != -1 &&
                        x1 >= n - at(backward, k2_offset)) {
                        split(a0, a1, b0, b1, static_cast<std::size_t>(x1),
                              static_cast<std::size_t>(y1));
                        return;
                    }
                }
            }
            for (std::ptrdiff_t k2 = -d + k2_start; k2 <= d - k2_end; k2 += 2) {
                const std::ptrdiff_t k2_offset = offset + k2;
                std::ptrdiff_t x2 = k2 == -d || (k2 != d && at(backward, k2_offset - 1) <
                                                                at(backward, k2_offset + 1))
                                        ? at(backward, k2_offset + 1)
                                        : at(backward, k2_offset - 1) + 1;
                std::ptrdiff_t y2 = x2 - k2;
                while (x2 < n && y2 < m && A(n - x2 - 1) == B(m - y2 - 1))
                    ++x2, ++y2;
                at(backward, k2_offset) = x2;
                if (x2 > n) {
                    k2_end += 2;
                } else if (y2 > m) {
                    k2_start += 2;
                } else if (!front) {
                    const std::ptrdiff_t k1_offset = offset + delta - k2;
                    if (k1_offset >= 0 && k1_offset < length && at(forward, k1_offset) != -1) {
                        const std::ptrdiff_t x1 = at(forward, k1_offset);
                        const std::ptrdiff_t y1 = offset + x1 - k1_offset;
                        if (x1 >= n - x2) {
                            split(a0, a1, b0, b1, static_cast<std::size_t>(x1),
                                  static_cast<std::size_t>(y1));
                            return;
                        }
                    }
                }
            }
        }
        mark(a0, a1, b0, b1);
    }

    void split(std::size_t a0, std::size_t a1, std::size_t b0, std::size_t b1, std::size_t x,
               std::size_t y) {
        compare(a0, a0 + x, b0, b0 + y);
        compare(a0 + x, a1, b0 + y, b1);
    }
};

// Slides each run of changed lines down while the line after it equals its
// first line, joining runs that meet.
void slide_down(Keys keys, std::vector<bool>& changed) {
    const std::size_t n = keys.size();
    std::size_t i = 0;
    while (i < n) {
        if (!changed[i]) {
            ++i;
            continue;
        }
        std::size_t start = i, end = i;
        while (end < n && changed[end])
            ++end;
        while (end < n && !changed[end] && keys[start] == keys[end]) {
            changed[start++] = false;
            changed[end++] = true;
            while (end < n && changed[end])
                ++end;
        }
        i = end;
    }
}

}  // namespace

std::vector<LineChange> diff_lines(const std::vector<std::uint32_t>& a,
                                   const std::vector<std::uint32_t>& b,
                                   const std::function<bool()>& stop) {
    Differ differ{a, b, std::vector<bool>(a.size()), std::vector<bool>(b.size()), stop};
    differ.compare(0, a.size(), 0, b.size());
    slide_down(a, differ.removed);
    slide_down(b, differ.inserted);
    std::vector<LineChange> changes;
    std::size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && !differ.removed[i] && !differ.inserted[j]) {
            ++i, ++j;
            continue;
        }
        LineChange change{i, i, j, j};
        while (i < a.size() && differ.removed[i])
            ++i;
        while (j < b.size() && differ.inserted[j])
            ++j;
        if (i == change.a_begin && j == change.b_begin) {
            // Unequal counts of kept lines cannot happen; never loop on them.
            i = a.size();
            j = b.size();
        }
        change.a_end = i;
        change.b_end = j;
        changes.push_back(change);
    }
    return changes;
}

}  // namespace halvorn::agentsh::cmd
