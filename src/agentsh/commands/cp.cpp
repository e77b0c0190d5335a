// cp: files, and with -r (or -a) whole directories; -n keeps what exists.
// The tree keeps no owners or modes, so -a and -p add nothing but -r.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/file_ops.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"
#include "agentsh/commands/support/transfer.hpp"
#include "agentsh/commands/support/tree_walk.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kRecursive, kArchive, kNoClobber, kForce, kVerbose, kPreserve, kNoTargetDir,
          kTargetDir, kInteractive, kNoDeref, kDeref };
constexpr OptionDef kOptions[] = {
    {'r', "recursive", Arg::None, kRecursive},
    {'R', "", Arg::None, kRecursive},
    {'a', "archive", Arg::None, kArchive},
    {'n', "no-clobber", Arg::None, kNoClobber},
    {'f', "force", Arg::None, kForce},
    {'v', "verbose", Arg::None, kVerbose},
    {'p', "", Arg::None, kPreserve},
    {0, "preserve", Arg::Optional, kPreserve},
    {'T', "no-target-directory", Arg::None, kNoTargetDir},
    {'t', "target-directory", Arg::Required, kTargetDir},
    {'i', "interactive", Arg::None, kInteractive},
    {'P', "no-dereference", Arg::None, kNoDeref},
    {'L', "dereference", Arg::None, kDeref},
};

struct Copier {
    CommandContext& ctx;
    bool recursive = false, no_clobber = false, verbose = false;
    int status = 0;

    void fail(const std::string& what, const IoError& error) {
        report(ctx, "cp", what, error);
        status = 1;
    }

    void copy(const std::string& source, const std::string& dest) {
        if (stopped(ctx)) return;
        auto from = stat_operand(ctx, source);
        if (!from) return fail("cannot stat '" + source + "'", from.error());
        const std::string from_path = normalize(resolve(ctx, source));
        const std::string to_path = normalize(resolve(ctx, dest));
        auto to = ctx.fs->stat(to_path);
        if (from->is_directory) {
            if (!recursive) {
                write_text(*ctx.err, "cp: -r not specified; omitting directory '" + source + "'\n");
                status = 1;
                return;
            }
            if (is_within(from_path, to_path)) {
                write_text(*ctx.err, "cp: cannot copy a directory, '" + source +
                                         "', into itself, '" + dest + "'\n");
                status = 1;
                return;
            }
            if (to && !to->is_directory) {
                write_text(*ctx.err, "cp: cannot overwrite non-directory '" + dest +
                                         "' with directory '" + source + "'\n");
                status = 1;
                return;
            }
            if (!to) {
                Status made = ctx.fs->mkdir(to_path);
                if (!made) return fail("cannot create directory '" + dest + "'", made.error());
                if (verbose) write_text(*ctx.out, "'" + source + "' -> '" + dest + "'\n");
            }
            auto entries = sorted_entries(ctx, from_path);
            if (!entries) return fail("cannot access '" + source + "'", entries.error());
            for (const auto& entry : *entries)
                copy(join_shown(source, entry.name), join_shown(dest, entry.name));
            return;
        }
        if (to && to->id == from->id) {
            write_text(*ctx.err, "cp: '" + source + "' and '" + dest + "' are the same file\n");
            status = 1;
            return;
        }
        if (to && to->is_directory) {
            write_text(*ctx.err, "cp: cannot overwrite directory '" + dest +
                                     "' with non-directory\n");
            status = 1;
            return;
        }
        if (to && no_clobber) return;
        Status done = copy_file(ctx, from_path, to_path);
        if (!done) return fail("cannot create regular file '" + dest + "'", done.error());
        if (verbose) write_text(*ctx.out, "'" + source + "' -> '" + dest + "'\n");
    }
};

}  // namespace

int cp_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    Copier copier{ctx};
    bool no_target = false;
    for (const auto& o : args->options) {
        if (o.id == kRecursive || o.id == kArchive) copier.recursive = true;
        if (o.id == kNoClobber) copier.no_clobber = true;
        if (o.id == kForce || o.id == kInteractive) copier.no_clobber = false;
        copier.verbose |= o.id == kVerbose;
        no_target |= o.id == kNoTargetDir;
        if (o.id == kTargetDir) args->operands.push_back(o.value);
    }
    TransferPlan plan;
    if (!plan_transfer(ctx, "cp", args->operands, no_target, plan)) return 1;
    for (const auto& [source, dest] : plan.moves) copier.copy(source, dest);
    return stopped(ctx) ? 130 : copier.status;
}

}  // namespace halvorn::agentsh::cmd
