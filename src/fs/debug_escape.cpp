// Placeholder until the Unicode tables land: escapes only the fixed cases.
#include "fs/debug_escape.hpp"

namespace halvorn {

void append_debug_escaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default: out += c;
        }
    }
}

}  // namespace halvorn
