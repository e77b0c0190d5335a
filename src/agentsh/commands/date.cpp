// date: the shell's clock (the host may fix it) in UTC, the shell's only
// zone, in the default layout or a +FORMAT; -d takes @SECONDS, an ISO date
// with an optional time, or "now"; -r a file's modification time. The clock
// is never set.
#include <cstdio>
#include <ctime>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kDate, kReference, kUtc, kIso, kRfcEmail, kRfc3339, kSet };
constexpr OptionDef kOptions[] = {
    {'d', "date", Arg::Required, kDate},
    {'r', "reference", Arg::Required, kReference},
    {'u', "utc", Arg::None, kUtc},
    {0, "universal", Arg::None, kUtc},
    {'I', "iso-8601", Arg::Optional, kIso},
    {'R', "rfc-email", Arg::None, kRfcEmail},
    {0, "rfc-3339", Arg::Required, kRfc3339},
    {'s', "set", Arg::Required, kSet},
};

constexpr std::int64_t kBillion = 1'000'000'000;

bool parse_digits(std::string_view text, int& value) {
    if (text.empty()) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// Nanoseconds since the epoch for a -d string, or nothing.
std::optional<std::int64_t> parse_date(std::string_view text, std::int64_t now) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    if (text.empty() || text == "now") return now;
    if (text.front() == '@') {
        std::string number(text.substr(1));
        char* end = nullptr;
        const long double seconds = std::strtold(number.c_str(), &end);
        if (number.empty() || *end != '\0') return std::nullopt;
        return static_cast<std::int64_t>(seconds * kBillion);
    }
    // YYYY-MM-DD, then optionally [T ]HH:MM[:SS]
    int year, month, day, hour = 0, minute = 0, second = 0;
    if (text.size() < 10 || text[4] != '-' || text[7] != '-' ||
        !parse_digits(text.substr(0, 4), year) || !parse_digits(text.substr(5, 2), month) ||
        !parse_digits(text.substr(8, 2), day))
        return std::nullopt;
    std::string_view rest = text.substr(10);
    if (!rest.empty()) {
        if (rest[0] != ' ' && rest[0] != 'T') return std::nullopt;
        rest.remove_prefix(1);
        if (rest.size() != 5 && rest.size() != 8) return std::nullopt;
        if (rest[2] != ':' || !parse_digits(rest.substr(0, 2), hour) ||
            !parse_digits(rest.substr(3, 2), minute))
            return std::nullopt;
        if (rest.size() == 8 && (rest[5] != ':' || !parse_digits(rest.substr(6, 2), second)))
            return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    const std::time_t t = timegm(&tm);
    if (tm.tm_mday != day) return std::nullopt;  // the 31st of a short month
    return static_cast<std::int64_t>(t) * kBillion;
}

// +FORMAT with what strftime cannot know done here: %N, %s, %Z (always
// UTC), %z and %:z.
std::string format_time(std::string_view format, std::int64_t ns) {
    std::int64_t seconds = ns / kBillion, fraction = ns % kBillion;
    if (fraction < 0) {
        fraction += kBillion;
        --seconds;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::string expanded;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 == format.size()) {
            if (format[i] == '%')
                expanded += "%%";
            else
                expanded += format[i];
            continue;
        }
        std::size_t k = i + 1;
        std::string flags;
        while (k < format.size() &&
               std::string_view("-_0^#").find(format[k]) != std::string_view::npos)
            flags += format[k++];
        std::size_t width_start = k;
        while (k < format.size() && format[k] >= '0' && format[k] <= '9')
            ++k;
        const std::string width(format.substr(width_start, k - width_start));
        if (k < format.size() && format[k] == ':' && k + 1 < format.size() &&
            format[k + 1] == 'z') {
            expanded += "+00:00";
            i = k + 1;
            continue;
        }
        if (k >= format.size()) {
            expanded += "%%";
            expanded += std::string(format.substr(i + 1));
            break;
        }
        const char c = format[k];
        if (c == 'N') {
            char digits[16];
            std::snprintf(digits, sizeof digits, "%09lld", static_cast<long long>(fraction));
            const std::size_t n = width.empty() ? 9 : std::min<std::size_t>(9, std::stoul(width));
            expanded += std::string(digits, n);
        } else if (c == 's') {
            expanded += std::to_string(seconds);
        } else if (c == 'Z') {
            expanded += "UTC";
        } else if (c == 'z') {
            expanded += "+0000";
        } else {
            expanded += std::string(format.substr(i, k + 1 - i));
        }
        i = k;
    }
    // strftime gives no way to tell an empty result from an error: a marker
    // byte makes every result non-empty.
    expanded += '\x01';
    std::string out(expanded.size() * 4 + 256, '\0');
    for (;;) {
        const std::size_t n = std::strftime(out.data(), out.size(), expanded.c_str(), &tm);
        if (n > 0) {
            out.resize(n - 1);
            return out;
        }
        if (out.size() > (1u << 20)) return {};
        out.resize(out.size() * 2);
    }
}

}  // namespace

int date_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    std::int64_t when = ctx.now_ns;
    std::string format = "%a %b %e %H:%M:%S %Z %Y";
    for (const auto& o : args->options) {
        switch (o.id) {
            case kDate: {
                auto parsed = parse_date(o.value, ctx.now_ns);
                if (!parsed) {
                    write_text(*ctx.err, "date: invalid date " + quote(o.value) + "\n");
                    return 1;
                }
                when = *parsed;
                break;
            }
            case kReference: {
                auto node = stat_operand(ctx, o.value);
                if (!node) {
                    report(ctx, "date", o.value, node.error());
                    return 1;
                }
                when = node->modified_ns;
                break;
            }
            case kIso: {
                const std::string& v = o.value;
                if (v.empty() || v == "date")
                    format = "%Y-%m-%d";
                else if (v == "hours")
                    format = "%Y-%m-%dT%H%:z";
                else if (v == "minutes")
                    format = "%Y-%m-%dT%H:%M%:z";
                else if (v == "seconds")
                    format = "%Y-%m-%dT%H:%M:%S%:z";
                else if (v == "ns")
                    format = "%Y-%m-%dT%H:%M:%S,%N%:z";
                else {
                    usage_error(ctx, "date", "invalid argument " + quote(v) + " for '--iso-8601'");
                    return 1;
                }
                break;
            }
            case kRfcEmail:
                format = "%a, %d %b %Y %H:%M:%S %z";
                break;
            case kRfc3339:
                if (o.value == "date")
                    format = "%Y-%m-%d";
                else if (o.value == "seconds")
                    format = "%Y-%m-%d %H:%M:%S%:z";
                else if (o.value == "ns")
                    format = "%Y-%m-%d %H:%M:%S.%N%:z";
                else {
                    usage_error(ctx, "date",
                                "invalid argument " + quote(o.value) + " for '--rfc-3339'");
                    return 1;
                }
                break;
            case kSet:
                write_text(*ctx.err, "date: cannot set date: Operation not permitted\n");
                return 1;
            default:
                break;
        }
    }
    for (const auto& operand : args->operands) {
        if (operand.empty() || operand[0] != '+') {
            write_text(*ctx.err, "date: invalid date " + quote(operand) + "\n");
            return 1;
        }
    }
    if (args->operands.size() > 1) {
        usage_error(ctx, "date", "extra operand " + quote(args->operands[1]));
        return 1;
    }
    if (!args->operands.empty()) format = args->operands[0].substr(1);
    return write_text(*ctx.out, format_time(format, when) + "\n") ? 0 : 1;
}

}  // namespace halvorn::agentsh::cmd
