// SHA-1, SHA-256 and their HMACs from Windows CNG (bcrypt): Windows 7 on, and Wine.

#include "Digest.h"

#include <windows.h>

#include <bcrypt.h>

#include <limits>

namespace zel::platform {

namespace {

    // CNG only reads its inputs; the non-const pointers are an artefact of the API. An empty
    // input still gets a valid pointer, as some providers refuse a null one.
    PUCHAR input(std::string_view bytes)
    {
        static char none = 0;
        return reinterpret_cast<PUCHAR>(bytes.empty() ? &none : const_cast<char*>(bytes.data()));
    }

    std::string compute(
        DigestAlgorithm algorithm, const std::string_view* key, std::string_view bytes)
    {
        constexpr auto limit = std::numeric_limits<ULONG>::max();
        if (bytes.size() > limit || (key && key->size() > limit))
            return {};
        BCRYPT_ALG_HANDLE provider = nullptr;
        const bool sha256 = algorithm == DigestAlgorithm::Sha256;
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider,
                sha256 ? BCRYPT_SHA256_ALGORITHM : BCRYPT_SHA1_ALGORITHM, nullptr,
                key ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0)))
            return {};
        std::string result(sha256 ? 32 : 20, '\0');
        BCRYPT_HASH_HANDLE hash = nullptr;
        const bool ok = BCRYPT_SUCCESS(BCryptCreateHash(provider, &hash, nullptr, 0,
                            key ? input(*key) : nullptr, key ? ULONG(key->size()) : 0, 0))
            && BCRYPT_SUCCESS(BCryptHashData(hash, input(bytes), ULONG(bytes.size()), 0))
            && BCRYPT_SUCCESS(BCryptFinishHash(
                hash, reinterpret_cast<PUCHAR>(result.data()), ULONG(result.size()), 0));
        if (hash)
            BCryptDestroyHash(hash);
        BCryptCloseAlgorithmProvider(provider, 0);
        return ok ? result : std::string();
    }

} // namespace

std::string digest(DigestAlgorithm algorithm, std::string_view bytes)
{
    return compute(algorithm, nullptr, bytes);
}

std::string hmac(DigestAlgorithm algorithm, std::string_view key, std::string_view bytes)
{
    return compute(algorithm, &key, bytes);
}

} // namespace zel::platform
