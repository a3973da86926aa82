// The account registration over loopback HTTP: the form fetch and post on the wire, how every
// kind of answer is judged, and requests that must not react to other requests' signals.

#include "AccountFixture.h"
#include "LoginRequestImpl.h"
#include "RegistrationRequestImpl.h"
#include "ScriptedHttpServer.h"

#include <QJsonArray>
#include <QPointer>
#include <QtTest>

using namespace zel::test;

Q_DECLARE_METATYPE(zel::test::HttpResponse)

namespace {

const QByteArray formTarget = "/register?client_id=device%201%2F%2B";
const QString password = QStringLiteral("p&w=1+ %");

QByteArray registrationPage()
{
    return "<html><body><form method=\"post\">"
           "<input type=\"hidden\" name=\"__anti-forgery-token\" value=\"hidden-token\">"
           "<input name=\"email\"><input name=\"password\" type=\"password\"></form></body></html>";
}

struct RegistrationScript {
    HttpResponse form = HttpResponse::html(registrationPage())
                            .withHeader("Set-Cookie", "session=S1; Path=/")
                            .withHeader("Set-Cookie", "__anti-forgery-token=T1; Path=/");
    HttpResponse post = HttpResponse::redirect("/checkyouremails?lang=en");
    HttpResponse credentials = credentialsAnswer();

    ScriptedHttpServer::Handler handler() const
    {
        const RegistrationScript script = *this;
        const auto token = ScriptedHttpServer::requireBasicAuth(
            testClientId(), testClientSecret(), [](const HttpRequest&) { return tokenAnswer(); });
        return [script, token](const HttpRequest& request) {
            if (request.path == "/oauth/credentials")
                return script.credentials;
            if (request.path == "/register")
                return request.method == "GET" ? script.form : script.post;
            if (request.path == "/login" && request.method == "GET")
                return HttpResponse::html(registrationPage());
            if (request.path == "/login")
                return HttpResponse::redirect("zel://authorize?code=abc");
            if (request.path == "/oauth/token")
                return token(request);
            return HttpResponse::text("unexpected request", 404);
        };
    }
};

// A registration request of the account with every field set.
zel::RegistrationRequestImpl* createFilled(zel::OAuth2ClientImpl* client)
{
    network::RegistrationRequest* request = client->createRegistrationRequest();
    request->setEmail(QStringLiteral("anna@example.com"));
    request->setPassword(password);
    request->setFirstName(QStringLiteral("Anna"));
    request->setLastName(QStringLiteral("Berg"));
    request->setCountry(QStringLiteral("SE"));
    return qobject_cast<zel::RegistrationRequestImpl*>(request->object());
}

} // namespace

class TestRegistrationFlow : public QObject {
    Q_OBJECT

private slots:
    void sendWithCredentialsFetchesFormAtOnce();
    void sendRegistersDeviceFirst();
    void credentialFailure_data();
    void credentialFailure();
    void formFetchFailure_data();
    void formFetchFailure();
    void postBody_data();
    void postBody();
    void propertiesThroughMetaObject();
    void answer_data();
    void answer();
    void loginMeanwhileDoesNotRepost();
    void credentialFailureOfAnotherRequest();
    void castByName();
};

void TestRegistrationFlow::sendWithCredentialsFetchesFormAtOnce()
{
    ScriptedHttpServer server(RegistrationScript().handler());
    auto account = makeAccount(server.origin(), true);
    QPointer<zel::RegistrationRequestImpl> request = createFilled(account->client.get());

    request->send();
    // Had the form fetch waited for the event loop, it would carry the new client id.
    account->client->setClientId(QStringLiteral("changed"));

    QVERIFY(server.waitForRequests(1));
    QCOMPARE(server.requests().at(0).method, QByteArray("GET"));
    QCOMPARE(server.requests().at(0).target, formTarget);
    QCOMPARE(server.requests().at(0).header("Content-Type"), QByteArray("text/html"));
    QVERIFY(!server.requests().at(0).hasHeader("Accept"));
    QTRY_VERIFY(request.isNull());
}

void TestRegistrationFlow::sendRegistersDeviceFirst()
{
    ScriptedHttpServer server(RegistrationScript().handler());
    auto account = makeAccount(server.origin(), false);
    QPointer<zel::RegistrationRequestImpl> request = createFilled(account->client.get());
    QSignalSpy finished(request.data(), &zel::RegistrationRequestImpl::finished);

    request->send();
    QVERIFY(finished.wait());
    QCOMPARE(trace(server),
        QStringList({ "POST /oauth/credentials", "GET /register", "POST /register" }));
    QCOMPARE(server.requests().at(1).target, formTarget);
}

