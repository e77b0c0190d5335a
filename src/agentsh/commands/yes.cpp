// yes: its operands (or "y") line after line until the reader goes, a
// limit of the run is reached or the run is cancelled.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {

int yes_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, {}, {.stop_at_operand = true});
    if (!args) return 1;
    std::string line;
    for (const auto& word : args->operands) {
        if (!line.empty()) line += ' ';
        line += word;
    }
    if (args->operands.empty()) line = "y";
    line += '\n';
    // Whole lines in large writes: a reader such as head sees few calls.
    std::string block;
    while (block.size() < 16 * 1024)
        block += line;
    while (!stopped(ctx))
        if (!ctx.out->write(block)) return 1;
    return 130;
}

}  // namespace halvorn::agentsh::cmd
