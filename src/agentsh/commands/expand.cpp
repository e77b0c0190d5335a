// expand: tabs to spaces, every eight columns or at the -t stops (one
// number for a regular step, a list for fixed stops); -i only in the
// leading blanks of a line.
#include <cstdlib>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kInitial, kTabs };
constexpr OptionDef kOptions[] = {
    {'i', "initial", Arg::None, kInitial},
    {'t', "tabs", Arg::Required, kTabs},
};

bool parse_stops(std::string_view text, std::vector<std::size_t>& stops) {
    std::size_t value = 0;
    bool in_number = false;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : ',';
        if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<std::size_t>(c - '0');
            in_number = true;
        } else if (c == ',' || c == ' ') {
            if (in_number) {
                if (value == 0 || (!stops.empty() && value <= stops.back())) return false;
                stops.push_back(value);
            }
            value = 0;
            in_number = false;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int expand_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions, {.number_option = kTabs});
    if (!args) return 1;
    bool initial = false;
    std::vector<std::size_t> stops;
    for (const auto& o : args->options) {
        if (o.id == kInitial) initial = true;
        if (o.id == kTabs && !parse_stops(o.value, stops)) {
            write_text(*ctx.err,
                       "expand: tab size contains invalid character(s): " + quote(o.value) + "\n");
            return 1;
        }
    }
    const std::size_t step = stops.size() == 1 ? stops[0] : stops.empty() ? 8 : 0;
    auto next_stop = [&](std::size_t column) -> std::size_t {
        if (step) return column + step - column % step;
        for (std::size_t s : stops)
            if (s > column) return s;
        return column + 1;  // past the last stop a tab is one space
    };
    if (args->operands.empty()) args->operands.push_back("-");
    Output out(*ctx.out);
    int status = 0;
    std::string line, expanded;
    for (const auto& operand : args->operands) {
        auto source = open_input(ctx, operand);
        if (!source) {
            out.flush();
            report(ctx, "expand", quote(operand), source.error());
            status = 1;
            continue;
        }
        Input input(**source);
        while (input.next_line(line)) {
            expanded.clear();
            std::size_t column = 0;
            bool leading = true;
            for (char c : line) {
                if (c == '\t' && (leading || !initial)) {
                    const std::size_t to = next_stop(column);
                    expanded.append(to - column, ' ');
                    column = to;
                    continue;
                }
                if (c != ' ' && c != '\t') leading = false;
                expanded += c;
                if (c == '\b')
                    column = column > 0 ? column - 1 : 0;
                else
                    ++column;
            }
            if (!out.put(expanded)) return 1;
        }
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
