// Splitting a terminal command line into words with shell-like quoting.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvorn::terminal {

// Returns the first `keep` words of `line` with quotes and escapes removed,
// or nullopt when the line is malformed (an unclosed quote, or a backslash as
// its last byte). A malformed line yields no words at all, never the words
// before the fault. The words after the first `keep` are split and checked
// like the others but never stored, so that a caller who uses a few words of
// a huge line pays memory for those few alone.
//
// The line is taken as bytes: blanks are exactly space, tab and line feed;
// every other byte, carriage return and bytes >= 0x80 included, is an
// ordinary character. One pass, no recursion, linear in the line's length.
std::optional<std::vector<std::string>> split_words(
    std::string_view line, std::size_t keep = std::numeric_limits<std::size_t>::max());

}  // namespace halvorn::terminal
