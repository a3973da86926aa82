#pragma once

// Platform-independent rules that turn system lookups into the device identity and the user
// details. Qt-free so that the Windows checks run the very same code.

#include "SystemLookup.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel::platform {

// Lower-case hexadecimal SHA-1 digest (40 characters) of the bytes, from the platform's digest.
std::string sha1Hex(std::string_view bytes);

// SHA-1 hex of the machine id exactly as read; the digest of no bytes when it is unreadable.
std::string deviceIdentifier(const SystemLookup& lookup);

struct UserDetails {
    std::optional<std::string> firstName;
    std::optional<std::string> lastName;
    std::optional<std::string> email; // the user principal name, when known
    // The profile's accounts, used only when email is absent, in the order in which the host's
    // settings list child groups on Windows.
    std::vector<std::string> emailList;
    std::optional<std::string> country;
};

// Sorts UTF-8 names the way the host's settings list child groups on Windows: case-sensitively,
// by UTF-16 code units.
void sortAsSettingsGroups(std::vector<std::string>& names);

// Display name split at its first space (both absent when the lookup failed), the principal
// name or else the account list as e-mail, and the country.
UserDetails userDetails(const SystemLookup& lookup);

} // namespace zel::platform
