// Device registration and the web login over loopback HTTP: the requests on the wire byte for
// byte, every answer the servers can give, and where the password may travel.

#include "AccountFixture.h"
#include "LoginRequestImpl.h"
#include "ScriptedHttpServer.h"
#include "TokenCoreTestAccess.h"

#include <QHostInfo>
#include <QJsonArray>
#include <QPointer>
#include <QtTest>

using namespace zel::test;

Q_DECLARE_METATYPE(zel::test::HttpResponse)

namespace {

const QString identifier = QStringLiteral("a+b@example.com");
const QString password = QString::fromUtf8("p w&x+ä");
const QByteArray loginBodyPrefix = "identifier=a%2Bb%40example.com&password=p%20w%26x%2B%C3%A4&";
const QByteArray formTarget = "/login?response_type=code&redirect_uri=zel%3A%2F%2Fauthorize"
                              "&client_id=device%201%2F%2B";

QByteArray hiddenInput(const QByteArray& value)
{
    return "<input type=\"hidden\" name=\"__anti-forgery-token\" value=\"" + value + "\">";
}

QByteArray formPage(const QByteArray& inputs)
{
    return "<!DOCTYPE html><html><body><form method=\"post\">"
           "<input type=\"email\" name=\"identifier\">"
        + inputs + "<input type=\"password\" name=\"password\"></form></body></html>";
}

// What the login servers answer; the token endpoint wants the client credentials (RFC 6749,
// 2.3.1) and answers the grant.
struct LoginScript {
    HttpResponse credentials = credentialsAnswer();
    HttpResponse form = HttpResponse::html(formPage(hiddenInput("hidden-token")));
    HttpResponse post = HttpResponse::redirect("zel://authorize?code=abc&state=x");

    ScriptedHttpServer::Handler handler() const
    {
        const LoginScript script = *this;
        const auto token = ScriptedHttpServer::requireBasicAuth(
            testClientId(), testClientSecret(), [](const HttpRequest&) { return tokenAnswer(); });
        return [script, token](const HttpRequest& request) {
            if (request.path == "/oauth/credentials")
                return script.credentials;
            if (request.path == "/login" && request.method == "GET")
                return script.form;
            if (request.path == "/login" && request.method == "POST")
                return script.post;
            if (request.path == "/oauth/token")
                return token(request);
            return HttpResponse::text("unexpected request", 404);
        };
    }
};

} // namespace

class TestLoginFlow : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void formEncode_data();
    void formEncode();

    void deviceCredentialsHeld();
    void deviceRegistrationWhenIncomplete_data();
    void deviceRegistrationWhenIncomplete();
    void deviceRegistrationBody_data();
    void deviceRegistrationBody();
    void deviceRegistrationAnswer_data();
    void deviceRegistrationAnswer();

    void loginEndToEnd();
    void formGetSentDuringLoginCall();
    void antiForgeryToken_data();
    void antiForgeryToken();
    void loginAnswer_data();
    void loginAnswer();
    void formFetchRedirectKeepsPassword_data();
    void formFetchRedirectKeepsPassword();
    void cookiesStayWithTheirRequest();
    void credentialFailureOfAnotherRequest();
    void credentialFailureWhileWaiting();

private:
    // A second origin that must never receive anything: a followed redirect would go there.
    ScriptedHttpServer elsewhere { [](const HttpRequest&) {
        return HttpResponse::text("stolen");
    } };
};

void TestLoginFlow::init() { elsewhere.clearRequests(); }

void TestLoginFlow::cleanup() { QCOMPARE(elsewhere.requestCount(), 0); }

void TestLoginFlow::formEncode_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("encoded");
    QTest::addRow("plus sign") << QStringLiteral("a+b") << QByteArray("a%2Bb");
    QTest::addRow("space and ampersand") << QStringLiteral("p w&x") << QByteArray("p%20w%26x");
    QTest::addRow("at sign") << QStringLiteral("me@example.com") << QByteArray("me%40example.com");
    QTest::addRow("unreserved stay") << QStringLiteral("AZaz09-._~") << QByteArray("AZaz09-._~");
    QTest::addRow("reserved escaped") << QStringLiteral(
        ":/?#[]!$'()*,;=%") << QByteArray("%3A%2F%3F%23%5B%5D%21%24%27%28%29%2A%2C%3B%3D%25");
    QTest::addRow("host name with space and umlaut")
        << QString::fromUtf8("Jörgs PC") << QByteArray("J%C3%B6rgs%20PC");
    QTest::addRow("outside the BMP")
        << QString::fromUtf8("\xF0\x9F\x98\x80") << QByteArray("%F0%9F%98%80");
    QTest::addRow("empty") << QString() << QByteArray();
}

