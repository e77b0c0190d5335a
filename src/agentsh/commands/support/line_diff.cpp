#include "agentsh/commands/support/line_diff.hpp"

#include <cstdint>
#include <span>
#include <unordered_map>

namespace halvorn::agentsh::cmd {
namespace {

using Keys = std::span<const std::uint32_t>;

// Myers' search on the lines left after the certain changes are set
// aside, with the same conventions as GNU's (forward and backward
// searches extended diagonal by diagonal from the highest, ties taken
// toward the lower diagonal going forward), so that among the equally
// short edits it picks the one GNU's diff prints.
struct Search {
    Keys a, b;                                // the lines compared
    std::vector<std::size_t> real_a, real_b;  // their places in the files
    std::vector<char>& changed_a;
    std::vector<char>& changed_b;  // with a guard entry either side
    const std::function<bool()>& stop;
    std::vector<std::ptrdiff_t> fd, bd;
    std::ptrdiff_t offset = 0;
    std::uint64_t work = 0;
    bool stopped = false;

    std::ptrdiff_t& f(std::ptrdiff_t d) { return fd[static_cast<std::size_t>(d + offset)]; }
    std::ptrdiff_t& r(std::ptrdiff_t d) { return bd[static_cast<std::size_t>(d + offset)]; }
    bool equal(std::ptrdiff_t x, std::ptrdiff_t y) const {
        return a[static_cast<std::size_t>(x)] == b[static_cast<std::size_t>(y)];
    }

    // The middle of a shortest edit of a[xoff, xlim) into b[yoff, ylim).
    std::pair<std::ptrdiff_t, std::ptrdiff_t> diag(std::ptrdiff_t xoff, std::ptrdiff_t xlim,
                                                   std::ptrdiff_t yoff, std::ptrdiff_t ylim) {
        const std::ptrdiff_t dmin = xoff - ylim, dmax = xlim - yoff;
        const std::ptrdiff_t fmid = xoff - yoff, bmid = xlim - ylim;
        std::ptrdiff_t fmin = fmid, fmax = fmid, bmin = bmid, bmax = bmid;
        const bool odd = ((fmid - bmid) & 1) != 0;
        constexpr std::ptrdiff_t kMax = PTRDIFF_MAX;
        f(fmid) = xoff;
        r(bmid) = xlim;
        for (;;) {
            if ((++work & 0x3ff) == 0 && stop && stop()) stopped = true;
            if (stopped) return {xoff, ylim};
            if (fmin > dmin)
                f(--fmin - 1) = -1;
            else
                ++fmin;
            if (fmax < dmax)
                f(++fmax + 1) = -1;
            else
                --fmax;
            for (std::ptrdiff_t d = fmax; d >= fmin; d -= 2) {
                const std::ptrdiff_t tlo = f(d - 1), thi = f(d + 1);
                std::ptrdiff_t x = tlo < thi ? thi : tlo + 1;
                std::ptrdiff_t y = x - d;
                while (x < xlim && y < ylim && equal(x, y))
                    ++x, ++y;
                f(d) = x;
                if (odd && bmin <= d && d <= bmax && r(d) <= x) return {x, y};
            }
            if (bmin > dmin)
                r(--bmin - 1) = kMax;
            else
                ++bmin;
            if (bmax < dmax)
                r(++bmax + 1) = kMax;
            else
                --bmax;
            for (std::ptrdiff_t d = bmax; d >= bmin; d -= 2) {
                const std::ptrdiff_t tlo = r(d - 1), thi = r(d + 1);
                std::ptrdiff_t x = tlo < thi ? tlo : thi - 1;
                std::ptrdiff_t y = x - d;
                while (xoff < x && yoff < y && equal(x - 1, y - 1))
                    --x, --y;
                r(d) = x;
                if (!odd && fmin <= d && d <= fmax && x <= f(d)) return {x, y};
            }
        }
    }

