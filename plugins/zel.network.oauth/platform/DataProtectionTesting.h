#pragma once

// Test hooks of the POSIX data protection, apart from the production interface.

#include "DataProtection.h"

#include <optional>

namespace zel::platform {

// Binds blobs to this machine id and user id instead of the real ones, so that a test can play
// another machine or user. nullopt restores the real value.
void setBindingForTesting(std::optional<std::string> machineId, std::optional<unsigned> uid);

} // namespace zel::platform