void TestLoginFlow::formEncode()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, encoded);
    QCOMPARE(zel::formEncode(text), encoded);
}

void TestLoginFlow::deviceCredentialsHeld()
{
    ScriptedHttpServer server(LoginScript().handler());
    auto account = makeAccount(server.origin(), true);
    QSignalSpy fetched(account->client.get(), &zel::OAuth2ClientImpl::credentialsFetched);

    account->client->fetchClientCredentials();
    QCOMPARE(fetched.count(), 1); // before the call returned

    QTest::qWait(100);
    QCOMPARE(server.requestCount(), 0);
}

void TestLoginFlow::deviceRegistrationWhenIncomplete_data()
{
    QTest::addColumn<QString>("clientId");
    QTest::addColumn<QString>("clientSecret");
    QTest::addRow("neither") << QString() << QString();
    QTest::addRow("client id only") << QStringLiteral("old-id") << QString();
    QTest::addRow("client secret only") << QString() << QStringLiteral("old-secret");
}

void TestLoginFlow::deviceRegistrationWhenIncomplete()
{
    QFETCH(QString, clientId);
    QFETCH(QString, clientSecret);
    ScriptedHttpServer server(LoginScript().handler());
    auto account = makeAccount(server.origin(), false);
    if (!clientId.isEmpty())
        account->client->setClientId(clientId);
    if (!clientSecret.isEmpty())
        account->client->setClientSecret(clientSecret);
    QSignalSpy fetched(account->client.get(), &zel::OAuth2ClientImpl::credentialsFetched);

    account->client->fetchClientCredentials();
    QCOMPARE(fetched.count(), 0);
    QVERIFY(fetched.wait());
    QCOMPARE(trace(server), QStringList { "POST /oauth/credentials" });
    QCOMPARE(account->client->clientId(), testClientId());
    QCOMPARE(account->client->clientSecret(), testClientSecret());
}

void TestLoginFlow::deviceRegistrationBody_data()
{
    QTest::addColumn<QVariant>("machineId");
    QTest::addColumn<QVariant>("userName");
    QTest::addColumn<QByteArray>("deviceIdentifier");
    QTest::addColumn<QByteArray>("userIdentifier");

    // SHA-1 known answers (FIPS 180-4), computed independently of the code under test.
    const QByteArray empty = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
    const QByteArray annaBerg = "9c5d0cee895e924f1bb4306de60829c7ead479ad";
    const QByteArray upperGuid = "db0a68a79d849c0e9a1d9b0e1211ed3063117a66";
    const QByteArray lowerGuid = "8e755a9b236901a610fe4cee7db27afac20d03b6";
    const QByteArray asa = "4751cae1bd440e521b99463e9e304ae25b8469f4";
    const QVariant absent;

    QTest::addRow("both unreadable") << absent << absent << empty << empty;
    QTest::addRow("both empty") << QVariant(QString("")) << QVariant(QString("")) << empty << empty;
    QTest::addRow("user name lower case") << QVariant("3D1219C7-C4C5-404A-AA1F-6D2A48ADFDA4")
                                          << QVariant("anna.berg") << upperGuid << annaBerg;
    QTest::addRow("user name in capitals") << QVariant("3D1219C7-C4C5-404A-AA1F-6D2A48ADFDA4")
                                           << QVariant("ANNA.Berg") << upperGuid << annaBerg;
    QTest::addRow("machine id in lower case") << QVariant("3d1219c7-c4c5-404a-aa1f-6d2a48adfda4")
                                              << QVariant("anna.berg") << lowerGuid << annaBerg;
    QTest::addRow("non-ASCII user name")
        << absent << QVariant(QString::fromUtf8("ÅSA")) << empty << asa;
}

