#include "threads.hpp"

#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "error.hpp"

namespace quorvelin {

namespace {

// Never destroyed: kept threads wait on it until the process ends, after static destructors.
struct Pool {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    size_t idle = 0;
};

Pool* pool = nullptr;
pid_t pool_pid = 0;
std::mutex pool_guard;

// The pool of this process. A child made by fork() inherits the parent's bookkeeping but none
// of its threads (and maybe a locked mutex), so it starts a pool of its own.
Pool& current_pool() {
    std::lock_guard<std::mutex> lock(pool_guard);
    const pid_t pid = ::getpid();
    if (!pool || pool_pid != pid) {
        pool = new Pool;
        pool_pid = pid;
    }
    return *pool;
}

void serve(Pool& p) {
    prepare_thread_exceptions();
    std::unique_lock<std::mutex> lock(p.mutex);
    for (;;) {
        ++p.idle;
        p.wake.wait(lock, [&] { return !p.tasks.empty(); });
        --p.idle;
        std::function<void()> task = std::move(p.tasks.front());
        p.tasks.pop_front();
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
    }
}

}  // namespace

void run_on_worker(std::function<void()> task) {
    Pool& p = current_pool();
    std::unique_lock<std::mutex> lock(p.mutex);
    p.tasks.push_back(std::move(task));
    if (p.tasks.size() > p.idle) {
        try {
            std::thread(serve, std::ref(p)).detach();
        } catch (...) {
            p.tasks.pop_back();
            throw;
        }
    }
    lock.unlock();
    p.wake.notify_one();
}

}  // namespace quorvelin
