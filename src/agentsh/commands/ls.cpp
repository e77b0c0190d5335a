// ls: one entry a line (the shell's output is never a terminal), names in
// byte order, with GNU's -l columns. The tree keeps no owners or modes, so
// -l shows a fixed owner and group and the modes a umask of 022 gives;
// sizes and block counts are those of a disk with 4 KiB blocks, where a
// directory takes one block, as agents see on a real system.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"
#include "agentsh/commands/support/tree_walk.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kLong, kAll, kAlmostAll, kOne, kRecursive, kDirectory, kHuman, kTime, kReverse, kSize,
          kClassify, kNoGroup, kNumeric, kSlash, kUnsorted, kColor, kFullTime };
constexpr OptionDef kOptions[] = {
    {'l', "", Arg::None, kLong},
    {'a', "all", Arg::None, kAll},
    {'A', "almost-all", Arg::None, kAlmostAll},
    {'1', "", Arg::None, kOne},
    {'R', "recursive", Arg::None, kRecursive},
    {'d', "directory", Arg::None, kDirectory},
    {'h', "human-readable", Arg::None, kHuman},
    {'t', "", Arg::None, kTime},
    {'r', "reverse", Arg::None, kReverse},
    {'S', "", Arg::None, kSize},
    {'F', "classify", Arg::Optional, kClassify},
    {'G', "no-group", Arg::None, kNoGroup},
    {'n', "numeric-uid-gid", Arg::None, kNumeric},
    {'p', "", Arg::None, kSlash},
    {'U', "", Arg::None, kUnsorted},
    {0, "color", Arg::Optional, kColor},
    {0, "full-time", Arg::None, kFullTime},
};

constexpr std::uint64_t kBlock = 4096;

struct Flags {
    bool long_form = false, all = false, almost_all = false, recursive = false,
         directory = false, human = false, by_time = false, reverse = false, by_size = false,
         classify = false, no_group = false, numeric = false, slash = false, unsorted = false;
};

struct Item {
    std::string name;   // as shown
    std::string path;   // absolute
    NodeStatus status;
};

std::uint64_t size_of(const NodeStatus& s) { return s.is_directory ? kBlock : s.size; }
std::uint64_t blocks_of(const NodeStatus& s) {
    return (size_of(s) + kBlock - 1) / kBlock * (kBlock / 1024);
}

// GNU's -h: one decimal below 10, rounded up, then K, M, G...
std::string human(std::uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes);
    static constexpr char kUnits[] = "KMGTPE";
    double value = static_cast<double>(bytes);
    int unit = -1;
    while (value >= 1024 && unit < 5) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (value < 10) {
        double up = std::ceil(value * 10) / 10;
        if (up >= 10) std::snprintf(text, sizeof text, "%.0f%c", std::ceil(value), kUnits[unit]);
        else std::snprintf(text, sizeof text, "%.1f%c", up, kUnits[unit]);
    } else {
        std::snprintf(text, sizeof text, "%.0f%c", std::ceil(value), kUnits[unit]);
    }
    return text;
}

