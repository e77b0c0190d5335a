// comm: lines only in the first sorted file, only in the second, and in
// both, in three columns (-1, -2, -3 leave one out). Lines compare by their
// bytes, which is the order of the shell's UTF-8 locale. A file found out
// of order once an unpairable line was seen is named, and the status is 1.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kNo1, kNo2, kNo3, kCheck, kNoCheck, kDelimiter, kZero, kTotal };
constexpr OptionDef kOptions[] = {
    {'1', "", Arg::None, kNo1},
    {'2', "", Arg::None, kNo2},
    {'3', "", Arg::None, kNo3},
    {0, "check-order", Arg::None, kCheck},
    {0, "nocheck-order", Arg::None, kNoCheck},
    {0, "output-delimiter", Arg::Required, kDelimiter},
    {'z', "zero-terminated", Arg::None, kZero},
    {0, "total", Arg::None, kTotal},
};

}  // namespace

int comm_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool show[3] = {true, true, true};
    int check = 0;  // -1 never, 0 after an unpairable line, 1 always
    bool total = false;
    std::string delimiter = "\t";
    char end = '\n';
    for (const auto& o : args->options) {
        if (o.id <= kNo3) show[o.id] = false;
        if (o.id == kCheck) check = 1;
        if (o.id == kNoCheck) check = -1;
        if (o.id == kDelimiter) delimiter = o.value.empty() ? std::string(1, '\0') : o.value;
        if (o.id == kZero) end = '\0';
        if (o.id == kTotal) total = true;
    }
    auto& ops = args->operands;
    if (ops.size() < 2) {
        usage_error(ctx, "comm",
                    ops.empty() ? "missing operand" : "missing operand after " + quote(ops[0]));
        return 1;
    }
    if (ops.size() > 2) {
        usage_error(ctx, "comm", "extra operand " + quote(ops[2]));
        return 1;
    }
    std::unique_ptr<ByteSource> sources[2];
    for (int k = 0; k < 2; ++k) {
        auto source = open_input(ctx, ops[static_cast<std::size_t>(k)]);
        if (!source) {
            report(ctx, "comm", quote(ops[static_cast<std::size_t>(k)]), source.error());
            return 1;
        }
        sources[k] = std::move(*source);
    }
    Input in0(*sources[0]), in1(*sources[1]);
    Input* inputs[2] = {&in0, &in1};
    std::string line[2], previous[2];
    bool has[2];
    auto body = [&](const std::string& l) {
        return std::string_view(l).substr(0, l.size() - (!l.empty() && l.back() == end));
    };
    for (int k = 0; k < 2; ++k)
        has[k] = inputs[k]->next_line(line[k], end);
    bool seen_unpairable = false, warned[2] = {false, false};
    std::uint64_t counts[3] = {0, 0, 0};
    Output out(*ctx.out);
    auto write_column = [&](int column, std::string_view text) {
        ++counts[column];
        if (!show[column]) return;
        std::string row;
        for (int c = 0; c < column; ++c)
            if (show[c]) row += delimiter;
        row += text;
        row += end;
        out.put(row);
    };
    while (has[0] || has[1]) {
        if (stopped(ctx)) return 130;
        const int order = !has[0] ? 1 : !has[1] ? -1 : body(line[0]).compare(body(line[1]));
        bool advance[2] = {false, false};
        if (order == 0) {
            write_column(2, body(line[1]));
            advance[0] = advance[1] = true;
        } else {
            seen_unpairable = true;
            const int k = order < 0 ? 0 : 1;
            write_column(k, body(line[k]));
            advance[k] = true;
        }
        for (int k = 0; k < 2; ++k) {
            if (!advance[k]) continue;
            previous[k].swap(line[k]);
            has[k] = inputs[k]->next_line(line[k], end);
            if (has[k] && check >= 0 && (check == 1 || seen_unpairable) && !warned[k] &&
                body(previous[k]).compare(body(line[k])) > 0) {
                out.flush();
                write_text(*ctx.err,
                           "comm: file " + std::to_string(k + 1) + " is not in sorted order\n");
                warned[k] = true;
                if (check == 1) return 1;
            }
        }
    }
    if (total) {
        out.put(std::to_string(counts[0]) + delimiter + std::to_string(counts[1]) + delimiter +
                std::to_string(counts[2]) + delimiter + "total" + end);
    }
    out.flush();
    if (warned[0] || warned[1]) {
        write_text(*ctx.err, "comm: input is not in sorted order\n");
        return 1;
    }
    return 0;
}

}  // namespace halvorn::agentsh::cmd
