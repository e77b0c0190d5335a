// printf: bash's format language (flags, width and precision, * for either,
// %b %q %c %s %d %i %o %u %x %X %e %f %g %a), the format reused until the
// arguments run out, -v to assign instead of print.
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "agentsh/interp.hpp"

namespace halvorn::agentsh {

namespace {

// Backslash escapes of a format (or of %b's argument, where \c ends output).
std::string unescape(std::string_view s, bool is_b, bool& stop) {
    std::string out;
    stop = !decode_escapes(s, is_b ? EscapeDialect::PrintfArgument : EscapeDialect::PrintfFormat,
                           out) ||
           stop;
    return out;
}

std::string shell_quote(const std::string& s) {
    if (s.empty()) return "''";
    std::string out;
    for (char c : s) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || std::string_view("_./-=:,+@%^").find(c) != std::string_view::npos))
            out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

int Interp::builtin_printf(std::vector<std::string>& argv) {
    std::size_t i = 1;
    std::string target;
    if (i + 1 < argv.size() && argv[i] == "-v") {
        target = argv[i + 1];
        i += 2;
    }
    if (i < argv.size() && argv[i] == "--") ++i;
    if (i >= argv.size()) {
        diag("printf: usage: printf [-v var] format [arguments]");
        return 2;
    }
    const std::string format = argv[i++];
    std::vector<std::string> args(argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end());
    std::size_t next = 0;
    int status = 0;
    std::string out;
    bool stop = false;
    auto take = [&]() -> std::string { return next < args.size() ? args[next++] : std::string(); };
    auto number = [&](const std::string& text, bool& ok) -> long long {
        ok = true;
        if (text.empty()) return 0;
        if (text[0] == '\'' || text[0] == '"') {
            // The character's code point (UTF-8), or its byte when invalid.
            if (text.size() < 2) return 0;
            auto lead = static_cast<unsigned char>(text[1]);
            std::size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
            if (extra == 0 || text.size() < 2 + extra) return lead;
            long long code = lead & (0x3F >> extra);
            for (std::size_t k = 0; k < extra; ++k) {
                auto cont = static_cast<unsigned char>(text[2 + k]);
                if ((cont & 0xC0) != 0x80) return lead;
                code = code * 64 + (cont & 0x3F);
            }
            return code;
        }
        char* end = nullptr;
        errno = 0;
        long long v = std::strtoll(text.c_str(), &end, 0);
        if (end == text.c_str() || *end != '\0') {
            diag("printf: " + text + ": invalid number");
            ok = false;
        }
        return v;
    };
    do {
        std::size_t consumed_before = next;
        for (std::size_t k = 0; k < format.size() && !stop; ++k) {
            char c = format[k];
            if (c == '\\') {
                std::size_t end = k + 1;
                if (end < format.size()) {
                    if (format[end] == 'u' || format[end] == 'U') {
                        std::size_t max = format[end] == 'u' ? 4 : 8, n = 0;
                        ++end;
                        while (n < max && end < format.size() && std::isxdigit(static_cast<unsigned char>(format[end]))) { ++end; ++n; }
                    } else if (format[end] == 'x') {
                        end++;
                        int n = 0;
                        while (n < 2 && end < format.size() && std::isxdigit(static_cast<unsigned char>(format[end]))) { ++end; ++n; }
                    } else if (format[end] >= '0' && format[end] <= '7') {
                        int n = 0;
                        while (n < 3 && end < format.size() && format[end] >= '0' && format[end] <= '7') { ++end; ++n; }
                    } else {
                        ++end;
                    }
                }
                bool ignored = false;
                out += unescape(std::string_view(format).substr(k, end - k), false, ignored);
                k = end - 1;
                continue;
            }
            if (c != '%') {
                out += c;
                continue;
            }
            if (k + 1 < format.size() && format[k + 1] == '%') {
                out += '%';
                ++k;
                continue;
            }
            std::string conversion = "%";
            std::size_t j = k + 1;
            while (j < format.size() && std::string_view("-+ #0").find(format[j]) != std::string_view::npos)
                conversion += format[j++];
            if (j < format.size() && format[j] == '*') {
                bool ok;
                conversion += std::to_string(number(take(), ok));
                ++j;
            } else {
                while (j < format.size() && std::isdigit(static_cast<unsigned char>(format[j])))
                    conversion += format[j++];
            }
            if (j < format.size() && format[j] == '.') {
                conversion += format[j++];
                if (j < format.size() && format[j] == '*') {
                    bool ok;
                    conversion += std::to_string(number(take(), ok));
                    ++j;
                } else {
                    while (j < format.size() && std::isdigit(static_cast<unsigned char>(format[j])))
                        conversion += format[j++];
                }
            }
            while (j < format.size() && std::string_view("hlLjzt").find(format[j]) != std::string_view::npos)
                ++j;
            if (j >= format.size()) {
                diag("printf: `" + format.substr(k) + "': missing format character");
                status = 1;
                break;
            }
            char conv = format[j];
            k = j;
            std::string buffer;
            auto emit = [&](const std::string& fmt, auto value) {
                int n = std::snprintf(nullptr, 0, fmt.c_str(), value);
                if (n < 0) return;
                buffer.resize(static_cast<std::size_t>(n) + 1);
                std::snprintf(buffer.data(), buffer.size(), fmt.c_str(), value);
                buffer.resize(static_cast<std::size_t>(n));
                out += buffer;
            };
            switch (conv) {
                case 's':
                case 'b':
                case 'q': {
                    std::string arg = take();
                    if (conv == 'b') arg = unescape(arg, true, stop);
                    if (conv == 'q') arg = shell_quote(arg);
                    emit(conversion + "s", arg.c_str());
                    break;
                }
                case 'c': {
                    std::string arg = take();
                    emit(conversion + "c", arg.empty() ? 0 : static_cast<int>(static_cast<unsigned char>(arg[0])));
                    if (arg.empty()) {
                        // %c of nothing writes nothing in bash.
                        if (!out.empty() && out.back() == '\0') out.pop_back();
                    }
                    break;
                }
                case 'd':
                case 'i': {
                    bool ok;
                    long long v = number(take(), ok);
                    if (!ok) status = 1;
                    emit(conversion + "lld", v);
                    break;
                }
                case 'o':
                case 'u':
                case 'x':
                case 'X': {
                    bool ok;
                    long long v = number(take(), ok);
                    if (!ok) status = 1;
                    emit(conversion + "ll" + conv, static_cast<unsigned long long>(v));
                    break;
                }
                case 'e':
                case 'E':
                case 'f':
                case 'F':
                case 'g':
                case 'G':
                case 'a':
                case 'A': {
                    std::string arg = take();
                    char* end = nullptr;
                    double v = arg.empty() ? 0.0 : std::strtod(arg.c_str(), &end);
                    if (!arg.empty() && (end == arg.c_str() || *end != '\0')) {
                        diag("printf: " + arg + ": invalid number");
                        status = 1;
                    }
                    emit(conversion + conv, v);
                    break;
                }
                default:
                    diag(std::string("printf: `") + conv + "': invalid format character");
                    return 1;
            }
            if (!check_string(out.size())) return 1;
        }
        if (next == consumed_before) break;
    } while (next < args.size() && !stop);
    if (!target.empty()) {
        std::size_t bracket = target.find('[');
        bool ok = bracket != std::string::npos && target.back() == ']'
                      ? set_element(target.substr(0, bracket),
                                    target.substr(bracket + 1, target.size() - bracket - 2), out)
                      : set_var(target, out);
        return ok ? status : 1;
    }
    if (!write_out(1, out)) return 1;
    return status;
}

}  // namespace halvorn::agentsh
