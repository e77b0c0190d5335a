// The shortest edit between two sequences of lines (Myers' O(ND) algorithm
// in its linear-space form, bisecting on the middle snake), with runs of
// changed lines then slid the way GNU's diff slides them, so that among
// equally short edits the one GNU prints is chosen (agents compare and
// apply these hunks). Lines compare by integer keys the caller assigns.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace halvorn::agentsh::cmd {

struct LineChange {
    std::size_t a_begin, a_end;  // lines of the first sequence removed
    std::size_t b_begin, b_end;  // lines of the second inserted in their place
};

// The changes in order; empty when the sequences are equal. `horizon` is
// the number of context lines the output will show. `stop` is asked
// now and then: once it says yes, the rest is reported as one change.
std::vector<LineChange> diff_lines(const std::vector<std::uint32_t>& a,
                                   const std::vector<std::uint32_t>& b, std::size_t horizon,
                                   const std::function<bool()>& stop);

}  // namespace halvorn::agentsh::cmd
