// Building the terminal's replies.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace halvorn::terminal {

// The concatenation of `parts`, allocated once at its final size. A reply
// quotes a word of the line, which may be as long as the line itself; a text
// grown by appending would, at each reallocation, hold it twice.
inline std::string joined(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (std::string_view part : parts)
        size += part.size();
    std::string text;
    text.reserve(size);
    for (std::string_view part : parts)
        text += part;
    return text;
}

}  // namespace halvorn::terminal
