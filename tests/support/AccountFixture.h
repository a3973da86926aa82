#pragma once

// An account service for tests: its settings in a throw-away INI file, its servers on loopback,
// and a system lookup that answers what the test says. Also a log capture to prove that no
// secret reaches any log line.

#include "AbstractOAuth2Client.h"
#include "ScriptedHttpServer.h"
#include "ZelOAuthClient.h"
#include "platform/SystemLookup.h"

#include <QJsonObject>
#include <QLoggingCategory>
#include <QSettings>
#include <QSharedPointer>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zel::test {

// A lookup that answers what the test tells it and counts the account-list queries.
class FakeSystemLookup : public zel::platform::SystemLookup {
public:
    std::optional<std::string> machine;
    std::optional<std::string> user;
    std::optional<std::string> display;
    std::optional<std::string> principal;
    std::vector<std::string> accounts;
    std::optional<std::string> country;
    mutable int accountQueries = 0;

    std::optional<std::string> machineId() const override { return machine; }
    std::optional<std::string> userName() const override { return user; }
    std::optional<std::string> displayName() const override { return display; }
    std::optional<std::string> userPrincipalName() const override { return principal; }
    std::vector<std::string> accountNames() const override
    {
        ++accountQueries;
        return accounts;
    }
    std::optional<std::string> countryName() const override { return country; }
};

// Optional texts travel through data tables as QVariant: invalid means absent.
inline std::optional<std::string> optionalText(const QVariant& value)
{
    if (!value.isValid())
        return std::nullopt;
    return value.toString().toStdString();
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
// server is apiOrigin (the same when empty); it holds the test's client credentials when
// withCredentials is set.
template <typename Client = zel::OAuth2ClientImpl>
std::unique_ptr<Account> makeAccount(
    const QString& oauthOrigin, bool withCredentials, const QString& apiOrigin = QString())
{
    auto account = std::make_unique<Account>();
    account->settings.reset(
        new QSettings(account->dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat));
    account->settings->setValue(QStringLiteral("oauthServer"), oauthOrigin);
    account->settings->setValue(
        QStringLiteral("apiServer"), apiOrigin.isEmpty() ? oauthOrigin : apiOrigin);
    if (withCredentials) {
        account->settings->setValue(QStringLiteral("client_id"), testClientId());
        account->settings->setValue(QStringLiteral("client_secret"),
            AbstractOAuth2Client::protectValue(testClientSecret()));
    } else {
        QTest::ignoreMessage(QtWarningMsg, "Client credentials are not valid");
    }
    account->client = std::make_unique<Client>(account->settings, nullptr);
    auto lookup = std::make_unique<FakeSystemLookup>();
    account->lookup = lookup.get();
    account->client->setSystemLookup(std::move(lookup));
    return account;
}

// The device registration as the server answers it.
inline HttpResponse credentialsAnswer()
{
    return HttpResponse::json(QJsonObject { { QStringLiteral("client_id"), testClientId() },
                                  { QStringLiteral("client_secret"), testClientSecret() } },
        201);
}

// A token response (RFC 6749, 5.1, with the MAC token's key and algorithm).
inline HttpResponse tokenAnswer(const QString& accessToken = QStringLiteral("access-token-1"))
{
    return HttpResponse::json(QJsonObject {
        { QStringLiteral("access_token"), accessToken },
        { QStringLiteral("refresh_token"), QStringLiteral("refresh-token-1") },
        { QStringLiteral("expires_in"), 3600 },
        { QStringLiteral("secret"), QStringLiteral("mac-key-1") },
        { QStringLiteral("algorithm"), QStringLiteral("hmac-sha-256") },
    });
}

// "METHOD path" of every request, in order of arrival.
inline QStringList trace(const ScriptedHttpServer& server)
{
    QStringList lines;
    const auto requests = server.requests();
    for (const HttpRequest& request : requests)
        lines << QString::fromLatin1(request.method + ' ' + request.path);
    return lines;
}

inline QList<HttpRequest> requestsTo(
    const ScriptedHttpServer& server, const QByteArray& method, const QByteArray& path)
{
    QList<HttpRequest> found;
    const auto requests = server.requests();
    for (const HttpRequest& request : requests) {
        if (request.method == method && request.path == path)
            found << request;
    }
    return found;
}

// Records every message of every level while it lives, with the plug-in's debug output on.
// Messages other than debug go on to the previous handler, so QTest::ignoreMessage still works.
class LogCapture {
public:
    LogCapture()
    {
        current() = this;
        previous = qInstallMessageHandler(&LogCapture::handle);
        QLoggingCategory::setFilterRules(QStringLiteral("zel.network.*.debug=true"));
    }
    ~LogCapture()
    {
        QLoggingCategory::setFilterRules(QString());
        qInstallMessageHandler(previous);
        current() = nullptr;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines;

    // The lines that contain any of the texts.
    QStringList linesWithAny(const QStringList& texts) const
    {
        QStringList found;
        for (const QString& line : lines) {
            for (const QString& text : texts) {
                if (!text.isEmpty() && line.contains(text))
                    found << line;
            }
        }
        return found;
    }

private:
    static LogCapture*& current()
    {
        static LogCapture* instance = nullptr;
        return instance;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        LogCapture* self = current();
        if (!self)
            return;
        self->lines << message;
        if (type != QtDebugMsg && type != QtInfoMsg && self->previous)
            self->previous(type, context, message);
    }

    QtMessageHandler previous = nullptr;
};

} // namespace zel::test
