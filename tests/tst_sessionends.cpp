// Every call ends, and nothing ends twice or writes what the user moved past: a grant that gets
// no answer, a logout or a shutdown while exchanges run, a host that deletes the service or logs
// out from its own slots, a stored login that cannot be read, and flows that share the device's
// registration.

#include "AccountFixture.h"
#include "AuthenticatedReply.h"
#include "JsonNetworkReply.h"
#include "RegistrationRequestImpl.h"

#include <QFile>
#include <QPointer>
#include <QtTest>

using namespace zel;
using namespace zel::test;
using zel::OAuth2ClientImpl;
using Reply = zel::network::AuthenticatedReply;
using Core = AbstractOAuth2Client;
using zel::network::ErrorKind;

namespace {

enum class Ending { Logout, Shutdown };
const int canceled = QNetworkReply::OperationCanceledError;
const QByteArray loginPage = "<input name=\"__anti-forgery-token\" value=\"H\">";

QString failure(int code, ErrorKind kind)
{
    return QString("error %1 %2").arg(code).arg(int(kind));
}

// A device on its store: logged in with an access token that ran out (unless `device` says it
// is fresh), requests ending after 300 ms of silence.
struct Device : ServiceFixture<OAuth2ClientImpl> {
    explicit Device(bool loggedIn = true, const QVariantMap& extra = {})
        : ServiceFixture(false, seed(loggedIn, extra))
    {
        answers = { { "POST /oauth/credentials", credentialsAnswer() },
            { "GET /login", HttpResponse::html(loginPage) },
            { "POST /login", HttpResponse::redirect("zel://authorize?code=abc") },
            { "GET /register", HttpResponse::html(loginPage) } };
        token = [](const HttpRequest&) { return tokenAnswer(); };
    }
    static QVariantMap seed(bool loggedIn, const QVariantMap& extra)
    {
        QVariantMap stored { { zel::network::settings::transferTimeout, 300 } };
        if (loggedIn)
            stored.insert({ { "client_id", testClientId() },
                { "client_secret", Core::protectValue(testClientSecret()) },
                { "refresh_token", Core::protectValue("refresh-0") }, { "key", "key-0" },
                { "algorithm", "hmac-sha-256" }, { "issue_time", 5 } });
        stored.insert(extra);
        return stored;
    }
    QByteArray storeBytes() const
    {
        settings->sync();
        QFile file(settings->fileName());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // The outcomes of a call: "finished" or "error CODE KIND", in order.
    QStringList* watch(Reply* reply)
    {
        auto* outcomes = &outcomes_[reply];
        QObject::connect(reply, &Reply::finished, [outcomes] { *outcomes << "finished"; });
        QObject::connect(reply, &Reply::error, [outcomes, reply](const QString&, int code) {
            *outcomes << failure(code, reply->property("errorKind").value<ErrorKind>());
        });
        return outcomes;
    }
    std::map<Reply*, QStringList> outcomes_;
};

// The hosts' way: through the debug interface.
void logOut(OAuth2ClientImpl* client)
{
    static_cast<::network::internal::OAuth2DebugClient*>(client)->logout();
}

// Does what a row says when a signal arrives; connected by signature, as hosts do.
class Host : public QObject {
    Q_OBJECT
public:
    std::function<void()> action;
public slots:
    void act()
    {
        if (auto run = std::exchange(action, nullptr))
            run();
    }
};

} // namespace

Q_DECLARE_METATYPE(Ending)
Q_DECLARE_METATYPE(zel::test::HttpResponse)

class tst_sessionends : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { watchLog(); }

    // A refresh grant gets no answer while two calls and a login's code wait for it. A logout or
    // a shutdown ends every waiting call once, and nothing comes back to write the store (a
    // grant that times out: tst_networkfaults).
    void grantInFlightEnds_data()
    {
        QTest::addColumn<Ending>("ending");
        QTest::addColumn<QString>("outcome");
        QTest::addRow("logout") << Ending::Logout << failure(204, ErrorKind::LoggedOut);
        QTest::addRow("shutdown") << Ending::Shutdown << failure(canceled, ErrorKind::ShutDown);
    }
    void grantInFlightEnds()
    {
        QFETCH(Ending, ending);
        QFETCH(QString, outcome);
        auto device = std::make_unique<Device>();
        device->token = [](const HttpRequest&) { return HttpResponse::noAnswer(); };
        QList<QPointer<Reply>> replies { device->client->get("/a"), device->client->get("/b") };
        QList<QStringList*> outcomes { device->watch(replies[0]), device->watch(replies[1]) };
        QVERIFY(device->server.waitForRequests(1));
        device->client->fetchAccessTokenUsingAuthorizationCode("queued-code");
        if (ending == Ending::Logout)
            logOut(device->client.get());
        else if (ending == Ending::Shutdown)
            device->client.reset();
        QTRY_VERIFY(!replies[0] && !replies[1]);
        for (QStringList* got : outcomes)
            QCOMPARE(*got, QStringList { outcome });
        if (ending == Ending::Logout) {
            // The queued code is dropped and nothing comes back: only the host's keys stay.
            QVERIFY(!QTest::qWaitFor([&] { return device->grants.size() > 1; }, 100));
            QCOMPARE(device->settings->allKeys(),
                QStringList({ "apiServer", "oauthServer", "transferTimeout" }));
            QVERIFY(!device->client->isLoggedIn());
        }
    }

