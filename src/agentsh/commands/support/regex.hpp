// Regular expressions with the semantics of GNU grep and sed: POSIX basic and
// extended syntax with GNU's extensions (\w \W \s \S \b \B \< \> \` \', \+ \?
// \| in basic syntax), POSIX classes, back-references, case folding, and the
// leftmost-longest match. The matcher is the C library's own (glibc's
// re_search), the engine GNU's tools themselves are built on, so the
// semantics are theirs by construction; what is added here is a bound on
// what a pattern from an agent can cost the host.
//
// The guarantee:
//  - A pattern is at most kMaxPatternBytes long, and its size once every
//    interval ({n,m}) is written out, as the compiler does, at most
//    kMaxExpandedAtoms; anything bigger is refused at compile time
//    ("regular expression too big"), so compiling is bounded in time and
//    memory.
//  - Without back-references the matcher simulates the pattern's automaton:
//    trying one start position costs at most the rest of the text times the
//    pattern's size. search() hands the library a batch of start positions
//    whose product with the text's length stays under kWorkPerCall, and asks
//    `stop` between batches, so no uninterruptible step is long and a
//    cancelled or timed-out run ends within one batch, whatever the pattern
//    and the text (a 10 MB line included).
//  - With back-references the library backtracks, polynomially but with a
//    degree that grows with the pattern's repetitions (measured: n^3 for
//    \(a*\)\1, more with each star). Such a pattern is matched only against
//    texts no longer than backref_limit() bytes (n^(r+2) <= 3*10^7 for a
//    pattern of r repetitions: 310 bytes for \(a*\)\1, 74 for two stars,
//    31 for three), which keeps the worst patterns measured under half a
//    second per text; a longer text gives TooCostly, which grep and sed
//    report as an error (status 2 and 4) rather than guess.
// Compiling reads the library's global syntax setting, so it holds a mutex;
// matching needs none (each Regex belongs to one command).
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace halvorn::agentsh::cmd {

enum class RegexSyntax : unsigned char { Basic, Extended };

// Which tool's dialect: grep and sed differ in small ways (an unmatched ')'
// in extended syntax, newlines in the text).
enum class RegexDialect : unsigned char { Grep, Sed };

struct RegexMatch {
    std::size_t begin = 0, end = 0;
    // Sub-expressions 0..9: begin and end, -1 when a group took no part.
    std::array<std::ptrdiff_t, 10> group_begin{}, group_end{};
};

enum class SearchResult : unsigned char { Found, NotFound, Stopped, TooCostly };

class Regex {
public:
    static constexpr std::size_t kMaxPatternBytes = 64 * 1024;
    static constexpr std::size_t kMaxExpandedAtoms = 1 << 17;
    static constexpr std::size_t kWorkPerCall = 1 << 21;

    // The compiled pattern, or null with the library's message in `error`.
    static std::unique_ptr<Regex> compile(std::string_view pattern, RegexSyntax syntax,
                                          bool icase, RegexDialect dialect, std::string& error);
    ~Regex();
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    // The leftmost-longest match starting at or after `from`. `not_bol`:
    // the text does not start a line (for a second match on one line, '^'
    // must not match at `from`).
    SearchResult search(std::string_view text, std::size_t from, RegexMatch& match,
                        const std::function<bool()>& stop, bool not_bol = false);
    // The longest match that starts exactly at `at` and ends no later than
    // `limit` (for grep -w's retries with a shorter match); -1 if none.
    std::ptrdiff_t match_at(std::string_view text, std::size_t at, std::size_t limit);

    bool has_backrefs() const { return backref_limit_ != 0; }
    // How many parenthesised groups the pattern has (bash's BASH_REMATCH
    // holds one element for each, matched or not).
    std::size_t group_count() const;
    std::size_t backref_limit() const { return backref_limit_; }

private:
    struct Impl;
    explicit Regex(std::unique_ptr<Impl> impl, std::size_t backref_limit);
    std::unique_ptr<Impl> impl_;
    std::size_t backref_limit_;
};

}  // namespace halvorn::agentsh::cmd
