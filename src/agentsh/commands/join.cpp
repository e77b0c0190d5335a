// join: lines of two files sorted on a join field, paired by equal fields
// (every pairing of a group), with -a/-v for the unpaired, -t for one
// separator (else runs of blanks), -o for the output fields and -e for the
// missing ones. Order is checked the way GNU's join checks it.
#include <cstdlib>
#include <optional>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id {
    kUnpaired,
    kEmpty,
    kIgnoreCase,
    kField1,
    kField2,
    kJoinField,
    kFormat,
    kSeparator,
    kOnlyUnpaired,
    kCheck,
    kNoCheck,
    kHeader,
    kZero
};
constexpr OptionDef kOptions[] = {
    {'a', "", Arg::Required, kUnpaired},
    {'e', "", Arg::Required, kEmpty},
    {'i', "ignore-case", Arg::None, kIgnoreCase},
    {'1', "", Arg::Required, kField1},
    {'2', "", Arg::Required, kField2},
    {'j', "", Arg::Required, kJoinField},
    {'o', "", Arg::Required, kFormat},
    {'t', "", Arg::Required, kSeparator},
    {'v', "", Arg::Required, kOnlyUnpaired},
    {0, "check-order", Arg::None, kCheck},
    {0, "nocheck-order", Arg::None, kNoCheck},
    {0, "header", Arg::None, kHeader},
    {'z', "zero-terminated", Arg::None, kZero},
};

struct Line {
    std::string text;
    std::vector<std::string> fields;
};

struct Settings {
    std::optional<char> separator;
    bool ignore_case = false;
    std::size_t field[2] = {0, 0};
    std::string empty;
    bool has_empty = false;
    std::vector<std::pair<int, std::size_t>> format;  // (file, field); file 0 = join field
    bool has_format = false;
};

std::vector<std::string> split_fields(std::string_view text, const Settings& s) {
    std::vector<std::string> fields;
    if (s.separator) {
        if (text.empty()) return fields;
        std::size_t start = 0;
        for (;;) {
            std::size_t at = text.find(*s.separator, start);
            fields.emplace_back(text.substr(start, at - start));
            if (at == std::string_view::npos) break;
            start = at + 1;
        }
        return fields;
    }
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        if (i == text.size()) break;
        std::size_t j = i;
        while (j < text.size() && text[j] != ' ' && text[j] != '\t')
            ++j;
        fields.emplace_back(text.substr(i, j - i));
        i = j;
    }
    return fields;
}

int compare_keys(std::string_view a, std::string_view b, bool ignore_case) {
    if (!ignore_case) return a.compare(b);
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const int x = std::tolower(static_cast<unsigned char>(a[i]));
        const int y = std::tolower(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool parse_field(const std::string& text, std::size_t& field) {
    char* end = nullptr;
    long long n = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || n < 1) return false;
    field = static_cast<std::size_t>(n - 1);
    return true;
}

bool parse_format(const std::string& text, Settings& s) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t at = text.find_first_of(", ", start);
        if (at == std::string::npos) at = text.size();
        std::string item = text.substr(start, at - start);
        if (item == "0") {
            s.format.emplace_back(0, 0);
        } else {
            std::size_t field = 0;
            if (item.size() < 3 || (item[0] != '1' && item[0] != '2') || item[1] != '.' ||
                !parse_field(item.substr(2), field))
                return false;
            s.format.emplace_back(item[0] - '0', field);
        }
        start = at + 1;
    }
    s.has_format = true;
    return true;
}

}  // namespace

