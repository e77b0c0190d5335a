// sort: lines ordered by keys (-k, -t) compared as text, numbers (-n),
// human sizes (-h) or versions (-V), reversed with -r, kept once with -u;
// ties fall back to the whole line in byte order, as GNU's do under C.UTF-8.
#include <algorithm>
#include <cstring>
#include <memory>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kNumeric, kReverse, kUnique, kKey, kSep, kHuman, kVersion, kFold, kBlanks, kOutput,
          kStable, kGeneral, kCheck, kZero, kMerge, kDictionary };
constexpr OptionDef kOptions[] = {
    {'n', "numeric-sort", Arg::None, kNumeric},  {'r', "reverse", Arg::None, kReverse},
    {'u', "unique", Arg::None, kUnique},         {'k', "key", Arg::Required, kKey},
    {'t', "field-separator", Arg::Required, kSep}, {'h', "human-numeric-sort", Arg::None, kHuman},
    {'V', "version-sort", Arg::None, kVersion},  {'f', "ignore-case", Arg::None, kFold},
    {'b', "ignore-leading-blanks", Arg::None, kBlanks}, {'o', "output", Arg::Required, kOutput},
    {'s', "stable", Arg::None, kStable},         {'g', "general-numeric-sort", Arg::None, kGeneral},
    {'c', "check", Arg::None, kCheck},           {'z', "zero-terminated", Arg::None, kZero},
    {'m', "merge", Arg::None, kMerge},           {'d', "dictionary-order", Arg::None, kDictionary},
};

struct Order {
    bool numeric = false, human = false, version = false, fold = false, reverse = false,
         blanks = false, general = false, dictionary = false;
    bool any() const {
        return numeric || human || version || fold || reverse || blanks || general || dictionary;
    }
};

struct Key {
    std::size_t start_field = 1, start_char = 0;  // char 0: the field's start
    std::size_t end_field = 0, end_char = 0;      // field 0: to the end of line
    bool start_blanks = false, end_blanks = false;
    Order order;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// [begin, end) of field `field` (1-based) as sort counts them.
std::pair<std::size_t, std::size_t> field_span(std::string_view line, std::size_t field, int sep) {
    std::size_t begin = 0;
    for (std::size_t f = 1; f < field; ++f) {
        if (begin >= line.size()) return {line.size(), line.size()};
        if (sep >= 0) {
            std::size_t at = line.find(static_cast<char>(sep), begin);
            begin = at == std::string_view::npos ? line.size() : at + 1;
        } else {
            while (begin < line.size() && is_blank(line[begin])) ++begin;
            while (begin < line.size() && !is_blank(line[begin])) ++begin;
        }
    }
    std::size_t end = begin;
    if (sep >= 0) {
        std::size_t at = line.find(static_cast<char>(sep), begin);
        end = at == std::string_view::npos ? line.size() : at;
    } else {
        while (end < line.size() && is_blank(line[end])) ++end;
        while (end < line.size() && !is_blank(line[end])) ++end;
    }
    return {begin, end};
}

std::string_view key_text(std::string_view line, const Key& key, int sep) {
    auto [sb, se] = field_span(line, key.start_field, sep);
    std::size_t begin = sb;
    if (key.start_blanks || key.order.blanks)
        while (begin < se && is_blank(line[begin])) ++begin;
    if (key.start_char > 0) begin = std::min(se, begin + key.start_char - 1);
    std::size_t end = line.size();
    if (key.end_field > 0) {
        auto [eb, ee] = field_span(line, key.end_field, sep);
        if (key.end_char == 0) {
            end = ee;
        } else {
            std::size_t from = eb;
            if (key.end_blanks || key.order.blanks)
                while (from < ee && is_blank(line[from])) ++from;
            end = std::min(ee, from + key.end_char);
        }
    }
    if (end < begin) end = begin;
    return line.substr(begin, end - begin);
}

// A number's sign, integer and fraction digits as -n reads them; anything
// after is ignored, no number is zero.
int compare_numeric(std::string_view a, std::string_view b) {
    auto parse = [](std::string_view s, bool& negative, std::string_view& integer,
                    std::string_view& fraction) {
        std::size_t i = 0;
        while (i < s.size() && is_blank(s[i])) ++i;
        negative = i < s.size() && s[i] == '-';
        if (negative) ++i;
        std::size_t start = i;
        while (i < s.size() && s[i] == '0') ++i;
        std::size_t digits = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        integer = s.substr(digits, i - digits);
        std::size_t frac_begin = i, frac_end = i;
        if (i < s.size() && s[i] == '.') {
            frac_begin = ++i;
            while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
            frac_end = i;
            while (frac_end > frac_begin && s[frac_end - 1] == '0') --frac_end;
        }
        fraction = s.substr(frac_begin, frac_end - frac_begin);
        if (integer.empty() && fraction.empty()) negative = false;
        (void)start;
    };
    bool na, nb;
    std::string_view ia, fa, ib, fb;
    parse(a, na, ia, fa);
    parse(b, nb, ib, fb);
    if (na != nb) return na ? -1 : 1;
    int c;
    if (ia.size() != ib.size()) c = ia.size() < ib.size() ? -1 : 1;
    else c = ia.compare(ib);
    if (c == 0) c = fa.compare(fb);
    c = c < 0 ? -1 : c > 0 ? 1 : 0;
    return na ? -c : c;
}

int human_rank(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && is_blank(s[i])) ++i;
    if (i < s.size() && s[i] == '-') ++i;
    while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.')) ++i;
    if (i >= s.size()) return 0;
    static constexpr std::string_view kUnits = "KMGTPEZYRQ";
    char u = s[i] == 'k' ? 'K' : s[i];
    std::size_t at = kUnits.find(u);
    return at == std::string_view::npos ? 0 : static_cast<int>(at) + 1;
}

