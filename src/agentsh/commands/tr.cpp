// tr: bytes translated from one set to another, deleted (-d) or squeezed
// (-s), with -c taking the complement of the first set. Sets hold ranges
// (a-z), classes ([:upper:]), repeats ([x*n]) and escapes (\n, \012).
#include <array>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kDelete, kSqueeze, kComplement, kTruncate };
constexpr OptionDef kOptions[] = {
    {'d', "delete", Arg::None, kDelete},
    {'s', "squeeze-repeats", Arg::None, kSqueeze},
    {'c', "complement", Arg::None, kComplement},
    {'C', "", Arg::None, kComplement},
    {'t', "truncate-set1", Arg::None, kTruncate},
};

bool in_class(std::string_view name, int c, bool& known) {
    known = true;
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
    known = false;
    return false;
}

// One escape at s[i] (after the backslash); advances i.
int unescape(std::string_view s, std::size_t& i) {
    char c = s[i++];
    switch (c) {
        case 'n': return '\n';
        case 't': return '\t';
        case 'r': return '\r';
        case 'a': return '\a';
        case 'b': return '\b';
        case 'f': return '\f';
        case 'v': return '\v';
        default: break;
    }
    if (c >= '0' && c <= '7') {
        int v = c - '0';
        for (int k = 0; k < 2 && i < s.size() && s[i] >= '0' && s[i] <= '7'; ++k)
            v = v * 8 + (s[i++] - '0');
        return v & 0xff;
    }
    return static_cast<unsigned char>(c);
}

// Expands a set into its bytes in order; "" on success or an error text.
// `repeat_at` is where a [c*] repeat (fill) sits in set 2, if any.
std::string expand(std::string_view s, std::vector<int>& out, long& fill_at, int& fill_char) {
    fill_at = -1;
    std::size_t i = 0;
    auto next_char = [&](std::size_t& at) {
        if (s[at] == '\\' && at + 1 < s.size()) {
            ++at;
            return unescape(s, at);
        }
        return static_cast<int>(static_cast<unsigned char>(s[at++]));
    };
    while (i < s.size()) {
        if (s[i] == '[' && i + 1 < s.size() && s[i + 1] == ':') {
            std::size_t close = s.find(":]", i + 2);
            if (close != std::string_view::npos) {
                std::string_view name = s.substr(i + 2, close - i - 2);
                bool known = false;
                in_class(name, 'a', known);
                if (!known) return "invalid character class '" + std::string(name) + "'";
                for (int c = 0; c < 256; ++c)
                    if (in_class(name, c, known)) out.push_back(c);
                i = close + 2;
                continue;
            }
        }
        if (s[i] == '[' && i + 2 < s.size()) {
            std::size_t at = i + 1;
            int c = next_char(at);
            if (at < s.size() && s[at] == '*') {
                std::size_t close = s.find(']', at);
                if (close != std::string_view::npos) {
                    std::string_view count = s.substr(at + 1, close - at - 1);
                    if (count.empty()) {
                        fill_at = static_cast<long>(out.size());
                        fill_char = c;
                    } else {
                        long n = std::strtol(std::string(count).c_str(), nullptr,
                                             count[0] == '0' ? 8 : 10);
                        for (long k = 0; k < n; ++k) out.push_back(c);
                    }
                    i = close + 1;
                    continue;
                }
            }
        }
        int c = next_char(i);
        if (i + 1 < s.size() && s[i] == '-') {
            std::size_t at = i + 1;
            int high = next_char(at);
            if (high < c)
                return "range-endpoints of '" + std::string(1, static_cast<char>(c)) + "-" +
                       std::string(1, static_cast<char>(high)) + "' are in reverse collating sequence order";
            for (int k = c; k <= high; ++k) out.push_back(k);
            i = at;
            continue;
        }
        out.push_back(c);
    }
    return {};
}

}  // namespace

