// diff: the differences between two files in the normal or -u form, or
// between two directories with -r (entries in byte order), with GNU's
// "Only in", "Binary files" and -q/-s lines and statuses (0 same, 1
// different, 2 trouble). -i, -b and -w loosen what counts as equal.
#include <cstdio>
#include <ctime>
#include <unordered_map>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/line_diff.hpp"
#include "agentsh/commands/support/options.hpp"
#include "agentsh/commands/support/paths.hpp"
#include "agentsh/commands/support/tree_walk.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id {
    kUnified,
    kContextLines,
    kRecursive,
    kBrief,
    kSame,
    kNewFile,
    kIgnoreCase,
    kIgnoreSpaceChange,
    kIgnoreAllSpace,
    kText,
    kLabel
};
constexpr OptionDef kOptions[] = {
    {'u', "", Arg::None, kUnified},
    {'U', "unified", Arg::Required, kContextLines},
    {'r', "recursive", Arg::None, kRecursive},
    {'q', "brief", Arg::None, kBrief},
    {'s', "report-identical-files", Arg::None, kSame},
    {'N', "new-file", Arg::None, kNewFile},
    {'i', "ignore-case", Arg::None, kIgnoreCase},
    {'b', "ignore-space-change", Arg::None, kIgnoreSpaceChange},
    {'w', "ignore-all-space", Arg::None, kIgnoreAllSpace},
    {'a', "text", Arg::None, kText},
    {0, "label", Arg::Required, kLabel},
};

struct Settings {
    bool unified = false, recursive = false, brief = false, same = false, new_file = false,
         ignore_case = false, space_change = false, all_space = false, text = false;
    std::size_t context = 3;
    std::vector<std::string> labels;
    std::string switches;  // the options as given, for the "diff -r" lines
};

struct Lines {
    std::vector<std::string_view> text;  // without their newlines
    bool last_has_newline = true;
};

Lines split_lines(std::string_view bytes) {
    Lines lines;
    while (!bytes.empty()) {
        std::size_t nl = bytes.find('\n');
        if (nl == std::string_view::npos) {
            lines.text.push_back(bytes);
            lines.last_has_newline = false;
            break;
        }
        lines.text.push_back(bytes.substr(0, nl));
        bytes.remove_prefix(nl + 1);
    }
    return lines;
}

std::string comparison_key(std::string_view line, const Settings& s) {
    std::string key;
    bool in_space = false;
    for (char c : line) {
        const bool space = c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
        if (space && s.all_space) continue;
        if (space && s.space_change) {
            in_space = true;
            continue;
        }
        if (in_space) key += ' ';
        in_space = false;
        key += s.ignore_case ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : c;
    }
    return key;
}

std::string stamp(std::int64_t ns) {
    std::int64_t seconds = ns / 1'000'000'000, fraction = ns % 1'000'000'000;
    if (fraction < 0) fraction += 1'000'000'000, --seconds;
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char date[64], full[96];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
    std::snprintf(full, sizeof full, "%s.%09lld +0000", date, static_cast<long long>(fraction));
    return full;
}

class Differ {
public:
    Differ(CommandContext& ctx, const Settings& s) : ctx_(ctx), s_(s), out_(*ctx.out) {}

