// A payload that an instance's methods may only reach under the instance's
// own mutex.
//
// The core's file handles and terminals have no synchronisation of their
// own, and on a free-threaded interpreter nothing else serialises the calls
// on one instance: this mutex does.
//
// The rules every lock of the binding follows, with or without the
// interpreter lock:
//
// 1. A thread waits for a lock only while detached from the interpreter.
//    Without the interpreter lock the collector stops the world by waiting
//    until every attached thread detaches or checks in; a thread blocked
//    attached on a mutex whose holder waits for that stop would hang both.
//    With it, a waiter holding the interpreter lock would keep out a holder
//    that needs it back. So the mutex is tried first, and a thread that
//    finds it taken detaches for the wait.
// 2. What runs under a lock never detaches, never runs Python code and can
//    start no collection: only the core's work, and no Python object is made
//    there, not even one the collector does not track (bytes, str), since an
//    allocation that fails makes its MemoryError on the spot, and making that
//    can start a collection. Results are sized under the lock and made once
//    it is let go, exceptions too, and the read report's write happens after
//    it. The one exception is a copy of many bytes between a caller's buffer
//    and a file (with_lock_detached): it detaches before it takes the mutex,
//    so it waits detached as rule 1 asks, and stays detached, touching no
//    Python object, until the mutex is let go; other threads run meanwhile.
// 3. Order: attached to the interpreter, then one instance mutex (never two
//    at a time), then the core's locks in the order of
//    src/fs/file_system.hpp. The core's locks are taken attached: their
//    holders follow rule 2, so their waits end without the collector.
// 4. One-time state (type objects, the fault class, the module) is made
//    without any lock and published with one atomic exchange; a thread that
//    loses the race drops what it made. Nothing waits on a C++ static
//    initialisation guard for a value whose making can run Python code.
#pragma once

#include "pybinding/python.hpp"

#include <mutex>
#include <type_traits>
#include <utility>

#include "pybinding/instance_mutex.hpp"

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
    // caller converts the result to a Python object after that. The caller
    // is attached to the interpreter.
    template <class Work>
    decltype(auto) with_lock(Work&& work) {
        if (!mutex_.try_lock()) lock_detached();
        std::lock_guard hold(mutex_, std::adopt_lock);
        return std::forward<Work>(work)(value_);
    }

    // The same, detached from the interpreter from before the mutex is taken
    // until after it is let go, for work that copies many bytes and touches
    // no Python object (rule 2). The caller is attached.
    template <class Work>
    decltype(auto) with_lock_detached(Work&& work) {
        const Detached detached;
        mutex_.lock();
        std::lock_guard hold(mutex_, std::adopt_lock);
        return std::forward<Work>(work)(value_);
    }

private:
    // Lets go of the interpreter for its scope, and takes it back on every
    // way out (the work may throw).
    struct Detached {
        Detached() : state(PyEval_SaveThread()) {}
        ~Detached() { PyEval_RestoreThread(state); }
        Detached(const Detached&) = delete;
        Detached& operator=(const Detached&) = delete;
        PyThreadState* state;
    };

    // Taken by another thread: wait detached (rule 1). Kept out of line so
    // that the uncontended path stays a single atomic exchange.
    [[gnu::noinline, gnu::cold]] void lock_detached() {
        Py_BEGIN_ALLOW_THREADS mutex_.lock();
        Py_END_ALLOW_THREADS
    }

    InstanceMutex mutex_;
    T value_;  // guarded by mutex_
};

}  // namespace halvorn::py
