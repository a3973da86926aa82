// The account registration over loopback HTTP: the form fetch and post on the wire, how every
// kind of answer is judged, and requests that must not react to other requests' signals.

#include "AccountFixture.h"
#include "RegistrationRequestImpl.h"
#include "ScriptedHttpServer.h"

#include <QJsonArray>
#include <QPointer>
#include <QtTest>

using namespace zel;
using namespace zel::test;
using Reply = zel::test::HttpResponse;

Q_DECLARE_METATYPE(zel::test::HttpResponse)

namespace {

const QByteArray formTarget = "/register?client_id=device%201%2F%2B";

// The registration form; its session and its anti-forgery token come as cookies.
const Reply formPage = Reply::html("<input type=hidden name=__anti-forgery-token value=H>")
                           .withHeader("Set-Cookie", "session=S1; Path=/")
                           .withHeader("Set-Cookie", "__anti-forgery-token=T1; Path=/");

} // namespace

class tst_registrationflow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { watchLog(); }
    void registration_data();
    void registration();
    void serviceGoneFirst();
    void destroyedWhilePosting();
};

void tst_registrationflow::registration_data()
{
    QTest::addColumn<QVariantMap>("fields"); // properties set besides the usual ones
    QTest::addColumn<QByteArray>("stage"); // whose answer the row gives
    QTest::addColumn<Reply>("answer");
    QTest::addColumn<QVariantMap>("errors"); // empty: finished(email)
    QTest::addColumn<QByteArray>("body"); // of the post; empty: nothing posted

    const QByteArray anna = "__anti-forgery-token=T1&email=anna%40example.com&password=pw"
                            "&first-name=Anna&last-name=Berg&country=SE&send-newsletter=no"
                            "&accept-terms=yes";
    const Reply success = Reply::redirect("/checkyouremails?lang=en");
    const auto row = [&](const char* name, const Reply& answer, const QVariantMap& errors,
                         const QByteArray& stage = "post", const QByteArray& body = QByteArray(),
                         const QVariantMap& fields = QVariantMap()) {
        QTest::newRow(name) << fields << stage << answer << errors
                            << (body.isNull() && stage.startsWith("post") ? anna : body);
    };
    const auto fieldErrors = [](const QByteArray& json) { return Reply::jsonText(json, 422); };
    const auto server = [](const char* reason) { return QVariantMap { { "_server", reason } }; };

    row("success redirect", success, {});
    row("newsletter chosen; HTML answer", Reply::html(""), server("OK"), "post",
        QByteArray(anna).replace("=no&", "=yes&"), { { "newsletterSubscribed", true } });
    row("non-ASCII and reserved characters; last error wins",
        fieldErrors(R"({"email":[{"error":"taken"}],"password":[{"error":"x"},{"error":"weak"}]})"),
        { { "email", "taken" }, { "password", "weak" } }, "post",
        "__anti-forgery-token=T1&email=zoe%2B1%40example.com&password=p%26w%3D1%2B%20%25"
        "&first-name=Zo%C3%AB%20Anne&last-name=Berg&country=%C3%96sterreich"
        "&send-newsletter=no&accept-terms=yes",
        { { "email", "zoe+1@example.com" }, { "password", "p&w=1+ %" },
            { "firstName", QString::fromUtf8("Zoë Anne") },
            { "country", QString::fromUtf8("Österreich") } });
    row("success redirect without country", success,
        { { "_bogus", "Server was unable to handle the registration properly" } }, "post",
        QByteArray(anna).replace("SE", ""), { { "country", "" } });
    row("device registration fails", Reply::json(QJsonDocument(QJsonArray())),
        { { "_credentials", "Invalid server response" } }, "credentials");
    // Judged faults: another request's signals must not restart or end a registration.
    row("login meanwhile", success, {}, "post after a login");
    row("failed login meanwhile", fieldErrors(R"({"email":[{"error":"taken"}]})"),
        { { "email", "taken" } }, "post after a failed login");
}

