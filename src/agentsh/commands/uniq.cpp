// uniq: adjacent equal lines once (-c counted, -d only repeated ones, -u
// only lone ones), compared after skipping fields (-f) and characters (-s),
// up to -w characters, case folded with -i.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kCount, kRepeated, kUnique, kIgnoreCase, kFields, kChars, kWidth, kZero, kAllRepeated };
constexpr OptionDef kOptions[] = {
    {'c', "count", Arg::None, kCount},          {'d', "repeated", Arg::None, kRepeated},
    {'u', "unique", Arg::None, kUnique},        {'i', "ignore-case", Arg::None, kIgnoreCase},
    {'f', "skip-fields", Arg::Required, kFields}, {'s', "skip-chars", Arg::Required, kChars},
    {'w', "check-chars", Arg::Required, kWidth},  {'z', "zero-terminated", Arg::None, kZero},
    {'D', "all-repeated", Arg::Optional, kAllRepeated},
};

}  // namespace

int uniq_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool count = false, repeated = false, lone = false, icase = false, all_repeated = false;
    std::size_t skip_fields = 0, skip_chars = 0, width = std::string::npos;
    char eol = '\n';
    for (const auto& o : args->options) {
        auto number = [&](std::size_t& v, std::string_view what) {
            char* end = nullptr;
            long long n = std::strtoll(o.value.c_str(), &end, 10);
            if (o.value.empty() || *end || n < 0) {
                report(ctx, "uniq", o.value, std::string("invalid number of ") + std::string(what) +
                                                 " to skip");
                return false;
            }
            v = static_cast<std::size_t>(n);
            return true;
        };
        switch (o.id) {
            case kCount: count = true; break;
            case kRepeated: repeated = true; break;
            case kUnique: lone = true; break;
            case kIgnoreCase: icase = true; break;
            case kZero: eol = '\0'; break;
            case kAllRepeated: all_repeated = repeated = true; break;
            case kFields: if (!number(skip_fields, "fields")) return 1; break;
            case kChars: if (!number(skip_chars, "bytes")) return 1; break;
            case kWidth: if (!number(width, "bytes")) return 1; break;
            default: break;
        }
    }
    if (args->operands.size() > 2) {
        usage_error(ctx, "uniq", "extra operand '" + args->operands[2] + "'");
        return 1;
    }
    const std::string in_name = args->operands.empty() ? "-" : args->operands[0];
    auto source = open_input(ctx, in_name);
    if (!source) {
        report(ctx, "uniq", in_name, source.error());
        return 1;
    }
    std::unique_ptr<FileOutput> file_out;
    ByteSink* sink = ctx.out;
    if (args->operands.size() == 2) {
        auto opened = open_output(ctx, args->operands[1], false);
        if (!opened) {
            report(ctx, "uniq", args->operands[1], opened.error());
            return 1;
        }
        file_out = std::move(*opened);
        sink = file_out.get();
    }
    auto key = [&](std::string_view line) {
        std::size_t i = 0;
        for (std::size_t f = 0; f < skip_fields; ++f) {
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        }
        i = std::min(line.size(), i + skip_chars);
        return line.substr(i, width);
    };
    auto same = [&](std::string_view a, std::string_view b) {
        a = key(a);
        b = key(b);
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            char x = a[i], y = b[i];
            if (icase) {
                if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
                if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
            }
            if (x != y) return false;
        }
        return true;
    };
    Output out(*sink);
    Input input(**source);
    std::string line, held;
    std::uint64_t run = 0;
    bool have = false;
    auto emit = [&]() {
        if (!have) return;
        if (all_repeated) return;
        if ((repeated && run < 2) || (lone && run > 1)) return;
        if (count) {
            std::string n = std::to_string(run);
            if (n.size() < 7) out.put(std::string(7 - n.size(), ' '));
            out.put(n);
            out.put(' ');
        }
        out.put(held);
        out.put(eol);
    };
    std::vector<std::string> group;
    auto emit_group = [&]() {
        if (all_repeated && group.size() > 1)
            for (auto& g : group) {
                out.put(g);
                out.put(eol);
            }
        group.clear();
    };
    std::uint64_t n = 0;
    while (input.next_line(line, eol)) {
        if (++n % 4096 == 0 && stopped(ctx)) return 130;
        if (line.back() == eol) line.pop_back();
        if (have && same(held, line)) {
            ++run;
            if (all_repeated) group.push_back(line);
            continue;
        }
        emit();
        emit_group();
        held = line;
        run = 1;
        have = true;
        if (all_repeated) group.push_back(line);
    }
    emit();
    emit_group();
    return 0;
}

}  // namespace halvorn::agentsh::cmd
