#include "agentsh/worker_pool.hpp"

#include <pthread.h>

#include <thread>
#include <vector>

namespace halvorn::agentsh {

namespace {

struct Worker {
    std::mutex mutex;
    std::condition_variable wake;
    std::function<void()> task;  // guarded by mutex
    Completion* done = nullptr;  // guarded by mutex
};

// Idle threads beyond this many end instead of waiting.
constexpr std::size_t kMaxIdle = 16;

struct Pool {
    std::mutex mutex;
    std::vector<Worker*> idle;  // guarded by mutex
};

// Never destroyed: idle workers wait on it until the process ends.
Pool& pool() {
    static Pool* instance = new Pool;
    return *instance;
}

// A child of fork() has only the forking thread: the idle workers listed
// are gone, and a task handed to one would never run (its pipeline would
// wait for ever). The forking thread holds the pool's mutex across the fork,
// so the child finds it consistent, forgets the workers (their memory is
// left, a few hundred bytes each) and lets the mutex go.
void before_fork() { pool().mutex.lock(); }
void after_fork_in_parent() { pool().mutex.unlock(); }
void after_fork_in_child() {
    pool().idle.clear();
    pool().mutex.unlock();
}

[[maybe_unused]] const int fork_handlers =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

void work(Worker* self) {
    for (;;) {
        std::function<void()> task;
        Completion* done;
        {
            std::unique_lock hold(self->mutex);
            self->wake.wait(hold, [self] { return self->done != nullptr; });
            task = std::move(self->task);
            done = self->done;
        }
        task();
        task = nullptr;  // the stage's streams close before it is reported done
        {
            std::lock_guard hold(self->mutex);
            self->done = nullptr;
        }
        bool keep;
        {
            std::lock_guard hold(pool().mutex);
            keep = pool().idle.size() < kMaxIdle;
            if (keep) pool().idle.push_back(self);
        }
        done->signal();
        if (!keep) {
            delete self;
            return;
        }
    }
}

}  // namespace

void run_on_worker(std::function<void()> task, Completion& done) {
    Worker* worker = nullptr;
    {
        std::lock_guard hold(pool().mutex);
        if (!pool().idle.empty()) {
            worker = pool().idle.back();
            pool().idle.pop_back();
        }
    }
    if (worker == nullptr) {
        worker = new Worker;
        std::thread(work, worker).detach();
    }
    std::lock_guard hold(worker->mutex);
    worker->task = std::move(task);
    worker->done = &done;
    worker->wake.notify_one();
}

}  // namespace halvorn::agentsh
