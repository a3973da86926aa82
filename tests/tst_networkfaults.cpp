// Every exchange of the account service behind a proxy that spoils the server's answers: each
// row is one exchange and one fault. Every caller waiting on the exchange hears one outcome with
// the row's text, a failure leaves the store as it was, and the next attempt succeeds. A silence
// limit of 0.5 s (transferTimeout) keeps the table short; the slow and dripping answers keep far
// inside it.

#include "AccountFixture.h"
#include "AuthenticatedReply.h"
#include "FaultProxy.h"
#include "JsonNetworkReply.h"
#include "RegistrationRequestImpl.h"

#include <QSslConfiguration>
#include <QtTest>

using namespace zel;
using namespace zel::test;
using zel::OAuth2ClientImpl;
namespace settings = zel::network::settings;

Q_DECLARE_METATYPE(zel::test::Fault)

namespace {

const QByteArray loginPage = "<form method=post><input type=\"hidden\" "
                             "name=\"__anti-forgery-token\" value=\"H\"></form>";

// A good server. Every body takes longer to drip than the exchanges' deadline (1 s).
HttpResponse goodAnswer(const HttpRequest& request)
{
    const QByteArray route = request.method + ' ' + request.path;
    const QByteArray moved = "<p>This page has moved.</p>"; // redirects carry a body too
    HttpResponse answer = HttpResponse::jsonText(R"({"ok":"one signed call"})");
    if (route == "POST /oauth/token")
        answer = tokenAnswer();
    else if (route == "POST /oauth/credentials")
        answer = credentialsAnswer();
    else if (route == "GET /login" || route == "GET /register")
        answer = HttpResponse::html(loginPage);
    else if (route == "POST /login")
        answer = HttpResponse::redirect("zel://authorize?code=the-code"), answer.body = moved;
    else if (route == "POST /register")
        answer = HttpResponse::redirect("/checkyouremails"), answer.body = moved;
    else if (route == "GET /config/pubnub")
        answer = HttpResponse::jsonText(R"({"subscribe_key":"sub-c-1","channel":"device-1"})");
    else if (route == "POST /login-token")
        answer = HttpResponse::jsonText(R"({"token":"one-time-login-token-1"})");
    return answer;
}

// One caller waiting on an exchange: the signal it gets on success and on failure.
struct Waiter {
    QString name;
    std::unique_ptr<QSignalSpy> ok, failed;
    int reports() const { return ok->count() + failed->count(); }
    // The failure's text; a registration's comes in a map of one field.
    QString text() const
    {
        const QVariant first = failed->value(0).value(0);
        return first.userType() == QMetaType::QVariantMap ? first.toMap().first().toString()
                                                          : first.toString();
    }
};

struct Bench {
    bool tls;
    // Over TLS each answer closes its connection, so that the proxy can stall the next one.
    ScriptedHttpServer origin { [this](const HttpRequest& request) {
        return tls ? goodAnswer(request).withHeader("Connection", "close") : goodAnswer(request);
    } };
    std::unique_ptr<FaultProxy> proxy;
    std::unique_ptr<ServiceFixture<OAuth2ClientImpl>> account;
    std::vector<Waiter> waiters;

