#pragma once

// A service for tests, the token core alone or the whole account service: its settings in a
// throw-away INI file, a system lookup that answers what the test says, and a scripted server on
// loopback that checks the test's client credentials where the real one does.

#include "AbstractOAuth2Client.h"
#include "OAuth2ClientImpl.h"
#include "ScriptedHttpServer.h"
#include "SettingsKeys.h"
#include "platform/SystemLookup.h"

#include <QSettings>
#include <QSharedPointer>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
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

// Client credentials as the test server issues them; both need encoding in URLs and forms.
inline QString testClientId() { return QStringLiteral("device 1/+"); }
inline QString testClientSecret() { return QStringLiteral("s3cret:&=%"); }

// Client: AbstractOAuth2Client (the token core, with the server as its OAuth server and the
// settings only as its settingsChanged signals) or OAuth2ClientImpl or a subclass of it (on the
// INI file, seeded with `stored`; the origins are the server's unless stored says otherwise).
template <typename Client> struct ServiceFixture {
    using Script = std::function<HttpResponse(const HttpRequest&)>;

    // The server: the answer of a route ("METHOD /path") if the test gave one, else `token` for
    // the token endpoint and `api` for any other request. The token endpoint and the PubNub
    // configuration challenge requests without the test's client credentials.
    QHash<QByteArray, HttpResponse> answers;
    Script token = [](const HttpRequest&) { return HttpResponse::text("no token script", 404); };
    Script api = [](const HttpRequest&) { return HttpResponse::jsonText(R"({"ok":1})"); };
    QList<HttpRequest> grants, calls; // token requests with the credentials, API requests
    ScriptedHttpServer server { [this](const HttpRequest& request) {
        const QByteArray route = request.method + ' ' + request.path;
        const bool grant = request.path == "/oauth/token";
        if ((grant || request.path == "/config/pubnub")
            && request.basicCredentials() != std::make_pair(testClientId(), testClientSecret()))
            return HttpResponse::basicChallenge();
        if (grant)
            grants.append(request);
        if (answers.contains(route))
            return answers.value(route);
        return grant ? token(request) : (calls.append(request), api(request));
    } };

    QTemporaryDir dir;
    QSharedPointer<QSettings> settings;
    std::unique_ptr<Client> client;
    FakeSystemLookup* lookup = nullptr; // owned by client
    QStringList events; // the token core's signals in order
    std::unique_ptr<QSignalSpy> settingsChanged;

    explicit ServiceFixture(bool withCredentials, const QVariantMap& stored = {})
    {
        settings.reset(new QSettings(dir.filePath("s.ini"), QSettings::IniFormat));
        settings->setValue(zel::network::settings::oauthServer, server.origin());
        settings->setValue(zel::network::settings::apiServer, server.origin());
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            settings->setValue(it.key(), it.value());
        if constexpr (std::is_same_v<Client, AbstractOAuth2Client>) {
            client = std::make_unique<Client>();
            client->setOauthServer(server.origin());
            client->setRedirectUri(QStringLiteral("zel://authorize"));
            if (withCredentials) { // held, not announced as a settings change
                client->setProperty("clientId", testClientId());
                client->setProperty("clientSecret", testClientSecret());
            }
        } else {
            client = std::make_unique<Client>(settings, nullptr);
            client->setSystemLookup(
                std::unique_ptr<FakeSystemLookup>(lookup = new FakeSystemLookup));
            if (withCredentials) {
                client->setClientId(testClientId());
                client->setClientSecret(testClientSecret());
            }
        }
        using Core = AbstractOAuth2Client; // the service hides some of the core's signals
        Core* c = client.get();
        settingsChanged = std::make_unique<QSignalSpy>(c, &Core::settingsChanged);
        QObject::connect(c, &Core::settingsChanged, [this] { events << "settings"; });
        QObject::connect(c, &Core::loggedIn, [this] { events << "loggedIn"; });
        QObject::connect(c, &Core::hasAccessToken, [this] { events << "hasAccessToken"; });
        QObject::connect(
            c, &Core::accessTokenError, [this](const QString& m) { events << "error: " + m; });
        QObject::connect(c, &Core::disconnected, [this] { events << "disconnected"; });
    }

    // The token record, its stored refresh token unprotected first as any grant would.
    MacToken& record()
    {
        client->grants().unsealRefreshToken();
        return client->grants().token();
    }
};

} // namespace zel::test
