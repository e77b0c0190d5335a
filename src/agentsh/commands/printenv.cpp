// printenv: the exported variables, or the values of those named (status 1
// when one is not set).
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {

int printenv_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    constexpr OptionDef kOptions[] = {{'0', "null", Arg::None, 0}};
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 2;
    const char end = args->options.empty() ? '\n' : '\0';
    static const Environment kNone;
    const Environment& env = ctx.env ? *ctx.env : kNone;
    Output out(*ctx.out);
    if (args->operands.empty()) {
        for (const auto& [name, value] : env) {
            out.put(name + "=" + value);
            out.put(end);
        }
        return 0;
    }
    int status = 0;
    for (const auto& name : args->operands) {
        bool found = false;
        for (const auto& [key, value] : env) {
            if (key != name || name.find('=') != std::string::npos) continue;
            out.put(value);
            out.put(end);
            found = true;
        }
        if (!found) status = 1;
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