    Bench(bool tls, bool device, bool loggedIn, const QString& certificateDir)
        : tls(tls)
    {
        if (tls)
            QVERIFY(!origin.serveTls(certificateDir).isNull());
        proxy = std::make_unique<FaultProxy>(origin.serverPort(), tls);
        QVariantMap stored { { settings::oauthServer, proxy->origin() },
            { settings::apiServer, proxy->origin() }, { settings::transferTimeout, 500 } };
        if (device)
            stored.insert({ { "client_id", testClientId() },
                { "client_secret", AbstractOAuth2Client::protectValue(testClientSecret()) } });
        if (loggedIn)
            stored.insert({ { "refresh_token", AbstractOAuth2Client::protectValue("refresh-0") },
                { "key", "key-0" }, { "algorithm", "hmac-sha-256" }, { "issue_time", 5 } });
        account = std::make_unique<ServiceFixture<OAuth2ClientImpl>>(false, stored);
    }
    OAuth2ClientImpl* client() const { return account->client.get(); }
    QVariantMap store() const
    {
        QSettings file(account->settings->fileName(), QSettings::IniFormat);
        QVariantMap values;
        for (const QString& key : file.allKeys())
            values.insert(key, file.value(key));
        return values;
    }
    // By signature, or by member for the service's loggedIn (the signature names a slot too).
    template <typename Object, typename Ok, typename Failed>
    void watch(const QString& name, Object* object, Ok ok, Failed failed)
    {
        waiters.push_back({ name, std::make_unique<QSignalSpy>(object, ok),
            std::make_unique<QSignalSpy>(object, failed) });
    }
    // A reply that the host releases once it reported (an API call also releases itself after
    // an error; releasing it twice is harmless).
    void watchReply(const QString& name, QObject* reply, const char* ok)
    {
        QObject::connect(reply, ok, reply, SLOT(deleteLater()));
        QObject::connect(reply, SIGNAL(error(QString, int)), reply, SLOT(deleteLater()));
        watch(name, reply, ok, SIGNAL(error(QString, int)));
    }

    // Starts the exchange with every caller that waits on it.
    void start(const QString& exchange)
    {
        waiters.clear();
        OAuth2ClientImpl* service = client();
        if (exchange == "grant") {
            watch("service", service, SIGNAL(hasAccessToken()), SIGNAL(accessTokenError(QString)));
            watchReply("first call", service->get("/api"), SIGNAL(finished(QJsonDocument)));
            watchReply("second call", service->get("/api"), SIGNAL(finished(QJsonDocument)));
        } else if (exchange == "API call") {
            watchReply("call", service->get("/api"), SIGNAL(finished(QJsonDocument)));
        } else if (exchange == "PubNub") {
            watchReply("reply", service->fetchPubNubConfig()->object(),
                SIGNAL(finished(int, QJsonDocument)));
        } else if (exchange == "login token") {
            watch("service", service, SIGNAL(manageAccountOnlineUrlReady(QUrl)),
                SIGNAL(manageAccountOnlineUrlFailed(QString)));
            service->requestManageAccountOnlineUrl();
        } else { // the login flow and its exchanges, with a registration when it needs a device
            watch("login", service, &AbstractOAuth2Client::loggedIn, &OAuth2ClientImpl::loginError);
            service->login("anna@example.com", "pw");
            if (exchange != "device credentials")
                return;
            ::network::RegistrationRequest* registration = service->createRegistrationRequest();
            for (const char* field : { "email", "firstName", "lastName", "country" })
                registration->object()->setProperty(field, "x");
            registration->setPassword("x");
            watch("registration", registration->object(), SIGNAL(finished(QString)),
                SIGNAL(failed(QVariantMap)));
            registration->send();
        }
    }

    // Every waiter reports once: success when text is null, else a failure with that text.
    void verify(const QString& text)
    {
        const auto all = [this](int reports) {
            return std::all_of(waiters.begin(), waiters.end(),
                [=](const Waiter& waiter) { return waiter.reports() >= reports; });
        };
        QVERIFY(QTest::qWaitFor([&] { return all(1); }, 10000));
        QTest::qWait(20); // nothing more arrives
        for (const Waiter& waiter : waiters) {
            QVERIFY2(waiter.reports() == 1, qPrintable(waiter.name));
            QVERIFY2(waiter.failed->count() == !text.isNull(), qPrintable(waiter.name));
            if (!text.isNull())
                QCOMPARE(waiter.text(), text);
        }
    }
};

} // namespace

class tst_networkfaults : public QObject {
    Q_OBJECT

