#pragma once

// Inside namespace zel the plain spelling network::X would name zel::network::X. These aliases
// make it name the host's global interfaces, so that class heads can spell the bases the way
// hosts cast by name (moc writes the spelling of the class head into the cast table).

#include "OAuth2Client.h"
#include "RegistrationRequest.h"

namespace zel::network {
using OAuth2Client = ::network::OAuth2Client;
using RegistrationRequest = ::network::RegistrationRequest;
namespace internal {
    using OAuth2DebugClient = ::network::internal::OAuth2DebugClient;
}
} // namespace zel::network
