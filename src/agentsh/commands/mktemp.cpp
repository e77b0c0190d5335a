// mktemp: a new file (or -d directory) with the template's trailing X's
// replaced by random letters and digits, under -p DIR, $TMPDIR or /tmp when
// the template has no directory (or with -t). /tmp is made in the tree when
// missing, since a fresh tree has none and scripts expect it. -u only
// prints a name.
#include <random>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kDirectory, kDryRun, kQuiet, kSuffix, kTmpdir, kT };
constexpr OptionDef kOptions[] = {
    {'d', "directory", Arg::None, kDirectory}, {'u', "dry-run", Arg::None, kDryRun},
    {'q', "quiet", Arg::None, kQuiet},         {0, "suffix", Arg::Required, kSuffix},
    {'p', "tmpdir", Arg::Optional, kTmpdir},   {'t', "", Arg::None, kT},
};

std::string environment_value(const CommandContext& ctx, std::string_view name) {
    if (!ctx.env) return {};
    for (const auto& [key, value] : *ctx.env)
        if (key == name) return value;
    return {};
}

}  // namespace

int mktemp_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool directory = false, dry_run = false, quiet = false, use_tmpdir = false, t = false;
    std::string tmpdir, suffix;
    bool has_suffix = false;
    for (const auto& o : args->options) {
        if (o.id == kDirectory) directory = true;
        if (o.id == kDryRun) dry_run = true;
        if (o.id == kQuiet) quiet = true;
        if (o.id == kSuffix) suffix = o.value, has_suffix = true;
        if (o.id == kTmpdir) use_tmpdir = true, tmpdir = o.value;
        if (o.id == kT) t = true;
    }
    auto fail = [&](const std::string& text) {
        if (!quiet) write_text(*ctx.err, "mktemp: " + text + "\n");
        return 1;
    };
    if (args->operands.size() > 1) {
        usage_error(ctx, "mktemp", "too many templates");
        return 1;
    }
    std::string template_name = args->operands.empty() ? "tmp.XXXXXXXXXX" : args->operands[0];
    if (args->operands.empty()) use_tmpdir = true;
    // A template with X's followed by other text has that text as its suffix.
    if (!has_suffix) {
        std::size_t last_x = template_name.find_last_of('X');
        if (last_x != std::string::npos && last_x + 1 < template_name.size() &&
            template_name.find('/', last_x) == std::string::npos) {
            suffix = template_name.substr(last_x + 1);
            template_name.resize(last_x + 1);
        }
    } else if (suffix.find('/') != std::string::npos) {
        return fail("invalid suffix " + quote(suffix) + ", contains directory separator");
    } else if (!template_name.ends_with('X')) {
        return fail("with --suffix, template " + quote(template_name) + " must end in X");
    }
    std::size_t xs = 0;
    while (xs < template_name.size() && template_name[template_name.size() - 1 - xs] == 'X')
        ++xs;
    if (xs < 3) return fail("too few X's in template " + quote(template_name + suffix));
    if (use_tmpdir || t) {
        if (template_name.find('/') != std::string::npos)
            return fail("invalid template, " + quote(template_name) +
                        ", contains directory separator");
        if (tmpdir.empty()) tmpdir = environment_value(ctx, "TMPDIR");
        if (tmpdir.empty()) {
            tmpdir = "/tmp";
            if (!dry_run && !ctx.fs->stat("/tmp")) (void)ctx.fs->mkdir("/tmp");
        }
        template_name = (tmpdir.ends_with('/') ? tmpdir : tmpdir + "/") + template_name;
    }
    static constexpr std::string_view kLetters =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::mt19937_64 random(static_cast<std::uint64_t>(ctx.now_ns) ^ std::random_device{}());
    Status made = IoError::ResourceAlreadyExists;
    std::string name;
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = template_name;
        for (std::size_t k = name.size() - xs; k < name.size(); ++k)
            name[k] = kLetters[random() % kLetters.size()];
        name += suffix;
        if (dry_run) {
            made = Status{};
            break;
        }
        const std::string path = resolve(ctx, name);
        if (directory) {
            made = ctx.fs->mkdir(path);
        } else {
            auto handle = FileSystem::open(ctx.fs, path, FileHandleType(FileHandleType::WRITE),
                                           Creation::Exclusive);
            made = handle ? Status{} : Status(handle.error());
        }
        if (made || made.error().kind() != IoError::ResourceAlreadyExists) break;
    }
    if (!made) {
        std::string shown = template_name + suffix;
        return fail(std::string("failed to create ") + (directory ? "directory" : "file") +
                    " via template " + quote(shown) + ": " + std::string(error_text(made.error())));
    }
    return write_text(*ctx.out, name + "\n") ? 0 : 1;
}

}  // namespace halvorn::agentsh::cmd