int compare_human(std::string_view a, std::string_view b) {
    auto sign = [](std::string_view s) {
        std::size_t i = 0;
        while (i < s.size() && is_blank(s[i])) ++i;
        return i < s.size() && s[i] == '-' ? -1 : 1;
    };
    const int sa = sign(a), sb = sign(b);
    if (sa != sb) return sa < sb ? -1 : 1;
    const int ra = human_rank(a), rb = human_rank(b);
    if (ra != rb) return (ra < rb ? -1 : 1) * sa;
    return compare_numeric(a, b);
}

// The Debian version comparison GNU's -V is built on: runs of non-digits
// compared with letters before other characters and '~' before all, runs
// of digits compared as numbers.
int version_order(char c) {
    if (c >= '0' && c <= '9') return 0;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return c;
    if (c == '~') return -1;
    return static_cast<unsigned char>(c) + 256;
}

int compare_version(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        int first_diff = 0;
        while ((i < a.size() && !(a[i] >= '0' && a[i] <= '9')) ||
               (j < b.size() && !(b[j] >= '0' && b[j] <= '9'))) {
            int ac = i < a.size() ? version_order(a[i]) : 0;
            int bc = j < b.size() ? version_order(b[j]) : 0;
            if (ac != bc) return ac < bc ? -1 : 1;
            ++i;
            ++j;
        }
        while (i < a.size() && a[i] == '0') ++i;
        while (j < b.size() && b[j] == '0') ++j;
        while (i < a.size() && a[i] >= '0' && a[i] <= '9' && j < b.size() && b[j] >= '0' &&
               b[j] <= '9') {
            if (!first_diff) first_diff = a[i] - b[j];
            ++i;
            ++j;
        }
        if (i < a.size() && a[i] >= '0' && a[i] <= '9') return 1;
        if (j < b.size() && b[j] >= '0' && b[j] <= '9') return -1;
        if (first_diff) return first_diff < 0 ? -1 : 1;
    }
    return 0;
}

