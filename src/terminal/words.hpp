// Splitting a terminal command line into words with shell-like quoting.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvorn::terminal {

// Returns the words of `line` with quotes and escapes removed, or nullopt when
// the line is malformed (an unclosed quote, or a backslash as its last byte).
// A malformed line yields no words at all, never the words before the fault.
//
// The line is taken as bytes: blanks are exactly space, tab and line feed;
// every other byte, carriage return and bytes >= 0x80 included, is an
// ordinary character. One pass, no recursion, linear in the line's length.
std::optional<std::vector<std::string>> split_words(std::string_view line);

}  // namespace halvorn::terminal
