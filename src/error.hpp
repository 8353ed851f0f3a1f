#pragma once
// A stop: the one way a call into the model ends early. The message is the whole user-facing text.
#include <stdexcept>
#include <string>

namespace quorvelin {

struct Stop : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void stop(const std::string& message);

}  // namespace quorvelin