int compare_text(std::string_view a, std::string_view b, const Order& o) {
    if (!o.fold && !o.dictionary) {
        int c = a.compare(b);
        return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    auto keep = [&](char c) {
        return !o.dictionary || is_blank(c) || (c >= '0' && c <= '9') ||
               (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    };
    std::size_t i = 0, j = 0;
    for (;;) {
        while (i < a.size() && !keep(a[i])) ++i;
        while (j < b.size() && !keep(b[j])) ++j;
        if (i == a.size() || j == b.size()) return (i < a.size()) - (j < b.size());
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[j]);
        if (o.fold) {
            if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
            if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
        }
        if (x != y) return x < y ? -1 : 1;
        ++i;
        ++j;
    }
}

int compare_general(std::string_view a, std::string_view b) {
    auto value = [](std::string_view s, bool& ok) {
        std::string text(s);
        char* end = nullptr;
        double v = std::strtod(text.c_str(), &end);
        ok = end != text.c_str();
        return v;
    };
    bool oa, ob;
    double va = value(a, oa), vb = value(b, ob);
    if (oa != ob) return oa ? 1 : -1;
    if (!oa) return 0;
    return va < vb ? -1 : va > vb ? 1 : 0;
}

int compare_by(std::string_view a, std::string_view b, const Order& o) {
    if (o.blanks) {
        while (!a.empty() && is_blank(a.front())) a.remove_prefix(1);
        while (!b.empty() && is_blank(b.front())) b.remove_prefix(1);
    }
    int c;
    if (o.numeric) c = compare_numeric(a, b);
    else if (o.human) c = compare_human(a, b);
    else if (o.version) c = compare_version(a, b);
    else if (o.general) c = compare_general(a, b);
    else c = compare_text(a, b, o);
    return o.reverse ? -c : c;
}

bool parse_key(std::string_view text, Key& key, const Order& global) {
    auto number = [&](std::size_t& v) {
        std::size_t n = 0;
        bool any = false;
        while (!text.empty() && text[0] >= '0' && text[0] <= '9') {
            n = n * 10 + static_cast<std::size_t>(text[0] - '0');
            text.remove_prefix(1);
            any = true;
        }
        v = n;
        return any;
    };
    bool own_order = false;
    auto flags = [&](bool& blanks) {
        while (!text.empty() && text[0] != ',') {
            switch (text[0]) {
                case 'n': key.order.numeric = true; break;
                case 'r': key.order.reverse = true; break;
                case 'h': key.order.human = true; break;
                case 'V': key.order.version = true; break;
                case 'f': key.order.fold = true; break;
                case 'g': key.order.general = true; break;
                case 'd': key.order.dictionary = true; break;
                case 'b': blanks = true; own_order = own_order || false; text.remove_prefix(1); continue;
                default: return false;
            }
            own_order = true;
            text.remove_prefix(1);
        }
        return true;
    };
    if (!number(key.start_field) || key.start_field == 0) return false;
    if (!text.empty() && text[0] == '.') {
        text.remove_prefix(1);
        if (!number(key.start_char) || key.start_char == 0) return false;
    }
    if (!flags(key.start_blanks)) return false;
    if (!text.empty() && text[0] == ',') {
        text.remove_prefix(1);
        if (!number(key.end_field) || key.end_field == 0) return false;
        if (!text.empty() && text[0] == '.') {
            text.remove_prefix(1);
            if (!number(key.end_char)) return false;
        }
        if (!flags(key.end_blanks)) return false;
    }
    if (!text.empty()) return false;
    if (!own_order && !key.start_blanks && !key.end_blanks) key.order = global;
    else if (!own_order) {
        const bool sb = key.start_blanks, eb = key.end_blanks;
        key.order = global;
        key.start_blanks = sb;
        key.end_blanks = eb;
    }
    return true;
}

}  // namespace

