// The token core's settings and protected store, and the account service's use of the store:
// origins, settings maps written through, login state and logout.

#include "OAuth2ClientImpl.h"
#include "ScriptedHttpServer.h"
#include "TestLog.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <memory>

using zel::OAuth2ClientImpl;
using namespace zel;
using namespace zel::test;
using namespace zel::network;
using Client = AbstractOAuth2Client;
using Hash = QCryptographicHash;

QString sealed(const QString& clear) { return Client::protectValue(clear).toString(); }

class tst_tokenstore : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QSharedPointer<QSettings> settings; // the last store made
    ScriptedHttpServer server { [](const HttpRequest&) { return HttpResponse::text("x", 503); } };
    const QVariantMap credentials { { "client_id", "cid" }, { "client_secret", sealed("cs") },
        { "oauthServer", server.origin() } };

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
        return std::make_unique<OAuth2ClientImpl>(store(values), nullptr);
    }

private slots:
    void initTestCase() { watchLog(); }
    // Loading the store, protected values unprotected on the way: one row per way a stored value
    // can be wrong.
    void loadSettings_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value"); // invalid: the key holds no value
        QTest::addColumn<QStringList>("loaded"); // client id, secret, refresh token, MAC key
        QTest::addColumn<bool>("sha256"); // the algorithm loaded; else SHA-1
        QTest::addColumn<QString>("warning");
        const QStringList all { "c", "s", "r", "k" };
        // The algorithm's spelling in a token answer is tst_tokengrants'.
        QTest::addRow("unknown algorithm keeps the previous one")
            << "algorithm" << QVariant("hmac-md5") << all << false << QString("md5\" is wrong");
        QTest::addRow("id without secret")
            << "client_secret" << QVariant() << QStringList { "", "", "r", "k" } << true
            << QString("credentials are not valid");
        QTest::addRow("refresh token not base64")
            << "refresh_token" << QVariant("%%") << QStringList { "c", "s", "", "k" } << true
            << QString("not base64");
        QTest::addRow("refresh token base64 of garbage")
            << "refresh_token" << QVariant("Z2FyYmFnZQ==") << QStringList { "c", "s", "", "k" }
            << true << QString("unprotect");
    }
    void loadSettings()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, value);
        QFETCH(QStringList, loaded);
        QFETCH(bool, sha256);
        QFETCH(QString, warning);
        QVariantMap stored { { "client_id", "c" }, { "client_secret", sealed("s") },
            { "refresh_token", sealed("r") }, { "key", "k" }, { "algorithm", "hmac-sha-256" },
            { "issue_time", qint64(1700000000123) } };
        stored[key] = value;
        Client client;
        if (!warning.isEmpty())
            expectWarning(QRegularExpression(warning));
        client.loadSettings(store(stored));
        client.grants().unsealRefreshToken(); // as any grant would
        const MacToken& t = client.grants().token();
        QCOMPARE(
            QStringList({ client.clientId(), client.clientSecret(), t.refreshToken, t.macKey }),
            loaded);
        QCOMPARE(t.algorithm, sha256 ? Hash::Sha256 : Hash::Sha1);
        QCOMPARE(t.issueTime, 1700000000123);
    }

    // The login state at start, and what login(e-mail, password) does then: only a pending
    // activation with both empty checks the activation (a client-credentials grant); otherwise
    // a login request starts.
    void loginStateAndActivation_data()
    {
        QTest::addColumn<QVariantMap>("stored"); // besides the client's credentials
        QTest::addColumn<LoginState>("state");
        QTest::addColumn<QString>("email"); // given to login()
        QTest::addColumn<QString>("password");
        const QVariantMap pending { { "pendingActivation", "a@b.c" } },
            stale { { "pendingActivation", "a@b.c" }, { "refresh_token", sealed("rt") } };
        const QString none;
        QTest::addRow("stale pending activation") << stale << LoggedIn << none << none;
        QTest::addRow("pending activation") << pending << PendingActivation << none << none;
        QTest::addRow("pending, e-mail given") << pending << PendingActivation << "a@b.c" << none;
        QTest::addRow("pending, password given") << pending << PendingActivation << none << "pw";
    }
    void loginStateAndActivation()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(LoginState, state);
        QFETCH(QString, email);
        QFETCH(QString, password);
        stored.insert(credentials);
        const bool stillPending = state == PendingActivation; // a stale mark is removed
        const bool activationCheck = stillPending && email.isEmpty() && password.isEmpty();
        for (int i = stillPending + activationCheck; i > 0; --i)
            expectWarning(QRegularExpression("Token request failed"));
        const auto client = service(stored);
        QSignalSpy errors(client.get(), &Client::accessTokenError);
        QCOMPARE(client->isLoggedIn(), stored.contains("refresh_token"));
        QCOMPARE(settings->contains("pendingActivation"), stillPending);
        QCOMPARE(client->pendingActivationEmail(), stillPending ? "a@b.c" : "");
        // A pending activation is checked at once; the failed check leaves the state as it is.
        QCOMPARE(errors.wait(500), stillPending);
        QCOMPARE(client->loginState(), state);

        server.clearRequests();
        client->login(email, password);
        QVERIFY(server.waitForRequests(1));
        QCOMPARE(server.requests().at(0).path, activationCheck ? "/oauth/token" : "/login");
        QVERIFY(!activationCheck || errors.wait());
    }

    // Logging out wipes the store but the server origins (an empty one too), every time it is
    // asked, forgets the secrets and keeps the times. The login state is stored before it is
    // announced.
    void storeLife()
    {
        const auto client = service({ { "apiServer", "" }, { "hostOwned", 1 }, { "group/x", 2 } });
        client->setClientId("id");
        client->setClientSecret("secret");
        QSignalSpy spy(client.get(), &Client::settingsChanged);

        client->grants().unsealRefreshToken();
        MacToken& t = client->grants().token() = { "at", 11, 22, "rt", "mk", Hash::Sha256 };
        QList<int> states;
        QSignalSpy loggedOut(client.get(), &OAuth2ClientImpl::loggedOut);
        connect(client.get(), &OAuth2ClientImpl::loginStateChanged, this, [&](LoginState state) {
            QCOMPARE(client->loginState(), state);
            QCOMPARE(loggedOut.count(), states.count(LoggedOut)); // the state first, then loggedOut
            states.append(state);
        });
        for (int i = 0; i < 2; ++i)
            static_cast<::network::internal::OAuth2DebugClient*>(client.get())->logout();
        QCOMPARE(QSettings(settings->fileName(), QSettings::IniFormat).allKeys(),
            QStringList { "apiServer" });
        QVERIFY(!client->isLoggedIn()
            && (client->clientId() + client->clientSecret() + t.accessToken + t.macKey).isEmpty());
        QVERIFY(t.issueTime == 11 && t.expiryTime == 22 && t.algorithm == Hash::Sha256);
        QCOMPARE(spy.count(), 0); // logging out wrote the store itself, not through the signal
        QCOMPARE(states, QList<int>({ LoggedOut, LoggedOut }));
    }
};

QTEST_GUILESS_MAIN(tst_tokenstore)
#include "tst_tokenstore.moc"
