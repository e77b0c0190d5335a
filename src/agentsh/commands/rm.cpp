// rm: files, with -r whole directories, with -d empty ones; -f forgives a
// missing name and asks nothing. The root and "." / ".." are refused as
// GNU refuses them.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/file_ops.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kRecursive, kForce, kDir, kVerbose, kInteractive, kNoPreserve, kPreserve };
constexpr OptionDef kOptions[] = {
    {'r', "recursive", Arg::None, kRecursive},
    {'R', "", Arg::None, kRecursive},
    {'f', "force", Arg::None, kForce},
    {'d', "dir", Arg::None, kDir},
    {'v', "verbose", Arg::None, kVerbose},
    {'i', "", Arg::None, kInteractive},
    {0, "no-preserve-root", Arg::None, kNoPreserve},
    {0, "preserve-root", Arg::None, kPreserve},
};

}  // namespace

int rm_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool recursive = false, force = false, dir = false, verbose = false;
    for (const auto& o : args->options) {
        recursive |= o.id == kRecursive;
        dir |= o.id == kDir;
        verbose |= o.id == kVerbose;
        if (o.id == kForce) force = true;
        if (o.id == kInteractive) force = false;
    }
    if (args->operands.empty()) {
        if (force) return 0;
        usage_error(ctx, "rm", "missing operand");
        return 1;
    }
    int status = 0;
    for (const auto& operand : args->operands) {
        if (stopped(ctx)) return 130;
        const std::string last = last_component(operand);
        if (last == "." || last == "..") {
            write_text(*ctx.err, "rm: refusing to remove '.' or '..' directory: skipping '" +
                                     operand + "'\n");
            status = 1;
            continue;
        }
        const std::string path = normalize(resolve(ctx, operand));
        auto node = stat_operand(ctx, operand);
        if (!node) {
            if (!(force && node.error().kind() == IoError::InodeNotFound)) {
                report(ctx, "rm", "cannot remove '" + operand + "'", node.error());
                status = 1;
            }
            continue;
        }
        if (node->is_directory) {
            if (recursive && path == "/") {
                write_text(*ctx.err,
                           "rm: it is dangerous to operate recursively on '/'\n"
                           "rm: use --no-preserve-root to override this failsafe\n");
                status = 1;
                continue;
            }
            if (!recursive && !dir) {
                report(ctx, "rm", "cannot remove '" + operand + "'", "Is a directory");
                status = 1;
                continue;
            }
        }
        Status done = ctx.fs->rm(path, recursive);
        if (!done) {
            report(ctx, "rm", "cannot remove '" + operand + "'", done.error());
            status = 1;
            continue;
        }
        if (verbose)
            write_text(*ctx.out, (node->is_directory ? "removed directory '" : "removed '") +
                                     operand + "'\n");
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
