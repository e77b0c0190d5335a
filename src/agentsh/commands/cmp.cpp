// cmp: the first byte where two files differ ("differ: byte N, line M"),
// every differing byte with -l, nothing with -s; status 0 when equal, 1
// when not, 2 on trouble. A file that ends first is named on stderr.
#include <cstdlib>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kPrintBytes, kVerbose, kSilent, kLimit };
constexpr OptionDef kOptions[] = {
    {'b', "print-bytes", Arg::None, kPrintBytes}, {'l', "verbose", Arg::None, kVerbose},
    {'s', "silent", Arg::None, kSilent},          {0, "quiet", Arg::None, kSilent},
    {'n', "bytes", Arg::Required, kLimit},
};

std::string octal(unsigned char c) {
    std::string text;
    do {
        text.insert(text.begin(), static_cast<char>('0' + c % 8));
        c = static_cast<unsigned char>(c / 8);
    } while (c);
    return text;
}

// GNU's rendering of a byte after its octal value under -b.
std::string shown(unsigned char c) {
    std::string text;
    if (c >= 128) {
        text += "M-";
        c = static_cast<unsigned char>(c - 128);
    }
    if (c < 32) {
        text += '^';
        text += static_cast<char>(c + 64);
    } else if (c == 127) {
        text += "^?";
    } else {
        text += static_cast<char>(c);
    }
    return text;
}

std::string pad(std::string text, std::size_t width) {
    if (text.size() < width) text.insert(0, width - text.size(), ' ');
    return text;
}

}  // namespace

int cmp_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 2;
    bool print_bytes = false, verbose = false, silent = false;
    std::uint64_t limit = UINT64_MAX;
    for (const auto& o : args->options) {
        if (o.id == kPrintBytes) print_bytes = true;
        if (o.id == kVerbose) verbose = true;
        if (o.id == kSilent) silent = true;
        if (o.id == kLimit) {
            char* end = nullptr;
            limit = std::strtoull(o.value.c_str(), &end, 10);
            if (o.value.empty() || *end != '\0') {
                write_text(*ctx.err, "cmp: invalid --bytes value " + quote(o.value) + "\n");
                return 2;
            }
        }
    }
    auto& ops = args->operands;
    if (ops.empty()) {
        usage_error(ctx, "cmp", "missing operand after 'cmp'");
        return 2;
    }
    if (ops.size() > 2) {
        usage_error(ctx, "cmp", "invalid --ignore-initial value " + quote(ops[2]));
        return 2;
    }
    if (ops.size() == 1) ops.push_back("-");
    std::string bytes[2];
    for (int k = 0; k < 2; ++k) {
        auto read = read_file(ctx, ops[static_cast<std::size_t>(k)]);
        if (!read) {
            report(ctx, "cmp", ops[static_cast<std::size_t>(k)], read.error());
            return 2;
        }
        bytes[k] = std::move(*read);
        if (bytes[k].size() > limit) bytes[k].resize(static_cast<std::size_t>(limit));
    }
    const std::size_t common = std::min(bytes[0].size(), bytes[1].size());
    Output out(*ctx.out);
    std::uint64_t line = 1;
    bool differ = false;
    const std::size_t width = octal(255).size();
    const std::size_t offset_width = std::to_string(common).size();
    for (std::size_t i = 0; i < common; ++i) {
        const auto a = static_cast<unsigned char>(bytes[0][i]);
        const auto b = static_cast<unsigned char>(bytes[1][i]);
        if (a == b) {
            line += a == '\n';
            continue;
        }
        differ = true;
        if (silent) return 1;
        if (!verbose) {
            std::string text = ops[0] + " " + ops[1] + " differ: byte " + std::to_string(i + 1) +
                               ", line " + std::to_string(line);
            if (print_bytes)
                text += " is " + pad(octal(a), width) + " " + shown(a) + " " +
                        pad(octal(b), width) + " " + shown(b);
            out.put(text + "\n");
            return 1;
        }
        std::string text = pad(std::to_string(i + 1), offset_width) + " " + pad(octal(a), width);
        if (print_bytes) text += " " + shown(a);
        text += " " + pad(octal(b), width);
        if (print_bytes) text += " " + shown(b);
        out.put(text + "\n");
    }
    if (bytes[0].size() == bytes[1].size()) return differ ? 1 : 0;
    const int shorter = bytes[0].size() < bytes[1].size() ? 0 : 1;
    out.flush();
    if (!silent) {
        std::string text = "cmp: EOF on " + ops[static_cast<std::size_t>(shorter)];
        if (common == 0)
            text += " which is empty";
        else if (verbose)
            text += " after byte " + std::to_string(common);
        else
            text += " after byte " + std::to_string(common) +
                    (bytes[shorter].back() == '\n' ? ", line " + std::to_string(line - 1)
                                                   : ", in line " + std::to_string(line));
        write_text(*ctx.err, text + "\n");
    }
    return 1;
}

}  // namespace halvorn::agentsh::cmd
