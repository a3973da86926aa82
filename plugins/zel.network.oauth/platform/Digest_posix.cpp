#include "Digest.h"

#include <openssl/evp.h>

namespace zel::platform {

std::string sha1Digest(std::string_view bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr) != 1)
        return {};
    return std::string(reinterpret_cast<const char*>(digest), length);
}

} // namespace zel::platform
