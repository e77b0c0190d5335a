#include "agentsh/worker_pool.hpp"

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
