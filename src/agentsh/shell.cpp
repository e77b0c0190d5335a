#include "agentsh/shell.hpp"

#include <chrono>

#include "agentsh/interp.hpp"
#include "agentsh/run_context.hpp"
#include "fs/file_system.hpp"

namespace halvorn::agentsh {

Shell::Shell(std::shared_ptr<FileSystem> fs, const Limits& limits, std::string cwd, Env env)
    : fs_(std::move(fs)), limits_(limits), start_cwd_(std::move(cwd)), start_env_(std::move(env)) {
    state_ = initial_state();
}

ShellState Shell::initial_state() const {
    ShellState state;
    state.cwd = start_cwd_.empty() ? "/" : start_cwd_;
    auto exported = [&](const std::string& name, std::string value) {
        Variable var;
        var.value = std::move(value);
        var.exported = true;
        state.vars[name] = std::move(var);
    };
    exported("HOME", "/");
    exported("PATH", "/usr/bin:/bin");
    exported("PWD", state.cwd);
    exported("SHELL", "/bin/halvornsh");
    exported("USER", "user");
    for (const auto& [name, value] : start_env_)
        exported(name, value);
    // Fixed values where bash has the process's own: no process here.
    auto fixed = [&](const std::string& name, std::string value, bool readonly) {
        Variable var;
        var.value = std::move(value);
        var.readonly = readonly;
        state.vars[name] = std::move(var);
    };
    fixed("PPID", "4241", true);
    fixed("UID", "1000", true);
    fixed("EUID", "1000", true);
    fixed("BASHPID", "4242", false);
    fixed("OSTYPE", "linux-gnu", false);
    fixed("HOSTNAME", "halvorn", false);
    fixed("HOSTTYPE", "x86_64", false);
    fixed("IFS", " \t\n", false);
    fixed("PS4", "+ ", false);
    fixed("OPTIND", "1", false);
    return state;
}

void Shell::reset() {
    if (running_.load(std::memory_order_acquire)) return;
    state_ = initial_state();
}

bool Shell::run(std::string_view script, std::string_view input, RunResult& result,
                const std::function<bool()>& poll) {
    bool idle = false;
    if (!running_.compare_exchange_strong(idle, true, std::memory_order_acq_rel)) return false;
    cancel_.store(false, std::memory_order_relaxed);
    result = RunResult();
    {
        RunContext run(limits_, fs_, &cancel_);
        run.poll = poll;
        run.now_ns = fixed_now_ns_ != 0
                         ? fixed_now_ns_
                         : std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
        Fds fds;
        fds[0] = std::make_shared<StringSource>(std::string(input));
        fds[1] = std::make_shared<CaptureSink>(result.out, run, true);
        fds[2] = std::make_shared<CaptureSink>(result.err, run, true);
        Interp interp(state_, run, std::move(fds));
        int status = interp.run_text(script);
        if (interp.flow == Flow::Exit) status = state_.last_status;
        if (run.stopped()) {
            status = run.status();
            result.err += state_.arg0 + ": " + run.message() + "\n";
        }
        // A stopped run may leave a function's frame or a loop half done;
        // the next run starts at the top level.
        state_.frames.clear();
        state_.last_status = status;
        result.status = status;
    }
    running_.store(false, std::memory_order_release);
    return true;
}

}  // namespace halvorn::agentsh
