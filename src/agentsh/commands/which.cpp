// which: where a command's program would be. The shell starts no programs;
// its utilities stand in for the system's, so each is shown where a
// Debian-like system keeps it (/usr/bin/NAME, or /bin/NAME as PATH orders
// them), and a script that checks
// `which grep` before using grep finds it. Builtins of the language that
// also ship as programs (echo, test, ...) are found the same way.
#include <algorithm>
#include <array>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"

namespace halvorn::agentsh::cmd {
namespace {

constexpr std::array<std::string_view, 8> kBuiltinPrograms = {"[",      "echo", "false", "kill",
                                                              "printf", "pwd",  "test",  "true"};

bool known(std::string_view name) {
    return find_command(name) != nullptr ||
           std::find(kBuiltinPrograms.begin(), kBuiltinPrograms.end(), name) !=
               kBuiltinPrograms.end();
}

}  // namespace

int which_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    // Debian's which knows -a alone, and says so in its own words.
    std::size_t first = 1;
    for (; first < argv.size() && argv[first].size() > 1 && argv[first][0] == '-'; ++first) {
        if (argv[first] == "--") {
            ++first;
            break;
        }
        for (std::size_t k = 1; k < argv[first].size(); ++k) {
            if (argv[first][k] == 'a') continue;
            write_text(*ctx.err, std::string("Illegal option -") + argv[first][k] + "\n");
            write_text(*ctx.out, "Usage: /usr/bin/which [-a] args\n");
            return 2;
        }
    }
    if (first >= argv.size()) return 1;
    bool all = false;
    for (std::size_t i = 1; i < first; ++i)
        all |= argv[i] != "--";
    // The PATH directories where the system keeps its programs (/usr/bin,
    // and /bin, the same directory on a merged-/usr system), in PATH order.
    std::string path = "/usr/bin:/bin";
    if (ctx.env)
        for (const auto& [key, value] : *ctx.env)
            if (key == "PATH") path = value;
    std::vector<std::string> homes;
    for (std::size_t at = 0; at <= path.size();) {
        std::size_t colon = path.find(':', at);
        if (colon == std::string::npos) colon = path.size();
        std::string dir = path.substr(at, colon - at);
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        if (dir == "/usr/bin" || dir == "/bin") homes.push_back(dir);
        at = colon + 1;
    }
    Output out(*ctx.out);
    int status = 0;
    for (std::size_t i = first; i < argv.size(); ++i) {
        const std::string& name = argv[i];
        // A name with a slash is a path: found if the tree holds it.
        const bool is_path = name.find('/') != std::string::npos;
        if (is_path) {
            if (!stat_operand(ctx, name))
                status = 1;
            else
                out.put(name + "\n");
            continue;
        }
        if (!known(name) || homes.empty()) {
            status = 1;
            continue;
        }
        for (const auto& home : homes) {
            out.put(home + "/" + name + "\n");
            if (!all) break;
        }
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
