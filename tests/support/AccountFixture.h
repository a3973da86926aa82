#pragma once

// An account service for tests: its settings in a throw-away INI file, its servers on loopback,
// and a system lookup that answers what the test says.

#include "AbstractOAuth2Client.h"
#include "ScriptedHttpServer.h"
#include "TestLog.h"
#include "ZelOAuthClient.h"
#include "platform/SystemLookup.h"

#include <QJsonObject>
#include <QSettings>
#include <QSharedPointer>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zel::test {

// A lookup that answers what the test tells it.
struct FakeSystemLookup : zel::platform::SystemLookup {
    std::optional<std::string> machine, user, display, principal, country;
    std::vector<std::string> accounts;

    std::optional<std::string> machineId() const override { return machine; }
    std::optional<std::string> userName() const override { return user; }
    std::optional<std::string> displayName() const override { return display; }
    std::optional<std::string> userPrincipalName() const override { return principal; }
    std::vector<std::string> accountNames() const override { return accounts; }
    std::optional<std::string> countryName() const override { return country; }
};

// Optional texts travel through data tables as QVariant: invalid means absent.
inline std::optional<std::string> optionalText(const QVariant& value)
{
    return value.isValid() ? std::optional(value.toString().toStdString()) : std::nullopt;
}

// Client credentials as the test server issues them; both need encoding in URLs and forms.
inline QString testClientId() { return QStringLiteral("device 1/+"); }
inline QString testClientSecret() { return QStringLiteral("s3cret:&=%"); }

struct Account {
    QTemporaryDir dir;
    QSharedPointer<QSettings> settings;
    std::unique_ptr<zel::OAuth2ClientImpl> client;
    FakeSystemLookup* lookup = nullptr; // owned by client
};

// An account service (of class Client) whose OAuth/web server is oauthOrigin and whose API
// server is apiOrigin (the same when empty), holding the test's client credentials if told.
template <typename Client = zel::OAuth2ClientImpl>
std::unique_ptr<Account> makeAccount(
    const QString& oauthOrigin, bool withCredentials, const QString& apiOrigin = QString())
{
    auto account = std::make_unique<Account>();
    account->settings.reset(new QSettings(account->dir.filePath("s.ini"), QSettings::IniFormat));
    account->settings->setValue("oauthServer", oauthOrigin);
    account->settings->setValue("apiServer", apiOrigin.isEmpty() ? oauthOrigin : apiOrigin);
    account->client = std::make_unique<Client>(account->settings, nullptr);
    account->client->setSystemLookup(
        std::unique_ptr<FakeSystemLookup>(account->lookup = new FakeSystemLookup));
    if (withCredentials) {
        account->client->setClientId(testClientId());
        account->client->setClientSecret(testClientSecret());
    }
    return account;
}

// The device registration as the server answers it.
inline HttpResponse credentialsAnswer()
{
    return HttpResponse::json(
        QJsonObject { { "client_id", testClientId() }, { "client_secret", testClientSecret() } },
        201);
}

// A token response (RFC 6749, 5.1, with the MAC token's key and algorithm).
inline HttpResponse tokenAnswer()
{
    return HttpResponse::json(
        QJsonObject { { "access_token", "access-token-1" }, { "refresh_token", "refresh-token-1" },
            { "expires_in", 3600 }, { "secret", "mac-key-1" }, { "algorithm", "hmac-sha-256" } });
}

// "METHOD path" of every request, in order of arrival.
inline QStringList trace(const ScriptedHttpServer& server)
{
    QStringList lines;
    for (const HttpRequest& request : server.requests())
        lines << QString::fromLatin1(request.method + ' ' + request.path);
    return lines;
}

inline QList<HttpRequest> requestsTo(
    const ScriptedHttpServer& server, const QByteArray& method, const QByteArray& path)
{
    QList<HttpRequest> found;
    for (const HttpRequest& request : server.requests())
        if (request.method == method && request.path == path)
            found.append(request);
    return found;
}

} // namespace zel::test