int sort_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 2;
    Order global;
    std::vector<std::string> key_texts;
    int sep = -1;
    bool unique = false, stable = false, check = false;
    char eol = '\n';
    std::string output;
    for (const auto& o : args->options) {
        switch (o.id) {
            case kNumeric: global.numeric = true; break;
            case kReverse: global.reverse = true; break;
            case kUnique: unique = true; break;
            case kHuman: global.human = true; break;
            case kVersion: global.version = true; break;
            case kFold: global.fold = true; break;
            case kBlanks: global.blanks = true; break;
            case kGeneral: global.general = true; break;
            case kDictionary: global.dictionary = true; break;
            case kStable: stable = true; break;
            case kCheck: check = true; break;
            case kZero: eol = '\0'; break;
            case kOutput: output = o.value; break;
            case kKey: key_texts.push_back(o.value); break;
            case kSep:
                if (o.value.size() != 1) {
                    report(ctx, "sort", "",
                           o.value.empty() ? "empty tab" : "multi-character tab '" + o.value + "'");
                    return 2;
                }
                sep = static_cast<unsigned char>(o.value[0]);
                break;
            default: break;
        }
    }
    std::vector<Key> keys;
    for (const auto& key_text : key_texts) {
        Key key;
        if (!parse_key(key_text, key, global)) {
            report(ctx, "sort", "", "invalid number at field start: invalid count at start of '" +
                                        key_text + "'");
            return 2;
        }
        keys.push_back(key);
    }
    std::vector<std::string> lines;
    constexpr std::size_t kMaxHeld = 256 * 1024 * 1024;
    std::size_t held = 0;
    if (args->operands.empty()) args->operands.push_back("-");
    for (const auto& operand : args->operands) {
        auto source = open_input(ctx, operand);
        if (!source) {
            report(ctx, "sort", source.error().kind() == IoError::NotAFile
                                    ? "read failed: " + operand
                                    : "cannot read: " + operand,
                   source.error());
            return 2;
        }
        Input input(**source);
        std::string line;
        while (input.next_line(line, eol)) {
            if (line.back() == eol) line.pop_back();
            held += line.size() + sizeof(std::string);
            lines.push_back(line);
            if (lines.size() % 4096 == 0 && stopped(ctx)) return 130;
            // Everything is held at once; an endless producer must meet a
            // bound of its own, not the host's memory.
            if (held > kMaxHeld) {
                report(ctx, "sort", "", "memory exhausted");
                return 2;
            }
        }
    }
    const bool whole_line_keys = keys.empty();
    auto compare_keys = [&](const std::string& a, const std::string& b) {
        if (whole_line_keys) return compare_by(a, b, global);
        for (const auto& key : keys) {
            int c = compare_by(key_text(a, key, sep), key_text(b, key, sep), key.order);
            if (c) return c;
        }
        return 0;
    };
    auto compare = [&](const std::string& a, const std::string& b) {
        int c = compare_keys(a, b);
        if (c || stable || unique) return c;
        // The last resort: the whole line, bytes, reversed with -r.
        c = a.compare(b);
        c = c < 0 ? -1 : c > 0 ? 1 : 0;
        return global.reverse ? -c : c;
    };
    if (check) {
        for (std::size_t i = 1; i < lines.size(); ++i) {
            int c = compare(lines[i - 1], lines[i]);
            if (c > 0 || (unique && c == 0)) {
                write_text(*ctx.err, "sort: " + args->operands[0] + ":" + std::to_string(i + 1) +
                                         ": disorder: " + lines[i] + "\n");
                return 1;
            }
        }
        return 0;
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [&](const std::string& a, const std::string& b) { return compare(a, b) < 0; });
    std::string text;
    const std::string* last = nullptr;
    for (const auto& line : lines) {
        if (unique && last && compare_keys(*last, line) == 0) continue;
        text += line;
        text += eol;
        last = &line;
    }
    if (!output.empty()) {
        Status done = write_file(ctx, output, text);
        if (!done) {
            report(ctx, "sort", "open failed: " + output, done.error());
            return 2;
        }
        return 0;
    }
    write_text(*ctx.out, text);
    return 0;
}

}  // namespace halvorn::agentsh::cmd
