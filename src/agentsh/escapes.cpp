// The backslash escapes of $'...', echo -e, printf's format and printf %b:
// one reading, with the few places where bash's four dialects differ.
#include <cctype>

#include "agentsh/interp.hpp"

namespace halvorn::agentsh {

namespace {

// The escapes every dialect reads alike.
bool append_simple(char c, std::string& out) {
    switch (c) {
        case 'n': out += '\n'; return true;
        case 't': out += '\t'; return true;
        case 'r': out += '\r'; return true;
        case 'a': out += '\a'; return true;
        case 'b': out += '\b'; return true;
        case 'f': out += '\f'; return true;
        case 'v': out += '\v'; return true;
        case 'e':
        case 'E': out += '\x1b'; return true;
        case '\\': out += '\\'; return true;
        default: return false;
    }
}

int hex_value(char h) {
    return std::isdigit(static_cast<unsigned char>(h)) ? h - '0' : std::tolower(h) - 'a' + 10;
}

}  // namespace

bool decode_escapes(std::string_view s, EscapeDialect dialect, std::string& out) {
    const bool echo = dialect == EscapeDialect::Echo;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        if (append_simple(c, out)) continue;
        switch (c) {
            case '\'':
            case '"':
                if (!echo) {
                    out += c;
                    continue;
                }
                break;
            case '?':
                if (dialect == EscapeDialect::AnsiC) {
                    out += c;
                    continue;
                }
                break;
            case 'c':
                // $'\cX' is a control character; echo -e and %b stop there.
                if (dialect == EscapeDialect::AnsiC) {
                    if (i + 1 < s.size()) out += static_cast<char>(s[++i] & 0x1f);
                    continue;
                }
                if (echo || dialect == EscapeDialect::PrintfArgument) return false;
                break;
            case 'x': {
                int value = 0, digits = 0;
                while (digits < 2 && i + 1 < s.size() &&
                       std::isxdigit(static_cast<unsigned char>(s[i + 1]))) {
                    value = value * 16 + hex_value(s[++i]);
                    ++digits;
                }
                if (digits == 0) break;
                out += static_cast<char>(value);
                continue;
            }
            case 'u':
            case 'U':
                if (append_unicode_escape(s, i, c == 'u' ? 4 : 8, out)) continue;
                break;
            default:
                // Octal: up to three digits, or \0 and three more in echo -e
                // and %b; echo -e knows no other form.
                if (c >= '0' && c <= '7' && (c == '0' || !echo)) {
                    const bool zero_led =
                        c == '0' && (echo || dialect == EscapeDialect::PrintfArgument);
                    const int most = zero_led ? 4 : 3;
                    int value = c - '0', digits = 1;
                    while (digits < most && i + 1 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '7') {
                        value = value * 8 + (s[++i] - '0');
                        ++digits;
                    }
                    out += static_cast<char>(value & 0xff);
                    continue;
                }
        }
        // Not an escape of this dialect: kept as written.
        out += '\\';
        out += c;
    }
    return true;
}

}  // namespace halvorn::agentsh
