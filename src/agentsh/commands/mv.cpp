// mv: renames within the tree, each one step of the core (an entry is
// never found under both names, nor under neither).
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/file_ops.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"
#include "agentsh/commands/support/transfer.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kForce, kNoClobber, kVerbose, kInteractive, kNoTargetDir, kTargetDir };
constexpr OptionDef kOptions[] = {
    {'f', "force", Arg::None, kForce},
    {'n', "no-clobber", Arg::None, kNoClobber},
    {'v', "verbose", Arg::None, kVerbose},
    {'i', "interactive", Arg::None, kInteractive},
    {'T', "no-target-directory", Arg::None, kNoTargetDir},
    {'t', "target-directory", Arg::Required, kTargetDir},
};

}  // namespace

int mv_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool no_clobber = false, verbose = false, no_target = false;
    for (const auto& o : args->options) {
        if (o.id == kNoClobber) no_clobber = true;
        if (o.id == kForce) no_clobber = false;
        verbose |= o.id == kVerbose;
        no_target |= o.id == kNoTargetDir;
        if (o.id == kTargetDir) args->operands.push_back(o.value);
    }
    TransferPlan plan;
    if (!plan_transfer(ctx, "mv", args->operands, no_target, plan)) return 1;
    int status = 0;
    for (const auto& [source, dest] : plan.moves) {
        if (stopped(ctx)) return 130;
        auto from = stat_operand(ctx, source);
        if (!from) {
            report(ctx, "mv", "cannot stat '" + source + "'", from.error());
            status = 1;
            continue;
        }
        const std::string from_path = normalize(resolve(ctx, source));
        const std::string to_path = normalize(resolve(ctx, dest));
        auto to = ctx.fs->stat(to_path);
        if (to && to->id == from->id) {
            write_text(*ctx.err, "mv: '" + source + "' and '" + dest + "' are the same file\n");
            status = 1;
            continue;
        }
        if (from->is_directory && is_within(from_path, to_path)) {
            write_text(*ctx.err, "mv: cannot move '" + source + "' to a subdirectory of itself, '" +
                                     dest + "'\n");
            status = 1;
            continue;
        }
        if (to) {
            if (no_clobber) continue;
            if (from->is_directory && !to->is_directory) {
                write_text(*ctx.err, "mv: cannot overwrite non-directory '" + dest +
                                         "' with directory '" + source + "'\n");
                status = 1;
                continue;
            }
            if (!from->is_directory && to->is_directory) {
                write_text(*ctx.err, "mv: cannot overwrite directory '" + dest +
                                         "' with non-directory\n");
                status = 1;
                continue;
            }
        }
        Status done = ctx.fs->rename(from_path, to_path);
        if (!done) {
            report(ctx, "mv", "cannot move '" + source + "' to '" + dest + "'", done.error());
            status = 1;
            continue;
        }
        if (verbose) write_text(*ctx.out, "renamed '" + source + "' -> '" + dest + "'\n");
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
