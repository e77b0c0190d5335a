// bash's pattern matching (case, [[ == ]], ${x#p}, pathname expansion):
// * ? [...] with ranges, negation and classes; a backslash quotes the next
// character. Matching is iterative with one backtrack point for the last
// star, so it stays O(pattern x text) on any input.
#include <cctype>
#include <string_view>

#include "agentsh/interp.hpp"

namespace halvorn::agentsh {

namespace {

bool class_matches(std::string_view name, unsigned char c) {
    if (name == "alpha") return std::isalpha(c);
    if (name == "digit") return std::isdigit(c);
    if (name == "alnum") return std::isalnum(c);
    if (name == "upper") return std::isupper(c);
    if (name == "lower") return std::islower(c);
    if (name == "space") return std::isspace(c);
    if (name == "blank") return c == ' ' || c == '\t';
    if (name == "punct") return std::ispunct(c);
    if (name == "print") return std::isprint(c);
    if (name == "graph") return std::isgraph(c);
    if (name == "cntrl") return std::iscntrl(c);
    if (name == "xdigit") return std::isxdigit(c);
    return false;
}

unsigned char fold(unsigned char c, bool nocase) {
    return nocase ? static_cast<unsigned char>(std::tolower(c)) : c;
}

// A bracket expression at pattern[p] ('['): whether it matches c, and where
// it ends. False `valid` when there is no closing bracket (then '[' is an
// ordinary character).
bool bracket(std::string_view pattern, std::size_t p, unsigned char c, bool nocase,
             std::size_t& end, bool& valid) {
    std::size_t i = p + 1;
    bool negate = false;
    if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) {
        negate = true;
        ++i;
    }
    bool matched = false;
    bool first = true;
    c = fold(c, nocase);
    while (i < pattern.size() && (first || pattern[i] != ']')) {
        first = false;
        if (pattern[i] == '[' && i + 1 < pattern.size() && pattern[i + 1] == ':') {
            std::size_t close = pattern.find(":]", i + 2);
            if (close != std::string_view::npos) {
                if (class_matches(pattern.substr(i + 2, close - i - 2), c)) matched = true;
                i = close + 2;
                continue;
            }
        }
        unsigned char low = static_cast<unsigned char>(pattern[i]);
        if (low == '\\' && i + 1 < pattern.size()) low = static_cast<unsigned char>(pattern[++i]);
        ++i;
        unsigned char high = low;
        if (i + 1 < pattern.size() && pattern[i] == '-' && pattern[i + 1] != ']') {
            high = static_cast<unsigned char>(pattern[i + 1]);
            if (high == '\\' && i + 2 < pattern.size()) {
                high = static_cast<unsigned char>(pattern[i + 2]);
                ++i;
            }
            i += 2;
        }
        if (nocase) {
            if ((c >= fold(low, true) && c <= fold(high, true)) ||
                (std::toupper(c) >= low && std::toupper(c) <= high))
                matched = true;
        } else if (c >= low && c <= high) {
            matched = true;
        }
    }
    if (i >= pattern.size()) {
        valid = false;
        return false;
    }
    valid = true;
    end = i + 1;
    return matched != negate;
}

}  // namespace

bool glob_match(std::string_view pattern, std::string_view text, bool nocase) {
    std::size_t p = 0, t = 0;
    std::size_t star_p = std::string_view::npos, star_t = 0;
    while (t < text.size()) {
        if (p < pattern.size()) {
            char pc = pattern[p];
            if (pc == '*') {
                while (p < pattern.size() && pattern[p] == '*')
                    ++p;
                star_p = p;
                star_t = t;
                continue;
            }
            if (pc == '?') {
                ++p;
                ++t;
                continue;
            }
            if (pc == '[') {
                std::size_t end = 0;
                bool valid = false;
                bool hit = bracket(pattern, p, static_cast<unsigned char>(text[t]), nocase, end,
                                   valid);
                if (valid) {
                    if (hit) {
                        p = end;
                        ++t;
                        continue;
                    }
                } else if (text[t] == '[') {
                    ++p;
                    ++t;
                    continue;
                }
            } else {
                if (pc == '\\' && p + 1 < pattern.size()) ++p;
                if (fold(static_cast<unsigned char>(pattern[p]), nocase) ==
                    fold(static_cast<unsigned char>(text[t]), nocase)) {
                    ++p;
                    ++t;
                    continue;
                }
            }
        }
        if (star_p == std::string_view::npos) return false;
        p = star_p;
        t = ++star_t;
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool has_glob_chars(std::string_view pattern) {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        if (c == '\\') {
            ++i;
            continue;
        }
        if (c == '*' || c == '?' || c == '[') return true;
    }
    return false;
}

}  // namespace halvorn::agentsh
