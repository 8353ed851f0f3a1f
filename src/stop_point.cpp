#include "stop_point.hpp"

#include <chrono>

namespace quorvelin {

namespace {

// Well under the 100 ms a person notices, well over the cost of the check (a signal poll, or
// taking the GIL when the call has released it).
constexpr std::chrono::milliseconds kStopPointPeriod{10};

thread_local const InterruptCheck* current_check = nullptr;
thread_local std::chrono::steady_clock::time_point last_check{};
thread_local bool raised = false;
thread_local const std::atomic<bool>* group_stop = nullptr;

}  // namespace

StopScope::StopScope(const InterruptCheck& check) : previous_(current_check) {
    current_check = check ? &check : nullptr;
    last_check = std::chrono::steady_clock::now();
    raised = false;
}

StopScope::~StopScope() { current_check = previous_; }

void stop_point() {
    if (group_stop) {
        if (group_stop->load(std::memory_order_relaxed)) throw Cancelled{};
        return;
    }
    if (!current_check) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_check < kStopPointPeriod) return;
    last_check = now;
    try {
        (*current_check)();
    } catch (...) {
        raised = true;
        throw;
    }
}

bool interrupt_raised() { return raised; }

void serve_group(const std::atomic<bool>* stop_requested) { group_stop = stop_requested; }

}  // namespace quorvelin
