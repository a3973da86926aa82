// The token core's settings and protected store, and the account service's use of the store:
// origins, settings maps written through, login state and logout.

#include "ScriptedHttpServer.h"
#include "TokenCoreTestAccess.h"
#include "ZelOAuthClient.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using zel::OAuth2ClientImpl;
using zel::test::HttpRequest;
using zel::test::HttpResponse;
using zel::test::ScriptedHttpServer;

namespace {

QString protectedText(const QString& clear)
{
    return AbstractOAuth2Client::protectValue(clear).toString();
}

class TestClient : public AbstractOAuth2Client {
public:
    MacToken& record() { return TokenCoreTestAccess::token(*this); }
};

} // namespace

class tst_TokenStore : public QObject {
    Q_OBJECT

private slots:
    void init();
    void protectedValueRoundTrip_data();
    void protectedValueRoundTrip();
    void unprotectRejectsForeignValues_data();
    void unprotectRejectsForeignValues();
    void setCredentialsAlwaysEmit();
    void propertyWriteAssignsOnlyOnChange();
    void loadSettings_data();
    void loadSettings();
    void loadKeepsPreviousIssueTimeWhenMissing();
    void clearCredentialsKeepsTimes();

    void originsFromStoreOrDefaults_data();
    void originsFromStoreOrDefaults();
    void settingsMapsAreWrittenAndSynced();
    void emptyMapRemovesEveryKey();
    void secretsInTheStoreAreProtected();
    void initialLoginState_data();
    void initialLoginState();
    void loginStateTransitions();
    void logoutTwice();
    void activationCheckOnlyWhenPending_data();
    void activationCheckOnlyWhenPending();

private:
    QSharedPointer<QSettings> newStore();
    QTemporaryDir dir;
    int storeCount = 0;
};

void tst_TokenStore::init()
{
    QVERIFY(dir.isValid());
}

QSharedPointer<QSettings> tst_TokenStore::newStore()
{
    return QSharedPointer<QSettings>::create(
        dir.filePath(QStringLiteral("store%1.ini").arg(++storeCount)), QSettings::IniFormat);
}

void tst_TokenStore::protectedValueRoundTrip_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("plain");
    QTest::addRow("text") << QVariant(QStringLiteral("s3cr3t")) << QByteArray("s3cr3t");
    QTest::addRow("non-ascii text") << QVariant(QStringLiteral("gr\u00fc\u00df")) << QByteArray("gr\xc3\xbc\xc3\x9f");
    QTest::addRow("bytes with zeros") << QVariant(QByteArray("a\0b\0c", 5)) << QByteArray("a\0b\0c", 5);
    QTest::addRow("long") << QVariant(QString(10000, 'x')) << QByteArray(10000, 'x');
}

void tst_TokenStore::protectedValueRoundTrip()
{
    QFETCH(QVariant, value);
    QFETCH(QByteArray, plain);
    const QVariant sealed = AbstractOAuth2Client::protectValue(value);
    QCOMPARE(sealed.userType(), int(QMetaType::QString));
    const QByteArray text = sealed.toString().toLatin1();
    QVERIFY(!text.isEmpty());
    QVERIFY(!text.contains('\n'));
    const QByteArray blob = QByteArray::fromBase64(text);
    QVERIFY(!blob.contains(plain.left(64)));
    QCOMPARE(text.toBase64(), text.toBase64()); // it is base64 text ...
    QCOMPARE(blob.toBase64(), text); // ... with padding, standard alphabet
    QCOMPARE(AbstractOAuth2Client::unprotectValue(sealed).toByteArray(), plain);
    // Each blob has its own nonce: the same value never gives the same stored text.
    QVERIFY(AbstractOAuth2Client::protectValue(value) != sealed);
}

void tst_TokenStore::unprotectRejectsForeignValues_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("warning"); // empty when none is expected
    QTest::addRow("missing") << QVariant() << QByteArray();
    QTest::addRow("empty text") << QVariant(QString()) << QByteArray();
    QTest::addRow("not base64") << QVariant(QStringLiteral("**not base64**"))
                                << QByteArray("not base64");
    QTest::addRow("base64 of garbage") << QVariant(QStringLiteral("Z2FyYmFnZSBibG9i"))
                                       << QByteArray("unprotect");
    QTest::addRow("number") << QVariant(42) << QByteArray("unprotect");
}

