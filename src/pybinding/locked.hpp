// A payload that an instance's methods may only reach under the instance's
// own mutex.
//
// Every call into the module already holds the interpreter lock, so the
// mutex is never contended in practice; it is there because the core's file
// handles and terminals have no synchronisation of their own and must not
// depend on the interpreter lock for theirs. Each instance has one mutex,
// it is taken after the interpreter lock, and never two at a time.
#pragma once

#include <mutex>
#include <type_traits>
#include <utility>

namespace halvorn::py {

template <class T>
class Locked {
public:
    explicit Locked(T&& value) noexcept(std::is_nothrow_move_constructible_v<T>)
        : value_(std::move(value)) {}
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

    // Runs `work` on the value with the mutex held and returns its result.
    // The mutex is released as soon as `work` returns or throws, so a
    // caller converts the result to a Python object after that.
    template <class Work>
    decltype(auto) with_lock(Work&& work) {
        std::lock_guard hold(mutex_);
        return std::forward<Work>(work)(value_);
    }

private:
    std::mutex mutex_;
    T value_;  // guarded by mutex_
};

}  // namespace halvorn::py
