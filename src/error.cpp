#include "error.hpp"

namespace quorvelin {

void stop(const std::string& message) { throw Stop(message); }

void prepare_thread_exceptions() noexcept {
    try {
        throw Stop(std::string());
    } catch (const Stop&) {
    } catch (...) {
    }
}

}  // namespace quorvelin