void TestRegistrationFlow::credentialFailure_data()
{
    QTest::addColumn<HttpResponse>("answer");
    QTest::addColumn<QString>("message");
    QTest::addRow("array") << HttpResponse::json(QJsonDocument(QJsonArray { 1 }))
                           << "Invalid server response";
    QTest::addRow("500") << HttpResponse::text("down", 500)
                         << "Could not fetch client credentials from server";
    QTest::addRow("no answer") << HttpResponse::refuse()
                               << "Could not fetch client credentials from server";
}

void TestRegistrationFlow::credentialFailure()
{
    QFETCH(HttpResponse, answer);
    QFETCH(QString, message);
    RegistrationScript script;
    script.credentials = answer;
    ScriptedHttpServer server(script.handler());
    auto account = makeAccount(server.origin(), false);
    QPointer<zel::RegistrationRequestImpl> request = createFilled(account->client.get());
    QSignalSpy failed(request.data(), &zel::RegistrationRequestImpl::failed);
    QSignalSpy finished(request.data(), &zel::RegistrationRequestImpl::finished);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Device registration"));

    request->send();
    QVERIFY(failed.wait());
    QCOMPARE(failed.at(0).at(0).toMap(), (QVariantMap { { "_credentials", message } }));
    QTRY_VERIFY(request.isNull());
    QCOMPARE(finished.count(), 0);
    QCOMPARE(failed.count(), 1);
    QVERIFY(requestsTo(server, "GET", "/register").isEmpty());
}

void TestRegistrationFlow::formFetchFailure_data()
{
    QTest::addColumn<HttpResponse>("form");
    QTest::addColumn<QString>("reason");
    QTest::addRow("404") << HttpResponse::html("<h1>gone</h1>", 404) << "Not Found";
    QTest::addRow("500 with own reason")
        << HttpResponse::html(registrationPage(), 500).withReason("Broken") << "Broken";
    QTest::addRow("401") << HttpResponse::basicChallenge() << "Unauthorized";
    QTest::addRow("no HTTP answer") << HttpResponse::refuse() << "";
}

void TestRegistrationFlow::formFetchFailure()
{
    QFETCH(HttpResponse, form);
    QFETCH(QString, reason);
    RegistrationScript script;
    script.form = form;
    ScriptedHttpServer server(script.handler());
    auto account = makeAccount(server.origin(), true);
    QPointer<zel::RegistrationRequestImpl> request = createFilled(account->client.get());
    QSignalSpy failed(request.data(), &zel::RegistrationRequestImpl::failed);

    request->send();
    QVERIFY(failed.wait());
    QCOMPARE(failed.at(0).at(0).toMap(), (QVariantMap { { "_network", reason } }));
    QTRY_VERIFY(request.isNull());
    QTest::qWait(50);
    QCOMPARE(failed.count(), 1);
    QVERIFY(requestsTo(server, "POST", "/register").isEmpty());
    QCOMPARE(account->client->loginState(), zel::network::LoggedOut); // unchanged
}

void TestRegistrationFlow::postBody_data()
{
    QTest::addColumn<QStringList>("fields"); // email, password, first name, last name, country
    QTest::addColumn<bool>("newsletter");
    QTest::addColumn<QByteArray>("body");

    QTest::addRow("newsletter not chosen")
        << QStringList { "anna@example.com", "pw", "Anna", "Berg", "SE" } << false
        << QByteArray("__anti-forgery-token=T1&email=anna%40example.com&password=pw"
                      "&first-name=Anna&last-name=Berg&country=SE&send-newsletter=no"
                      "&accept-terms=yes");
    QTest::addRow("newsletter chosen")
        << QStringList { "anna@example.com", "pw", "Anna", "Berg", "SE" } << true
        << QByteArray("__anti-forgery-token=T1&email=anna%40example.com&password=pw"
                      "&first-name=Anna&last-name=Berg&country=SE&send-newsletter=yes"
                      "&accept-terms=yes");
    QTest::addRow("spaces, non-ASCII and reserved characters")
        << QStringList { "zoe+1@example.com", password, QString::fromUtf8("Zoë Anne"),
               QStringLiteral("van der Berg"), QString::fromUtf8("Österreich") }
        << false
        << QByteArray("__anti-forgery-token=T1&email=zoe%2B1%40example.com"
                      "&password=p%26w%3D1%2B%20%25&first-name=Zo%C3%AB%20Anne"
                      "&last-name=van%20der%20Berg&country=%C3%96sterreich&send-newsletter=no"
                      "&accept-terms=yes");
    QTest::addRow("empty fields are posted as they are")
        << QStringList { "", "", "", "", "" } << false
        << QByteArray("__anti-forgery-token=T1&email=&password=&first-name=&last-name="
                      "&country=&send-newsletter=no&accept-terms=yes");
}