int join_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    Settings s;
    bool print_unpaired[2] = {false, false}, print_paired = true, header = false;
    int check = 0;
    char end = '\n';
    for (const auto& o : args->options) {
        switch (o.id) {
            case kUnpaired:
            case kOnlyUnpaired:
                if (o.value != "1" && o.value != "2") {
                    usage_error(ctx, "join", "invalid field number: " + quote(o.value));
                    return 1;
                }
                print_unpaired[o.value[0] - '1'] = true;
                if (o.id == kOnlyUnpaired) print_paired = false;
                break;
            case kEmpty:
                s.empty = o.value, s.has_empty = true;
                break;
            case kIgnoreCase:
                s.ignore_case = true;
                break;
            case kField1:
            case kField2:
            case kJoinField: {
                std::size_t field = 0;
                if (!parse_field(o.value, field)) {
                    write_text(*ctx.err, "join: invalid field number: " + quote(o.value) + "\n");
                    return 1;
                }
                if (o.id != kField2) s.field[0] = field;
                if (o.id != kField1) s.field[1] = field;
                break;
            }
            case kFormat:
                if (!parse_format(o.value, s)) {
                    write_text(*ctx.err, "join: invalid field specifier: " + quote(o.value) + "\n");
                    return 1;
                }
                break;
            case kSeparator:
                if (o.value.size() > 1) {
                    write_text(*ctx.err, "join: multi-character tab " + quote(o.value) + "\n");
                    return 1;
                }
                s.separator = o.value.empty() ? '\n' : o.value[0];
                break;
            case kCheck:
                check = 1;
                break;
            case kNoCheck:
                check = -1;
                break;
            case kHeader:
                header = true;
                break;
            case kZero:
                end = '\0';
                break;
        }
    }
    auto& ops = args->operands;
    if (ops.size() < 2) {
        usage_error(ctx, "join",
                    ops.empty() ? "missing operand" : "missing operand after " + quote(ops[0]));
        return 1;
    }
    if (ops.size() > 2) {
        usage_error(ctx, "join", "extra operand " + quote(ops[2]));
        return 1;
    }
    std::vector<Line> lines[2];
    for (int k = 0; k < 2; ++k) {
        auto bytes = read_file(ctx, ops[static_cast<std::size_t>(k)]);
        if (!bytes) {
            report(ctx, "join", quote(ops[static_cast<std::size_t>(k)]), bytes.error());
            return 1;
        }
        std::string_view rest(*bytes);
        while (!rest.empty()) {
            std::size_t at = rest.find(end);
            std::string_view text = rest.substr(0, at);
            lines[k].push_back({std::string(text), split_fields(text, s)});
            rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
        }
    }
    const std::string out_separator = s.separator ? std::string(1, *s.separator) : " ";
    auto key = [&](int k, const Line& line) -> std::string_view {
        const std::size_t f = s.field[k];
        return f < line.fields.size() ? std::string_view(line.fields[f]) : std::string_view();
    };
    Output out(*ctx.out);
    // One output line: a pairing of `a` and `b`, either of which may be absent.
    auto emit = [&](const Line* a, const Line* b) {
        std::vector<std::string_view> parts;
        const std::string empty_field = s.empty;
        if (s.has_format) {
            for (auto [file, field] : s.format) {
                const Line* from = file == 1 ? a : file == 2 ? b : nullptr;
                if (file == 0) {
                    parts.push_back(a ? key(0, *a) : key(1, *b));
                    continue;
                }
                parts.push_back(from && field < from->fields.size()
                                    ? std::string_view(from->fields[field])
                                    : std::string_view(empty_field));
            }
        } else {
            parts.push_back(a ? key(0, *a) : key(1, *b));
            for (int k = 0; k < 2; ++k) {
                const Line* from = k == 0 ? a : b;
                if (!from) continue;
                for (std::size_t f = 0; f < from->fields.size(); ++f)
                    if (f != s.field[k]) parts.push_back(from->fields[f]);
            }
        }
        std::string row;
        for (std::size_t p = 0; p < parts.size(); ++p) {
            if (p) row += out_separator;
            row += parts[p].empty() && s.has_empty ? std::string_view(s.empty) : parts[p];
        }
        row += end;
        out.put(row);
    };
    std::size_t at[2] = {0, 0};
    if (header) {
        if (!lines[0].empty() || !lines[1].empty())
            emit(lines[0].empty() ? nullptr : &lines[0][0],
                 lines[1].empty() ? nullptr : &lines[1][0]);
        for (int k = 0; k < 2; ++k)
            at[k] = lines[k].empty() ? 0 : 1;
    }
    bool seen_unpairable = false, warned[2] = {false, false};
    // Moves file k on by one line, checking its order as GNU does.
    auto step = [&](int k) {
        const std::size_t next = ++at[k];
        if (next >= lines[k].size() || check < 0 || warned[k]) return;
        if (check == 0 && !seen_unpairable) return;
        if (compare_keys(key(k, lines[k][next - 1]), key(k, lines[k][next]), s.ignore_case) > 0) {
            out.flush();
            write_text(*ctx.err, "join: " + ops[static_cast<std::size_t>(k)] + ":" +
                                     std::to_string(next + 1) +
                                     ": is not sorted: " + lines[k][next].text + "\n");
            warned[k] = true;
        }
    };
    while (at[0] < lines[0].size() && at[1] < lines[1].size()) {
        if (stopped(ctx)) return 130;
        const int order =
            compare_keys(key(0, lines[0][at[0]]), key(1, lines[1][at[1]]), s.ignore_case);
        if (order != 0) {
            seen_unpairable = true;
            const int k = order < 0 ? 0 : 1;
            if (print_unpaired[k])
                emit(k == 0 ? &lines[0][at[0]] : nullptr, k == 1 ? &lines[1][at[1]] : nullptr);
            step(k);
            continue;
        }
        std::size_t group_end[2];
        for (int k = 0; k < 2; ++k) {
            group_end[k] = at[k] + 1;
            while (group_end[k] < lines[k].size() &&
                   compare_keys(key(k, lines[k][group_end[k]]), key(k, lines[k][at[k]]),
                                s.ignore_case) == 0)
                ++group_end[k];
        }
        if (print_paired)
            for (std::size_t i = at[0]; i < group_end[0]; ++i)
                for (std::size_t j = at[1]; j < group_end[1]; ++j)
                    emit(&lines[0][i], &lines[1][j]);
        for (int k = 0; k < 2; ++k)
            while (at[k] < group_end[k])
                step(k);
    }
    for (int k = 0; k < 2; ++k) {
        if (at[k] < lines[k].size()) seen_unpairable = true;
        while (at[k] < lines[k].size()) {
            if (print_unpaired[k])
                emit(k == 0 ? &lines[0][at[0]] : nullptr, k == 1 ? &lines[1][at[1]] : nullptr);
            step(k);
        }
    }
    out.flush();
    if (warned[0] || warned[1]) {
        write_text(*ctx.err, "join: input is not in sorted order\n");
        return 1;
    }
    return 0;
}

}  // namespace halvorn::agentsh::cmd
