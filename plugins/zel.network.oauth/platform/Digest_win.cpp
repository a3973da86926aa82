// SHA-1 from Windows CNG (bcrypt): Windows 7 on, and Wine.

#include "Digest.h"

#include <windows.h>

#include <bcrypt.h>

#include <limits>

namespace zel::platform {

std::string sha1Digest(std::string_view bytes)
{
    if (bytes.size() > std::numeric_limits<ULONG>::max())
        return {};
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0)))
        return {};
    std::string digest(20, '\0');
    BCRYPT_HASH_HANDLE hash = nullptr;
    // CNG only reads the input; the non-const pointer is an artefact of the API.
    const bool ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))
        && BCRYPT_SUCCESS(BCryptHashData(hash,
            reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())), ULONG(bytes.size()), 0))
        && BCRYPT_SUCCESS(BCryptFinishHash(
            hash, reinterpret_cast<PUCHAR>(digest.data()), ULONG(digest.size()), 0));
    if (hash)
        BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok ? digest : std::string();
}

} // namespace zel::platform
