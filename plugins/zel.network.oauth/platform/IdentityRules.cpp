#include "IdentityRules.h"

#include <algorithm>

#include <array>
#include <cstdint>

namespace zel::platform {

namespace {

    // SHA-1 as defined in FIPS 180-4, section 6.1. Kept here, small and dependency-free, so that
    // every platform derives the identity digests from the very same code.
    class Sha1 {
    public:
        void update(std::string_view data)
        {
            for (const char c : data) {
                block[blockLength++] = static_cast<std::uint8_t>(c);
                if (blockLength == block.size())
                    compress();
            }
            messageLength += data.size();
        }

        std::array<std::uint8_t, 20> finish()
        {
            const std::uint64_t bitLength = messageLength * 8;
            // FIPS 180-4, 5.1.1: a one bit, zeros up to 56 bytes modulo 64, then the 64-bit length.
            block[blockLength++] = 0x80;
            if (blockLength > 56) {
                while (blockLength < block.size())
                    block[blockLength++] = 0;
                compress();
            }
            while (blockLength < 56)
                block[blockLength++] = 0;
            for (int i = 7; i >= 0; --i)
                block[blockLength++] = static_cast<std::uint8_t>(bitLength >> (8 * i));
            compress();

            std::array<std::uint8_t, 20> digest {};
            for (std::size_t i = 0; i < 5; ++i) {
                for (std::size_t j = 0; j < 4; ++j)
                    digest[4 * i + j] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * j));
            }
            return digest;
        }

    private:
        static std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

        void compress()
        {
            std::array<std::uint32_t, 80> w {};
            for (std::size_t t = 0; t < 16; ++t) {
                w[t] = std::uint32_t(block[4 * t]) << 24 | std::uint32_t(block[4 * t + 1]) << 16
                    | std::uint32_t(block[4 * t + 2]) << 8 | std::uint32_t(block[4 * t + 3]);
            }
            for (std::size_t t = 16; t < 80; ++t)
                w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

            std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
            for (std::size_t t = 0; t < 80; ++t) {
                std::uint32_t f, k;
                if (t < 20) {
                    f = (b & c) | (~b & d);
                    k = 0x5a827999;
                } else if (t < 40) {
                    f = b ^ c ^ d;
                    k = 0x6ed9eba1;
                } else if (t < 60) {
                    f = (b & c) | (b & d) | (c & d);
                    k = 0x8f1bbcdc;
                } else {
                    f = b ^ c ^ d;
                    k = 0xca62c1d6;
                }
                const std::uint32_t temp = rotl(a, 5) + f + e + k + w[t];
                e = d;
                d = c;
                c = rotl(b, 30);
                b = a;
                a = temp;
            }
            state[0] += a;
            state[1] += b;
            state[2] += c;
            state[3] += d;
            state[4] += e;
            blockLength = 0;
        }

        std::array<std::uint32_t, 5> state { 0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476,
            0xc3d2e1f0 };
        std::array<std::uint8_t, 64> block {};
        std::size_t blockLength = 0;
        std::uint64_t messageLength = 0;
    };

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
    Sha1 sha1;
    sha1.update(bytes);
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(40);
    for (const std::uint8_t byte : sha1.finish()) {
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
