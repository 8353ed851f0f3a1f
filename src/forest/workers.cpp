#include "forest/workers.hpp"

#include <chrono>

namespace quorvelin {

std::vector<uint64_t> work_plan(uint64_t n_tree, uint64_t n_thread) {
    if (n_tree < n_thread) return std::vector<uint64_t>(n_tree, 1);
    if (n_thread == 0) stop("attempt to divide by zero");
    const uint64_t base = n_tree / n_thread, rem = n_tree - base * n_thread;
    std::vector<uint64_t> plan(n_thread, base);
    for (uint64_t i = 0; i < rem; ++i) ++plan[i];
    return plan;
}

void WorkerGroup::wait(const InterruptCheck& interrupted) {
    try {
        for (size_t i = 0; i < started_; ++i) {
            std::unique_lock<std::mutex> lock(mutex_);
            while (!done_[i]) {
                finished_.wait_for(lock, std::chrono::milliseconds(10));
                if (interrupted && !done_[i]) {
                    lock.unlock();
                    interrupted();
                    lock.lock();
                }
            }
        }
    } catch (...) {
        stop_requested.store(true);
        wait_all();
        throw;
    }
}

void WorkerGroup::wait_all() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (size_t i = 0; i < started_; ++i) finished_.wait(lock, [&] { return done_[i] != 0; });
}

}  // namespace quorvelin
