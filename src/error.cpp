#include "error.hpp"

namespace quorvelin {

void stop(const std::string& message) { throw Stop(message); }

}  // namespace quorvelin
