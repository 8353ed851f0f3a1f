#pragma once
// Worker threads of one call: the forest grows and routes trees on them, the loader bins
// feature columns on them. Every started worker is joined before the group goes away.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "error.hpp"

namespace quorvelin {

// Called on the calling thread between trees and while it waits for workers; it may throw to
// abandon the call (the forest is then left as it was).
using InterruptCheck = std::function<void()>;

// Thrown inside a worker that saw stop_requested: it ends quietly, without an error.
struct Cancelled {};

// Tree counts per worker: T < W gives T workers of one tree; otherwise W shares differing by at
// most one, larger first. W = 0 with T >= W stops with "attempt to divide by zero".
std::vector<uint64_t> work_plan(uint64_t n_tree, uint64_t n_thread);

class WorkerGroup {
public:
    explicit WorkerGroup(size_t capacity) : errors_(capacity), done_(capacity, 0) { threads_.reserve(capacity); }
    ~WorkerGroup() { join_all(); }
    WorkerGroup(const WorkerGroup&) = delete;
    WorkerGroup& operator=(const WorkerGroup&) = delete;

    // Starts `body` on a new thread; stops with "failed to spawn thread" (after stopping and
    // joining the workers already started) when the system refuses one.
    template <class Body>
    void start(Body body) {
        if (!try_start(std::move(body))) {
            stop_requested.store(true);
            join_all();
            stop("failed to spawn thread");
        }
    }

    // As start, but returns false when the system refuses the thread, for callers that can do
    // the work on fewer threads.
    template <class Body>
    bool try_start(Body body) {
        const size_t slot = threads_.size();
        if (slot >= errors_.size()) stop("more workers started than planned");
        try {
            threads_.emplace_back([this, slot, body = std::move(body)]() mutable { run(slot, body); });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    // Waits for every worker in start order, calling `interrupted` while it waits. When the
    // check throws, the workers are told to stop, joined, and the exception goes on.
    void wait(const InterruptCheck& interrupted);

    // The first failure in start order, if any.
    void rethrow_first_error() const {
        for (const auto& e : errors_)
            if (e) std::rethrow_exception(e);
    }

    size_t size() const { return threads_.size(); }

    std::atomic<bool> stop_requested{false};

private:
    template <class Body>
    void run(size_t slot, Body& body) {
        prepare_thread_exceptions();
        try {
            body();
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
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_[slot] = true;
        }
        finished_.notify_all();
    }

    void join_all() {
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }

    std::vector<std::thread> threads_;
    std::vector<std::exception_ptr> errors_;
    std::vector<char> done_;
    std::mutex mutex_;
    std::condition_variable finished_;
};

}  // namespace quorvelin
