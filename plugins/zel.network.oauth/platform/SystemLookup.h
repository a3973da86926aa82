#pragma once

// What the operating system tells about this machine and its signed-in user; all text is UTF-8.
// The interface is Qt-free, so that the Windows implementation builds and is checked without Qt
// (tests/windows); the POSIX one reads the locale through QLocale.

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zel::platform {

class SystemLookup {
public:
    virtual ~SystemLookup() = default;
    // The machine's stable identifier as stored by the system; nullopt when it cannot be read.
    virtual std::optional<std::string> machineId() const = 0;
    // The login name of the user; nullopt when unset.
    virtual std::optional<std::string> userName() const = 0;
    // The user's display name ("First Last"); nullopt when the lookup fails.
    virtual std::optional<std::string> displayName() const = 0;
    // The user principal name (an e-mail address); nullopt when the lookup fails.
    virtual std::optional<std::string> userPrincipalName() const = 0;
    // E-mail addresses of the accounts the user profile knows, in the system's order.
    virtual std::vector<std::string> accountNames() const = 0;
    // Localized name of the country of the user's default locale; nullopt when none.
    virtual std::optional<std::string> countryName() const = 0;
};

// The implementation for the platform this build targets.
std::unique_ptr<SystemLookup> createSystemLookup();

} // namespace zel::platform
