#pragma once

// The account service of the flow suites, against servers of their own, and the answers and
// traces that they share.

#include "ScriptedHttpServer.h"
#include "ServiceFixture.h"
#include "TestLog.h"

#include <QJsonObject>
#include <QStringList>
#include <QTest>

namespace zel::test {

// Optional texts travel through data tables as QVariant: invalid means absent.
inline std::optional<std::string> optionalText(const QVariant& value)
{
    return value.isValid() ? std::optional(value.toString().toStdString()) : std::nullopt;
}

// An account service (of class Client) whose OAuth/web server is oauthOrigin and whose API
// server is apiOrigin (the same when empty), holding the test's client credentials if told.
template <typename Client = zel::OAuth2ClientImpl>
std::unique_ptr<ServiceFixture<Client>> makeAccount(
    const QString& oauthOrigin, bool withCredentials, const QString& apiOrigin = QString())
{
    return std::make_unique<ServiceFixture<Client>>(withCredentials,
        QVariantMap { { zel::network::settings::oauthServer, oauthOrigin },
            { zel::network::settings::apiServer, apiOrigin.isEmpty() ? oauthOrigin : apiOrigin } });
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
