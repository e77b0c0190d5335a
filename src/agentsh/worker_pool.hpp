// Threads for a pipeline's stages, kept and reused: starting a thread costs
// more than a short stage does (`echo hi | wc -c`).
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

namespace halvorn::agentsh {

class Completion {
public:
    void signal() {
        std::lock_guard hold(mutex_);
        done_ = true;
        done_changed_.notify_all();
    }
    void wait() {
        std::unique_lock hold(mutex_);
        done_changed_.wait(hold, [this] { return done_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable done_changed_;
    bool done_ = false;  // guarded by mutex_
};

// Runs `task` on a pooled thread and signals `done` when it has returned.
// The pool grows as needed, so a stage never waits for another to finish
// before it starts (stages of nested pipelines depend on each other).
void run_on_worker(std::function<void()> task, Completion& done);

}  // namespace halvorn::agentsh
