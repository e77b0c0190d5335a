// tee: the input to the output and to every file named (-a appends).
#include <memory>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kAppend, kIgnore };
constexpr OptionDef kOptions[] = {
    {'a', "append", Arg::None, kAppend},
    {'i', "ignore-interrupts", Arg::None, kIgnore},
    {'p', "", Arg::None, kIgnore},
};

}  // namespace

int tee_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool append = false;
    for (const auto& o : args->options) append |= o.id == kAppend;
    int status = 0;
    struct Target {
        std::string name;
        std::unique_ptr<FileOutput> sink;
    };
    std::vector<Target> targets;
    for (const auto& operand : args->operands) {
        auto sink = open_output(ctx, operand, append);
        if (!sink) {
            report(ctx, "tee", operand, sink.error());
            status = 1;
            continue;
        }
        targets.push_back({operand, std::move(*sink)});
    }
    std::string buffer(64 * 1024, '\0');
    bool out_open = true;
    for (;;) {
        if (stopped(ctx)) return 130;
        std::ptrdiff_t got = ctx.in ? ctx.in->read(std::span<char>(buffer.data(), buffer.size())) : 0;
        if (got < 0) return 1;
        if (got == 0) break;
        std::string_view chunk(buffer.data(), static_cast<std::size_t>(got));
        if (out_open && !ctx.out->write(chunk)) out_open = false;
        for (auto& t : targets) {
            if (!t.sink || t.sink->write(chunk)) continue;
            auto error = t.sink->last_error();
            report(ctx, "tee", t.name, error ? *error : IoError(IoError::InvalidFileDescriptor));
            t.sink.reset();
            status = 1;
        }
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
