// env: the environment printed, or a command run with it changed (-i
// empties it, -u NAME drops a variable, NAME=VALUE sets one). A utility of
// the table sees the changed variables; a builtin of the language is run by
// the shell with its own.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/file_ops.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kIgnore, kUnset, kNull, kChdir };
constexpr OptionDef kOptions[] = {
    {'i', "ignore-environment", Arg::None, kIgnore},
    {'u', "unset", Arg::Required, kUnset},
    {'0', "null", Arg::None, kNull},
    {'C', "chdir", Arg::Required, kChdir},
};

void set_variable(Environment& env, const std::string& name, const std::string& value) {
    for (auto& entry : env) {
        if (entry.first == name) {
            entry.second = value;
            return;
        }
    }
    env.emplace_back(name, value);
}

}  // namespace

int env_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    // A lone "-" is -i, as in POSIX.
    std::vector<std::string> words(argv);
    for (std::size_t i = 1; i < words.size() && words[i].starts_with('-') && words[i] != "--"; ++i)
        if (words[i] == "-") words[i] = "-i";
    auto args = parse_options(ctx, words, kOptions, {.stop_at_operand = true});
    if (!args) return 125;
    Environment env = ctx.env ? *ctx.env : Environment{};
    char end = '\n';
    std::string directory;
    for (const auto& o : args->options) {
        if (o.id == kIgnore) env.clear();
        if (o.id == kNull) end = '\0';
        if (o.id == kChdir) directory = o.value;
        if (o.id == kUnset) {
            if (o.value.empty() || o.value.find('=') != std::string::npos) {
                write_text(*ctx.err,
                           "env: cannot unset " + quote(o.value) + ": Invalid argument\n");
                return 125;
            }
            std::erase_if(env, [&](const auto& entry) { return entry.first == o.value; });
        }
    }
    std::size_t i = 0;
    auto& ops = args->operands;
    for (; i < ops.size(); ++i) {
        const std::size_t eq = ops[i].find('=');
        if (eq == std::string::npos || eq == 0) break;
        set_variable(env, ops[i].substr(0, eq), ops[i].substr(eq + 1));
    }
    if (i == ops.size()) {
        if (!directory.empty()) {
            usage_error(ctx, "env", "must specify command with --chdir (-C)");
            return 125;
        }
        Output out(*ctx.out);
        for (const auto& [name, value] : env) {
            out.put(name + "=" + value);
            out.put(end);
        }
        return 0;
    }
    std::vector<std::string> command(ops.begin() + static_cast<std::ptrdiff_t>(i), ops.end());
    CommandContext inner = ctx;
    inner.env = &env;
    if (!directory.empty()) {
        auto node = stat_operand(ctx, directory);
        if (!node || !node->is_directory) {
            report(ctx, "env", "cannot change directory to " + quote(directory),
                   node ? IoError(IoError::NotADirectory) : node.error());
            return 125;
        }
        inner.cwd = normalize(resolve(ctx, directory));
    }
    if (CommandFunction utility = find_command(command[0])) return utility(inner, command);
    if (!ctx.run) {
        report(ctx, "env", quote(command[0]), "No such file or directory");
        return 127;
    }
    return ctx.run(command, *ctx.in, *ctx.out, *ctx.err);
}

}  // namespace halvorn::agentsh::cmd
