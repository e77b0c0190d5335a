// seq: numbers from FIRST by INCREMENT to LAST. Whole numbers are counted
// exactly in 64 bits; a decimal operand switches to long double with as
// many decimals as FIRST and INCREMENT show, as GNU does.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kSeparator, kWidth, kFormat };
constexpr OptionDef kOptions[] = {
    {'s', "separator", Arg::Required, kSeparator},
    {'w', "equal-width", Arg::None, kWidth},
    {'f', "format", Arg::Required, kFormat},
};

struct Number {
    long double value = 0;
    int decimals = 0;  // digits after the point as written
    int width = 0;     // characters as written, for -w
    bool whole = true;
};

bool parse_number(std::string_view text, Number& n) {
    if (text.empty()) return false;
    std::string copy(text);
    char* end = nullptr;
    n.value = std::strtold(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || std::isnan(n.value)) return false;
    const std::size_t dot = text.find('.');
    n.whole = text.find_first_of(".eEnNiIxX") == std::string_view::npos;
    n.decimals = dot == std::string_view::npos ? 0 : static_cast<int>(text.size() - dot - 1);
    n.width = static_cast<int>(text.size());
    return true;
}

bool looks_negative(const std::string& word) {
    return word.size() > 1 && word[0] == '-' &&
           (std::isdigit(static_cast<unsigned char>(word[1])) || word[1] == '.');
}

std::string format_one(long double v, const std::string& format, int decimals, int width) {
    char buffer[256];
    if (!format.empty())
        std::snprintf(buffer, sizeof buffer, format.c_str(), v);
    else
        std::snprintf(buffer, sizeof buffer, "%.*Lf", decimals, v);
    std::string text(buffer);
    if (width > 0 && static_cast<int>(text.size()) < width) {
        const bool negative = text[0] == '-';
        text.insert(negative ? 1 : 0, static_cast<std::size_t>(width) - text.size(), '0');
    }
    return text;
}

// The user's -f format with the long double length GNU's own adds.
std::optional<std::string> long_double_format(const std::string& format) {
    std::size_t at = 0;
    int conversions = 0;
    std::string out;
    while (at < format.size()) {
        if (format[at] != '%') {
            out += format[at++];
            continue;
        }
        if (at + 1 < format.size() && format[at + 1] == '%') {
            out += "%%";
            at += 2;
            continue;
        }
        std::size_t k = at + 1;
        while (k < format.size() &&
               std::string_view("-+ #0'123456789.").find(format[k]) != std::string_view::npos)
            ++k;
        if (k >= format.size() ||
            std::string_view("aAeEfFgG").find(format[k]) == std::string_view::npos)
            return std::nullopt;
        out += format.substr(at, k - at) + 'L' + format[k];
        at = k + 1;
        ++conversions;
    }
    if (conversions != 1) return std::nullopt;
    return out;
}

}  // namespace

int seq_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    // A negative number ends the options, as it cannot be one.
    std::vector<std::string> head(argv), tail;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        if (looks_negative(argv[i])) {
            head.assign(argv.begin(), argv.begin() + static_cast<std::ptrdiff_t>(i));
            tail.assign(argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end());
            break;
        }
    }
    auto args = parse_options(ctx, head, kOptions);
    if (!args) return 1;
    args->operands.insert(args->operands.end(), tail.begin(), tail.end());
    std::string separator = "\n", format;
    bool equal_width = false;
    for (const auto& o : args->options) {
        if (o.id == kSeparator) separator = o.value;
        if (o.id == kWidth) equal_width = true;
        if (o.id == kFormat) format = o.value;
    }
    auto& ops = args->operands;
    if (ops.empty()) {
        usage_error(ctx, "seq", "missing operand");
        return 1;
    }
    if (ops.size() > 3) {
        usage_error(ctx, "seq", "extra operand " + quote(ops[3]));
        return 1;
    }
    Number first{1, 0, 1, true}, step{1, 0, 1, true}, last;
    std::vector<Number*> slots = ops.size() == 1   ? std::vector<Number*>{&last}
                                 : ops.size() == 2 ? std::vector<Number*>{&first, &last}
                                                   : std::vector<Number*>{&first, &step, &last};
    for (std::size_t i = 0; i < ops.size(); ++i) {
        if (!parse_number(ops[i], *slots[i])) {
            usage_error(ctx, "seq", "invalid floating point argument: " + quote(ops[i]));
            return 1;
        }
    }
    if (step.value == 0) {
        usage_error(ctx, "seq", "invalid Zero increment value: " + quote(ops[1]));
        return 1;
    }
    if (!format.empty()) {
        auto converted = long_double_format(format);
        if (!converted) {
            write_text(*ctx.err,
                       "seq: format " + quote(format) + " has no % directive or too many\n");
            return 1;
        }
        format = *converted;
        equal_width = false;
    }
    const int decimals = std::max(first.decimals, step.decimals);
    int width = 0;
    if (equal_width) {
        width = static_cast<int>(format_one(first.value, "", decimals, 0).size());
        // The widest number is at one end or the other.
        width = std::max(width, static_cast<int>(format_one(last.value, "", decimals, 0).size()));
    }
    Output out(*ctx.out);
    bool any = false;
    std::uint64_t count = 0;
    for (long double i = 0;; i += 1) {
        const long double v = first.value + i * step.value;
        if (step.value > 0 ? v > last.value : v < last.value) break;
        if ((++count & 0xfff) == 0 && stopped(ctx)) return 130;
        if (any && !out.put(separator)) return 1;
        if (!out.put(format_one(v, format, decimals, width))) return 1;
        any = true;
    }
    if (any) out.put('\n');
    return 0;
}

}  // namespace halvorn::agentsh::cmd