void TestLoginFlow::deviceRegistrationBody()
{
    QFETCH(QVariant, machineId);
    QFETCH(QVariant, userName);
    QFETCH(QByteArray, deviceIdentifier);
    QFETCH(QByteArray, userIdentifier);

    ScriptedHttpServer server(LoginScript().handler());
    auto account = makeAccount(server.origin(), false);
    account->lookup->machine = optionalText(machineId);
    account->lookup->user = optionalText(userName);
    QSignalSpy fetched(account->client.get(), &zel::OAuth2ClientImpl::credentialsFetched);

    account->client->fetchClientCredentials();
    QVERIFY(fetched.wait());

    QCOMPARE(server.requestCount(), 1);
    const HttpRequest request = server.requests().at(0);
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/oauth/credentials"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QVERIFY(!request.hasHeader("Accept"));
    QVERIFY(!request.hasHeader("Authorization"));
    const QByteArray hostName
        = QUrl::toPercentEncoding(QHostInfo::localHostName(), QByteArray(), QByteArray());
    QCOMPARE(request.body,
        "client_class_id=Rb5Tq8WmZ3xKvN7pLh2Ds&model_identifier=PC&device_identifier="
            + deviceIdentifier + "&user_identifier=" + userIdentifier + "&device_name=" + hostName);
}

void TestLoginFlow::deviceRegistrationAnswer_data()
{
    QTest::addColumn<HttpResponse>("answer");
    QTest::addColumn<QString>("failure"); // empty: the credentials are accepted

    const QString couldNot = QStringLiteral("Could not fetch client credentials from server");
    const QString invalid = QStringLiteral("Invalid server response");
    const QJsonObject both { { "client_id", testClientId() },
        { "client_secret", testClientSecret() } };

    QTest::addRow("201 created") << HttpResponse::json(both, 201) << QString();
    QTest::addRow("200 with extra members") << HttpResponse::json(
        QJsonObject { { "client_id", testClientId() }, { "client_secret", testClientSecret() },
            { "expires", 0 } }) << QString();
    QTest::addRow("500 with the credentials") << HttpResponse::json(both, 500) << couldNot;
    QTest::addRow("500 text") << HttpResponse::text("oops", 500) << couldNot;
    QTest::addRow("400 JSON error")
        << HttpResponse::json(QJsonObject { { "error", "x" } }, 400) << couldNot;
    QTest::addRow("200 HTML") << HttpResponse::html("<html></html>") << couldNot;
    QTest::addRow("200 broken JSON") << HttpResponse::jsonText("{\"client_id\":") << couldNot;
    QTest::addRow("connection closed") << HttpResponse::refuse() << couldNot;
    QTest::addRow("array") << HttpResponse::json(QJsonDocument(QJsonArray { testClientId() }))
                           << invalid;
    QTest::addRow("numeric client_id")
        << HttpResponse::json(QJsonObject { { "client_id", 42 }, { "client_secret", "s" } })
        << invalid;
    QTest::addRow("secret missing")
        << HttpResponse::json(QJsonObject { { "client_id", "id" } }) << invalid;
    QTest::addRow("empty client_id")
        << HttpResponse::json(QJsonObject { { "client_id", "" }, { "client_secret", "s" } })
        << invalid;
    QTest::addRow("empty object") << HttpResponse::json(QJsonObject()) << invalid;
}