    // 0 same, 1 different, 2 trouble; `a` and `b` are the names as shown.
    int files(const std::string& a, const std::string& b, bool header) {
        auto bytes_a = contents(a), bytes_b = contents(b);
        if (!bytes_a || !bytes_b) {
            out_.flush();
            const std::string& bad = !bytes_a ? a : b;
            report(ctx_, "diff", bad, !bytes_a ? bytes_a.error() : bytes_b.error());
            return 2;
        }
        if (*bytes_a == *bytes_b) {
            if (s_.same) out_.put("Files " + a + " and " + b + " are identical\n");
            return 0;
        }
        if (!s_.text && (binary(*bytes_a) || binary(*bytes_b))) {
            if (header && !s_.brief) out_.put("diff" + s_.switches + " " + a + " " + b + "\n");
            out_.put("Binary files " + a + " and " + b + " differ\n");
            return 1;
        }
        const Lines lines_a = split_lines(*bytes_a), lines_b = split_lines(*bytes_b);
        std::vector<std::uint32_t> keys_a, keys_b;
        std::unordered_map<std::string, std::uint32_t> ids;
        auto key_of = [&](const Lines& lines, std::size_t i) {
            std::string key = comparison_key(lines.text[i], s_);
            // A last line without its newline is another line.
            if (i + 1 == lines.text.size() && !lines.last_has_newline) key += '\0';
            auto [it, added] = ids.emplace(std::move(key), static_cast<std::uint32_t>(ids.size()));
            return it->second;
        };
        for (std::size_t i = 0; i < lines_a.text.size(); ++i)
            keys_a.push_back(key_of(lines_a, i));
        for (std::size_t i = 0; i < lines_b.text.size(); ++i)
            keys_b.push_back(key_of(lines_b, i));
        auto changes = diff_lines(keys_a, keys_b, s_.unified ? s_.context : 0, ctx_.should_stop);
        if (changes.empty()) return 0;  // equal once loosened
        if (s_.brief) {
            out_.put("Files " + a + " and " + b + " differ\n");
            return 1;
        }
        if (header) out_.put("diff" + s_.switches + " " + a + " " + b + "\n");
        if (s_.unified)
            unified(a, b, lines_a, lines_b, changes);
        else
            normal(lines_a, lines_b, changes);
        return 1;
    }

    int directories(const std::string& a, const std::string& b) {
        auto entries_a = sorted_entries(ctx_, resolve(ctx_, a));
        auto entries_b = sorted_entries(ctx_, resolve(ctx_, b));
        if (!entries_a || !entries_b) {
            out_.flush();
            report(ctx_, "diff", !entries_a ? a : b,
                   !entries_a ? entries_a.error() : entries_b.error());
            return 2;
        }
        int status = 0;
        std::size_t i = 0, j = 0;
        auto& ea = *entries_a;
        auto& eb = *entries_b;
        while (i < ea.size() || j < eb.size()) {
            if (stopped(ctx_)) return 2;
            const int order = i == ea.size()   ? 1
                              : j == eb.size() ? -1
                                               : ea[i].name.compare(eb[j].name);
            if (order != 0) {
                const bool left = order < 0;
                const Entry& e = left ? ea[i++] : eb[j++];
                const std::string& dir = left ? a : b;
                if (s_.new_file && !e.is_directory) {
                    const std::string path = join_shown(dir, e.name);
                    status = std::max(
                        status, left ? files(path, "/dev/null", true, path, join_shown(b, e.name))
                                     : files("/dev/null", path, true, join_shown(a, e.name), path));
                } else {
                    out_.put("Only in " + dir + ": " + e.name + "\n");
                    status = std::max(status, 1);
                }
                continue;
            }
            const Entry& x = ea[i++];
            const Entry& y = eb[j++];
            const std::string pa = join_shown(a, x.name), pb = join_shown(b, y.name);
            if (x.is_directory && y.is_directory) {
                if (s_.recursive)
                    status = std::max(status, directories(pa, pb));
                else
                    out_.put("Common subdirectories: " + pa + " and " + pb + "\n");
            } else if (x.is_directory != y.is_directory) {
                out_.put("File " + pa + " is a " + kind(x) + " while file " + pb + " is a " +
                         kind(y) + "\n");
                status = std::max(status, 1);
            } else {
                status = std::max(status, files(pa, pb, true));
            }
        }
        return status;
    }

