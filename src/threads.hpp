#pragma once
// Worker threads kept for the life of the process. The engine's parallel work runs on them
// rather than on threads started for each call: a thread started when memory has run out cannot
// even allocate its thread-local data (the C library then ends the process), while a kept thread
// did that once, when it started, with memory to spare.
#include <functional>

namespace quorvelin {

// Runs `task` on a kept thread, starting a new one only when every kept thread is busy. `task`
// must not throw. Throws std::system_error when a needed thread cannot be started (the task
// then does not run).
void run_on_worker(std::function<void()> task);

}  // namespace quorvelin
