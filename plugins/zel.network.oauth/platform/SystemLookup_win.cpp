// What Windows tells about the machine and its signed-in user: the registry, the process
// environment, the security support provider's account names and the user's locale.

#include "SystemLookup.h"

#define SECURITY_WIN32
#include <windows.h>

#include <security.h>

#include <cwchar>

namespace zel::platform {

namespace {

    // Every lookup of the user's details uses a buffer of this many UTF-16 characters.
    constexpr DWORD bufferSize = 256;

    std::string toUtf8(const wchar_t* text, std::size_t length)
    {
        if (length == 0)
            return {};
        const int size = WideCharToMultiByte(
            CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
        if (size <= 0)
            return {};
        std::string utf8(static_cast<std::size_t>(size), '\0');
        WideCharToMultiByte(
            CP_UTF8, 0, text, static_cast<int>(length), utf8.data(), size, nullptr, nullptr);
        return utf8;
    }

    // The text of a buffer up to its terminating zero (or its end, should there be none).
    std::string bufferText(const wchar_t* buffer, std::size_t capacity)
    {
        return toUtf8(buffer, wcsnlen(buffer, capacity));
    }

    std::optional<std::string> userNameEx(EXTENDED_NAME_FORMAT format)
    {
        wchar_t buffer[bufferSize] = {};
        ULONG size = bufferSize;
        if (!GetUserNameExW(format, buffer, &size))
            return std::nullopt;
        return bufferText(buffer, bufferSize);
    }

    class WindowsSystemLookup final : public SystemLookup {
    public:
        std::optional<std::string> machineId() const override
        {
            // The 64-bit view: a 32-bit process would otherwise read the redirected key, which
            // holds no MachineGuid.
            const DWORD flags = RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY;
            const wchar_t* key = L"Software\\Microsoft\\Cryptography";
            std::wstring value(64, L'\0');
            for (;;) {
                DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
                const LSTATUS status = RegGetValueW(
                    HKEY_LOCAL_MACHINE, key, L"MachineGuid", flags, nullptr, value.data(), &bytes);
                if (status == ERROR_MORE_DATA) {
                    // The value may grow between the calls; ask again with the size now needed.
                    value.assign(bytes / sizeof(wchar_t) + 1, L'\0');
                    continue;
                }
                // Missing, or of another type than REG_SZ: unreadable.
                if (status != ERROR_SUCCESS)
                    return std::nullopt;
                return bufferText(value.data(), bytes / sizeof(wchar_t));
            }
        }

        std::optional<std::string> userName() const override
        {
            std::wstring value(bufferSize, L'\0');
            for (;;) {
                SetLastError(ERROR_SUCCESS);
                const DWORD length = GetEnvironmentVariableW(
                    L"USERNAME", value.data(), static_cast<DWORD>(value.size()));
                // 0 is also the length of a variable that is set but empty.
                if (length == 0)
                    return GetLastError() == ERROR_ENVVAR_NOT_FOUND
                        ? std::nullopt
                        : std::optional<std::string>(std::string());
                if (length < value.size())
                    return toUtf8(value.data(), length);
                // Too small: length is the size needed, terminating zero included.
                value.assign(length, L'\0');
            }
        }

        std::optional<std::string> displayName() const override { return userNameEx(NameDisplay); }

        std::optional<std::string> userPrincipalName() const override
        {
            return userNameEx(NameUserPrincipal);
        }

        std::vector<std::string> accountNames() const override
        {
            std::vector<std::string> names;
            HKEY key = nullptr;
            if (RegOpenKeyExW(HKEY_CURRENT_USER,
                    L"Software\\Microsoft\\IdentityCRL\\UserExtendedProperties", 0,
                    KEY_ENUMERATE_SUB_KEYS, &key)
                != ERROR_SUCCESS)
                return names;
            // A key name has at most 255 characters, so the buffer always suffices.
            wchar_t name[bufferSize];
            for (DWORD index = 0;; ++index) {
                DWORD length = bufferSize;
                if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr)
                    != ERROR_SUCCESS)
                    break;
                names.push_back(toUtf8(name, length));
            }
            RegCloseKey(key);
            return names;
        }

        std::optional<std::string> countryName() const override
        {
            wchar_t buffer[bufferSize] = {};
            // A null locale name is the user's default locale (LOCALE_NAME_USER_DEFAULT).
            if (GetLocaleInfoEx(nullptr, LOCALE_SLOCALIZEDCOUNTRYNAME, buffer, bufferSize) == 0)
                return std::nullopt;
            return bufferText(buffer, bufferSize);
        }
    };

} // namespace

std::unique_ptr<SystemLookup> createSystemLookup()
{
    return std::make_unique<WindowsSystemLookup>();
}

} // namespace zel::platform