    // For -N: a missing side shown under its own name, read as empty.
    int files(const std::string& a, const std::string& b, bool header, const std::string& shown_a,
              const std::string& shown_b) {
        missing_a_ = a == "/dev/null" ? shown_a : "";
        missing_b_ = b == "/dev/null" ? shown_b : "";
        const int status =
            files(a == "/dev/null" ? shown_a : a, b == "/dev/null" ? shown_b : b, header);
        missing_a_.clear();
        missing_b_.clear();
        return status;
    }

private:
    static std::string kind(const Entry& e) {
        return e.is_directory ? "directory" : "regular file";
    }

    Result<std::string> contents(const std::string& name) {
        if ((!missing_a_.empty() && name == missing_a_) ||
            (!missing_b_.empty() && name == missing_b_))
            return std::string();
        return read_file(ctx_, name);
    }

    static bool binary(const std::string& bytes) {
        return bytes.find('\0', 0) < std::min<std::size_t>(bytes.size(), 4096 * 8);
    }

    std::string header_time(const std::string& name) {
        if (name == "-" || (!missing_a_.empty() && name == missing_a_) ||
            (!missing_b_.empty() && name == missing_b_))
            return stamp(name == "-" ? ctx_.now_ns : 0);
        auto node = stat_operand(ctx_, name);
        return stamp(node ? node->modified_ns : 0);
    }

    static std::string range(std::size_t begin, std::size_t end) {
        if (end - begin <= 1) return std::to_string(end - begin == 1 ? end : begin);
        return std::to_string(begin + 1) + "," + std::to_string(end);
    }

    void put_line(char mark, const Lines& lines, std::size_t i) {
        out_.put(mark);
        if (mark == '<' || mark == '>') out_.put(' ');
        out_.put(lines.text[i]);
        out_.put('\n');
        if (i + 1 == lines.text.size() && !lines.last_has_newline)
            out_.put("\\ No newline at end of file\n");
    }

    void normal(const Lines& a, const Lines& b, const std::vector<LineChange>& changes) {
        for (const auto& c : changes) {
            const bool removes = c.a_end > c.a_begin, inserts = c.b_end > c.b_begin;
            out_.put(range(c.a_begin, c.a_end));
            out_.put(removes && inserts ? 'c' : removes ? 'd' : 'a');
            out_.put(range(c.b_begin, c.b_end));
            out_.put('\n');
            for (std::size_t i = c.a_begin; i < c.a_end; ++i)
                put_line('<', a, i);
            if (removes && inserts) out_.put("---\n");
            for (std::size_t j = c.b_begin; j < c.b_end; ++j)
                put_line('>', b, j);
        }
    }

    static std::string unified_range(std::size_t begin, std::size_t end) {
        if (end - begin == 1) return std::to_string(begin + 1);
        if (end == begin) return std::to_string(begin) + ",0";
        return std::to_string(begin + 1) + "," + std::to_string(end - begin);
    }

    void unified(const std::string& name_a, const std::string& name_b, const Lines& a,
                 const Lines& b, const std::vector<LineChange>& changes) {
        const std::string label_a =
            s_.labels.size() > 0 ? s_.labels[0] : name_a + "\t" + header_time(name_a);
        const std::string label_b =
            s_.labels.size() > 1 ? s_.labels[1] : name_b + "\t" + header_time(name_b);
        out_.put("--- " + label_a + "\n+++ " + label_b + "\n");
        const std::size_t context = s_.context;
        std::size_t first = 0;
        while (first < changes.size()) {
            // A hunk takes the changes whose gaps its context would cover.
            std::size_t last = first;
            while (last + 1 < changes.size() &&
                   changes[last + 1].a_begin - changes[last].a_end <= 2 * context)
                ++last;
            const LineChange& f = changes[first];
            const LineChange& l = changes[last];
            const std::size_t lead = std::min(context, f.a_begin);
            const std::size_t a_begin = f.a_begin - lead, b_begin = f.b_begin - lead;
            const std::size_t trail = std::min(context, a.text.size() - l.a_end);
            const std::size_t a_end = l.a_end + trail, b_end = l.b_end + trail;
            out_.put("@@ -" + unified_range(a_begin, a_end) + " +" + unified_range(b_begin, b_end) +
                     " @@\n");
            std::size_t i = a_begin;
            for (std::size_t k = first; k <= last; ++k) {
                const LineChange& c = changes[k];
                for (; i < c.a_begin; ++i)
                    put_line(' ', a, i);
                for (std::size_t r = c.a_begin; r < c.a_end; ++r)
                    put_line('-', a, r);
                for (std::size_t r = c.b_begin; r < c.b_end; ++r)
                    put_line('+', b, r);
                i = c.a_end;
            }
            for (; i < a_end; ++i)
                put_line(' ', a, i);
            first = last + 1;
        }
    }

