// What every thread of one run shares: the limits and their counters, the
// reason the run stopped (first one wins), cancellation, and the tree.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "agentsh/limits.hpp"

namespace halvorn {
class FileSystem;
}

namespace halvorn::agentsh {

class RunContext {
public:
    RunContext(const Limits& limits, std::shared_ptr<FileSystem> fs,
               const std::atomic<bool>* cancel)
        : limits(limits),
          fs(std::move(fs)),
          cancel_(cancel),
          start_(std::chrono::steady_clock::now()),
          deadline_(start_ + std::chrono::milliseconds(limits.max_wall_ms)),
          owner_(std::this_thread::get_id()) {}

    const Limits limits;
    const std::shared_ptr<FileSystem> fs;
    std::atomic<std::uint64_t> commands{0};
    std::atomic<std::uint64_t> iterations{0};
    std::atomic<std::uint64_t> output_bytes{0};
    std::int64_t now_ns = 0;
    // Called on the run's own thread now and then (the binding checks for
    // KeyboardInterrupt there); true asks the run to stop.
    std::function<bool()> poll;

    // Ends the run: the first reason is kept, with the status it gives.
    void stop(std::string message, int status) {
        std::lock_guard hold(mutex_);
        if (stopped_.load(std::memory_order_relaxed)) return;
        message_ = std::move(message);
        status_ = status;
        stopped_.store(true, std::memory_order_release);
    }
    void limit_reached(std::string_view name) {
        std::uint64_t value = 0;
        for (const LimitField& field : kLimitFields) {
            if (field.name == name) value = limits.*field.field;
        }
        stop("limit reached: " + std::string(name) + " (" + std::to_string(value) + ")", 1);
    }

    // True once the run should end: stopped, cancelled, out of time.
    bool should_stop() {
        if (stopped_.load(std::memory_order_acquire)) return true;
        if (cancel_ != nullptr && cancel_->load(std::memory_order_relaxed)) {
            stop("run cancelled", 130);
            return true;
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline_) {
            limit_reached("max_wall_ms");
            return true;
        }
        if (poll && std::this_thread::get_id() == owner_ && now - last_poll_ > kPollEvery) {
            last_poll_ = now;
            if (poll()) {
                stop("run interrupted", 130);
                return true;
            }
        }
        return false;
    }
    bool stopped() const { return stopped_.load(std::memory_order_acquire); }
    std::string message() const {
        std::lock_guard hold(mutex_);
        return message_;
    }
    int status() const {
        std::lock_guard hold(mutex_);
        return status_;
    }

private:
    static constexpr auto kPollEvery = std::chrono::milliseconds(20);
    const std::atomic<bool>* cancel_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point deadline_;
    std::chrono::steady_clock::time_point last_poll_{};  // owner thread only
    std::thread::id owner_;
    mutable std::mutex mutex_;
    std::atomic<bool> stopped_{false};
    std::string message_;  // guarded by mutex_
    int status_ = 0;       // guarded by mutex_
};

}  // namespace halvorn::agentsh
