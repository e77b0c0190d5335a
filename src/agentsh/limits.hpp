// What one run of a script may use. Every limit is counted per run (a new
// run starts from zero) and every one has a finite default: a host that
// wants more raises it, there is no "unlimited". Reaching one ends the run
// with a one-line message naming it; the shell and the tree stay usable.
#pragma once

#include <cstdint>
#include <string_view>

namespace halvorn::agentsh {

struct Limits {
    std::uint64_t max_commands = 1'000'000;      // simple commands run
    std::uint64_t max_loop_iterations = 200'000; // over all loops of the run
    std::uint64_t max_call_depth = 200;          // nested function calls (and sources)
    std::uint64_t max_subst_depth = 64;          // nested $( ), subshells and evals
    std::uint64_t max_wall_ms = 10'000;          // wall time of the run
    std::uint64_t max_output_bytes = 16u << 20;  // stdout and stderr together
    std::uint64_t max_string_bytes = 8u << 20;   // one word, variable or captured output
    std::uint64_t max_script_bytes = 4u << 20;   // a script (and a sourced file, an eval)
    std::uint64_t max_heredoc_bytes = 2u << 20;  // one here-document's body
    std::uint64_t max_expansion_words = 100'000; // words of one brace or glob expansion
};

// The names hosts pass them by (Python keywords), for messages and bindings.
struct LimitField {
    std::string_view name;
    std::uint64_t Limits::*field;
};
inline constexpr LimitField kLimitFields[] = {
    {"max_commands", &Limits::max_commands},
    {"max_loop_iterations", &Limits::max_loop_iterations},
    {"max_call_depth", &Limits::max_call_depth},
    {"max_subst_depth", &Limits::max_subst_depth},
    {"max_wall_ms", &Limits::max_wall_ms},
    {"max_output_bytes", &Limits::max_output_bytes},
    {"max_string_bytes", &Limits::max_string_bytes},
    {"max_script_bytes", &Limits::max_script_bytes},
    {"max_heredoc_bytes", &Limits::max_heredoc_bytes},
    {"max_expansion_words", &Limits::max_expansion_words},
};

}  // namespace halvorn::agentsh
