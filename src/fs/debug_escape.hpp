// Escaping of a name inside the double quotes of the diagnostic rendering.
#pragma once

#include <string>
#include <string_view>

namespace halvorn {

// Appends `text` (UTF-8) to `out` as the rendering writes a name between
// double quotes: `"` and `\` get a backslash; line feed, carriage return,
// tab and NUL become \n, \r, \t and \0; any other control character,
// unprintable character or combining mark becomes \u{hex}; everything else
// is copied as it is.
void append_debug_escaped(std::string& out, std::string_view text);

}  // namespace halvorn