void tst_TokenStore::unprotectRejectsForeignValues()
{
    QFETCH(QVariant, value);
    QFETCH(QByteArray, warning);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QString::fromLatin1(warning)));
    QCOMPARE(AbstractOAuth2Client::unprotectValue(value).toByteArray(), QByteArray());
}

void tst_TokenStore::setCredentialsAlwaysEmit()
{
    TestClient client;
    QSignalSpy spy(&client, &AbstractOAuth2Client::settingsChanged);
    client.setClientId("id-1");
    client.setClientId("id-1");
    client.setClientSecret("secret-1");
    client.setClientSecret("secret-1");
    QCOMPARE(spy.count(), 4);
    QCOMPARE(spy.at(1).at(0).toMap(), QVariantMap({ { "client_id", "id-1" } }));
    const QVariantMap secretMap = spy.at(3).at(0).toMap();
    QCOMPARE(secretMap.keys(), QStringList({ "client_secret" }));
    QVERIFY(secretMap.value("client_secret").toString() != QLatin1String("secret-1"));
    QCOMPARE(AbstractOAuth2Client::unprotectValue(secretMap.value("client_secret")).toByteArray(),
        QByteArray("secret-1"));
    QCOMPARE(client.clientSecret(), QStringLiteral("secret-1"));
}

void tst_TokenStore::propertyWriteAssignsOnlyOnChange()
{
    TestClient client;
    QSignalSpy spy(&client, &AbstractOAuth2Client::settingsChanged);
    for (const char* name : { "oauthServer", "redirectUri", "clientId", "clientSecret" }) {
        QVERIFY(client.setProperty(name, QStringLiteral("value")));
        QCOMPARE(client.property(name).toString(), QStringLiteral("value"));
        QVERIFY(client.setProperty(name, QStringLiteral("value")));
    }
    QCOMPARE(spy.count(), 0);
    QCOMPARE(client.clientId(), QStringLiteral("value"));
}

void tst_TokenStore::loadSettings_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QString>("clientId");
    QTest::addColumn<QString>("clientSecret");
    QTest::addColumn<QString>("refreshToken");
    QTest::addColumn<QByteArray>("macKey");
    QTest::addColumn<int>("algorithm");
    QTest::addColumn<qint64>("issueTime");
    QTest::addColumn<QString>("warning");

    const int sha1 = QCryptographicHash::Sha1;
    const int sha256 = QCryptographicHash::Sha256;
    const QString invalid = QStringLiteral("Client credentials are not valid");
    const QVariantMap full { { "client_id", "cid" }, { "client_secret", protectedText("cs") },
        { "refresh_token", protectedText("rt") }, { "key", "mk" }, { "algorithm", "hmac-sha-256" },
        { "issue_time", qint64(1700000000123) } };
    QTest::addRow("complete") << full << "cid"
                              << "cs"
                              << "rt" << QByteArray("mk") << sha256 << qint64(1700000000123)
                              << QString();
    QVariantMap capitals = full;
    capitals["algorithm"] = "HMAC-SHA-256";
    QTest::addRow("algorithm in capitals") << capitals << "cid"
                                           << "cs"
                                           << "rt" << QByteArray("mk") << sha256
                                           << qint64(1700000000123) << QString();
    QVariantMap unknown = full;
    unknown["algorithm"] = "hmac-md5";
    QTest::addRow("unknown algorithm keeps the previous one")
        << unknown << "cid"
        << "cs"
        << "rt" << QByteArray("mk") << sha1 << qint64(1700000000123)
        << QStringLiteral("Given algorithm \"hmac-md5\" is wrong or unsupported");
    QVariantMap noSecret = full;
    noSecret.remove("client_secret");
    QTest::addRow("id without secret") << noSecret << QString() << QString() << "rt"
                                       << QByteArray("mk") << sha256 << qint64(1700000000123)
                                       << invalid;
    QVariantMap clearSecret = full;
    clearSecret["client_secret"] = "cs"; // stored in clear by someone: not a protected value
    QTest::addRow("secret stored in clear") << clearSecret << QString() << QString() << "rt"
                                            << QByteArray("mk") << sha256 << qint64(1700000000123)
                                            << invalid;
    QVariantMap badRefresh = full;
    badRefresh["refresh_token"] = "%%%";
    QTest::addRow("refresh token not base64") << badRefresh << "cid"
                                              << "cs" << QString() << QByteArray("mk") << sha256
                                              << qint64(1700000000123)
                                              << QStringLiteral("A stored protected value is not base64 text");
    QVariantMap wrongTypes = full;
    wrongTypes["issue_time"] = "yesterday";
    wrongTypes["client_id"] = 4711;
    QTest::addRow("values of the wrong type") << wrongTypes << "4711"
                                              << "cs"
                                              << "rt" << QByteArray("mk") << sha256 << qint64(0)
                                              << QString();
    QTest::addRow("empty store") << QVariantMap() << QString() << QString() << QString()
                                 << QByteArray() << sha1 << qint64(0) << invalid;
}

