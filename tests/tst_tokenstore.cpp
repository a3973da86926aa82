// The token core's settings and protected store, and the account service's use of the store:
// origins, settings maps written through, login state and logout.

#include "ScriptedHttpServer.h"
#include "TokenCoreTestAccess.h"
#include "ZelOAuthClient.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <memory>

using zel::OAuth2ClientImpl;
using namespace zel::test;
using namespace zel::network;
using Client = AbstractOAuth2Client;
using Hash = QCryptographicHash;

QString sealed(const QString& clear) { return Client::protectValue(clear).toString(); }

class tst_TokenStore : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QSharedPointer<QSettings> settings; // the last store made
    const QVariantMap credentials { { "client_id", "cid" }, { "client_secret", sealed("cs") } };

    QSharedPointer<QSettings> store(const QVariantMap& values)
    {
        settings.reset(
            new QSettings(dir.filePath(QUuid::createUuid().toString()), QSettings::IniFormat));
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            settings->setValue(it.key(), it.value());
        return settings;
    }
    std::unique_ptr<OAuth2ClientImpl> service(const QVariantMap& values = {})
    {
        if (!values.contains("client_secret"))
            QTest::ignoreMessage(QtWarningMsg, "Client credentials are not valid");
        return std::make_unique<OAuth2ClientImpl>(store(values), nullptr);
    }

