// wc: lines, words, characters and bytes, in GNU's columns: every count is
// as wide as the total size of the regular files named (at least 7 when an
// input is not a regular file), except a lone count of a lone input.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kLines, kWords, kChars, kBytes, kMaxLine };
constexpr OptionDef kOptions[] = {
    {'l', "lines", Arg::None, kLines}, {'w', "words", Arg::None, kWords},
    {'m', "chars", Arg::None, kChars}, {'c', "bytes", Arg::None, kBytes},
    {'L', "max-line-length", Arg::None, kMaxLine},
};

struct Counts {
    std::uint64_t lines = 0, words = 0, chars = 0, bytes = 0, max_line = 0;
};

bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool count_stream(ByteSource& source, Counts& counts) {
    std::string buffer(64 * 1024, '\0');
    bool in_word = false;
    std::uint64_t column = 0;
    for (;;) {
        std::ptrdiff_t got = source.read(std::span<char>(buffer.data(), buffer.size()));
        if (got <= 0) return got == 0;
        counts.bytes += static_cast<std::uint64_t>(got);
        for (std::ptrdiff_t i = 0; i < got; ++i) {
            const unsigned char c = static_cast<unsigned char>(buffer[static_cast<std::size_t>(i)]);
            if ((c & 0xC0) != 0x80) ++counts.chars;
            if (c == '\n') {
                ++counts.lines;
                counts.max_line = std::max(counts.max_line, column);
                column = 0;
            } else if (c == '\t') {
                column = (column / 8 + 1) * 8;
            } else if ((c & 0xC0) != 0x80 && (c >= 0x20 || c >= 0x80) && c != 0x7f) {
                ++column;
            }
            if (is_space(c)) {
                in_word = false;
            } else if (!in_word) {
                in_word = true;
                ++counts.words;
            }
        }
        counts.max_line = std::max(counts.max_line, column);
    }
}

}  // namespace

int wc_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool lines = false, words = false, chars = false, bytes = false, max_line = false;
    for (const auto& o : args->options) {
        lines |= o.id == kLines;
        words |= o.id == kWords;
        chars |= o.id == kChars;
        bytes |= o.id == kBytes;
        max_line |= o.id == kMaxLine;
    }
    if (!(lines || words || chars || bytes || max_line)) lines = words = bytes = true;
    const bool from_input = args->operands.empty();
    if (from_input) args->operands.push_back("-");
    const int kinds = lines + words + chars + bytes + max_line;

    // The width, from what the inputs are before any is read.
    int width = 1;
    if (!(kinds == 1 && args->operands.size() == 1)) {
        std::uint64_t total = 0;
        int minimum = 1;
        for (const auto& operand : args->operands) {
            if (operand == "-" || operand.starts_with("/dev/")) {
                minimum = 7;
                continue;
            }
            auto status = stat_operand(ctx, operand);
            if (!status) continue;
            if (status->is_directory) minimum = 7;
            else total += status->size;
        }
        for (; total >= 10; total /= 10) ++width;
        width = std::max(width, minimum);
    }
    Output out(*ctx.out);
    auto print = [&](const Counts& c, const std::string& name) {
        std::string line;
        auto column = [&](std::uint64_t v) {
            std::string n = std::to_string(v);
            if (!line.empty()) line += ' ';
            if (n.size() < static_cast<std::size_t>(width)) line.append(width - n.size(), ' ');
            line += n;
        };
        if (lines) column(c.lines);
        if (words) column(c.words);
        if (chars) column(c.chars);
        if (bytes) column(c.bytes);
        if (max_line) column(c.max_line);
        if (!name.empty()) line += ' ' + name;
        line += '\n';
        out.put(line);
    };
    Counts total;
    int status = 0;
    for (const auto& operand : args->operands) {
        if (stopped(ctx)) return 130;
        Counts counts;
        auto source = open_input(ctx, operand);
        if (!source) {
            out.flush();
            report(ctx, "wc", quote(operand), source.error());
            if (source.error().kind() == IoError::NotAFile) print(counts, operand);
            status = 1;
            continue;
        }
        if (!count_stream(**source, counts)) status = 1;
        print(counts, from_input ? "" : operand);
        total.lines += counts.lines;
        total.words += counts.words;
        total.chars += counts.chars;
        total.bytes += counts.bytes;
        total.max_line = std::max(total.max_line, counts.max_line);
    }
    if (args->operands.size() > 1) print(total, "total");
    return status;
}

}  // namespace halvorn::agentsh::cmd