void tst_TokenStore::loadSettings()
{
    QFETCH(QVariantMap, stored);
    QFETCH(QString, clientId);
    QFETCH(QString, clientSecret);
    QFETCH(QString, refreshToken);
    QFETCH(QByteArray, macKey);
    QFETCH(int, algorithm);
    QFETCH(qint64, issueTime);
    QFETCH(QString, warning);

    auto store = newStore();
    for (auto it = stored.cbegin(); it != stored.cend(); ++it)
        store->setValue(it.key(), it.value());
    store->setValue("unrelated", "kept");
    store->sync();
    auto reread = QSharedPointer<QSettings>::create(store->fileName(), QSettings::IniFormat);

    TestClient client;
    client.record().algorithm = QCryptographicHash::Sha1;
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));
    if (stored.value("client_secret") == "cs") // the clear text does not decode as a blob
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unprotect"));
    client.loadSettings(reread);

    QCOMPARE(client.clientId(), clientId);
    QCOMPARE(client.clientSecret(), clientSecret);
    QCOMPARE(client.record().refreshToken, refreshToken);
    QCOMPARE(client.record().macKey, macKey);
    QCOMPARE(int(client.record().algorithm), algorithm);
    QCOMPARE(client.record().issueTime, issueTime);
    QVERIFY(client.record().accessToken.isEmpty());
    QCOMPARE(reread->value("unrelated").toString(), QStringLiteral("kept"));
}

void tst_TokenStore::loadKeepsPreviousIssueTimeWhenMissing()
{
    auto store = newStore();
    store->setValue("client_id", "cid");
    store->setValue("client_secret", protectedText("cs"));
    TestClient client;
    client.record().issueTime = 1234;
    client.record().expiryTime = 99;
    client.record().accessToken = "held";
    client.loadSettings(store);
    QCOMPARE(client.record().issueTime, qint64(1234));
    // Loading never touches the access token or its expiry.
    QCOMPARE(client.record().accessToken, QByteArray("held"));
    QCOMPARE(client.record().expiryTime, qint64(99));
}

void tst_TokenStore::clearCredentialsKeepsTimes()
{
    TestClient client;
    QSignalSpy spy(&client, &AbstractOAuth2Client::settingsChanged);
    client.setProperty("clientId", "cid");
    client.setProperty("clientSecret", "cs");
    MacToken& token = client.record();
    token = MacToken { "at", 11, 22, "rt", "mk", QCryptographicHash::Sha256 };
    client.clearCredentials();
    QVERIFY(client.clientId().isEmpty() && client.clientSecret().isEmpty());
    QVERIFY(token.accessToken.isEmpty() && token.refreshToken.isEmpty() && token.macKey.isEmpty());
    QCOMPARE(token.issueTime, qint64(11));
    QCOMPARE(token.expiryTime, qint64(22));
    QCOMPARE(token.algorithm, QCryptographicHash::Sha256);
    QCOMPARE(spy.count(), 0);
}

