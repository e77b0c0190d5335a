// cut: bytes (-b), characters (-c, bytes as in GNU's) or delimited fields
// (-f, -d) of each line, by a list of positions and ranges.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kBytes, kChars, kFields, kDelim, kOnlyDelimited, kComplement, kOutDelim, kZero, kN };
constexpr OptionDef kOptions[] = {
    {'b', "bytes", Arg::Required, kBytes},
    {'c', "characters", Arg::Required, kChars},
    {'f', "fields", Arg::Required, kFields},
    {'d', "delimiter", Arg::Required, kDelim},
    {'s', "only-delimited", Arg::None, kOnlyDelimited},
    {0, "complement", Arg::None, kComplement},
    {0, "output-delimiter", Arg::Required, kOutDelim},
    {'z', "zero-terminated", Arg::None, kZero},
    {'n', "", Arg::None, kN},
};

struct Range {
    std::size_t low, high;  // 1-based, inclusive
};

// Parses "1,3-5,-2,7-"; an error text on failure.
std::string parse_list(std::string_view list, std::vector<Range>& ranges) {
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find_first_of(", ", start);
        if (comma == std::string_view::npos) comma = list.size();
        std::string_view part = list.substr(start, comma - start);
        start = comma + 1;
        if (part.empty()) return "fields and positions are numbered from 1";
        std::size_t dash = part.find('-');
        auto number = [](std::string_view s, std::size_t& v) {
            if (s.empty()) return false;
            std::size_t n = 0;
            for (char c : s) {
                if (c < '0' || c > '9') return false;
                n = std::min<std::size_t>(n * 10 + static_cast<std::size_t>(c - '0'), SIZE_MAX / 20);
            }
            v = n;
            return true;
        };
        Range r{1, SIZE_MAX};
        if (dash == std::string_view::npos) {
            if (!number(part, r.low)) return "invalid field value '" + std::string(part) + "'";
            r.high = r.low;
        } else {
            std::string_view lo = part.substr(0, dash), hi = part.substr(dash + 1);
            if (lo.empty() && hi.empty()) return "invalid range with no endpoint: -";
            if (!lo.empty() && !number(lo, r.low))
                return "invalid field range";
            if (!hi.empty() && !number(hi, r.high))
                return "invalid field range";
            if (r.high < r.low) return "invalid decreasing range";
        }
        if (r.low == 0) return "fields and positions are numbered from 1";
        ranges.push_back(r);
        if (comma == list.size()) break;
    }
    return {};
}

}  // namespace

int cut_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    int mode = -1;  // kBytes/kChars or kFields
    std::string list, delim = "\t", out_delim;
    bool only_delimited = false, complement = false, has_out_delim = false, has_delim = false;
    char eol = '\n';
    for (const auto& o : args->options) {
        switch (o.id) {
            case kBytes: case kChars: case kFields:
                if (mode >= 0) {
                    usage_error(ctx, "cut", "only one list may be specified");
                    return 1;
                }
                mode = o.id == kFields ? kFields : kBytes;
                list = o.value;
                break;
            case kDelim:
                if (o.value.size() > 1) {
                    usage_error(ctx, "cut", "the delimiter must be a single character");
                    return 1;
                }
                delim = o.value.empty() ? std::string(1, '\0') : o.value;
                has_delim = true;
                break;
            case kOnlyDelimited: only_delimited = true; break;
            case kComplement: complement = true; break;
            case kOutDelim: out_delim = o.value; has_out_delim = true; break;
            case kZero: eol = '\0'; break;
            default: break;
        }
    }
    if (mode < 0) {
        usage_error(ctx, "cut", "you must specify a list of bytes, characters, or fields");
        return 1;
    }
    if (mode != kFields && (has_delim || only_delimited)) {
        usage_error(ctx, "cut", has_delim ? "an input delimiter may be specified only when operating on fields"
                                          : "suppressing non-delimited lines makes sense\n\tonly when operating on fields");
        return 1;
    }
    std::vector<Range> ranges;
    std::string problem = parse_list(list, ranges);
    if (!problem.empty()) {
        usage_error(ctx, "cut", problem);
        return 1;
    }
    auto selected = [&](std::size_t position) {
        bool in = false;
        for (const auto& r : ranges)
            if (position >= r.low && position <= r.high) in = true;
        return in != complement;
    };
    if (!has_out_delim) out_delim = mode == kFields ? delim : std::string();
    if (args->operands.empty()) args->operands.push_back("-");
    Output out(*ctx.out);
    int status = 0;
    std::string line, result;
    for (const auto& operand : args->operands) {
        auto source = open_input(ctx, operand);
        if (!source) {
            out.flush();
            report(ctx, "cut", quote(operand), source.error());
            status = 1;
            continue;
        }
        Input input(**source);
        std::uint64_t n = 0;
        while (input.next_line(line, eol)) {
            if (++n % 4096 == 0 && stopped(ctx)) return 130;
            std::string_view text(line);
            if (!text.empty() && text.back() == eol) text.remove_suffix(1);
            result.clear();
            if (mode != kFields) {
                bool first = true;
                std::size_t last = 0;
                for (std::size_t i = 0; i < text.size(); ++i) {
                    if (!selected(i + 1)) continue;
                    if (has_out_delim && !first && last + 1 != i + 1) result += out_delim;
                    result += text[i];
                    first = false;
                    last = i + 1;
                }
            } else if (text.find(delim[0]) == std::string_view::npos) {
                if (only_delimited) continue;
                result.assign(text);
            } else {
                bool first = true;
                std::size_t field = 1, start = 0;
                for (;;) {
                    std::size_t at = text.find(delim[0], start);
                    std::string_view piece =
                        text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start);
                    if (selected(field)) {
                        if (!first) result += out_delim;
                        result += piece;
                        first = false;
                    }
                    if (at == std::string_view::npos) break;
                    start = at + 1;
                    ++field;
                }
            }
            result += eol;
            if (!out.put(result)) return status;
        }
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
