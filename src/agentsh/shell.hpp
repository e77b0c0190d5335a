// One agent shell on a tree: runs scripts as lines typed into one bash
// session (state persists between runs), each run bounded by the limits.
// A run may be cancelled from another thread; one run at a time.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "agentsh/limits.hpp"
#include "agentsh/state.hpp"

namespace halvorn {
class FileSystem;
}

namespace halvorn::agentsh {

struct RunResult {
    std::string out;
    std::string err;
    int status = 0;
};

class Shell {
public:
    using Env = std::vector<std::pair<std::string, std::string>>;

    Shell(std::shared_ptr<FileSystem> fs, const Limits& limits, std::string cwd, Env env);

    // Runs `script` with `input` as its stdin. `poll` is called on this
    // thread now and then; returning true stops the run (an interrupt).
    // False without running when another run is in progress.
    bool run(std::string_view script, std::string_view input, RunResult& result,
             const std::function<bool()>& poll = {});
    // Back to the state the shell started with.
    void reset();
    // Ends the run in progress at its next command (any thread).
    void cancel() { cancel_.store(true, std::memory_order_relaxed); }
    // The clock `date` and the file times of commands read, fixed by a host.
    void set_clock(std::int64_t now_ns) { fixed_now_ns_ = now_ns; }

    const Limits& limits() const { return limits_; }
    const std::shared_ptr<FileSystem>& fs() const { return fs_; }

private:
    ShellState initial_state() const;

    std::shared_ptr<FileSystem> fs_;
    Limits limits_;
    std::string start_cwd_;
    Env start_env_;
    ShellState state_;  // touched by the run in progress only
    std::atomic<bool> running_{false};
    std::atomic<bool> cancel_{false};
    std::int64_t fixed_now_ns_ = 0;
};

}  // namespace halvorn::agentsh
