// touch: creates missing files (unless -c) and marks existing ones changed
// now. The tree keeps one time per node, so -a and -m both set it.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/file_ops.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kNoCreate, kAccess, kModify, kDate, kReference, kStamp };
constexpr OptionDef kOptions[] = {
    {'c', "no-create", Arg::None, kNoCreate},
    {'a', "", Arg::None, kAccess},
    {'m', "", Arg::None, kModify},
    {'d', "date", Arg::Required, kDate},
    {'r', "reference", Arg::Required, kReference},
    {'t', "", Arg::Required, kStamp},
};

}  // namespace

int touch_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool no_create = false;
    for (const auto& o : args->options) no_create |= o.id == kNoCreate;
    if (args->operands.empty()) {
        usage_error(ctx, "touch", "missing file operand");
        return 1;
    }
    int status = 0;
    for (const auto& operand : args->operands) {
        if (stopped(ctx)) return 130;
        if (operand == "-" || operand.starts_with("/dev/")) continue;
        const std::string path = resolve(ctx, operand);
        auto node = stat_operand(ctx, operand);
        Status done;
        if (node) {
            done = touch_node(ctx, path);
        } else if (node.error().kind() != IoError::InodeNotFound) {
            done = node.error();
        } else if (!no_create) {
            done = operand.ends_with('/') ? Status(IoError::NotADirectory) : ctx.fs->touch(path);
        }
        if (!done) {
            report(ctx, "touch", "cannot touch '" + operand + "'", done.error());
            status = 1;
        }
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