void tst_TokenStore::originsFromStoreOrDefaults_data()
{
    QTest::addColumn<QVariant>("oauthServer");
    QTest::addColumn<QVariant>("apiServer");
    QTest::addColumn<QString>("expectedOauth");
    QTest::addColumn<QString>("expectedApiUrl");
    QTest::addRow("defaults") << QVariant() << QVariant() << QStringLiteral(ZEL_DEFAULT_OAUTH_SERVER)
                              << QStringLiteral(ZEL_DEFAULT_API_SERVER "/me");
    QTest::addRow("stored") << QVariant("http://127.0.0.1:8080") << QVariant("http://127.0.0.1:8081")
                            << "http://127.0.0.1:8080"
                            << "http://127.0.0.1:8081/me";
    QTest::addRow("empty api origin") << QVariant() << QVariant(QString()) << QStringLiteral(ZEL_DEFAULT_OAUTH_SERVER)
                                      << "/me";
}

void tst_TokenStore::originsFromStoreOrDefaults()
{
    QFETCH(QVariant, oauthServer);
    QFETCH(QVariant, apiServer);
    QFETCH(QString, expectedOauth);
    QFETCH(QString, expectedApiUrl);
    auto store = newStore();
    if (oauthServer.isValid())
        store->setValue("oauthServer", oauthServer);
    if (apiServer.isValid())
        store->setValue("apiServer", apiServer);
    QTest::ignoreMessage(QtWarningMsg, "Client credentials are not valid");
    OAuth2ClientImpl client(store, nullptr);
    QCOMPARE(client.oauthServer(), expectedOauth);
    QCOMPARE(client.redirectUri(), QStringLiteral("zel://authorize"));
    const QNetworkRequest request = client.createApiRequest("/me");
    QCOMPARE(request.url().toString(), expectedApiUrl);
    QCOMPARE(request.header(QNetworkRequest::ContentTypeHeader).toString(),
        QStringLiteral("application/json"));
    QCOMPARE(request.rawHeader("Accept"), QByteArray("application/json"));
    QCOMPARE(request.rawHeaderList().size(), 2);

    // A property write changes later requests and is not stored.
    QVERIFY(client.setProperty("apiServer", "http://api.test"));
    QCOMPARE(client.createApiRequest("/x?y=1").url().toString(), QStringLiteral("http://api.test/x?y=1"));
    QCOMPARE(store->value("apiServer"), apiServer);
}

void tst_TokenStore::settingsMapsAreWrittenAndSynced()
{
    auto store = newStore();
    QTest::ignoreMessage(QtWarningMsg, "Client credentials are not valid");
    OAuth2ClientImpl client(store, nullptr);
    client.setClientId("device-7");
    client.setClientSecret("secret-7");
    // Written to disk at once: another reader of the file sees both.
    QSettings reader(store->fileName(), QSettings::IniFormat);
    QCOMPARE(reader.value("client_id").toString(), QStringLiteral("device-7"));
    QCOMPARE(AbstractOAuth2Client::unprotectValue(reader.value("client_secret")).toByteArray(),
        QByteArray("secret-7"));

    // A new service on the same store loads what the first one wrote.
    OAuth2ClientImpl second(QSharedPointer<QSettings>::create(store->fileName(), QSettings::IniFormat), nullptr);
    QCOMPARE(second.clientId(), QStringLiteral("device-7"));
    QCOMPARE(second.clientSecret(), QStringLiteral("secret-7"));
}

void tst_TokenStore::emptyMapRemovesEveryKey()
{
    auto store = newStore();
    store->setValue("hostOwned", 1);
    store->setValue("pendingActivation", "a@b.c");
    store->setValue("group/nested", true);
    QTest::ignoreMessage(QtWarningMsg, "Client credentials are not valid");
    OAuth2ClientImpl client(store, nullptr);
    client.setClientId("x");
    QVERIFY(QMetaObject::invokeMethod(&client, "onSettingsChanged", Q_ARG(QVariantMap, QVariantMap())));
    QVERIFY(store->allKeys().isEmpty());
    QSettings reader(store->fileName(), QSettings::IniFormat);
    QVERIFY(reader.allKeys().isEmpty());
}

