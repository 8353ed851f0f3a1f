#pragma once
// The workers of one call, run on the process's kept threads: the forest grows and routes trees
// on them, the loader bins feature columns on them. Every started worker has ended before the
// group goes away.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "error.hpp"
#include "stop_point.hpp"
#include "threads.hpp"

namespace quorvelin {

// Tree counts per worker: T < W gives T workers of one tree; otherwise W shares differing by at
// most one, larger first. W = 0 with T >= W stops with "attempt to divide by zero".
std::vector<uint64_t> work_plan(uint64_t n_tree, uint64_t n_thread);

class WorkerGroup {
public:
    explicit WorkerGroup(size_t capacity) : errors_(capacity), done_(capacity, 0) {}
    ~WorkerGroup() { wait_all(); }
    WorkerGroup(const WorkerGroup&) = delete;
    WorkerGroup& operator=(const WorkerGroup&) = delete;

    // Starts `body` on a kept thread (threads.hpp); stops with "failed to spawn thread" (after
    // stopping and awaiting the workers already started) when the system refuses one.
    template <class Body>
    void start(Body body) {
        if (!try_start(std::move(body))) {
            stop_requested.store(true);
            wait_all();
            stop("failed to spawn thread");
        }
    }

    // As start, but returns false when the system refuses the thread, for callers that can do
    // the work on fewer threads.
    template <class Body>
    bool try_start(Body body) {
        const size_t slot = started_;
        if (slot >= errors_.size()) stop("more workers started than planned");
        try {
            run_on_worker([this, slot, body = std::move(body)]() mutable noexcept { run(slot, body); });
        } catch (const std::system_error&) {
            return false;
        }
        ++started_;
        return true;
    }

    // Waits for every worker in start order, calling `interrupted` every 10 ms while it waits
    // (the workers see the stop flag per node or block of rows). When the check throws, the workers are told to stop, awaited, and the exception goes on.
    void wait(const InterruptCheck& interrupted);

    // The first failure in start order, if any.
    void rethrow_first_error() const {
        for (const auto& e : errors_)
            if (e) std::rethrow_exception(e);
    }

    size_t size() const { return started_; }

    // Throws Cancelled once the group has been told to stop; workers call it between steps.
    void check_cancelled() const {
        if (stop_requested.load(std::memory_order_relaxed)) throw Cancelled{};
    }

    std::atomic<bool> stop_requested{false};

private:
    template <class Body>
    void run(size_t slot, Body& body) {
        serve_group(&stop_requested);
        try {
            Body work = std::move(body);  // its captures go before the end is reported
            work();
        } catch (const Cancelled&) {
        } catch (const Stop& e) {
            // Written by length: a name in the message may hold a NUL.
            const std::string line = "quorvelin worker " + std::to_string(slot) + ": " + e.message + "\n";
            std::fwrite(line.data(), 1, line.size(), stderr);
            errors_[slot] = std::current_exception();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quorvelin worker %zu: %s\n", slot, e.what());
            errors_[slot] = std::current_exception();
        } catch (...) {
            std::fprintf(stderr, "quorvelin worker %zu: unknown failure\n", slot);
            errors_[slot] = std::current_exception();
        }
        serve_group(nullptr);
        // Notified under the lock: once the waiter sees the flag, the group may be gone.
        std::lock_guard<std::mutex> lock(mutex_);
        done_[slot] = true;
        finished_.notify_all();
    }

    void wait_all();

    size_t started_ = 0;
    std::vector<std::exception_ptr> errors_;
    std::vector<char> done_;
    std::mutex mutex_;
    std::condition_variable finished_;
};

}  // namespace quorvelin
