// The account service's smaller operations: the PubNub configuration fetched with the device's
// client credentials, the one-time manage-account URL, and the user details for registration.

#include "AccountFixture.h"
#include "AuthenticatedReply.h"
#include "JsonNetworkReply.h"
#include "MacSignature.h"
#include "ScriptedHttpServer.h"

#include <QJsonArray>
#include <QLocale>
#include <QPointer>
#include <QRegularExpression>
#include <QtTest>

#include <pwd.h>
#include <unistd.h>

using namespace zel::test;

Q_DECLARE_METATYPE(zel::test::HttpResponse)

namespace {

// Catches the authenticated reply of the manage-account request as the service creates it.
class ProbeClient : public zel::OAuth2ClientImpl {
public:
    using OAuth2ClientImpl::OAuth2ClientImpl;

    zel::network::AuthenticatedReply* post(const QString& path, const QByteArray& data) override
    {
        zel::network::AuthenticatedReply* reply = OAuth2ClientImpl::post(path, data);
        lastReply = reply;
        return reply;
    }

    QPointer<zel::network::AuthenticatedReply> lastReply;
};

ProbeClient* probe(Account& account) { return static_cast<ProbeClient*>(account.client.get()); }

const QJsonObject pubNubConfig { { "publish_key", "pub-c-1" }, { "subscribe_key", "sub-c-1" },
    { "channels", QJsonArray { "device.1" } } };

// The OAuth/web server: the token endpoint and the PubNub configuration, both for the client
// credentials only (RFC 7617 Basic after a challenge).
ScriptedHttpServer::Handler oauthHandler(HttpResponse tokenResponse = tokenAnswer())
{
    return ScriptedHttpServer::requireBasicAuth(
        testClientId(), testClientSecret(), [tokenResponse](const HttpRequest& request) {
            if (request.path == "/oauth/token")
                return tokenResponse;
            if (request.path == "/config/pubnub")
                return HttpResponse::json(pubNubConfig);
            return HttpResponse::text("unexpected request", 404);
        });
}

ScriptedHttpServer::Handler apiHandler(HttpResponse loginToken)
{
    return [loginToken](const HttpRequest& request) {
        if (request.method == "POST" && request.path == "/login-token")
            return loginToken;
        return HttpResponse::text("unexpected request", 404);
    };
}

} // namespace

class TestAccountServices : public QObject {
    Q_OBJECT

private slots:
    void pubNubWithoutCredentials_data();
    void pubNubWithoutCredentials();
    void pubNubWithCredentials();
    void manageAccountUrl_data();
    void manageAccountUrl();
    void manageAccountReplyReleasedOnFailure_data();
    void manageAccountReplyReleasedOnFailure();
    void userDetails_data();
    void userDetails();
    void userDetailsOfThisMachine();
};

void TestAccountServices::pubNubWithoutCredentials_data()
{
    QTest::addColumn<QString>("clientId");
    QTest::addColumn<QString>("clientSecret");
    QTest::addRow("neither") << QString() << QString();
    QTest::addRow("client id only") << QStringLiteral("id") << QString();
    QTest::addRow("client secret only") << QString() << QStringLiteral("secret");
}

void TestAccountServices::pubNubWithoutCredentials()
{
    QFETCH(QString, clientId);
    QFETCH(QString, clientSecret);
    ScriptedHttpServer server(oauthHandler());
    auto account = makeAccount(server.origin(), false);
    if (!clientId.isEmpty())
        account->client->setClientId(clientId);
    if (!clientSecret.isEmpty())
        account->client->setClientSecret(clientSecret);

    QTest::ignoreMessage(QtWarningMsg, "Cannot fetch PubNub config with empty client credentials.");
    QCOMPARE(account->client->fetchPubNubConfig(), nullptr);
    QTest::qWait(100);
    QCOMPARE(server.requestCount(), 0);
}