void tst_TokenStore::secretsInTheStoreAreProtected()
{
    auto store = newStore();
    QTest::ignoreMessage(QtWarningMsg, "Client credentials are not valid");
    OAuth2ClientImpl client(store, nullptr);
    client.setClientId("plain-id");
    client.setClientSecret("very-secret-value");
    emit client.settingsChanged({ { "refresh_token", AbstractOAuth2Client::protectValue("refresh-value") },
        { "key", "mac-key-value" } });
    QFile file(store->fileName());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray onDisk = file.readAll();
    QVERIFY(!onDisk.contains("very-secret-value"));
    QVERIFY(!onDisk.contains("refresh-value"));
    QVERIFY(onDisk.contains("plain-id"));
    QVERIFY(onDisk.contains("mac-key-value")); // the MAC key is stored in clear by design
}

void tst_TokenStore::initialLoginState_data()
{
    QTest::addColumn<bool>("refreshToken");
    QTest::addColumn<bool>("pending");
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("pendingKept");
    QTest::addColumn<int>("grants");
    QTest::addRow("nothing") << false << false << int(zel::network::LoggedOut) << false << 0;
    QTest::addRow("refresh token") << true << false << int(zel::network::LoggedIn) << false << 0;
    QTest::addRow("stale pending activation") << true << true << int(zel::network::LoggedIn) << false << 0;
    QTest::addRow("pending activation") << false << true << int(zel::network::PendingActivation) << true << 1;
}

void tst_TokenStore::initialLoginState()
{
    QFETCH(bool, refreshToken);
    QFETCH(bool, pending);
    QFETCH(int, state);
    QFETCH(bool, pendingKept);
    QFETCH(int, grants);

    ScriptedHttpServer server([](const HttpRequest& request) {
        if (!request.basicCredentials())
            return HttpResponse::basicChallenge();
        return HttpResponse::jsonText(R"({"error":"invalid_client"})", 401);
    });
    auto store = newStore();
    store->setValue("oauthServer", server.origin());
    store->setValue("client_id", "cid");
    store->setValue("client_secret", protectedText("cs"));
    if (refreshToken)
        store->setValue("refresh_token", protectedText("rt"));
    if (pending)
        store->setValue("pendingActivation", "new@example.com");

    if (grants)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Token request failed"));
    OAuth2ClientImpl client(store, nullptr);
    QSignalSpy errors(&client, &AbstractOAuth2Client::accessTokenError);
    QCOMPARE(int(client.loginState()), state);
    QCOMPARE(client.isLoggedIn(), refreshToken);
    QCOMPARE(store->contains("pendingActivation"), pendingKept);
    QCOMPARE(client.pendingActivationEmail(), pendingKept ? QStringLiteral("new@example.com") : QString());
    if (grants) {
        // The activation check runs at once; the refusal leaves the state as it is.
        QVERIFY(errors.wait());
        QCOMPARE(server.lastRequest().formValue("grant_type"), QStringLiteral("client_credentials"));
        QCOMPARE(int(client.loginState()), state);
    } else {
        QTest::qWait(50);
        QCOMPARE(server.requestCount(), 0);
    }
}