void tst_registrationflow::registration()
{
    QFETCH(QVariantMap, fields);
    QFETCH(QByteArray, stage);
    QFETCH(Reply, answer);
    QFETCH(QVariantMap, errors);
    QFETCH(QByteArray, body);

    // What the servers answer now: the test may change it while they run.
    Reply credentials = credentialsAnswer(), post;
    Reply& slot = stage == "credentials" ? credentials : post;
    slot = stage.startsWith("post after") ? Reply::noAnswer() : answer; // answered after a login
    ScriptedHttpServer server([&](const HttpRequest& request) {
        if (request.path == "/register")
            return request.method == "GET" ? formPage : post;
        if (request.path == "/login") // a login meanwhile
            return Reply::redirect("zel://authorize?code=abc");
        return request.path == "/oauth/credentials" ? credentials : tokenAnswer();
    });
    auto account = makeAccount(server.origin(), stage != "credentials");
    zel::OAuth2ClientImpl* client = account->client.get();
    ::network::RegistrationRequest* registration = client->createRegistrationRequest();
    QPointer<QObject> request = registration->object();
    QVariantMap values { { "email", "anna@example.com" }, { "password", "pw" },
        { "firstName", "Anna" }, { "lastName", "Berg" }, { "country", "SE" } };
    values.insert(fields);
    registration->setPassword(values.take("password").toString());
    QVERIFY(!request->property("password").isValid()); // never readable by name
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        QVERIFY(request->setProperty(it.key().toLatin1(), it.value()));
    QSignalSpy finished(request, SIGNAL(finished(QString)));
    QSignalSpy failed(request, SIGNAL(failed(QVariantMap)));
    if (stage == "credentials")
        expectWarning(QRegularExpression("^Device registration"));

    qobject_cast<zel::RegistrationRequestImpl*>(request)->send();
    // Had the form fetch waited for the event loop, it would carry this client id.
    client->setClientId(QStringLiteral("changed"));
    if (stage.startsWith("post after")) {
        QTRY_COMPARE(requestsTo(server, "POST", "/register").size(), 1);
        const bool lost = stage.endsWith("failed login");
        if (lost) { // the device loses its credentials and cannot get new ones
            client->setClientSecret(QString());
            credentials = Reply::text("down", 500);
            expectWarning(QRegularExpression("^Device registration failed"));
        }
        QSignalSpy loggedIn(client, &AbstractOAuth2Client::loggedIn);
        QSignalSpy loginError(client, &zel::OAuth2ClientImpl::loginError);
        client->login(QStringLiteral("other@example.com"), QStringLiteral("pw"));
        QTRY_COMPARE(lost ? loginError.count() : loggedIn.count(), 1);
        QVERIFY(!QTest::qWaitFor([&] { return trace(server).count("GET /register") > 1; }, 50));
        slot = answer; // the network layer sends the post again on a new connection
        server.closeConnections();
    }
    QTRY_VERIFY(request.isNull()); // released itself either way
    QCOMPARE(failed.value(0).value(0).toMap(), errors);
    const QString email = errors.isEmpty() ? values.value("email").toString() : QString();
    QCOMPARE(finished.value(0).value(0).toString(), email);
    QCOMPARE(account->settings->value("pendingActivation").toString(), email);
    QCOMPARE(client->loginState() == zel::network::PendingActivation, errors.isEmpty());

    // Fetched before send() returned; headers and target as the login form's fetch and post.
    const HttpRequest fetch = requestsTo(server, "GET", "/register").value(0);
    const HttpRequest sent = requestsTo(server, "POST", "/register").value(0);
    QCOMPARE(fetch.target, stage == "credentials" ? QByteArray() : formTarget);
    QCOMPARE(sent.body, body); // its cookies: tst_loginflow, the same form path
}

// A request outlives the service that made it: sending it then fails cleanly, after send().
void tst_registrationflow::serviceGoneFirst()
{
    auto account = makeAccount(QStringLiteral("http://127.0.0.1:1"), true);
    QPointer<QObject> request = account->client->createRegistrationRequest()->object();
    QSignalSpy failed(request, SIGNAL(failed(QVariantMap)));
    account->client.reset();
    expectWarning("Registration request used after its account service was destroyed");
    qobject_cast<zel::RegistrationRequestImpl*>(request)->send();
    QCOMPARE(failed.count(), 0);
    QVERIFY(failed.wait());
    QCOMPARE(failed.at(0).at(0).toMap(),
        QVariantMap({ { "_network", "The account service is no longer available" } }));
    QTRY_VERIFY(request.isNull());
}

// A host may delete its request at any time: with the post in flight, its reply goes with it and
// nothing of it reaches the request being destroyed, nor the service (a fault the sanitizers see).
void tst_registrationflow::destroyedWhilePosting()
{
    ScriptedHttpServer server([](const HttpRequest& request) {
        return request.method == "GET" ? formPage : Reply::noAnswer();
    });
    auto account = makeAccount(server.origin(), true);
    QSignalSpy loginState(account->client.get(), &zel::OAuth2ClientImpl::loginStateChanged);
    ::network::RegistrationRequest* request = account->client->createRegistrationRequest();
    request->send();
    QTRY_COMPARE(requestsTo(server, "POST", "/register").size(), 1);
    delete request->object();
    server.closeConnections();
    QVERIFY(!loginState.wait(50)); // a finished registration would make it PendingActivation
}

QTEST_GUILESS_MAIN(tst_registrationflow)
#include "tst_registrationflow.moc"