void TestAccountServices::pubNubWithCredentials()
{
    ScriptedHttpServer oauth(oauthHandler());
    ScriptedHttpServer api(apiHandler(HttpResponse::json(QJsonObject())));
    auto account = makeAccount(oauth.origin(), true, api.origin());

    zel::network::JsonNetworkReply* reply = account->client->fetchPubNubConfig();
    QVERIFY(reply);
    QSignalSpy finished(reply->object(), SIGNAL(finished(int, QJsonDocument)));
    QSignalSpy error(reply->object(), SIGNAL(error(QString, int)));
    QVERIFY(finished.wait());
    QCOMPARE(error.count(), 0);
    QCOMPARE(finished.at(0).at(0).toInt(), 200);
    QCOMPARE(finished.at(0).at(1).toJsonDocument(), QJsonDocument(pubNubConfig));
    reply->object()->deleteLater();

    // Challenged first, then sent with the client credentials.
    QCOMPARE(trace(oauth), QStringList({ "GET /config/pubnub", "GET /config/pubnub" }));
    for (const HttpRequest& request : oauth.requests()) {
        QCOMPARE(request.target, QByteArray("/config/pubnub"));
        QCOMPARE(request.header("Accept"), QByteArray("application/json"));
        QVERIFY(!request.hasHeader("Content-Type"));
    }
    QVERIFY(!oauth.requests().at(0).hasHeader("Authorization"));
    QVERIFY(oauth.requests().at(1).basicCredentials()
        == std::make_pair(testClientId(), testClientSecret()));
    QCOMPARE(api.requestCount(), 0);
}

void TestAccountServices::manageAccountUrl_data()
{
    QTest::addColumn<HttpResponse>("loginToken");
    QTest::addColumn<QString>("urlTail");
    QTest::addRow("token") << HttpResponse::json(QJsonObject { { "token", "abc" } })
                           << "/integration?login-token=abc";
    QTest::addRow("array") << HttpResponse::json(QJsonDocument(QJsonArray { "abc" }))
                           << "/integration?login-token=";
    QTest::addRow("token not a string")
        << HttpResponse::json(QJsonObject { { "token", 5 } }) << "/integration?login-token=";
    QTest::addRow("no token member")
        << HttpResponse::json(QJsonObject { { "other", "abc" } }) << "/integration?login-token=";
}

void TestAccountServices::manageAccountUrl()
{
    QFETCH(HttpResponse, loginToken);
    QFETCH(QString, urlTail);
    ScriptedHttpServer oauth(oauthHandler());
    ScriptedHttpServer api(apiHandler(loginToken));
    auto account = makeAccount<ProbeClient>(oauth.origin(), true, api.origin());
    QSignalSpy urlReady(account->client.get(), &zel::OAuth2ClientImpl::manageAccountOnlineUrlReady);

    account->client->requestManageAccountOnlineUrl();
    QPointer<zel::network::AuthenticatedReply> reply = probe(*account)->lastReply;
    QVERIFY(reply);
    QCOMPARE(urlReady.count(), 0);

    QVERIFY(urlReady.wait());
    QCOMPARE(urlReady.at(0).at(0).toUrl(), QUrl(oauth.origin() + urlTail));
    QVERIFY(urlReady.at(0).at(0).toUrl().toString().endsWith(urlTail));
    QTRY_VERIFY(reply.isNull());

    // No token was held: the client-credentials grant came first, then the signed request.
    QCOMPARE(trace(oauth), QStringList({ "POST /oauth/token", "POST /oauth/token" }));
    QCOMPARE(oauth.requests().at(1).body, QByteArray("grant_type=client_credentials"));
    QCOMPARE(trace(api), QStringList { "POST /login-token" });
    const HttpRequest request = api.requests().at(0);
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("Accept"), QByteArray("application/json"));
    QVERIFY(request.body.isEmpty());

    // Signed with the token of that grant (draft-ietf-oauth-v2-http-mac).
    const QString authorization = QString::fromLatin1(request.header("Authorization"));
    QVERIFY2(authorization.startsWith("MAC ") && authorization.contains("id=\"access-token-1\""),
        qPrintable(authorization));
    const QString nonce = QRegularExpression("nonce=\"([^\"]+)\"").match(authorization).captured(1);
    MacToken token;
    token.accessToken = "access-token-1";
    token.macKey = "mac-key-1";
    token.algorithm = QCryptographicHash::Sha256;
    QCOMPARE(authorization,
        zel::mac::macAuthorizationHeader(
            QUrl(api.origin() + "/login-token"), "POST", token, QByteArray(), nonce));
}