std::string time_text(std::int64_t ns, std::int64_t now_ns, bool full) {
    std::time_t seconds = static_cast<std::time_t>(ns / 1'000'000'000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    if (full) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
        char frac[32];
        std::snprintf(frac, sizeof frac, ".%09lld +0000",
                      static_cast<long long>(ns % 1'000'000'000));
        return std::string(text) + frac;
    }
    const std::int64_t six_months = 15'778'476LL * 1'000'000'000;
    const bool recent = ns > now_ns - six_months && ns <= now_ns + 60'000'000'000LL;
    std::strftime(text, sizeof text, recent ? "%b %e %H:%M" : "%b %e  %Y", &tm);
    return text;
}

class Lister {
public:
    Lister(CommandContext& ctx, Flags f) : ctx_(ctx), f_(f), out_(*ctx.out) {}

    void sort(std::vector<Item>& items) const {
        if (f_.unsorted) return;
        std::stable_sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
            if (f_.by_size && size_of(a.status) != size_of(b.status))
                return size_of(a.status) > size_of(b.status);
            if (f_.by_time && !f_.by_size && a.status.modified_ns != b.status.modified_ns)
                return a.status.modified_ns > b.status.modified_ns;
            return a.name < b.name;
        });
        if (f_.reverse) std::reverse(items.begin(), items.end());
    }

    std::string suffix(const Item& item) const {
        if ((f_.classify || f_.slash) && item.status.is_directory) return "/";
        return "";
    }

    void print(std::vector<Item>& items, bool with_total) {
        if (!f_.long_form) {
            for (const auto& item : items) out_.put(item.name + suffix(item) + "\n");
            return;
        }
        std::size_t links_w = 1, size_w = 1;
        std::uint64_t total = 0;
        std::vector<std::uint64_t> links(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            links[i] = items[i].status.is_directory ? 2 + subdirectories(items[i].path) : 1;
            links_w = std::max(links_w, std::to_string(links[i]).size());
            size_w = std::max(size_w, size_text(items[i]).size());
            total += blocks_of(items[i].status);
        }
        if (with_total) out_.put("total " + (f_.human ? human(total * 1024) : std::to_string(total)) + "\n");
        for (std::size_t i = 0; i < items.size(); ++i) {
            const auto& item = items[i];
            std::string line = item.status.is_directory ? "drwxr-xr-x " : "-rw-r--r-- ";
            std::string n = std::to_string(links[i]);
            line.append(links_w - n.size(), ' ');
            line += n;
            line += f_.numeric ? " 0" : " root";
            if (!f_.no_group) line += f_.numeric ? " 0" : " root";
            std::string size = size_text(item);
            line += ' ';
            line.append(size_w - size.size(), ' ');
            line += size;
            line += ' ';
            line += time_text(item.status.modified_ns, ctx_.now_ns, full_time_);
            line += ' ';
            line += item.name + suffix(item);
            line += '\n';
            out_.put(line);
        }
    }

    // Lists the directory `item`; `header` when its name is printed above.
    void list_directory(const Item& dir, bool header, bool& first_section) {
        if (stopped(ctx_)) return;
        auto entries = sorted_entries(ctx_, dir.path);
        if (!entries) {
            out_.flush();
            report(ctx_, "ls", "cannot open directory '" + dir.name + "'", entries.error());
            status_ = 2;
            return;
        }
        if (header) {
            if (!first_section) out_.put("\n");
            out_.put(dir.name + ":\n");
        }
        first_section = false;
        std::vector<Item> items;
        if (f_.all) {
            for (const char* dot : {".", ".."}) {
                auto st = ctx_.fs->stat(dir.path + "/" + dot);
                if (st) items.push_back({dot, dir.path + "/" + dot, *st});
            }
        }
        for (const auto& entry : *entries) {
            if (!f_.all && !f_.almost_all && entry.name.starts_with('.')) continue;
            const std::string path = dir.path == "/" ? "/" + entry.name : dir.path + "/" + entry.name;
            auto st = ctx_.fs->stat(path);
            if (!st) continue;
            items.push_back({entry.name, path, *st});
        }
        sort(items);
        print(items, true);
        if (!f_.recursive) return;
        for (const auto& item : items) {
            if (!item.status.is_directory || item.name == "." || item.name == "..") continue;
            std::string shown = dir.name.ends_with('/') ? dir.name + item.name : dir.name + "/" + item.name;
            list_directory({shown, item.path, item.status}, true, first_section);
        }
    }

    Output& out() { return out_; }
    int status_ = 0;
    bool full_time_ = false;

private:
    std::string size_text(const Item& item) const {
        return f_.human ? human(size_of(item.status)) : std::to_string(size_of(item.status));
    }
    std::uint64_t subdirectories(const std::string& path) const {
        std::uint64_t count = 0;
        (void)ctx_.fs->visit_entries(path, [&](std::string_view, bool is_dir) { count += is_dir; });
        return count;
    }

    CommandContext& ctx_;
    Flags f_;
    Output out_;
};

}  // namespace

int ls_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 2;
    Flags f;
    bool full_time = false;
    for (const auto& o : args->options) {
        switch (o.id) {
            case kLong: f.long_form = true; break;
            case kAll: f.all = true; break;
            case kAlmostAll: f.almost_all = true; break;
            case kOne: break;
            case kRecursive: f.recursive = true; break;
            case kDirectory: f.directory = true; break;
            case kHuman: f.human = true; break;
            case kTime: f.by_time = true; break;
            case kReverse: f.reverse = true; break;
            case kSize: f.by_size = true; break;
            case kClassify: f.classify = true; break;
            case kNoGroup: f.no_group = true; break;
            case kNumeric: f.numeric = f.long_form = true; break;
            case kSlash: f.slash = true; break;
            case kUnsorted: f.unsorted = true; break;
            case kFullTime: f.long_form = full_time = true; break;
            default: break;
        }
    }
    if (f.all) f.almost_all = false;
    Lister lister(ctx, f);
    lister.full_time_ = full_time;
    const bool implicit = args->operands.empty();
    if (implicit) args->operands.push_back(".");
    std::vector<Item> files, dirs;
    for (const auto& operand : args->operands) {
        auto st = stat_operand(ctx, operand);
        if (!st) {
            report(ctx, "ls", "cannot access '" + operand + "'", st.error());
            lister.status_ = 2;
            continue;
        }
        Item item{operand, resolve(ctx, operand), *st};
        if (st->is_directory && !f.directory) dirs.push_back(item);
        else files.push_back(item);
    }
    lister.sort(files);
    lister.print(files, false);
    // Directory operands are listed in name order (reversed with -r), never by time or size.
    std::stable_sort(dirs.begin(), dirs.end(), [](const Item& a, const Item& b) { return a.name < b.name; });
    if (f.reverse) std::reverse(dirs.begin(), dirs.end());
    bool first_section = files.empty();
    const bool headers = f.recursive || args->operands.size() > 1;
    for (const auto& dir : dirs) lister.list_directory(dir, headers, first_section);
    lister.out().flush();
    return lister.status_;
}

}  // namespace halvorn::agentsh::cmd