void TestLoginFlow::deviceRegistrationAnswer()
{
    QFETCH(HttpResponse, answer);
    QFETCH(QString, failure);

    ScriptedHttpServer server([answer](const HttpRequest&) { return answer; });
    auto account = makeAccount(server.origin(), false);
    QSignalSpy fetched(account->client.get(), &zel::OAuth2ClientImpl::credentialsFetched);
    QSignalSpy failed(account->client.get(), &zel::OAuth2ClientImpl::credentialsFailure);
    if (!failure.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Device registration"));

    account->client->fetchClientCredentials();
    QTRY_COMPARE(fetched.count() + failed.count(), 1);
    QTest::qWait(50);
    QCOMPARE(fetched.count() + failed.count(), 1);

    if (failure.isEmpty()) {
        QCOMPARE(fetched.count(), 1);
        QCOMPARE(account->client->clientId(), testClientId());
        QCOMPARE(account->settings->value("client_id").toString(), testClientId());
        // The secret is stored protected, never as plain text.
        const QVariant stored = account->settings->value("client_secret");
        QVERIFY(!stored.toString().isEmpty());
        QVERIFY(!stored.toString().contains(testClientSecret()));
        QCOMPARE(AbstractOAuth2Client::unprotectValue(stored).toByteArray(),
            testClientSecret().toUtf8());
        QFile file(account->settings->fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(!file.readAll().contains(testClientSecret().toUtf8()));
    } else {
        QCOMPARE(failed.at(0).at(0).toString(), failure);
        QVERIFY(account->client->clientId().isEmpty());
        QVERIFY(!account->settings->contains("client_id"));
        QVERIFY(!account->settings->contains("client_secret"));
    }
}

void TestLoginFlow::loginEndToEnd()
{
    LoginScript script;
    script.form = HttpResponse::html(formPage(hiddenInput("hidden-token")))
                      .withHeader("Set-Cookie", "session=S1; Path=/; HttpOnly");
    ScriptedHttpServer server(script.handler());
    auto account = makeAccount(server.origin(), false);
    zel::OAuth2ClientImpl* client = account->client.get();
    QSignalSpy loginError(client, &zel::OAuth2ClientImpl::loginError);
    QSignalSpy loggedIn(client, &AbstractOAuth2Client::loggedIn);
    QSignalSpy state(client, &zel::OAuth2ClientImpl::loginStateChanged);
    LogCapture log;

    client->login(identifier, password);
    auto* request = client->findChild<zel::LoginRequestImpl*>();
    QVERIFY(request);
    QSignalSpy finished(request, &zel::LoginRequestImpl::finished);
    // The code goes to the grant only after finished() has been emitted.
    QString grantDuringFinished = QStringLiteral("unset");
    connect(request, &zel::LoginRequestImpl::finished, this,
        [&] { grantDuringFinished = TokenCoreTestAccess::pendingGrantType(*client); });

    QVERIFY(loggedIn.wait());
    QCOMPARE(finished.count(), 1);
    QCOMPARE(grantDuringFinished, QString());
    QCOMPARE(loginError.count(), 0);
    QCOMPARE(state.count(), 1);
    QCOMPARE(state.at(0).at(0).value<zel::network::LoginState>(), zel::network::LoggedIn);
    QVERIFY(client->isLoggedIn());
    QTRY_VERIFY(!client->findChild<zel::LoginRequestImpl*>()); // released itself

    // The token endpoint challenges the first attempt, then gets the client credentials.
    QCOMPARE(trace(server),
        QStringList({ "POST /oauth/credentials", "GET /login", "POST /login", "POST /oauth/token",
            "POST /oauth/token" }));
    const QList<HttpRequest> requests = server.requests();

    const HttpRequest& get = requests.at(1);
    QCOMPARE(get.target, formTarget);
    QCOMPARE(get.header("Content-Type"), QByteArray("text/html"));
    QVERIFY(!get.hasHeader("Accept"));
    QVERIFY(!get.hasHeader("Cookie"));

    const HttpRequest& post = requests.at(2);
    QCOMPARE(post.target, formTarget);
    QCOMPARE(post.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(post.header("Accept"), QByteArray("application/json"));
    QCOMPARE(post.header("Cookie"), QByteArray("session=S1"));
    QCOMPARE(post.body, loginBodyPrefix + "__anti-forgery-token=hidden-token");

    const HttpRequest& grant = requests.at(4);
    QCOMPARE(grant.body,
        QByteArray("grant_type=authorization_code&code=abc&redirect_uri=zel%3A%2F%2Fauthorize"));
    QVERIFY(grant.basicCredentials() == std::make_pair(testClientId(), testClientSecret()));

    // The password went to the login form's own URL and nowhere else.
    for (int i = 0; i < requests.size(); ++i) {
        const bool carriesPassword = requests.at(i).raw.contains("p%20w%26x%2B%C3%A4")
            || requests.at(i).raw.contains(password.toUtf8());
        QCOMPARE(carriesPassword, i == 2);
    }
    // No secret, no code and no password in any log line.
    QCOMPARE(log.linesWithAny({ password, QStringLiteral("p%20w%26x"), testClientSecret(),
                 QStringLiteral("code=abc"), QStringLiteral("refresh-token-1"),
                 QStringLiteral("access-token-1"), QStringLiteral("mac-key-1") }),
        QStringList());
    QVERIFY(!log.lines.isEmpty());
}

void TestLoginFlow::formGetSentDuringLoginCall()
{
    ScriptedHttpServer server(LoginScript().handler());
    auto account = makeAccount(server.origin(), true);

    account->client->login(identifier, password);
    // Had the form fetch waited for the event loop, it would carry the new client id.
    account->client->setClientId(QStringLiteral("changed"));

    QVERIFY(server.waitForRequests(1));
    QCOMPARE(server.requests().at(0).target, formTarget);
}

void TestLoginFlow::antiForgeryToken_data()
{
    QTest::addColumn<HttpResponse>("form");
    QTest::addColumn<QByteArray>("tokenField");

    const auto withCookies = [](HttpResponse response, const QList<QByteArray>& cookies) {
        for (const QByteArray& cookie : cookies)
            response.withHeader("Set-Cookie", cookie);
        return response;
    };
    const HttpResponse hiddenPage = HttpResponse::html(formPage(hiddenInput("H")));
    const QByteArray none = "__anti-forgery-token=";

    QTest::addRow("cookie wins over hidden input") << withCookies(hiddenPage,
        { "__anti-forgery-token=T; Path=/" }) << QByteArray("__anti-forgery-token=T");
    QTest::addRow("empty cookie, hidden input used") << withCookies(hiddenPage,
        { "__anti-forgery-token=; Path=/" }) << QByteArray("__anti-forgery-token=H");
    QTest::addRow("hidden input only") << hiddenPage << QByteArray("__anti-forgery-token=H");
    QTest::addRow("neither") << HttpResponse::html(formPage(QByteArray())) << none;
    QTest::addRow("no form at all") << HttpResponse::html("<html>maintenance</html>") << none;
    QTest::addRow("empty page") << HttpResponse::html(QByteArray()) << none;
    QTest::addRow("value before name")
        << HttpResponse::html(formPage("<input value=\"V\" name=\"__anti-forgery-token\">"))
        << none;
    QTest::addRow("first of several inputs")
        << HttpResponse::html(formPage(hiddenInput("F1") + hiddenInput("F2")))
        << QByteArray("__anti-forgery-token=F1");
    QTest::addRow("input with empty value skipped")
        << HttpResponse::html(formPage(hiddenInput("") + hiddenInput("X")))
        << QByteArray("__anti-forgery-token=X");
    QTest::addRow("other input names ignored")
        << HttpResponse::html(formPage("<input name=\"csrf\" value=\"C\">" + hiddenInput("H")))
        << QByteArray("__anti-forgery-token=H");
    QTest::addRow("cookie name is case-sensitive") << withCookies(
        hiddenPage, { "__Anti-Forgery-Token=T" }) << QByteArray("__anti-forgery-token=H");
    QTest::addRow("first of duplicate cookies")
        << withCookies(hiddenPage, { "__anti-forgery-token=T1", "__anti-forgery-token=T2" })
        << QByteArray("__anti-forgery-token=T1");
    QTest::addRow("cookie value taken raw") << withCookies(hiddenPage,
        { "__anti-forgery-token=a%2Bb" }) << QByteArray("__anti-forgery-token=a%2Bb");
    QTest::addRow("entities stay encoded") << HttpResponse::html(formPage(hiddenInput("a&amp;b")))
                                           << QByteArray("__anti-forgery-token=a&amp;b");
    QTest::addRow("non-ASCII token") << HttpResponse::html(formPage(hiddenInput("t\xC3\xB6k")))
                                     << QByteArray("__anti-forgery-token=t\xC3\xB6k");
    QTest::addRow("invalid UTF-8 around the input")
        << HttpResponse::html("\xFF\xFE<p>\xC3</p>" + hiddenInput("tok") + "\xED\xA0\x80")
        << QByteArray("__anti-forgery-token=tok");
    QTest::addRow("huge page") << HttpResponse::html(
        QByteArray(8 * 1024 * 1024, 'x') + formPage(hiddenInput("deep")))
                               << QByteArray("__anti-forgery-token=deep");
    QTest::addRow("many unterminated input tags")
        << HttpResponse::html(QByteArray("<input ").repeated(2000) + QByteArray(100000, ' '))
        << none;
    QTest::addRow("form fetch answered 500") << HttpResponse::html(formPage(hiddenInput("H")), 500)
                                             << QByteArray("__anti-forgery-token=H");
    QTest::addRow("form fetch not answered") << HttpResponse::refuse() << none;
    QTest::addRow("form fetch cut mid-body")
        << HttpResponse::resetMidBody(HttpResponse::html(formPage(hiddenInput("H"))), 20) << none;
}

void TestLoginFlow::antiForgeryToken()
{
    QFETCH(HttpResponse, form);
    QFETCH(QByteArray, tokenField);

    LoginScript script;
    script.form = form;
    ScriptedHttpServer server(script.handler());
    auto account = makeAccount(server.origin(), true);
    QSignalSpy loggedIn(account->client.get(), &AbstractOAuth2Client::loggedIn);
    QSignalSpy loginError(account->client.get(), &zel::OAuth2ClientImpl::loginError);

    account->client->login(identifier, password);
    QVERIFY(loggedIn.wait());
    QCOMPARE(loginError.count(), 0);

    // Whatever the fetch gave, the form was posted once, to the form's own URL.
    const QList<HttpRequest> posts = requestsTo(server, "POST", "/login");
    QCOMPARE(posts.size(), 1);
    QCOMPARE(posts.at(0).target, formTarget);
    QCOMPARE(posts.at(0).body, loginBodyPrefix + tokenField);
}

void TestLoginFlow::loginAnswer_data()
{
    QTest::addColumn<HttpResponse>("answer");
    QTest::addColumn<QString>("message"); // null: the login succeeds
    QTest::addColumn<QString>("code");

    const QString success;
    const auto withCookies = [](HttpResponse response, const QList<QByteArray>& cookies) {
        for (const QByteArray& cookie : cookies)
            response.withHeader("Set-Cookie", cookie);
        return response;
    };
    const QByteArray page = formPage(hiddenInput("again"));
    const QString pageText = QString::fromUtf8(page);

    QTest::addRow("redirect with code")
        << HttpResponse::redirect("zel://authorize?code=abc&state=x") << success << "abc";
    QTest::addRow("303 with encoded code")
        << HttpResponse::redirect("zel://authorize?state=1&code=a%2Fb%20c", 303) << success
        << "a/b c";
    QTest::addRow("error redirect") << HttpResponse::redirect("zel://authorize?error=access_denied")
                                    << "Authorization code error" << QString();
    QTest::addRow("empty code") << HttpResponse::redirect("zel://authorize?code=")
                                << "Authorization code error" << QString();
    QTest::addRow("no query") << HttpResponse::redirect("zel://authorize")
                              << "Authorization code error" << QString();
    QTest::addRow("extra slash") << HttpResponse::redirect("zel://authorize/?code=abc")
                                 << "302 - Found\n"
                                 << QString();
    QTest::addRow("no authority") << HttpResponse::redirect("zel:authorize?code=abc")
                                  << "302 - Found\n"
                                  << QString();
    QTest::addRow("other host") << HttpResponse::redirect("zel://evil.example?code=abc")
                                << "302 - Found\n"
                                << QString();
    QTest::addRow("other scheme") << HttpResponse::redirect(
        "https://account.example/authorize?code=abc")
                                  << "302 - Found\n"
                                  << QString();
    QTest::addRow("unparsable location")
        << HttpResponse::redirect("http://[::1?code=abc") << "302 - Found\n"
        << QString();
    QTest::addRow("flash error") << withCookies(
        HttpResponse::html(page), { "flash-error=Wrong+password%21; Path=/" })
                                 << "Wrong password!" << QString();
    QTest::addRow("flash error in UTF-8")
        << withCookies(HttpResponse::html(page), { "flash-error=Passwort+%C3%BCberpr%C3%BCfen" })
        << QString::fromUtf8("Passwort überprüfen") << QString();
    QTest::addRow("last flash error wins")
        << withCookies(HttpResponse::html(page), { "flash-error=first", "flash-error=second" })
        << "second" << QString();
    QTest::addRow("undecodable escapes kept")
        << withCookies(HttpResponse::html(page), { "flash-error=50%zz+off%2" }) << "50%zz off%2"
        << QString();
    QTest::addRow("empty flash error") << withCookies(HttpResponse::html(page), { "flash-error=" })
                                       << "200 - OK\n" + pageText << QString();
    QTest::addRow("flash error name is case-sensitive") << withCookies(HttpResponse::html(page),
        { "Flash-Error=x" }) << "200 - OK\n" + pageText << QString();
    QTest::addRow("form again, no cookie")
        << HttpResponse::html(page) << "200 - OK\n" + pageText << QString();
    QTest::addRow("JSON body") << HttpResponse::json(QJsonObject { { "error", "locked" } })
                               << "200 - OK\n{\"error\":\"locked\"}" << QString();
    QTest::addRow("invalid UTF-8 body") << HttpResponse::html("a\xFF"
                                                              "b")
                                        << QString::fromUtf8("200 - OK\na\xEF\xBF\xBD"
                                                             "b")
                                        << QString();
    QTest::addRow("401") << HttpResponse::html(page, 401) << "Unauthorized" << QString();
    QTest::addRow("401 with flash error") << withCookies(
        HttpResponse::html(page, 401).withReason("Bad credentials"), { "flash-error=ignored" })
                                          << "Bad credentials" << QString();
    QTest::addRow("500 without reason phrase")
        << HttpResponse::text("x", 500).withReason("") << "" << QString();
    QTest::addRow("no HTTP answer") << HttpResponse::refuse() << "0 - \n" << QString();
}

void TestLoginFlow::loginAnswer()
{
    QFETCH(HttpResponse, answer);
    QFETCH(QString, message);
    QFETCH(QString, code);

    LoginScript script;
    script.post = answer;
    ScriptedHttpServer server(script.handler());
    auto account = makeAccount(server.origin(), true);
    QSignalSpy loginError(account->client.get(), &zel::OAuth2ClientImpl::loginError);
    QSignalSpy loggedIn(account->client.get(), &AbstractOAuth2Client::loggedIn);

    account->client->login(identifier, password);
    QPointer<zel::LoginRequestImpl> request = account->client->findChild<zel::LoginRequestImpl*>();
    QVERIFY(request);
    QSignalSpy finished(request.data(), &zel::LoginRequestImpl::finished);
    QSignalSpy failed(request.data(), &zel::LoginRequestImpl::failed);

    QTRY_COMPARE(finished.count() + failed.count(), 1);
    QTRY_VERIFY(request.isNull());
    if (message.isNull()) {
        QVERIFY(loggedIn.wait());
        QCOMPARE(finished.count(), 1);
        QCOMPARE(loginError.count(), 0);
        const QList<HttpRequest> grants = requestsTo(server, "POST", "/oauth/token");
        QVERIFY(!grants.isEmpty());
        QCOMPARE(grants.last().formValue("code"), code);
    } else {
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), message);
        QCOMPARE(loginError.count(), 1);
        QCOMPARE(loginError.at(0).at(0).toString(), message);
        QTest::qWait(50);
        QVERIFY(requestsTo(server, "POST", "/oauth/token").isEmpty());
        QCOMPARE(loggedIn.count(), 0);
    }
}

void TestLoginFlow::formFetchRedirectKeepsPassword_data()
{
    QTest::addColumn<HttpResponse>("form");
    QTest::addColumn<HttpResponse>("post");
    QTest::addColumn<QString>("message"); // null: the login succeeds

    const QByteArray away = elsewhere.origin().toLatin1();
    const HttpResponse code = HttpResponse::redirect("zel://authorize?code=abc");
    const HttpResponse form = HttpResponse::html(formPage(hiddenInput("H")));

    for (const int status : { 301, 302, 303, 307, 308 }) {
        QTest::addRow("form %d to another port", status)
            << HttpResponse::redirect(away + formTarget, status) << code << QString();
    }
    QTest::addRow("form to another scheme") << HttpResponse::redirect(
        "https://127.0.0.1:" + QByteArray::number(elsewhere.port()) + formTarget)
                                            << code << QString();
    QTest::addRow("form to a file")
        << HttpResponse::redirect("file:///etc/passwd") << code << QString();
    QTest::addRow("form to data URL")
        << HttpResponse::redirect("data:text/html,<form>") << code << QString();
    QTest::addRow("post 307 to another port")
        << form << HttpResponse::redirect(away + formTarget, 307) << "307 - Temporary Redirect\n";
    QTest::addRow("post 308 to another port")
        << form << HttpResponse::redirect(away + "/login", 308) << "308 - Permanent Redirect\n";
}

void TestLoginFlow::formFetchRedirectKeepsPassword()
{
    QFETCH(HttpResponse, form);
    QFETCH(HttpResponse, post);
    QFETCH(QString, message);

    LoginScript script;
    script.form = form;
    script.post = post;
    ScriptedHttpServer server(script.handler());
    auto account = makeAccount(server.origin(), true);
    QSignalSpy loggedIn(account->client.get(), &AbstractOAuth2Client::loggedIn);
    QSignalSpy loginError(account->client.get(), &zel::OAuth2ClientImpl::loginError);

    account->client->login(identifier, password);
    QTRY_COMPARE(loggedIn.count() + loginError.count(), 1);
    if (message.isNull())
        QCOMPARE(loggedIn.count(), 1);
    else
        QCOMPARE(loginError.at(0).at(0).toString(), message);

    const QList<HttpRequest> posts = requestsTo(server, "POST", "/login");
    QCOMPARE(posts.size(), 1);
    QCOMPARE(posts.at(0).target, formTarget);
    QVERIFY(posts.at(0).body.startsWith(loginBodyPrefix));
    QTest::qWait(50);
    QCOMPARE(elsewhere.requestCount(), 0); // checked again in cleanup()
}

void TestLoginFlow::cookiesStayWithTheirRequest()
{
    // Every form fetch gets its own session; its number is also the page's token, so a post
    // shows which fetch it follows.
    int sessions = 0;
    const auto token = ScriptedHttpServer::requireBasicAuth(
        testClientId(), testClientSecret(), [](const HttpRequest&) { return tokenAnswer(); });
    ScriptedHttpServer server([&sessions, token](const HttpRequest& request) {
        if (request.path == "/login" && request.method == "GET") {
            const QByteArray n = QByteArray::number(++sessions);
            return HttpResponse::html(formPage(hiddenInput(n)))
                .withHeader("Set-Cookie", "session=" + n + "; Path=/");
        }
        if (request.path == "/login")
            return HttpResponse::redirect("zel://authorize?code=c" + request.body.right(1));
        return token(request);
    });
    auto account = makeAccount(server.origin(), true);
    QSignalSpy loginError(account->client.get(), &zel::OAuth2ClientImpl::loginError);

    account->client->login(QStringLiteral("one@example.com"), password);
    account->client->login(QStringLiteral("two@example.com"), password);
    QTRY_COMPARE(requestsTo(server, "POST", "/login").size(), 2);
    QTRY_VERIFY(!account->client->findChild<zel::LoginRequestImpl*>());

    account->client->login(QStringLiteral("three@example.com"), password);
    QTRY_COMPARE(requestsTo(server, "POST", "/login").size(), 3);

    for (const HttpRequest& get : requestsTo(server, "GET", "/login"))
        QVERIFY2(!get.hasHeader("Cookie"), get.raw.constData());
    QSet<QByteArray> seen;
    for (const HttpRequest& post : requestsTo(server, "POST", "/login")) {
        const QByteArray n = post.body.mid(post.body.lastIndexOf('=') + 1);
        QCOMPARE(post.headerValues("Cookie"), QList<QByteArray> { "session=" + n });
        seen.insert(n);
    }
    QCOMPARE(seen.size(), 3);
    QCOMPARE(loginError.count(), 0);
}

void TestLoginFlow::credentialFailureOfAnotherRequest()
{
    // Login A holds its credentials and waits for the form; then the device loses them and
    // login B fails to register it again. That failure is B's alone.
    ScriptedHttpServer server([](const HttpRequest& request) {
        if (request.path == "/login")
            return HttpResponse::noAnswer();
        return HttpResponse::text("down", 500);
    });
    auto account = makeAccount(server.origin(), true);
    zel::OAuth2ClientImpl* client = account->client.get();
    QSignalSpy loginError(client, &zel::OAuth2ClientImpl::loginError);

    client->login(QStringLiteral("a@example.com"), password);
    QPointer<zel::LoginRequestImpl> first = client->findChild<zel::LoginRequestImpl*>();
    QVERIFY(first);
    QSignalSpy firstFailed(first.data(), &zel::LoginRequestImpl::failed);
    QVERIFY(server.waitForRequests(1));

    QTest::ignoreMessage(QtWarningMsg, "Client credentials are not valid");
    QMetaObject::invokeMethod(client, "logout");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Device registration failed"));
    client->login(QStringLiteral("b@example.com"), password);

    QTRY_COMPARE(loginError.count(), 1);
    QCOMPARE(loginError.at(0).at(0).toString(),
        QStringLiteral("Could not fetch client credentials from server"));
    QTest::qWait(50);
    QCOMPARE(loginError.count(), 1);
    QCOMPARE(firstFailed.count(), 0);
    QVERIFY(first); // still waiting for its form
    server.closeConnections();
}

void TestLoginFlow::credentialFailureWhileWaiting()
{
    ScriptedHttpServer server([](const HttpRequest&) { return HttpResponse::text("down", 503); });
    auto account = makeAccount(server.origin(), false);
    QSignalSpy loginError(account->client.get(), &zel::OAuth2ClientImpl::loginError);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Device registration failed"));

    account->client->login(identifier, password);
    QPointer<zel::LoginRequestImpl> request = account->client->findChild<zel::LoginRequestImpl*>();
    QTRY_COMPARE(loginError.count(), 1);
    QCOMPARE(loginError.at(0).at(0).toString(),
        QStringLiteral("Could not fetch client credentials from server"));
    QTRY_VERIFY(request.isNull());
    QCOMPARE(trace(server), QStringList { "POST /oauth/credentials" });
}

QTEST_GUILESS_MAIN(TestLoginFlow)
#include "tst_loginflow.moc"