private slots:
    // Loading the store, protected values unprotected on the way: one row per way a stored value
    // can be wrong.
    void loadSettings_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value"); // invalid: the key holds no value
        QTest::addColumn<QString>("loaded"); // client id|secret|refresh token|MAC key|algorithm
        QTest::addColumn<QString>("warning");
        QTest::addRow("complete") << "unrelated" << QVariant("x") << "c|s|r|k|256" << QString();
        QTest::addRow("capitals") << "algorithm" << QVariant("HMAC-SHA-256") << "c|s|r|k|256"
                                  << QString();
        QTest::addRow("unknown algorithm keeps the previous one")
            << "algorithm" << QVariant("hmac-md5") << "c|s|r|k|1" << QString("md5\" is wrong");
        QTest::addRow("id without secret")
            << "client_secret" << QVariant() << "||r|k|256" << QString("credentials are not valid");
        QTest::addRow("refresh token not base64")
            << "refresh_token" << QVariant("%%") << "c|s||k|256" << QString("not base64");
        QTest::addRow("refresh token base64 of garbage")
            << "refresh_token" << QVariant("Z2FyYmFnZQ==") << "c|s||k|256" << QString("unprotect");
        QTest::addRow("issue time not a number")
            << "issue_time" << QVariant("then") << "c|s|r|k|256" << QString();
    }
    void loadSettings()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, value);
        QFETCH(QString, loaded);
        QFETCH(QString, warning);
        QVariantMap stored { { "client_id", "c" }, { "client_secret", sealed("s") },
            { "refresh_token", sealed("r") }, { "key", "k" }, { "algorithm", "hmac-sha-256" },
            { "issue_time", qint64(1700000000123) } };
        stored[key] = value;
        Client client;
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        client.loadSettings(store(stored));
        const MacToken& t = TokenCoreTestAccess::token(client);
        const QStringList got { client.clientId(), client.clientSecret(), t.refreshToken, t.macKey,
            t.algorithm == Hash::Sha256 ? "256" : "1" };
        QCOMPARE(got.join('|'), loaded);
        QCOMPARE(t.issueTime, key == "issue_time" ? 0 : 1700000000123);
    }

    // The login state at start, and what login(e-mail, password) does then: only a pending
    // activation with both empty checks the activation (a client-credentials grant); otherwise
    // a login request starts.
    void loginStateAndActivation_data()
    {
        QTest::addColumn<QVariantMap>("stored"); // besides the client's credentials
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("login"); // e-mail/password
        const QVariantMap pending { { "pendingActivation", "a@b.c" } };
        QVariantMap stale = pending;
        stale.insert("refresh_token", sealed("rt"));
        QTest::addRow("nothing") << QVariantMap() << int(LoggedOut) << "/";
        QTest::addRow("stale pending activation") << stale << int(LoggedIn) << "/";
        QTest::addRow("pending activation") << pending << int(PendingActivation) << "/";
        QTest::addRow("pending, e-mail given") << pending << int(PendingActivation) << "a@b.c/";
        QTest::addRow("pending, password given") << pending << int(PendingActivation) << "/pw";
    }
    void loginStateAndActivation()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(int, state);
        QFETCH(QString, login);
        ScriptedHttpServer server([](const HttpRequest&) { return HttpResponse::text("x", 503); });
        stored.insert(credentials);
        stored.insert("oauthServer", server.origin());
        const bool stillPending = state == PendingActivation; // a stale mark is removed
        const bool activationCheck = stillPending && login == "/";
        for (int i = stillPending + activationCheck; i > 0; --i)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Token request failed"));
        const auto client = service(stored);
        QSignalSpy errors(client.get(), &Client::accessTokenError);
        QCOMPARE(client->isLoggedIn(), stored.contains("refresh_token"));
        QCOMPARE(settings->contains("pendingActivation"), stillPending);
        QCOMPARE(client->pendingActivationEmail(), stillPending ? "a@b.c" : "");
        // A pending activation is checked at once; the failed check leaves the state as it is.
        QCOMPARE(errors.wait(500), stillPending);
        QCOMPARE(int(client->loginState()), state);
        QCOMPARE(client->createApiRequest("/me").url().toString(), ZEL_DEFAULT_API_SERVER "/me");

        server.clearRequests();
        client->login(login.section('/', 0, 0), login.section('/', 1));
        QVERIFY(server.waitForRequests(1));
        QCOMPARE(server.requests().at(0).path, activationCheck ? "/oauth/token" : "/login");
        QVERIFY(!activationCheck || errors.wait());
    }

    // Defaults, and an empty API origin. Property writes are quiet; the setters always emit, and
    // the secret reaches the disk protected. Logging out wipes the whole store, the host's keys
    // too, every time it is asked, forgets the secrets and keeps the times. The login state is
    // stored before it is announced.
    void storeLife()
    {
        const auto client = service({ { "client_id", "cid" }, { "client_secret", sealed("cs") },
            { "refresh_token", sealed("rt") }, { "apiServer", "" }, { "hostOwned", 1 },
            { "group/nested", true } });
        QCOMPARE(client->oauthServer() + ' ' + client->redirectUri(),
            ZEL_DEFAULT_OAUTH_SERVER " zel://authorize");
        const QNetworkRequest request = client->createApiRequest("/me");
        QCOMPARE(request.url().toString(), "/me");
        QCOMPARE(request.rawHeader("Content-Type") + ' ' + request.rawHeader("Accept"),
            "application/json application/json");
        QSignalSpy spy(client.get(), &Client::settingsChanged);
        for (const char* name : { "clientId", "clientSecret" })
            QVERIFY(client->setProperty(name, "quiet") && client->property(name) == "quiet");
        for (int i = 0; i < 2; ++i) {
            client->setClientId("plain-id");
            client->setClientSecret("very-secret-value");
        }
        QCOMPARE(spy.count(), 4);
        QFile file(settings->fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray onDisk = file.readAll();
        QVERIFY(onDisk.contains("plain-id") && !onDisk.contains("very-secret-value"));
        // Stored as standard padded base64, with a fresh nonce every time.
        const QByteArray secret = settings->value("client_secret").toByteArray();
        QVERIFY(QByteArray::fromBase64(secret).toBase64() == secret && sealed("x") != sealed("x"));

        MacToken& t = TokenCoreTestAccess::token(*client);
        t = { "at", 11, 22, "rt", "mk", Hash::Sha256 };
        QList<int> states;
        QSignalSpy loggedOut(client.get(), &OAuth2ClientImpl::loggedOut);
        connect(client.get(), &OAuth2ClientImpl::loginStateChanged, this, [&](LoginState state) {
            QCOMPARE(client->loginState(), state);
            QCOMPARE(loggedOut.count(), states.count(LoggedOut)); // the state first, then loggedOut
            states.append(state);
        });
        for (int i = 0; i < 2; ++i) {
            QTest::ignoreMessage(QtWarningMsg, "Client credentials are not valid");
            static_cast<network::internal::OAuth2DebugClient*>(client.get())->logout();
        }
        QVERIFY(QSettings(settings->fileName(), QSettings::IniFormat).allKeys().isEmpty());
        QVERIFY(!client->isLoggedIn() && (client->clientId() + client->clientSecret()).isEmpty());
        QVERIFY(t.accessToken.isEmpty() && t.refreshToken.isEmpty() && t.macKey.isEmpty());
        QVERIFY(t.issueTime == 11 && t.expiryTime == 22 && t.algorithm == Hash::Sha256);
        QCOMPARE(spy.count(), 4); // logging out wrote the store itself, not through the signal

        const auto registered = [&](const QString& email) {
            return QMetaObject::invokeMethod(
                client.get(), "onRegistrationFinished", Q_ARG(QString, email));
        };
        QVERIFY(registered("a@b.c"));
        QCOMPARE(client->pendingActivationEmail(), "a@b.c");
        emit static_cast<Client*>(client.get())->loggedIn(); // as after a successful grant
        QVERIFY(!settings->contains("pendingActivation"));
        QVERIFY(registered(""));
        QVERIFY(settings->contains("pendingActivation")); // stored unchanged, also when empty
        QCOMPARE(states,
            QList<int>({ LoggedOut, LoggedOut, PendingActivation, LoggedIn, PendingActivation }));
    }
};

QTEST_GUILESS_MAIN(tst_TokenStore)
#include "tst_tokenstore.moc"
