// rmdir: empty directories only; -p removes the emptied parents too.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kParents, kVerbose, kIgnore };
constexpr OptionDef kOptions[] = {
    {'p', "parents", Arg::None, kParents},
    {'v', "verbose", Arg::None, kVerbose},
    {0, "ignore-fail-on-non-empty", Arg::None, kIgnore},
};

}  // namespace

int rmdir_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool parents = false, verbose = false, ignore = false;
    for (const auto& o : args->options) {
        parents |= o.id == kParents;
        verbose |= o.id == kVerbose;
        ignore |= o.id == kIgnore;
    }
    if (args->operands.empty()) {
        usage_error(ctx, "rmdir", "missing operand");
        return 1;
    }
    int status = 0;
    for (std::string operand : args->operands) {
        for (;;) {
            auto node = stat_operand(ctx, operand);
            Status done = !node                 ? Status(node.error())
                          : !node->is_directory ? Status(IoError::NotADirectory)
                                                : ctx.fs->rm(resolve(ctx, operand), false);
            if (!done) {
                if (!(ignore && done.error().kind() == IoError::DirectoryIsNotEmpty)) {
                    report(ctx, "rmdir", "failed to remove '" + operand + "'", done.error());
                    status = 1;
                }
                break;
            }
            if (verbose) write_text(*ctx.out, "rmdir: removing directory, '" + operand + "'\n");
            if (!parents) break;
            while (!operand.empty() && operand.back() == '/') operand.pop_back();
            std::size_t slash = operand.rfind('/');
            if (slash == std::string::npos || slash == 0) break;
            operand.resize(slash);
        }
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