    CommandContext& ctx_;
    const Settings& s_;
    Output out_;
    std::string missing_a_, missing_b_;
};

}  // namespace

int diff_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 2;
    Settings s;
    for (const auto& o : args->options) {
        switch (o.id) {
            case kUnified:
                s.unified = true;
                break;
            case kContextLines: {
                char* end = nullptr;
                const long long n = std::strtoll(o.value.c_str(), &end, 10);
                if (o.value.empty() || *end != '\0' || n < 0) {
                    usage_error(ctx, "diff", "invalid context length " + quote(o.value));
                    return 2;
                }
                s.unified = true;
                s.context = static_cast<std::size_t>(n);
                break;
            }
            case kRecursive:
                s.recursive = true;
                break;
            case kBrief:
                s.brief = true;
                break;
            case kSame:
                s.same = true;
                break;
            case kNewFile:
                s.new_file = true;
                break;
            case kIgnoreCase:
                s.ignore_case = true;
                break;
            case kIgnoreSpaceChange:
                s.space_change = true;
                break;
            case kIgnoreAllSpace:
                s.all_space = true;
                break;
            case kText:
                s.text = true;
                break;
            case kLabel:
                s.labels.push_back(o.value);
                break;
        }
    }
    auto& ops = args->operands;
    if (ops.size() < 2) {
        usage_error(ctx, "diff",
                    ops.empty() ? "missing operand after 'diff'"
                                : "missing operand after " + quote(ops[0]));
        return 2;
    }
    if (ops.size() > 2) {
        usage_error(ctx, "diff", "extra operand " + quote(ops[2]));
        return 2;
    }
    // The switches as given, for the lines that name each pair of files.
    std::size_t operands_seen = 0;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        if (operands_seen < 2 && argv[i] == ops[operands_seen] &&
            (argv[i].empty() || argv[i][0] != '-' || argv[i] == "-")) {
            ++operands_seen;
            continue;
        }
        s.switches += " " + argv[i];
    }
    std::string a = ops[0], b = ops[1];
    Differ differ(ctx, s);
    auto node_a = a == "-" ? Result<NodeStatus>(NodeStatus{}) : stat_operand(ctx, a);
    auto node_b = b == "-" ? Result<NodeStatus>(NodeStatus{}) : stat_operand(ctx, b);
    for (int k = 0; k < 2; ++k) {
        auto& node = k == 0 ? node_a : node_b;
        if (node || (s.new_file && node.error().kind() == IoError::InodeNotFound)) continue;
        report(ctx, "diff", k == 0 ? a : b, node.error());
        return 2;
    }
    const bool dir_a = node_a && node_a->is_directory, dir_b = node_b && node_b->is_directory;
    if (dir_a && dir_b) return differ.directories(a, b);
    // A directory against a file compares the file of the same name in it.
    if (dir_a) a = join_shown(a, base_name(b));
    if (dir_b) b = join_shown(b, base_name(a));
    if (!node_a || !node_b)
        return differ.files(node_a ? a : "/dev/null", node_b ? b : "/dev/null", false, a, b);
    return differ.files(a, b, false);
}

}  // namespace halvorn::agentsh::cmd
