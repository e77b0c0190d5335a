// head: the first lines (or bytes) of each input; a negative count means
// all but the last ones.
#include <deque>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/numbers.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kLines, kBytes, kQuiet, kVerbose, kNumber, kZero };
constexpr OptionDef kOptions[] = {
    {'n', "lines", Arg::Required, kLines},  {'c', "bytes", Arg::Required, kBytes},
    {'q', "quiet", Arg::None, kQuiet},      {0, "silent", Arg::None, kQuiet},
    {'v', "verbose", Arg::None, kVerbose},  {'z', "zero-terminated", Arg::None, kZero},
};

struct Plan {
    bool bytes = false, all_but = false;
    std::uint64_t count = 10;
    char eol = '\n';
};

bool head_stream(ByteSource& source, Output& out, const Plan& plan) {
    Input input(source);
    if (plan.bytes) {
        std::string all;
        if (!plan.all_but) {
            std::string chunk(64 * 1024, '\0');
            std::uint64_t left = plan.count;
            while (left > 0) {
                std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
                std::ptrdiff_t got = source.read(std::span<char>(chunk.data(), want));
                if (got <= 0) return got == 0;
                out.put(std::string_view(chunk.data(), static_cast<std::size_t>(got)));
                left -= static_cast<std::uint64_t>(got);
            }
            return true;
        }
        bool ok = input.read_all(all);
        if (all.size() > plan.count) out.put(std::string_view(all).substr(0, all.size() - plan.count));
        return ok;
    }
    std::string line;
    if (!plan.all_but) {
        for (std::uint64_t n = 0; n < plan.count && input.next_line(line, plan.eol); ++n)
            if (!out.put(line)) break;
        return !input.failed();
    }
    std::deque<std::string> held;
    while (input.next_line(line, plan.eol)) {
        held.push_back(line);
        if (held.size() > plan.count) {
            if (!out.put(held.front())) break;
            held.pop_front();
        }
    }
    return !input.failed();
}

}  // namespace

int head_main(CommandContext& ctx, const std::vector<std::string>& argv) {
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
        if (o.id != kLines && o.id != kBytes && o.id != kNumber) continue;
        plan.bytes = o.id == kBytes;
        std::string_view text = o.value;
        plan.all_but = !text.empty() && text[0] == '-';
        if (plan.all_but || (!text.empty() && text[0] == '+')) text.remove_prefix(1);
        auto n = parse_size(text);
        if (!n) {
            report(ctx, "head", "",
                   std::string(plan.bytes ? "invalid number of bytes: '"
                                          : "invalid number of lines: '") +
                       o.value + "'");
            return 1;
        }
        plan.count = *n;
    }
    const bool show = headers == 1 || (headers == -1 && args->operands.size() > 1);
    Output out(*ctx.out);
    return for_each_headed_input(ctx, "head", args->operands, show, out,
                                 [&](ByteSource& source) { return head_stream(source, out, plan); });
}

}  // namespace halvorn::agentsh::cmd
