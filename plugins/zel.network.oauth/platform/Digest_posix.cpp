#include "Digest.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace zel::platform {

namespace {

    const EVP_MD* evpDigest(DigestAlgorithm algorithm)
    {
        return algorithm == DigestAlgorithm::Sha256 ? EVP_sha256() : EVP_sha1();
    }

} // namespace

std::string digest(DigestAlgorithm algorithm, std::string_view bytes)
{
    unsigned char result[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), result, &length, evpDigest(algorithm), nullptr) != 1)
        return {};
    return std::string(reinterpret_cast<const char*>(result), length);
}

std::string hmac(DigestAlgorithm algorithm, std::string_view key, std::string_view bytes)
{
    unsigned char result[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // An empty key still gets a valid pointer: HMAC_Init_ex reads a null key as "keep the
    // previous key", a meaning best not relied on.
    static const unsigned char emptyKey = 0;
    const void* keyData
        = key.empty() ? static_cast<const void*>(&emptyKey) : static_cast<const void*>(key.data());
    if (!HMAC(evpDigest(algorithm), keyData, static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), result, &length))
        return {};
    return std::string(reinterpret_cast<const char*>(result), length);
}

} // namespace zel::platform
