// stat: a node's facts in GNU's default layout or a -c/--printf format.
// Owner, modes, blocks and device are those support/attributes.hpp gives
// every node; the access and change times are the modification time (the
// tree keeps no other), the birth time the creation time.
#include <cstdio>
#include <ctime>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/attributes.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kFormat, kPrintf, kDereference, kTerse, kFileSystem };
constexpr OptionDef kOptions[] = {
    {'c', "format", Arg::Required, kFormat},       {0, "printf", Arg::Required, kPrintf},
    {'L', "dereference", Arg::None, kDereference}, {'t', "terse", Arg::None, kTerse},
    {'f', "file-system", Arg::None, kFileSystem},
};

constexpr std::uint32_t kDeviceMinor = 42;

constexpr std::string_view kDefaultFormat =
    "  File: %n\n  Size: %-10s\tBlocks: %-10b IO Block: %-6o %F\n"
    "Device: %Hd,%Ld\tInode: %-11i Links: %h\n"
    "Access: (%04a/%10.10A)  Uid: (%5u/%8U)   Gid: (%5g/%8G)\n"
    "Access: %x\nModify: %y\nChange: %z\n Birth: %w\n";

std::string human_time(std::int64_t ns) {
    std::int64_t seconds = ns / 1'000'000'000, fraction = ns % 1'000'000'000;
    if (fraction < 0) fraction += 1'000'000'000, --seconds;
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &tm);
    char full[96];
    std::snprintf(full, sizeof full, "%s.%09lld +0000", buffer, static_cast<long long>(fraction));
    return full;
}

std::string seconds_of(std::int64_t ns) {
    return std::to_string(ns >= 0 ? ns / 1'000'000'000 : (ns - 999'999'999) / 1'000'000'000);
}

// Applies printf's flags, width and precision to one rendered value.
std::string pad(std::string value, std::string_view flags, std::size_t width,
                std::optional<std::size_t> precision, bool numeric) {
    if (precision && !numeric && value.size() > *precision) value.resize(*precision);
    if (value.size() >= width) return value;
    const std::size_t fill = width - value.size();
    if (flags.find('-') != std::string_view::npos) return value + std::string(fill, ' ');
    if (numeric && flags.find('0') != std::string_view::npos) {
        const std::size_t sign = !value.empty() && value[0] == '-' ? 1 : 0;
        return value.insert(sign, fill, '0');
    }
    return std::string(fill, ' ') + value;
}

struct Facts {
    std::string operand;
    NodeStatus node;
    std::uint64_t links;
};