void tst_TokenStore::loginStateTransitions()
{
    auto store = newStore();
    QTest::ignoreMessage(QtWarningMsg, "Client credentials are not valid");
    OAuth2ClientImpl client(store, nullptr);
    QList<int> seenInSlot;
    connect(&client, &OAuth2ClientImpl::loginStateChanged, this,
        [&](zel::network::LoginState state) {
            QCOMPARE(client.loginState(), state); // stored before the signal
            seenInSlot.append(int(client.loginState()));
        });
    QVERIFY(QMetaObject::invokeMethod(&client, "onRegistrationFinished", Q_ARG(QString, "new@example.com")));
    QCOMPARE(client.pendingActivationEmail(), QStringLiteral("new@example.com"));
    emit static_cast<AbstractOAuth2Client&>(client).loggedIn(); // as after a successful grant
    QVERIFY(!store->contains("pendingActivation"));
    QVERIFY(QMetaObject::invokeMethod(&client, "onRegistrationFinished", Q_ARG(QString, QString())));
    QVERIFY(store->contains("pendingActivation")); // stored unchanged, also when empty
    QCOMPARE(seenInSlot,
        QList<int>({ zel::network::PendingActivation, zel::network::LoggedIn, zel::network::PendingActivation }));
}

void tst_TokenStore::logoutTwice()
{
    auto store = newStore();
    store->setValue("client_id", "cid");
    store->setValue("client_secret", protectedText("cs"));
    store->setValue("refresh_token", protectedText("rt"));
    store->setValue("apiServer", "http://127.0.0.1:9");
    OAuth2ClientImpl client(store, nullptr);
    QCOMPARE(client.loginState(), zel::network::LoggedIn);
    const QString api = client.apiServer();
    QSignalSpy states(&client, &OAuth2ClientImpl::loginStateChanged);
    QSignalSpy loggedOut(&client, &OAuth2ClientImpl::loggedOut);
    connect(&client, &OAuth2ClientImpl::loginStateChanged, this,
        [&] { QCOMPARE(loggedOut.count(), states.count() - 1); }); // state first, then loggedOut
    auto* debug = static_cast<network::internal::OAuth2DebugClient*>(&client);
    QTest::ignoreMessage(QtWarningMsg, "Client credentials are not valid");
    debug->logout();
    QTest::ignoreMessage(QtWarningMsg, "Client credentials are not valid");
    debug->logout();
    QCOMPARE(states.count(), 2);
    QCOMPARE(loggedOut.count(), 2);
    QCOMPARE(client.loginState(), zel::network::LoggedOut);
    QVERIFY(!client.isLoggedIn());
    QVERIFY(client.clientId().isEmpty() && client.clientSecret().isEmpty());
    QVERIFY(store->allKeys().isEmpty());
    QCOMPARE(client.apiServer(), api);
    QCOMPARE(client.redirectUri(), QStringLiteral("zel://authorize"));
}

void tst_TokenStore::activationCheckOnlyWhenPending_data()
{
    QTest::addColumn<bool>("pending");
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("firstPath");
    QTest::addRow("pending, both empty") << true << "" << "" << "/oauth/token";
    QTest::addRow("pending, e-mail given") << true << "a@b.c" << "" << "/oauth/credentials";
    QTest::addRow("pending, password given") << true << "" << "pw" << "/oauth/credentials";
    QTest::addRow("logged out, both empty") << false << "" << "" << "/oauth/credentials";
}

void tst_TokenStore::activationCheckOnlyWhenPending()
{
    QFETCH(bool, pending);
    QFETCH(QString, email);
    QFETCH(QString, password);
    QFETCH(QString, firstPath);
    ScriptedHttpServer server([](const HttpRequest&) { return HttpResponse::text("down", 503); });
    auto store = newStore();
    store->setValue("oauthServer", server.origin());
    QTest::ignoreMessage(QtWarningMsg, "Client credentials are not valid");
    OAuth2ClientImpl client(store, nullptr);
    if (pending)
        QVERIFY(QMetaObject::invokeMethod(&client, "onRegistrationFinished", Q_ARG(QString, "x@y.z")));
    server.clearRequests();
    client.login(email, password);
    QVERIFY(server.waitForRequests(1));
    QCOMPARE(QString::fromLatin1(server.requests().at(0).path), firstPath);
    QCOMPARE(client.findChildren<QObject*>(QString(), Qt::FindDirectChildrenOnly).size() > 0,
        firstPath == QLatin1String("/oauth/credentials")); // a login request is the service's child
}

QTEST_GUILESS_MAIN(tst_TokenStore)
#include "tst_tokenstore.moc"
