// The shortest edit between two sequences of lines (Myers' O(ND) algorithm
// in its linear-space form, bisecting on the middle snake), with each run
// of changed lines then slid as far down as equal lines allow, so that a
// change reads as it was made (an added function after its neighbour, not
// straddling it). Lines compare by integer keys the caller assigns.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace halvorn::agentsh::cmd {

struct LineChange {
    std::size_t a_begin, a_end;  // lines of the first sequence removed
    std::size_t b_begin, b_end;  // lines of the second inserted in their place
};

// The changes in order; empty when the sequences are equal. `stop` is asked
// now and then: once it says yes, the rest is reported as one change.
std::vector<LineChange> diff_lines(const std::vector<std::uint32_t>& a,
                                   const std::vector<std::uint32_t>& b,
                                   const std::function<bool()>& stop);

}  // namespace halvorn::agentsh::cmd