std::string render(std::string_view format, const Facts& f) {
    std::string out;
    const NodeStatus& n = f.node;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            out += format[i];
            continue;
        }
        std::size_t k = i + 1;
        std::string flags;
        while (k < format.size() &&
               std::string_view("-#0 +'").find(format[k]) != std::string_view::npos)
            flags += format[k++];
        std::size_t width = 0;
        while (k < format.size() && format[k] >= '0' && format[k] <= '9')
            width = width * 10 + static_cast<std::size_t>(format[k++] - '0');
        std::optional<std::size_t> precision;
        if (k < format.size() && format[k] == '.') {
            precision = 0;
            ++k;
            while (k < format.size() && format[k] >= '0' && format[k] <= '9')
                *precision = *precision * 10 + static_cast<std::size_t>(format[k++] - '0');
        }
        if (k >= format.size()) {
            out += format.substr(i);
            break;
        }
        char c = format[k];
        // %Hd / %Ld: the device's major and minor numbers.
        std::string value;
        bool numeric = true;
        if ((c == 'H' || c == 'L') && k + 1 < format.size() &&
            (format[k + 1] == 'd' || format[k + 1] == 'r')) {
            value = c == 'H' ? "0" : std::to_string(kDeviceMinor);
            ++k;
        } else {
            switch (c) {
                case '%':
                    value = "%", numeric = false;
                    break;
                case 'n':
                    value = f.operand, numeric = false;
                    break;
                case 'N':
                    // Always quoted, unlike the same name in messages.
                    value = quote(f.operand);
                    if (value == f.operand) value = "'" + value + "'";
                    numeric = false;
                    break;
                // A directory shows the one block it would take on disk.
                case 's':
                    value = std::to_string(n.is_directory ? kBlockSize : n.size);
                    break;
                case 'b':
                    value = std::to_string(disk_bytes(n) / 512);
                    break;
                case 'B':
                    value = "512";
                    break;
                case 'o':
                    value = std::to_string(kBlockSize);
                    break;
                case 'F':
                    value = n.is_directory ? "directory"
                            : n.size == 0  ? "regular empty file"
                                           : "regular file";
                    numeric = false;
                    break;
                case 'a': {
                    char octal[16];
                    std::snprintf(octal, sizeof octal, "%o", mode_bits(n));
                    value = octal;
                    break;
                }
                case 'A':
                    value = mode_text(n), numeric = false;
                    break;
                case 'f': {
                    char hex[16];
                    std::snprintf(hex, sizeof hex, "%x",
                                  mode_bits(n) | (n.is_directory ? 0040000u : 0100000u));
                    value = hex;
                    numeric = false;
                    break;
                }
                case 'h':
                    value = std::to_string(f.links);
                    break;
                case 'i':
                    value = std::to_string(n.id);
                    break;
                case 'u':
                case 'g':
                    value = std::to_string(kOwnerId);
                    break;
                case 'U':
                case 'G':
                    value = std::string(kOwnerName), numeric = false;
                    break;
                case 'd':
                    value = std::to_string(kDeviceMinor);
                    break;
                case 'D': {
                    char hex[16];
                    std::snprintf(hex, sizeof hex, "%x", kDeviceMinor);
                    value = hex;
                    numeric = false;
                    break;
                }
                case 'm':
                    value = "/", numeric = false;
                    break;
                case 't':
                case 'T':
                    value = "0", numeric = false;
                    break;
                case 'x':
                case 'y':
                case 'z':
                    value = human_time(n.modified_ns), numeric = false;
                    break;
                case 'w':
                    value = human_time(n.created_ns), numeric = false;
                    break;
                case 'X':
                case 'Y':
                case 'Z':
                    value = seconds_of(n.modified_ns);
                    break;
                case 'W':
                    value = seconds_of(n.created_ns);
                    break;
                default:
                    // An unknown directive is printed as written, as GNU does.
                    out += format.substr(i, k + 1 - i);
                    i = k;
                    continue;
            }
        }
        out += pad(std::move(value), flags, width, precision, numeric);
        i = k;
    }
    return out;
}

std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        switch (c) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'a':
                out += '\a';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'v':
                out += '\v';
                break;
            case 'e':
                out += '\x1b';
                break;
            case '\\':
                out += '\\';
                break;
            case '"':
                out += '"';
                break;
            default:
                out += '\\', out += c;
                break;
        }
    }
    return out;
}

}  // namespace

int stat_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    std::string format(kDefaultFormat);
    for (const auto& o : args->options) {
        if (o.id == kFormat) format = o.value + "\n";
        if (o.id == kPrintf) format = unescape(o.value);
        if (o.id == kTerse) format = "%n %s %b %f %u %g %D %i %h %t %T %X %Y %Z %W %o\n";
        if (o.id == kFileSystem) {
            write_text(*ctx.err, "stat: file system status is not available\n");
            return 1;
        }
    }
    if (args->operands.empty()) {
        usage_error(ctx, "stat", "missing operand");
        return 1;
    }
    Output out(*ctx.out);
    int status = 0;
    for (const auto& operand : args->operands) {
        auto node = stat_operand(ctx, operand);
        if (!node) {
            out.flush();
            report(ctx, "stat", "cannot statx " + quote(operand), node.error());
            status = 1;
            continue;
        }
        std::uint64_t links = 1;
        if (node->is_directory) {
            links = 2;
            (void)ctx.fs->visit_entries(
                resolve(ctx, operand),
                [&](std::string_view, bool is_directory) { links += is_directory; });
        }
        if (!out.put(render(format, Facts{operand, *node, links}))) return 1;
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