    // A login whose post is on its way when the user logs out ends there: its code would log
    // the user back in.
    void logoutEndsLogin()
    {
        Device device;
        device.answers["POST /login"] = HttpResponse::noAnswer();
        QSignalSpy failed(device.client.get(), &OAuth2ClientImpl::loginFailed);
        device.client->login("a@example.com", "pw");
        QTRY_COMPARE(requestsTo(device.server, "POST", "/login").size(), 1);
        logOut(device.client.get());
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(0).value<ErrorKind>(), ErrorKind::LoggedOut);
        QVERIFY(!QTest::qWaitFor([&] { return failed.size() > 1; }, 50));
        QVERIFY(device.grants.isEmpty());
    }

    // At shutdown the PubNub reply and a registration that waits for the device's credentials
    // report it, and the registration releases itself.
    void pendingFlowsAtShutdown()
    {
        auto device = std::make_unique<Device>(false);
        device->client->setClientId(testClientId());
        device->client->setClientSecret(testClientSecret());
        device->answers["GET /config/pubnub"] = HttpResponse::noAnswer();
        std::unique_ptr<QObject> pubNubReply(device->client->fetchPubNubConfig()->object());
        QSignalSpy pubNub(pubNubReply.get(), SIGNAL(error(QString, int)));
        device->client->setProperty("clientSecret", QString()); // a fresh device from here
        device->answers["POST /oauth/credentials"] = HttpResponse::noAnswer();
        QPointer<QObject> registration = device->client->createRegistrationRequest()->object();
        QSignalSpy failed(registration, SIGNAL(failed(QVariantMap)));
        qobject_cast<zel::RegistrationRequestImpl*>(registration)->send();
        QVERIFY(device->server.waitForRequests(2));
        device->client.reset();
        QCOMPARE(pubNub.size(), 1);
        QCOMPARE(pubNub.at(0).at(1).toInt(), canceled);
        QCOMPARE(pubNubReply->property("errorKind").value<ErrorKind>(), ErrorKind::ShutDown);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(0).toMap().keys(), QStringList { "_credentials" });
        QTRY_VERIFY(!registration);
    }

    // A stored login that cannot be read (sealed for another user, machine or key) counts at
    // start, then ends as an absent one would: logged out, calls refused, no grant that a
    // refusal could turn into an emptied store, and the stored values kept for a later start.
    void unreadableStoredLogin()
    {
        QByteArray sealed = Core::protectValue("refresh-0").toByteArray();
        sealed[sealed.size() / 2] = sealed[sealed.size() / 2] == 'A' ? 'B' : 'A';
        Device device(true, { { "refresh_token", QString::fromLatin1(sealed) } });
        const QByteArray stored = device.storeBytes();
        QVERIFY(device.client->isLoggedIn()); // not read at start
        QSignalSpy states(device.client.get(), &OAuth2ClientImpl::loginStateChanged);
        expectWarning(QRegularExpression("^Could not unprotect a stored value"));
        expectWarning("The stored refresh token cannot be read; logged out");
        for (int i = 0; i < 2; ++i) {
            QPointer<Reply> reply = device.client->get("/a");
            QStringList* got = device.watch(reply);
            QTRY_VERIFY(!reply);
            QCOMPARE(*got, QStringList { failure(204, ErrorKind::UnreadableStore) });
        }
        QCOMPARE(states.size(), 1);
        QCOMPARE(device.client->loginState(), zel::network::LoggedOut);
        QVERIFY(!device.client->isLoggedIn());
        QCOMPARE(device.server.requestCount(), 0);
        QCOMPARE(device.storeBytes(), stored);
    }

    // A refused grant forgets the device in memory as in the store: the next login registers it
    // again and stores a whole record (the pair in one change), which a restart can use.
    void loginAfterRefusedGrant()
    {
        Device device;
        device.token = [n = 0](const HttpRequest&) mutable {
            return n++ ? tokenAnswer() : HttpResponse::jsonText(tokenAnswer().body, 202);
        };
        expectWarning(
            QRegularExpression("^Token request finished: \"refresh_token\" grant refused"));
        device.client->ensureAccessToken();
        QTRY_COMPARE(device.grants.size(), 1);
        QTRY_VERIFY(device.client->clientId().isEmpty());
        QSignalSpy loggedIn(device.client.get(), &Core::loggedIn);
        device.client->login("a@example.com", "pw");
        QVERIFY(loggedIn.wait());
        QCOMPARE(requestsTo(device.server, "POST", "/oauth/credentials").size(), 1);
        const auto pair = std::find_if(device.settingsChanged->cbegin(),
            device.settingsChanged->cend(), [](const QVariantList& change) {
                return change.value(0).toMap().keys()
                    == QStringList({ "client_id", "client_secret" });
            });
        QVERIFY(pair != device.settingsChanged->cend());

        device.client = std::make_unique<OAuth2ClientImpl>(device.settings, nullptr);
        QPointer<Reply> reply = device.client->get("/api");
        QStringList* got = device.watch(reply);
        QTRY_COMPARE(*got, QStringList { "finished" });
        delete reply.data();
    }

    // A host may delete the service or log out from any slot of the service's or a reply's
    // signals (LeakSanitizer and AddressSanitizer watch), and no call is ever signed with a token
    // that went meanwhile.
    void reentrantHost_data()
    {
        QTest::addColumn<QByteArray>("signal"); // of the service; empty: the reply's error
        QTest::addColumn<HttpResponse>("grant"); // the answer to the refresh grant
        QTest::addColumn<bool>("logout"); // else delete the service
        const HttpResponse granted = tokenAnswer(),
                           revoked = HttpResponse::jsonText(R"({"error":"invalid_grant"})", 400),
                           failed = HttpResponse::jsonText(R"({"error":"x"})", 500);
        for (const bool logout : { false, true }) {
            const char* what = logout ? "logout" : "delete";
            QTest::addRow("%s in hasAccessToken", what)
                << QByteArray(SIGNAL(hasAccessToken())) << granted << logout;
            QTest::addRow("%s in settingsChanged", what)
                << QByteArray(SIGNAL(settingsChanged(QVariantMap))) << granted << logout;
            QTest::addRow("%s in accessTokenError", what)
                << QByteArray(SIGNAL(accessTokenError(QString))) << failed << logout;
            QTest::addRow("%s in loginStateChanged", what)
                << QByteArray(SIGNAL(loginStateChanged(zel::network::LoginState))) << revoked
                << logout;
            QTest::addRow("%s in disconnected", what)
                << QByteArray(SIGNAL(disconnected())) << revoked << logout;
            QTest::addRow("%s in the reply's error", what) << QByteArray() << failed << logout;
        }
        QTest::addRow("delete in loggedIn") << QByteArray(SIGNAL(loggedIn())) << granted << false;
        QTest::addRow("logout in loggedIn") << QByteArray(SIGNAL(loggedIn())) << granted << true;
    }
    void reentrantHost()
    {
        QFETCH(QByteArray, signal);
        QFETCH(HttpResponse, grant);
        QFETCH(bool, logout);
        Device device;
        device.token = [grant](const HttpRequest&) { return grant; };
        Host host;
        host.action = [&] {
            if (logout)
                logOut(device.client.get());
            else
                device.client.reset();
        };
        if (grant.status != 200)
            expectWarning(QRegularExpression("^Token request failed"));
        QPointer<Reply> reply;
        if (signal.isEmpty()) { // the grant fails, the reply reports it
            reply = device.client->get("/a");
            connect(reply, SIGNAL(error(QString, int)), &host, SLOT(act()));
        } else {
            QVERIFY(connect(device.client.get(), signal, &host, SLOT(act())));
            if (signal.contains("loggedIn")) {
                device.client->fetchAccessTokenUsingAuthorizationCode("abc");
                reply = device.client->get("/a"); // waits for that grant
            } else {
                reply = device.client->get("/a");
            }
        }
        QStringList* got = device.watch(reply);
        QTRY_VERIFY(!host.action);
        QTRY_VERIFY(!reply);
        QCOMPARE(got->size(), 1);
        // Calls went out only signed with a valid token.
        for (const HttpRequest& call : device.calls)
            QVERIFY(call.header("Authorization").startsWith("MAC id=\"access-token-1\""));
        if (logout)
            QCOMPARE(device.settings->allKeys(),
                QStringList({ "apiServer", "oauthServer", "transferTimeout" }));
    }
};

QTEST_GUILESS_MAIN(tst_sessionends)
#include "tst_sessionends.moc"
