// sleep: waits the sum of its intervals (NUMBER[smhd]) in short slices,
// returning early once the run should stop, so that it never outlasts the
// shell's time limit.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

bool parse_interval(const std::string& word, double& seconds) {
    if (word.empty()) return false;
    char* end = nullptr;
    double value = std::strtod(word.c_str(), &end);
    if (end == word.c_str() || std::isnan(value) || value < 0) return false;
    std::string_view unit(end);
    if (unit.size() > 1) return false;
    const double scale = unit.empty() || unit == "s" ? 1
                         : unit == "m"               ? 60
                         : unit == "h"               ? 3600
                         : unit == "d"               ? 86400
                                                     : -1;
    if (scale < 0) return false;
    seconds = value * scale;
    return true;
}

}  // namespace

int sleep_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    // "-1" is an interval (refused as one), not an option.
    auto args = parse_options(ctx, argv, {}, {.stop_at_operand = true});
    if (!args) return 1;
    if (args->operands.empty()) {
        usage_error(ctx, "sleep", "missing operand");
        return 1;
    }
    double total = 0;
    bool bad = false;
    for (const auto& word : args->operands) {
        double seconds = 0;
        if (!parse_interval(word, seconds)) {
            write_text(*ctx.err, "sleep: invalid time interval " + quote(word) + "\n");
            bad = true;
        }
        total += seconds;
    }
    if (bad) {
        write_text(*ctx.err, "Try 'sleep --help' for more information.\n");
        return 1;
    }
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(std::min(total, 1e9)));
    while (Clock::now() < until) {
        if (stopped(ctx)) return 130;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(10)));
    }
    return 0;
}

}  // namespace halvorn::agentsh::cmd
