// What a POSIX system tells about the machine and its user: the machine id of machine-id(5),
// the login environment, the account entry of passwd(5) and the locale.

#include "SystemLookup.h"

#include <QLocale>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <pwd.h>
#include <unistd.h>

namespace zel::platform {

namespace {

    std::optional<std::string> readMachineId(const char* path)
    {
        std::ifstream file(path, std::ios::binary);
        if (!file)
            return std::nullopt;
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (file.bad())
            return std::nullopt;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        // An empty file is a machine that has not been given its id yet (machine-id(5)).
        if (text.empty())
            return std::nullopt;
        return text;
    }

    std::optional<std::string> environment(const char* name)
    {
        const char* value = std::getenv(name);
        if (!value)
            return std::nullopt;
        return std::string(value);
    }

    class PosixSystemLookup final : public SystemLookup {
    public:
        std::optional<std::string> machineId() const override
        {
            // D-Bus keeps its own copy on systems where /etc/machine-id is missing.
            if (std::optional<std::string> id = readMachineId("/etc/machine-id"))
                return id;
            return readMachineId("/var/lib/dbus/machine-id");
        }

        std::optional<std::string> userName() const override { return environment("USER"); }

        std::optional<std::string> displayName() const override
        {
            long size = sysconf(_SC_GETPW_R_SIZE_MAX);
            std::string buffer(size > 0 ? std::size_t(size) : 1024, '\0');
            passwd entry {};
            passwd* found = nullptr;
            int rc;
            while (
                (rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE
                && buffer.size() < (1u << 20)) {
                buffer.resize(buffer.size() * 2);
            }
            if (rc != 0 || !found || !entry.pw_gecos)
                return std::nullopt;
            // The GECOS field holds the full name first, then comma-separated office and phones.
            std::string name(entry.pw_gecos);
            name = name.substr(0, name.find(','));
            if (name.empty())
                return std::nullopt;
            return name;
        }

        std::optional<std::string> userPrincipalName() const override
        {
            // An empty EMAIL names no address, just like an unset one.
            std::optional<std::string> email = environment("EMAIL");
            if (email && email->empty())
                return std::nullopt;
            return email;
        }

        std::vector<std::string> accountNames() const override { return {}; }

        std::optional<std::string> countryName() const override
        {
            const QLocale locale = QLocale::system();
            // The C and POSIX locales name no country.
            if (locale.country() == QLocale::AnyCountry)
                return std::nullopt;
            QString name = locale.nativeCountryName();
            if (name.isEmpty())
                name = QLocale::countryToString(locale.country());
            return name.toStdString();
        }
    };

} // namespace

std::unique_ptr<SystemLookup> createSystemLookup() { return std::make_unique<PosixSystemLookup>(); }

} // namespace zel::platform
