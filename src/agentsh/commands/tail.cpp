// tail: the last lines (or bytes) of each input, or with +N everything from
// the Nth on. Following a file (-f) has no meaning without other writers
// running at once, so it is refused.
#include <deque>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/numbers.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kLines, kBytes, kQuiet, kVerbose, kNumber, kFollow, kZero };
constexpr OptionDef kOptions[] = {
    {'n', "lines", Arg::Required, kLines},  {'c', "bytes", Arg::Required, kBytes},
    {'q', "quiet", Arg::None, kQuiet},      {0, "silent", Arg::None, kQuiet},
    {'v', "verbose", Arg::None, kVerbose},  {'f', "follow", Arg::Optional, kFollow},
    {'F', "", Arg::None, kFollow},          {'z', "zero-terminated", Arg::None, kZero},
};

struct Plan {
    bool bytes = false, from_start = false;
    std::uint64_t count = 10;
    char eol = '\n';
};

bool tail_stream(ByteSource& source, Output& out, const Plan& plan) {
    Input input(source);
    if (plan.bytes) {
        // Only what may still be printed is kept: the last `count` bytes,
        // or nothing once the skipped start is behind.
        std::string kept, chunk(64 * 1024, '\0');
        std::uint64_t seen = 0;
        const std::uint64_t skip = plan.count > 0 ? plan.count - 1 : 0;
        for (;;) {
            std::ptrdiff_t got = source.read(std::span<char>(chunk.data(), chunk.size()));
            if (got < 0) return false;
            if (got == 0) break;
            std::string_view piece(chunk.data(), static_cast<std::size_t>(got));
            if (plan.from_start) {
                if (seen + piece.size() > skip) {
                    const std::size_t from = seen >= skip ? 0 : static_cast<std::size_t>(skip - seen);
                    if (!out.put(piece.substr(from))) return true;
                }
            } else {
                kept.append(piece);
                if (kept.size() > chunk.size() && kept.size() - chunk.size() > plan.count)
                    kept.erase(0, kept.size() - static_cast<std::size_t>(plan.count));
            }
            seen += piece.size();
        }
        if (!plan.from_start)
            out.put(plan.count < kept.size()
                        ? std::string_view(kept).substr(kept.size() - plan.count)
                        : std::string_view(kept));
        return true;
    }
    std::string line;
    if (plan.from_start) {
        std::uint64_t n = 0;
        while (input.next_line(line, plan.eol))
            if (++n >= plan.count && !out.put(line)) break;
        return !input.failed();
    }
    std::deque<std::string> kept;
    while (input.next_line(line, plan.eol)) {
        if (plan.count == 0) continue;
        kept.push_back(line);
        if (kept.size() > plan.count) kept.pop_front();
    }
    for (auto& l : kept)
        if (!out.put(l)) break;
    return !input.failed();
}

}  // namespace

int tail_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    ParseRules rules;
    rules.number_option = kNumber;
    auto args = parse_options(ctx, argv, kOptions, rules);
    if (!args) return 1;
    Plan plan;
    int headers = -1;
    for (const auto& o : args->options) {
        if (o.id == kQuiet) headers = 0;
        if (o.id == kVerbose) headers = 1;
        if (o.id == kZero) plan.eol = '\0';
        if (o.id == kFollow) {
            report(ctx, "tail", "", "following a file is not supported in this shell");
            return 1;
        }
        if (o.id != kLines && o.id != kBytes && o.id != kNumber) continue;
        plan.bytes = o.id == kBytes;
        std::string_view text = o.value;
        plan.from_start = !text.empty() && text[0] == '+';
        if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
        auto n = parse_size(text);
        if (!n) {
            report(ctx, "tail", "",
                   std::string(plan.bytes ? "invalid number of bytes: '"
                                          : "invalid number of lines: '") +
                       o.value + "'");
            return 1;
        }
        plan.count = *n;
    }
    const bool show = headers == 1 || (headers == -1 && args->operands.size() > 1);
    Output out(*ctx.out);
    return for_each_headed_input(ctx, "tail", args->operands, show, out,
                                 [&](ByteSource& source) { return tail_stream(source, out, plan); });
}

}  // namespace halvorn::agentsh::cmd
