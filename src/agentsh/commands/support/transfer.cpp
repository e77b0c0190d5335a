#include "agentsh/commands/support/transfer.hpp"

#include "agentsh/commands/support/file_ops.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {

bool plan_transfer(CommandContext& ctx, std::string_view name, std::vector<std::string> operands,
                   bool no_target_directory, TransferPlan& plan) {
    if (operands.empty()) {
        usage_error(ctx, name, "missing file operand");
        return false;
    }
    if (operands.size() == 1) {
        usage_error(ctx, name, "missing destination file operand after '" + operands[0] + "'");
        return false;
    }
    const std::string dest = operands.back();
    operands.pop_back();
    auto target = stat_operand(ctx, dest);
    const bool into = !no_target_directory && target && target->is_directory;
    if (!into && operands.size() > 1) {
        std::string text(name);
        text += ": target '" + dest + "' is not a directory\n";
        write_text(*ctx.err, text);
        return false;
    }
    for (auto& source : operands) {
        if (into) {
            std::string joined = dest;
            if (joined.back() != '/') joined += '/';
            joined += last_component(source);
            plan.moves.emplace_back(source, joined);
        } else {
            plan.moves.emplace_back(source, dest);
        }
    }
    return true;
}

}  // namespace halvorn::agentsh::cmd