void TestAccountServices::manageAccountReplyReleasedOnFailure_data()
{
    QTest::addColumn<bool>("withCredentials");
    QTest::addColumn<HttpResponse>("grant");
    QTest::addColumn<HttpResponse>("loginToken");
    QTest::addColumn<QString>("warning");

    const HttpResponse token = HttpResponse::json(QJsonObject { { "token", "abc" } });
    QTest::addRow("login token refused")
        << true << tokenAnswer() << HttpResponse::json(QJsonObject { { "error", "x" } }, 500)
        << QString();
    QTest::addRow("login token not JSON")
        << true << tokenAnswer() << HttpResponse::html("<html></html>") << QString();
    QTest::addRow("API server does not answer")
        << true << tokenAnswer() << HttpResponse::refuse() << QString();
    QTest::addRow("token grant refused")
        << true << HttpResponse::json(QJsonObject { { "error", "invalid_client" } }, 400) << token
        << "^Token request failed";
    QTest::addRow("no client credentials") << false << tokenAnswer() << token << QString();
}

void TestAccountServices::manageAccountReplyReleasedOnFailure()
{
    QFETCH(bool, withCredentials);
    QFETCH(HttpResponse, grant);
    QFETCH(HttpResponse, loginToken);
    QFETCH(QString, warning);
    ScriptedHttpServer oauth(oauthHandler(grant));
    ScriptedHttpServer api(apiHandler(loginToken));
    auto account = makeAccount<ProbeClient>(oauth.origin(), withCredentials, api.origin());
    QSignalSpy urlReady(account->client.get(), &zel::OAuth2ClientImpl::manageAccountOnlineUrlReady);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));

    account->client->requestManageAccountOnlineUrl();
    QPointer<zel::network::AuthenticatedReply> reply = probe(*account)->lastReply;
    QVERIFY(reply);
    QSignalSpy error(reply.data(), &zel::network::AuthenticatedReply::error);

    QVERIFY(error.wait());
    QTRY_VERIFY(reply.isNull());
    QCOMPARE(error.count(), 1);
    QCOMPARE(urlReady.count(), 0);
}

void TestAccountServices::userDetails_data()
{
    QTest::addColumn<QVariant>("displayName");
    QTest::addColumn<QVariant>("principalName");
    QTest::addColumn<QStringList>("accounts");
    QTest::addColumn<QVariant>("country");
    QTest::addColumn<QVariantHash>("expected");

    const QVariant absent;
    const QVariant upn(QStringLiteral("anna@example.com"));
    const QVariant sweden(QStringLiteral("Sverige"));
    const QStringList none;
    const auto details = [](const QVariant& first, const QVariant& last, const QVariant& email,
                             const QVariant& country) {
        QVariantHash hash;
        if (first.isValid())
            hash.insert("first-name", first);
        if (last.isValid())
            hash.insert("last-name", last);
        if (email.isValid())
            hash.insert("email", email);
        if (country.isValid())
            hash.insert("country", country);
        return hash;
    };

    QTest::addRow("three words") << QVariant("Anna Maria Berg") << upn << none << sweden
                                 << details("Anna", "Maria Berg", upn, sweden);
    QTest::addRow("no space") << QVariant("Cher") << upn << none << sweden
                              << details("Cher", "", upn, sweden);
    QTest::addRow("two spaces") << QVariant("Anna  Berg") << upn << none << sweden
                                << details("Anna", " Berg", upn, sweden);
    QTest::addRow("leading space")
        << QVariant(" Anna Berg") << upn << none << sweden << details("", "Anna Berg", upn, sweden);
    QTest::addRow("empty display name")
        << QVariant(QString("")) << upn << none << sweden << details("", "", upn, sweden);
    QTest::addRow("display name lookup fails")
        << absent << upn << none << sweden << details(absent, absent, upn, sweden);
    QTest::addRow("non-ASCII") << QVariant(QString::fromUtf8("Zoë Ångström")) << upn << none
                               << sweden
                               << details(QString::fromUtf8("Zoë"), QString::fromUtf8("Ångström"),
                                      upn, sweden);
    QTest::addRow("principal name wins over the accounts")
        << QVariant("Anna Berg") << upn << QStringList { "x@example.com" } << sweden
        << details("Anna", "Berg", upn, sweden);
    QTest::addRow("three accounts")
        << QVariant("Anna Berg") << absent
        << QStringList { "c@example.com", "a@example.com", "b@example.com" } << sweden
        << details("Anna", "Berg",
               QStringList { "c@example.com", "a@example.com", "b@example.com" }, sweden);
    QTest::addRow("one account") << QVariant("Anna Berg") << absent
                                 << QStringList { "a@example.com" } << sweden
                                 << details(
                                        "Anna", "Berg", QStringList { "a@example.com" }, sweden);
    QTest::addRow("no accounts") << QVariant("Anna Berg") << absent << none << sweden
                                 << details("Anna", "Berg", absent, sweden);
    QTest::addRow("country lookup fails")
        << QVariant("Anna Berg") << upn << none << absent << details("Anna", "Berg", upn, absent);
    QTest::addRow("nothing known") << absent << absent << none << absent << QVariantHash();
}