    void compare(std::ptrdiff_t xoff, std::ptrdiff_t xlim, std::ptrdiff_t yoff,
                 std::ptrdiff_t ylim) {
        while (xoff < xlim && yoff < ylim && equal(xoff, yoff))
            ++xoff, ++yoff;
        while (xoff < xlim && yoff < ylim && equal(xlim - 1, ylim - 1))
            --xlim, --ylim;
        if (xoff == xlim || yoff == ylim) {
            for (auto x = xoff; x < xlim; ++x)
                changed_a[real_a[static_cast<std::size_t>(x)] + 1] = 1;
            for (auto y = yoff; y < ylim; ++y)
                changed_b[real_b[static_cast<std::size_t>(y)] + 1] = 1;
            return;
        }
        auto [xmid, ymid] = diag(xoff, xlim, yoff, ylim);
        compare(xoff, xmid, yoff, ymid);
        compare(xmid, xlim, ymid, ylim);
    }
};

// Slides runs of changes the way GNU's diff does after its search: back to
// merge with earlier runs, then forward as far as equal lines allow, then
// back again to line up with a run of the other file if one can be met.
// `changed` and `other` carry a guard entry at each end (index 0 and n+1).
void shift_boundaries(Keys keys, std::vector<char>& changed_guarded,
                      const std::vector<char>& other_guarded) {
    char* changed = changed_guarded.data() + 1;
    const char* other = other_guarded.data() + 1;
    const auto end = static_cast<std::ptrdiff_t>(keys.size());
    auto key = [&](std::ptrdiff_t i) { return keys[static_cast<std::size_t>(i)]; };
    std::ptrdiff_t i = 0, j = 0;
    for (;;) {
        while (i < end && !changed[i]) {
            while (other[j++])
                continue;
            ++i;
        }
        if (i == end) break;
        std::ptrdiff_t start = i, runlength = 0, corresponding = 0;
        while (changed[++i])
            continue;
        while (other[j])
            ++j;
        do {
            runlength = i - start;
            while (start && key(start - 1) == key(i - 1)) {
                changed[--start] = 1;
                changed[--i] = 0;
                while (changed[start - 1])
                    --start;
                while (other[--j])
                    continue;
            }
            corresponding = other[j - 1] ? i : end;
            while (i != end && key(start) == key(i)) {
                changed[start++] = 0;
                changed[i++] = 1;
                while (changed[i])
                    ++i;
                while (other[++j])
                    corresponding = i;
            }
        } while (runlength != i - start);
        while (corresponding < i) {
            changed[--start] = 1;
            changed[--i] = 0;
            while (other[--j])
                continue;
        }
    }
}

// Marks the changed lines of a and b (arrays with a guard entry at each
// end).
void mark_changes(Keys a, Keys b, const std::function<bool()>& stop, std::vector<char>& changed_a,
                  std::vector<char>& changed_b) {
    // A line found nowhere in the other file is surely a change: it is set
    // aside before the search, as GNU's diff does, which both speeds the
    // search and decides which of the equally short edits is printed.
    std::unordered_map<std::uint32_t, std::uint32_t> in_a, in_b;
    for (auto k : a)
        ++in_a[k];
    for (auto k : b)
        ++in_b[k];
    std::vector<std::uint32_t> kept_a, kept_b;
    std::vector<std::size_t> real_a, real_b;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!in_b.contains(a[i])) {
            changed_a[i + 1] = 1;
            continue;
        }
        kept_a.push_back(a[i]);
        real_a.push_back(i);
    }
    for (std::size_t j = 0; j < b.size(); ++j) {
        if (!in_a.contains(b[j])) {
            changed_b[j + 1] = 1;
            continue;
        }
        kept_b.push_back(b[j]);
        real_b.push_back(j);
    }
    const std::size_t span = kept_a.size() + kept_b.size() + 3;
    Search search{kept_a,
                  kept_b,
                  std::move(real_a),
                  std::move(real_b),
                  changed_a,
                  changed_b,
                  stop,
                  std::vector<std::ptrdiff_t>(span),
                  std::vector<std::ptrdiff_t>(span),
                  static_cast<std::ptrdiff_t>(kept_b.size()) + 1};
    search.compare(0, static_cast<std::ptrdiff_t>(kept_a.size()), 0,
                   static_cast<std::ptrdiff_t>(kept_b.size()));
    shift_boundaries(a, changed_a, changed_b);
    shift_boundaries(b, changed_b, changed_a);
}

}  // namespace

std::vector<LineChange> diff_lines(const std::vector<std::uint32_t>& a,
                                   const std::vector<std::uint32_t>& b, std::size_t horizon,
                                   const std::function<bool()>& stop) {
    // Equal leading and trailing lines are left out of the search but for
    // `horizon` of them (the context that will be shown), as GNU's diff
    // does: changes may slide into that much of them and no further.
    std::size_t prefix = 0, suffix = 0;
    while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix])
        ++prefix;
    while (suffix < a.size() - prefix && suffix < b.size() - prefix &&
           a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix])
        ++suffix;
    const std::size_t from = prefix - std::min(prefix, horizon);
    const std::size_t keep_end = std::min(suffix, horizon);
    const Keys sub_a = Keys(a).subspan(from, a.size() - suffix + keep_end - from);
    const Keys sub_b = Keys(b).subspan(from, b.size() - suffix + keep_end - from);
    std::vector<char> sub_changed_a(sub_a.size() + 2, 0), sub_changed_b(sub_b.size() + 2, 0);
    mark_changes(sub_a, sub_b, stop, sub_changed_a, sub_changed_b);
    std::vector<char> changed_a(a.size() + 2, 0), changed_b(b.size() + 2, 0);
    std::copy(sub_changed_a.begin() + 1, sub_changed_a.end() - 1,
              changed_a.begin() + 1 + static_cast<std::ptrdiff_t>(from));
    std::copy(sub_changed_b.begin() + 1, sub_changed_b.end() - 1,
              changed_b.begin() + 1 + static_cast<std::ptrdiff_t>(from));
    auto removed = [&](std::size_t i) { return changed_a[i + 1] != 0; };
    auto inserted = [&](std::size_t j) { return changed_b[j + 1] != 0; };
    std::vector<LineChange> changes;
    std::size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && !removed(i) && !inserted(j)) {
            ++i, ++j;
            continue;
        }
        LineChange change{i, i, j, j};
        while (i < a.size() && removed(i))
            ++i;
        while (j < b.size() && inserted(j))
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