    // The TLS rows' certificate, made by the tls_certificate fixture.
    const QString certificates = qEnvironmentVariable("ZEL_TLS_DIR");

private slots:
    // The plug-in's warnings about the failures are expected here: the log is not watched.

    void initTestCase()
    {
        // The TLS rows' origin: its certificate trusted as the CA of every connection.
        ScriptedHttpServer origin({});
        const QSslCertificate certificate = origin.serveTls(certificates);
        QVERIFY(!certificate.isNull());
        QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
        trusting.addCaCertificate(certificate);
        QSslConfiguration::setDefaultConfiguration(trusting);
    }
    void spoiledAnswers_data();
    void spoiledAnswers();
};

void tst_networkfaults::spoiledAnswers_data()
{
    QTest::addColumn<QString>("exchange");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("text"); // of the failure; null: success

    const struct {
        const char* name;
        Fault fault;
    } faults[] = { { "reset before the head", Fault::ResetBeforeHead },
        { "reset in the head", Fault::ResetInHead }, { "reset in the body", Fault::ResetInBody },
        { "truncated body", Fault::TruncateBody }, { "silent", Fault::Silent },
        { "dripping", Fault::Drip }, { "stalled TLS handshake", Fault::StallHandshake },
        { "slow", Fault::Slow } };
    for (const QString exchange : { "grant", "device credentials", "form page", "form post",
             "PubNub", "login token", "API call" }) {
        const QString server
            = exchange == "API call" || exchange == "login token" ? "API" : "OAuth";
        for (const auto& fault : faults) {
            QString text = exchange == "device credentials"
                ? "Could not fetch client credentials from server"
                : "Connection closed";
            if (fault.fault == Fault::Silent || fault.fault == Fault::StallHandshake)
                text = QString("the %1 server did not answer within 0.5 s").arg(server);
            else if (fault.fault == Fault::Drip) // API calls have no deadline
                text = exchange == "API call"
                    ? QString()
                    : QString("the %1 server did not finish its answer within 1 s").arg(server);
            else if (fault.fault == Fault::Slow)
                text = QString();
            QTest::addRow("%s, %s", qPrintable(exchange), fault.name)
                << exchange << fault.fault << text;
        }
    }
}

void tst_networkfaults::spoiledAnswers()
{
    QFETCH(QString, exchange);
    QFETCH(Fault, fault);
    QFETCH(QString, text);
    const bool credentials = exchange == "device credentials";
    const bool signedCalls = exchange == "login token" || exchange == "API call";
    Bench bench(fault == Fault::StallHandshake, !credentials, exchange == "grant" || signedCalls,
        certificates);
    if (QTest::currentTestFailed())
        return;
    if (signedCalls) { // the token first, so that the exchange goes out alone
        QSignalSpy granted(bench.client(), &AbstractOAuth2Client::hasAccessToken);
        bench.client()->ensureAccessToken();
        QVERIFY(granted.wait());
    }
    const QVariantMap before = bench.store();
    // Over TLS, where each exchange has a connection of its own, the login's form post comes
    // after the form page.
    static const QHash<QString, QByteArray> routes { { "grant", "POST /oauth/token" },
        { "device credentials", "POST /oauth/credentials" }, { "form page", "GET /login" },
        { "form post", "POST /login" }, { "PubNub", "GET /config/pubnub" },
        { "login token", "POST /login-token" }, { "API call", "GET /api" } };
    bench.proxy->inject(fault, routes.value(exchange), exchange == "form post" ? 1 : 0);
    bench.start(exchange);
    bench.verify(text);
    if (text.isNull() || QTest::currentTestFailed())
        return;
    QCOMPARE(bench.store(), before);
    bench.proxy->inject(Fault::None); // and the next attempt goes through, however slowly
    bench.client()->setTransferTimeout(30000);
    bench.start(exchange);
    bench.verify(QString());
}

QTEST_GUILESS_MAIN(tst_networkfaults)
#include "tst_networkfaults.moc"
