// Data protection on Windows: the user's data-protection API (DPAPI), which binds a blob to the
// signed-in user without asking anything of the user.

#include "DataProtection.h"

#include <windows.h>

#include <dpapi.h>

#include <limits>

namespace zel::platform {

namespace {

    ProtectionResult failure(const char* function, DWORD error)
    {
        ProtectionResult result;
        result.error = std::string(function) + " failed with error " + std::to_string(error);
        return result;
    }

    // The output blob belongs to the system heap: copy it out, then wipe and free it, so that no
    // plain text lingers in freed memory.
    ProtectionResult takeBlob(DATA_BLOB& out)
    {
        ProtectionResult result;
        result.data.assign(out.pbData, out.pbData + out.cbData);
        result.ok = true;
        wipe(out.pbData, out.cbData);
        LocalFree(out.pbData);
        return result;
    }

    bool makeInput(const Bytes& bytes, DATA_BLOB& in)
    {
        if (bytes.size() > std::numeric_limits<DWORD>::max())
            return false;
        // The functions only read the input; the non-const pointer is an artefact of the API. An
        // empty vector may have no storage at all, and the API is not asked to cope with that.
        static BYTE none = 0;
        in.cbData = static_cast<DWORD>(bytes.size());
        in.pbData = bytes.empty() ? &none : const_cast<BYTE*>(bytes.data());
        return true;
    }

} // namespace

ProtectionResult protectBytes(const Bytes& plain)
{
    DATA_BLOB in {};
    if (!makeInput(plain, in))
        return failure("CryptProtectData", ERROR_INVALID_PARAMETER);
    DATA_BLOB out {};
    if (!CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
        return failure("CryptProtectData", GetLastError());
    return takeBlob(out);
}

ProtectionResult unprotectBytes(const Bytes& blob)
{
    if (blob.empty()) {
        ProtectionResult result;
        result.ok = true;
        return result;
    }
    DATA_BLOB in {};
    if (!makeInput(blob, in))
        return failure("CryptUnprotectData", ERROR_INVALID_PARAMETER);
    DATA_BLOB out {};
    if (!CryptUnprotectData(
            &in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
        return failure("CryptUnprotectData", GetLastError());
    return takeBlob(out);
}

std::string keyStoreDescription() { return "the user's Windows logon (DPAPI)"; }

} // namespace zel::platform