void TestRegistrationFlow::postBody()
{
    QFETCH(QStringList, fields);
    QFETCH(bool, newsletter);
    QFETCH(QByteArray, body);

    RegistrationScript script;
    script.post = HttpResponse::html("<html></html>");
    ScriptedHttpServer server(script.handler());
    auto account = makeAccount(server.origin(), true);
    network::RegistrationRequest* request = account->client->createRegistrationRequest();
    request->setEmail(fields.at(0));
    request->setPassword(fields.at(1));
    request->setFirstName(fields.at(2));
    request->setLastName(fields.at(3));
    request->setCountry(fields.at(4));
    request->setNewsletterSubscribed(newsletter);
    QSignalSpy failed(request->object(), SIGNAL(failed(QVariantMap)));
    LogCapture log;

    request->send();
    QVERIFY(failed.wait());

    QCOMPARE(trace(server), QStringList({ "GET /register", "POST /register" }));
    const HttpRequest post = server.requests().at(1);
    QCOMPARE(post.target, formTarget);
    QCOMPARE(post.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(post.header("Accept"), QByteArray("application/json"));
    const QList<QByteArray> cookies = post.header("Cookie").split(';');
    QCOMPARE(cookies.size(), 2);
    QVERIFY(cookies.contains("session=S1") || cookies.contains(" session=S1"));
    QCOMPARE(post.body, body);
    if (!fields.at(1).isEmpty()) {
        QCOMPARE(
            log.linesWithAny({ fields.at(1), QString::fromLatin1(zel::formEncode(fields.at(1))) }),
            QStringList());
    }
}

void TestRegistrationFlow::propertiesThroughMetaObject()
{
    RegistrationScript script;
    script.post = HttpResponse::html("<html></html>");
    ScriptedHttpServer server(script.handler());
    auto account = makeAccount(server.origin(), true);
    network::RegistrationRequest* request = account->client->createRegistrationRequest();
    QObject* object = request->object();

    QVERIFY(object->setProperty("email", QStringLiteral("meta@example.com")));
    QVERIFY(object->setProperty("password", QStringLiteral("secret")));
    QVERIFY(object->setProperty("firstName", QStringLiteral("Meta")));
    QVERIFY(object->setProperty("lastName", QStringLiteral("Object")));
    QVERIFY(object->setProperty("country", QStringLiteral("DE")));
    QVERIFY(object->setProperty("newsletterSubscribed", true));
    QCOMPARE(request->email(), QStringLiteral("meta@example.com"));
    QCOMPARE(request->firstName(), QStringLiteral("Meta"));
    QCOMPARE(request->lastName(), QStringLiteral("Object"));
    QCOMPARE(request->country(), QStringLiteral("DE"));
    request->setLastName(QStringLiteral("Setter"));
    QCOMPARE(object->property("lastName").toString(), QStringLiteral("Setter"));

    QSignalSpy failed(object, SIGNAL(failed(QVariantMap)));
    request->send();
    QVERIFY(failed.wait());
    QCOMPARE(requestsTo(server, "POST", "/register").value(0).body,
        QByteArray("__anti-forgery-token=T1&email=meta%40example.com&password=secret"
                   "&first-name=Meta&last-name=Setter&country=DE&send-newsletter=yes"
                   "&accept-terms=yes"));
}

void TestRegistrationFlow::answer_data()
{
    QTest::addColumn<HttpResponse>("answer");
    QTest::addColumn<bool>("withCountry");
    QTest::addColumn<QVariantMap>("errors"); // empty: finished(email)

    const QVariantMap success;
    const auto fieldErrors = [](const QByteArray& json, int status = 422) {
        return HttpResponse::jsonText(json, status);
    };

    QTest::addRow("success redirect")
        << HttpResponse::redirect("/checkyouremails?lang=en") << true << success;
    QTest::addRow("303 success redirect")
        << HttpResponse::redirect("/checkyouremails", 303) << true << success;
    QTest::addRow("success redirect with field errors")
        << fieldErrors(R"({"email":[{"error":"taken"}]})", 302)
               .withHeader("Location", "/checkyouremails")
        << true << success;
    QTest::addRow("success redirect without country")
        << HttpResponse::redirect("/checkyouremails?lang=en") << false
        << QVariantMap { { "_bogus", "Server was unable to handle the registration properly" } };
    QTest::addRow("absolute success URL")
        << HttpResponse::redirect("http://127.0.0.1/checkyouremails") << true
        << QVariantMap { { "_server", "Found" } };
    QTest::addRow("trailing slash") << HttpResponse::redirect("/checkyouremails/") << true
                                    << QVariantMap { { "_server", "Found" } };
    QTest::addRow("Location on a 200 is no redirect")
        << HttpResponse::html("<html></html>").withHeader("Location", "/checkyouremails") << true
        << QVariantMap { { "_server", "OK" } };
    QTest::addRow("field errors, last element wins")
        << fieldErrors(
               R"({"email":[{"error":"taken"}],"password":[{"error":"short"},{"error":"weak"}]})")
        << true << QVariantMap { { "email", "taken" }, { "password", "weak" } };
    QTest::addRow("field errors with 500") << fieldErrors(R"({"country":[{"error":"unknown"}]})",
        500) << true << QVariantMap { { "country", "unknown" } };
    QTest::addRow("field errors with 200") << fieldErrors(R"({"email":[{"error":"taken"}]})", 200)
                                           << true << QVariantMap { { "email", "taken" } };
    QTest::addRow("pretty-printed field errors")
        << fieldErrors("{\n  \"email\": [\n    { \"error\": \"taken\" }\n  ]\n}\n") << true
        << QVariantMap { { "email", "taken" } };
    QTest::addRow("empty array") << fieldErrors(R"({"email":[]})") << true
                                 << QVariantMap { { "_server", "Unprocessable Entity" } };
    QTest::addRow("member not an array") << fieldErrors(R"({"email":"taken"})", 400) << true
                                         << QVariantMap { { "_server", "Bad Request" } };
    QTest::addRow("element not an object")
        << fieldErrors(R"({"email":["taken"]})") << true << QVariantMap { { "email", "" } };
    QTest::addRow("element without error")
        << fieldErrors(R"({"email":[{"message":"x"}]})") << true << QVariantMap { { "email", "" } };
    QTest::addRow("error not a string")
        << fieldErrors(R"({"email":[{"error":5}]})") << true << QVariantMap { { "email", "" } };
    QTest::addRow("last element not an object") << fieldErrors(R"({"email":[{"error":"taken"},7]})")
                                                << true << QVariantMap { { "email", "" } };
    QTest::addRow("top-level array") << fieldErrors(R"([{"error":"x"}])") << true
                                     << QVariantMap { { "_server", "Unprocessable Entity" } };
    QTest::addRow("empty object") << fieldErrors("{}") << true
                                  << QVariantMap { { "_server", "Unprocessable Entity" } };
    QTest::addRow("null document")
        << fieldErrors("null") << true << QVariantMap { { "_server", "Unprocessable Entity" } };
    QTest::addRow("broken JSON") << fieldErrors(R"({"email":[{"error":)") << true
                                 << QVariantMap { { "_server", "Unprocessable Entity" } };
    QTest::addRow("field errors under another content type") << HttpResponse::text(
        R"({"email":[{"error":"taken"}]})", 422) << true << QVariantMap { { "email", "taken" } };
    QTest::addRow("HTML page") << HttpResponse::html("<html>again</html>") << true
                               << QVariantMap { { "_server", "OK" } };
    QTest::addRow("no HTTP answer")
        << HttpResponse::refuse() << true << QVariantMap { { "_server", "" } };
}

void TestRegistrationFlow::answer()
{
    QFETCH(HttpResponse, answer);
    QFETCH(bool, withCountry);
    QFETCH(QVariantMap, errors);

    RegistrationScript script;
    script.post = answer;
    ScriptedHttpServer server(script.handler());
    auto account = makeAccount(server.origin(), true);
    zel::OAuth2ClientImpl* client = account->client.get();
    QSignalSpy state(client, &zel::OAuth2ClientImpl::loginStateChanged);
    QPointer<zel::RegistrationRequestImpl> request = createFilled(client);
    if (!withCountry)
        request->setCountry(QString());
    QSignalSpy finished(request.data(), &zel::RegistrationRequestImpl::finished);
    QSignalSpy failed(request.data(), &zel::RegistrationRequestImpl::failed);

    request->send();
    QTRY_COMPARE(finished.count() + failed.count(), 1);
    QTRY_VERIFY(request.isNull()); // released itself either way

    if (errors.isEmpty()) {
        QCOMPARE(finished.at(0).at(0).toString(), QStringLiteral("anna@example.com"));
        QCOMPARE(state.count(), 1);
        QCOMPARE(
            state.at(0).at(0).value<zel::network::LoginState>(), zel::network::PendingActivation);
        QCOMPARE(client->loginState(), zel::network::PendingActivation);
        QCOMPARE(account->settings->value("pendingActivation").toString(),
            QStringLiteral("anna@example.com"));
        QCOMPARE(client->pendingActivationEmail(), QStringLiteral("anna@example.com"));
    } else {
        QCOMPARE(failed.at(0).at(0).toMap(), errors);
        QCOMPARE(state.count(), 0);
        QVERIFY(!account->settings->contains("pendingActivation"));
    }
}

void TestRegistrationFlow::loginMeanwhileDoesNotRepost()
{
    RegistrationScript script;
    script.post = HttpResponse::noAnswer();
    ScriptedHttpServer server(script.handler());
    auto account = makeAccount(server.origin(), true);
    QPointer<zel::RegistrationRequestImpl> request = createFilled(account->client.get());
    QSignalSpy loggedIn(account->client.get(), &AbstractOAuth2Client::loggedIn);

    request->send();
    QTRY_COMPARE(requestsTo(server, "POST", "/register").size(), 1);

    // The login's credentialsFetched() is none of the registration's business.
    account->client->login(QStringLiteral("other@example.com"), QStringLiteral("pw"));
    QVERIFY(loggedIn.wait());
    QCOMPARE(requestsTo(server, "GET", "/register").size(), 1);
    QCOMPARE(requestsTo(server, "POST", "/register").size(), 1);

    // The post is answered at last (the network layer sends it again on a new connection).
    script.post = HttpResponse::redirect("/checkyouremails");
    server.setHandler(script.handler());
    QSignalSpy finished(request.data(), &zel::RegistrationRequestImpl::finished);
    server.closeConnections();
    QTRY_COMPARE(finished.count(), 1);
    QTRY_VERIFY(request.isNull());
}

void TestRegistrationFlow::credentialFailureOfAnotherRequest()
{
    RegistrationScript script;
    script.post = HttpResponse::noAnswer();
    script.credentials = HttpResponse::text("down", 500);
    ScriptedHttpServer server(script.handler());
    auto account = makeAccount(server.origin(), true);
    zel::OAuth2ClientImpl* client = account->client.get();
    QPointer<zel::RegistrationRequestImpl> request = createFilled(client);
    QSignalSpy failed(request.data(), &zel::RegistrationRequestImpl::failed);
    QSignalSpy loginError(client, &zel::OAuth2ClientImpl::loginError);

    request->send();
    QTRY_COMPARE(requestsTo(server, "POST", "/register").size(), 1);

    // The device loses its credentials and a login fails to register it again.
    QTest::ignoreMessage(QtWarningMsg, "Client credentials are not valid");
    QMetaObject::invokeMethod(client, "logout");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Device registration failed"));
    client->login(QStringLiteral("other@example.com"), QStringLiteral("pw"));
    QTRY_COMPARE(loginError.count(), 1);
    QTest::qWait(50);
    QCOMPARE(failed.count(), 0);
    QVERIFY(request);

    // Its own post still decides (the network layer sends it again on a new connection).
    script.post = HttpResponse::jsonText(R"({"email":[{"error":"taken"}]})", 422);
    server.setHandler(script.handler());
    server.closeConnections();
    QTRY_COMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).toMap(), (QVariantMap { { "email", "taken" } }));
    QTRY_VERIFY(request.isNull());
}

void TestRegistrationFlow::castByName()
{
    auto account = makeAccount(QStringLiteral("http://127.0.0.1:1"), true);
    network::RegistrationRequest* request = account->client->createRegistrationRequest();
    QObject* object = request->object();
    QCOMPARE(object->qt_metacast("network::RegistrationRequest"), static_cast<void*>(request));
    QCOMPARE(object->qt_metacast("zel::RegistrationRequestImpl"), static_cast<void*>(object));
    QCOMPARE(object->qt_metacast("RegistrationRequest"), nullptr);
    QVERIFY(!object->parent());

    // Never sent: the host releases it through the interface.
    QPointer<QObject> guard(object);
    delete request;
    QVERIFY(guard.isNull());
}

QTEST_GUILESS_MAIN(TestRegistrationFlow)
#include "tst_registrationflow.moc"
