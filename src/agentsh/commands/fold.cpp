// fold: lines broken to at most -w columns (80), at the last blank with
// -s, counting bytes with -b; a tab moves to the next multiple of eight,
// a backspace back one column and a carriage return to the start.
#include <cstdlib>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kBytes, kSpaces, kWidth };
constexpr OptionDef kOptions[] = {
    {'b', "bytes", Arg::None, kBytes},
    {'s', "spaces", Arg::None, kSpaces},
    {'w', "width", Arg::Required, kWidth},
};

std::size_t advance(std::size_t column, char c, bool bytes) {
    if (bytes) return column + 1;
    if (c == '\b') return column > 0 ? column - 1 : 0;
    if (c == '\r') return 0;
    if (c == '\t') return column + 8 - column % 8;
    return column + 1;
}

}  // namespace

int fold_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions, {.number_option = kWidth});
    if (!args) return 1;
    bool bytes = false, spaces = false;
    std::size_t width = 80;
    for (const auto& o : args->options) {
        if (o.id == kBytes) bytes = true;
        if (o.id == kSpaces) spaces = true;
        if (o.id == kWidth) {
            char* end = nullptr;
            long long w = std::strtoll(o.value.c_str(), &end, 10);
            if (o.value.empty() || *end != '\0' || w <= 0) {
                write_text(*ctx.err, "fold: invalid number of columns: " + quote(o.value) + "\n");
                return 1;
            }
            width = static_cast<std::size_t>(w);
        }
    }
    if (args->operands.empty()) args->operands.push_back("-");
    Output out(*ctx.out);
    int status = 0;
    std::string line;
    for (const auto& operand : args->operands) {
        auto source = open_input(ctx, operand);
        if (!source) {
            out.flush();
            report(ctx, "fold", quote(operand), source.error());
            status = 1;
            continue;
        }
        Input input(**source);
        while (input.next_line(line)) {
            std::string pending;  // the current output line so far
            std::size_t column = 0;
            for (char c : line) {
                if (c == '\n') {
                    pending += c;
                    break;
                }
                std::size_t next = advance(column, c, bytes);
                if (next > width && !pending.empty()) {
                    std::size_t blank = spaces ? pending.find_last_of(" \t") : std::string::npos;
                    if (blank != std::string::npos) {
                        // Break after the blank; what follows starts the next line.
                        std::string rest = pending.substr(blank + 1);
                        pending.resize(blank + 1);
                        out.put(pending);
                        out.put('\n');
                        pending = rest;
                        column = 0;
                        for (char r : pending)
                            column = advance(column, r, bytes);
                    } else {
                        out.put(pending);
                        out.put('\n');
                        pending.clear();
                        column = 0;
                    }
                    next = advance(column, c, bytes);
                }
                pending += c;
                column = next;
            }
            if (!out.put(pending)) return 1;
        }
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