int tr_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool del = false, squeeze = false, complement = false, truncate = false;
    for (const auto& o : args->options) {
        del |= o.id == kDelete;
        squeeze |= o.id == kSqueeze;
        complement |= o.id == kComplement;
        truncate |= o.id == kTruncate;
    }
    const auto& ops = args->operands;
    const std::size_t needed = (del && !squeeze) || (squeeze && !del && ops.size() < 2) ? 1 : 2;
    if (ops.size() < needed) {
        if (ops.empty()) usage_error(ctx, "tr", "missing operand");
        else
            usage_error(ctx, "tr", "missing operand after '" + ops[0] + "'\nTwo strings must be given when " +
                                       (del ? "both deleting and squeezing repeats" : "translating"));
        return 1;
    }
    if (ops.size() > needed && !(needed == 1 && squeeze && ops.size() == 2)) {
        usage_error(ctx, "tr", "extra operand '" + ops[needed] + "'" +
                                   (del && needed == 1 ? "\nOnly one string may be given when deleting without squeezing repeats" : ""));
        return 1;
    }
    std::vector<int> set1, set2;
    long fill1, fill2;
    int fc1 = 0, fc2 = 0;
    std::string problem = expand(ops[0], set1, fill1, fc1);
    if (problem.empty() && ops.size() > 1) problem = expand(ops[1], set2, fill2, fc2);
    if (!problem.empty()) {
        report(ctx, "tr", "", problem);
        return 1;
    }
    std::array<bool, 256> in1{};
    for (int c : set1) in1[static_cast<std::size_t>(c)] = true;
    if (complement) {
        set1.clear();
        for (int c = 0; c < 256; ++c) {
            in1[static_cast<std::size_t>(c)] = !in1[static_cast<std::size_t>(c)];
            if (in1[static_cast<std::size_t>(c)]) set1.push_back(c);
        }
    }
    std::array<int, 256> map;
    for (int c = 0; c < 256; ++c) map[static_cast<std::size_t>(c)] = c;
    const bool translating = !del && ops.size() > 1;
    std::array<bool, 256> squeeze_set{};
    if (translating) {
        if (fill2 >= 0) {
            long missing = static_cast<long>(set1.size()) - static_cast<long>(set2.size());
            if (missing > 0) set2.insert(set2.begin() + fill2, static_cast<std::size_t>(missing), fc2);
        }
        if (set2.empty() && !set1.empty()) {
            report(ctx, "tr", "", "when not truncating set1, string2 must be non-empty");
            return 1;
        }
        if (truncate && set1.size() > set2.size()) set1.resize(set2.size());
        for (std::size_t k = 0; k < set1.size(); ++k) {
            int to = k < set2.size() ? set2[k] : set2.back();
            map[static_cast<std::size_t>(set1[k])] = to;
        }
        for (int c : set2) squeeze_set[static_cast<std::size_t>(c)] = true;
    } else if (squeeze) {
        const auto& source = del ? set2 : set1;
        if (del) {
            for (int c : source) squeeze_set[static_cast<std::size_t>(c)] = true;
        } else {
            squeeze_set = in1;
        }
    }
    std::string buffer(64 * 1024, '\0'), result;
    int last = -1;
    Output out(*ctx.out);
    for (;;) {
        if (stopped(ctx)) return 130;
        std::ptrdiff_t got = ctx.in ? ctx.in->read(std::span<char>(buffer.data(), buffer.size())) : 0;
        if (got <= 0) break;
        result.clear();
        for (std::ptrdiff_t k = 0; k < got; ++k) {
            int c = static_cast<unsigned char>(buffer[static_cast<std::size_t>(k)]);
            if (del && in1[static_cast<std::size_t>(c)]) continue;
            c = map[static_cast<std::size_t>(c)];
            if (squeeze && c == last && squeeze_set[static_cast<std::size_t>(c)]) continue;
            last = c;
            result += static_cast<char>(c);
        }
        if (!out.put(result)) break;
    }
    return 0;
}

}  // namespace halvorn::agentsh::cmd
