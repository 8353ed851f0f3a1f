#pragma once
// A stop: the one way a call into the model ends early. The message is the whole user-facing text.
#include <stdexcept>
#include <string>

namespace quorvelin {

struct Stop : std::runtime_error {
    explicit Stop(const std::string& text) : std::runtime_error(text), message(text) {}
    // The full text: what() ends at the first NUL, and a column name or path may hold one.
    std::string message;
};

[[noreturn]] void stop(const std::string& message);

// Throws and catches once, so that the runtime sets up this thread's exception state (thread-
// local blocks of libraries loaded at run time are made on first use) while memory is still
// there. Without it, the first exception of a thread that meets an exhausted heap aborts the
// process instead of raising. Called by every thread the engine starts, and at import.
void prepare_thread_exceptions() noexcept;

}  // namespace quorvelin
