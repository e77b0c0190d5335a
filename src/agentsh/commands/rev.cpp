// rev: each line's characters in reverse order. UTF-8 sequences stay whole
// (the shell's locale is UTF-8); a byte that starts no valid sequence is a
// character of its own.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

constexpr OptionDef kOptions[] = {{'0', "zero", Arg::None, 0}};

// Bytes in the UTF-8 sequence starting at `at`, 1 when it is not valid.
std::size_t sequence_length(std::string_view s, std::size_t at) {
    const auto c = static_cast<unsigned char>(s[at]);
    const std::size_t n = c < 0x80         ? 1
                          : (c >> 5) == 6  ? 2
                          : (c >> 4) == 14 ? 3
                          : (c >> 3) == 30 ? 4
                                           : 1;
    if (at + n > s.size()) return 1;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[at + k]) & 0xc0) != 0x80) return 1;
    return n;
}

}  // namespace

int rev_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    const char delimiter = args->options.empty() ? '\n' : '\0';
    if (args->operands.empty()) args->operands.push_back("-");
    Output out(*ctx.out);
    int status = 0;
    std::string line, reversed;
    for (const auto& operand : args->operands) {
        auto source = open_input(ctx, operand);
        if (!source) {
            out.flush();
            report(ctx, "rev", "cannot open " + operand, source.error());
            status = 1;
            continue;
        }
        Input input(**source);
        while (input.next_line(line, delimiter)) {
            const bool ended = line.back() == delimiter;
            std::string_view body(line.data(), line.size() - (ended ? 1 : 0));
            reversed.assign(body.size(), '\0');
            std::size_t put = body.size();
            for (std::size_t at = 0; at < body.size();) {
                const std::size_t n = sequence_length(body, at);
                put -= n;
                body.copy(reversed.data() + put, n, at);
                at += n;
            }
            if (ended) reversed += delimiter;
            if (!out.put(reversed)) return 1;
        }
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