void TestAccountServices::userDetails()
{
    QFETCH(QVariant, displayName);
    QFETCH(QVariant, principalName);
    QFETCH(QStringList, accounts);
    QFETCH(QVariant, country);
    QFETCH(QVariantHash, expected);

    auto account = makeAccount(QStringLiteral("http://127.0.0.1:1"), true);
    FakeSystemLookup& lookup = *account->lookup;
    lookup.display = optionalText(displayName);
    lookup.principal = optionalText(principalName);
    for (const QString& name : accounts)
        lookup.accounts.push_back(name.toStdString());
    lookup.country = optionalText(country);

    const QVariantHash details = account->client->userDetails();
    QCOMPARE(details, expected);
    // A single address is text, the accounts' addresses a list, whatever their number.
    if (expected.contains("email"))
        QCOMPARE(details.value("email").userType(), expected.value("email").userType());
    // The account list is only asked for when the principal name is unknown.
    QCOMPARE(lookup.accountQueries, principalName.isValid() ? 0 : 1);
}

void TestAccountServices::userDetailsOfThisMachine()
{
    QTemporaryDir dir;
    QSharedPointer<QSettings> settings(
        new QSettings(dir.filePath("settings.ini"), QSettings::IniFormat));
    QTest::ignoreMessage(QtWarningMsg, "Client credentials are not valid");
    zel::OAuth2ClientImpl client(settings, nullptr); // with the system's own lookup

    // The display name is the account's full name (passwd(5)), the e-mail the login's $EMAIL.
    const passwd* entry = getpwuid(getuid());
    QVERIFY(entry);
    const QString fullName
        = QString::fromLocal8Bit(entry->pw_gecos ? entry->pw_gecos : "").section(',', 0, 0);
    const QByteArray previousEmail = qgetenv("EMAIL");
    const bool hadEmail = qEnvironmentVariableIsSet("EMAIL");

    qputenv("EMAIL", "someone@example.org");
    QVariantHash details = client.userDetails();
    QCOMPARE(details.value("email"), QVariant(QStringLiteral("someone@example.org")));
    if (fullName.isEmpty()) {
        QVERIFY(!details.contains("first-name"));
        QVERIFY(!details.contains("last-name"));
    } else {
        QCOMPARE(details.value("first-name").toString(), fullName.section(' ', 0, 0));
        QCOMPARE(details.value("last-name").toString(),
            fullName.contains(' ') ? fullName.section(' ', 1) : QString());
    }
    const QLocale locale = QLocale::system();
    QCOMPARE(details.contains("country"), locale.country() != QLocale::AnyCountry);
    if (details.contains("country"))
        QVERIFY(!details.value("country").toString().isEmpty());

    qunsetenv("EMAIL");
    details = client.userDetails();
    QVERIFY(!details.contains("email")); // no account list on this platform

    if (hadEmail)
        qputenv("EMAIL", previousEmail);
}

QTEST_GUILESS_MAIN(TestAccountServices)
#include "tst_accountservices.moc"
