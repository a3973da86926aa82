#include "IdentityRules.h"

#include "Digest.h"

#include <algorithm>
#include <cstdint>

namespace zel::platform {

namespace {

    // The UTF-16 code units of UTF-8 text; an invalid byte stands for U+FFFD, as in Qt.
    std::u16string utf16(std::string_view text)
    {
        std::u16string units;
        for (std::size_t i = 0; i < text.size();) {
            const auto byte = [&](std::size_t at) { return std::uint8_t(text[at]); };
            const std::uint8_t lead = byte(i);
            const int length = lead < 0x80 ? 1
                : (lead >> 5) == 0x6       ? 2
                : (lead >> 4) == 0xe       ? 3
                : (lead >> 3) == 0x1e      ? 4
                                           : 0;
            std::uint32_t point = length == 1 ? lead
                : length == 2                 ? lead & 0x1fu
                : length == 3                 ? lead & 0x0fu
                                              : lead & 0x07u;
            bool valid = length > 0 && i + length <= text.size();
            for (int k = 1; valid && k < length; ++k) {
                valid = (byte(i + k) & 0xc0) == 0x80;
                point = point << 6 | (byte(i + k) & 0x3fu);
            }
            // Overlong forms, surrogates and points past U+10FFFF are not UTF-8.
            static constexpr std::uint32_t smallest[] = { 0, 0, 0x80, 0x800, 0x10000 };
            valid = valid && point >= smallest[length] && point <= 0x10ffff
                && (point < 0xd800 || point > 0xdfff);
            if (!valid) {
                units.push_back(u'\xfffd');
                ++i;
                continue;
            }
            if (point >= 0x10000) {
                units.push_back(char16_t(0xd800 + ((point - 0x10000) >> 10)));
                units.push_back(char16_t(0xdc00 + ((point - 0x10000) & 0x3ff)));
            } else {
                units.push_back(char16_t(point));
            }
            i += std::size_t(length);
        }
        return units;
    }

} // namespace

void sortAsSettingsGroups(std::vector<std::string>& names)
{
    // Case-sensitive, by UTF-16 code unit: a character past U+FFFF (a surrogate pair) sorts
    // before U+E000..U+FFFF, unlike in a byte-wise sort of UTF-8.
    std::stable_sort(names.begin(), names.end(),
        [](const std::string& a, const std::string& b) { return utf16(a) < utf16(b); });
}

std::string sha1Hex(std::string_view bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(40);
    for (const char c : digest(DigestAlgorithm::Sha1, bytes)) {
        const auto byte = std::uint8_t(c);
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 0x0f]);
    }
    return hex;
}

std::string deviceIdentifier(const SystemLookup& lookup)
{
    // An unreadable id is no failure: the server then gets the digest of no bytes.
    return sha1Hex(lookup.machineId().value_or(std::string()));
}

UserDetails userDetails(const SystemLookup& lookup)
{
    UserDetails details;

    if (const std::optional<std::string> displayName = lookup.displayName()) {
        // Only the first space separates: inner and trailing spaces stay in the last name, and
        // a name without a space leaves the last name present but empty.
        const std::size_t space = displayName->find(' ');
        if (space == std::string::npos) {
            details.firstName = *displayName;
            details.lastName = std::string();
        } else {
            details.firstName = displayName->substr(0, space);
            details.lastName = displayName->substr(space + 1);
        }
    }

    details.email = lookup.userPrincipalName();
    // The profile's accounts are only a fallback; they are not even asked for otherwise.
    if (!details.email) {
        details.emailList = lookup.accountNames();
        sortAsSettingsGroups(details.emailList);
    }

    details.country = lookup.countryName();
    return details;
}

} // namespace zel::platform
