#pragma once
// Ctrl-C reaches the engine's inner loops (binning, growth, routing) through stop_point(),
// without an interrupt check passed down every call: the calling thread installs its check
// for the length of a call, and the workers of a WorkerGroup see the group's stop flag.
#include <atomic>
#include <functional>

namespace quorvelin {

// Called on the calling thread while a call runs; it may throw to abandon the call (the forest
// is then left as it was).
using InterruptCheck = std::function<void()>;

// Thrown inside a worker that saw its group's stop flag: it ends quietly, without an error.
struct Cancelled {};

// Makes `check` the calling thread's interrupt check until the scope ends (scopes nest).
class StopScope {
public:
    explicit StopScope(const InterruptCheck& check);
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

private:
    const InterruptCheck* previous_;
};

// Cheap enough for every node or block of rows. On the calling thread it runs the installed
// check when at least kStopPointPeriod has passed since the last run (one clock read
// otherwise); a check that throws marks the thread as interrupted and the exception goes on.
// On a worker it throws Cancelled once the group has been told to stop.
void stop_point();

// True on a calling thread whose check has thrown inside the current scope: code that keeps
// other failures for later (in order) lets this one through at once.
bool interrupt_raised();

// Binds the running worker thread to its group's stop flag (nullptr to unbind).
void serve_group(const std::atomic<bool>* stop_requested);

}  // namespace quorvelin
