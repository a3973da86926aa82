// Device registration and the web login over loopback HTTP: the requests on the wire byte for
// byte, every answer the servers can give, and where the password may travel.

#include "AccountFixture.h"
#include "LoginRequestImpl.h"
#include "ScriptedHttpServer.h"

#include <QHostInfo>
#include <QRegularExpression>
#include <QtTest>

using namespace zel;
using namespace zel::test;
using Reply = zel::test::HttpResponse;
using zel::network::ErrorKind;

Q_DECLARE_METATYPE(zel::test::HttpResponse)

const QString identifier = QStringLiteral("a+b@example.com");
const QString password = QString::fromUtf8("p w&x+ä");
const QByteArray loginBodyPrefix = "identifier=a%2Bb%40example.com&password=p%20w%26x%2B%C3%A4&";
const QByteArray formTarget = "/login?response_type=code&redirect_uri=zel%3A%2F%2Fauthorize"
                              "&client_id=device%201%2F%2B";

// A hidden input of a form page, up to its value.
const QByteArray hidden = "<input type=\"hidden\" name=\"__anti-forgery-token\" value=\"";

Reply withCookie(Reply r, const QByteArray& cookie) { return r.withHeader("Set-Cookie", cookie); }

// The login servers answer the form fetch and the post as told; the token endpoint wants the
// client credentials (RFC 6749, 2.3.1) and answers the grant.
ScriptedHttpServer::Handler loginServer(const Reply& form, const Reply& post)
{
    const auto token = ScriptedHttpServer::requireBasicAuth(
        testClientId(), testClientSecret(), [](const HttpRequest&) { return tokenAnswer(); });
    return [=](const HttpRequest& request) {
        if (request.path == "/login")
            return request.method == "GET" ? form : post;
        return request.path == "/oauth/credentials" ? credentialsAnswer() : token(request);
    };
}

class tst_loginflow : public QObject {
    Q_OBJECT
    // A second origin that must never receive anything: a followed redirect would go there.
    ScriptedHttpServer elsewhere { [](const HttpRequest&) { return Reply::text("stolen"); } };

private slots:
    void initTestCase() { watchLog(); }
    void loginOnTheWire()
    {
        // Every form fetch opens a session; its number is also the page's token, so a post shows
        // which fetch it follows.
        int sessions = 0;
        const auto others = loginServer(Reply(), Reply::redirect("zel://authorize?code=abc"));
        ScriptedHttpServer server([&sessions, others](const HttpRequest& request) {
            if (request.path != "/login" || request.method != "GET")
                return others(request);
            const QByteArray n = QByteArray::number(++sessions);
            return withCookie(Reply::html(hidden + n + "\">"), "session=" + n + "; Path=/");
        });
        auto account = makeAccount(server.origin(), false);
        // The machine id as read (see tst_identityrules), the user name in lower case.
        account->lookup->machine = "3D1219C7-C4C5-404A-AA1F-6D2A48ADFDA4";
        account->lookup->user = "\xC3\x85SA"; // "ÅSA"
        OAuth2ClientImpl* client = account->client.get();
        client->setClientSecret(QStringLiteral("old")); // one of the two is not enough
        QSignalSpy loggedIn(client, &AbstractOAuth2Client::loggedIn);

        client->login(identifier, password);
        // The code goes to the grant only after finished() has been emitted.
        QString grantDuringFinished = QStringLiteral("finished() not emitted");
        connect(client->findChild<LoginRequestImpl*>(), &LoginRequestImpl::finished, this,
            [&] { grantDuringFinished = client->grants().pendingGrantType(); });
        QVERIFY(loggedIn.wait());
        QCOMPARE(grantDuringFinished, QString());

        // The device registers first; the token endpoint gets the client credentials with the
        // grant's only request (the grant's body is tst_tokengrants').
        QCOMPARE(trace(server),
            QStringList(
                { "POST /oauth/credentials", "GET /login", "POST /login", "POST /oauth/token" }));
        const QList<HttpRequest> requests = server.requests();
        const HttpRequest &registration = requests.at(0), &get = requests.at(1),
                          &post = requests.at(2);
        QVERIFY(get.header("Content-Type") == "text/html" && !get.hasHeader("Accept"));
        QCOMPARE(post.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
        QCOMPARE(post.header("Accept"), QByteArray("application/json"));
        // The device registration is a form too, its identifiers SHA-1 known answers (FIPS
        // 180-4) computed independently of the code under test.
        QVERIFY(!registration.hasHeader("Accept") && !registration.hasHeader("Authorization"));
        QCOMPARE(registration.header("Content-Type"), post.header("Content-Type"));
        QCOMPARE(registration.body,
            "client_class_id=Rb5Tq8WmZ3xKvN7pLh2Ds&model_identifier=PC&device_identifier="
            "db0a68a79d849c0e9a1d9b0e1211ed3063117a66&user_identifier="
            "4751cae1bd440e521b99463e9e304ae25b8469f4&device_name="
                + QUrl::toPercentEncoding(QHostInfo::localHostName(), QByteArray(), QByteArray()));
        // The password went to the login form's own URL and nowhere else.
        for (const HttpRequest& r : requests)
            QCOMPARE(r.raw.contains(password.toUtf8()) || r.raw.contains("p%20w%26x"), &r == &post);

        // Each login keeps its own cookies: this one's are gone, and two at once do not share.
        client->login(identifier, password);
        client->login(identifier, password);
        QTRY_COMPARE(loggedIn.count(), 3);
        for (const HttpRequest& get : requestsTo(server, "GET", "/login"))
            QVERIFY2(!get.hasHeader("Cookie"), get.raw.constData());
        for (const HttpRequest& post : requestsTo(server, "POST", "/login"))
            QCOMPARE(post.header("Cookie"), "session=" + post.body.right(1));
    }

    void login_data()
    {
        QTest::addColumn<Reply>("form");
        QTest::addColumn<QByteArray>("token"); // the anti-forgery token posted; null: no post
        QTest::addColumn<Reply>("post");
        QTest::addColumn<QString>("message"); // null: logged in
        QTest::addColumn<ErrorKind>("kind"); // of loginFailed

        const Reply page = Reply::html("<form method=post>" + hidden + "H\"></form>");
        const Reply code = Reply::redirect("zel://authorize?state=x&code=abc");
        const QByteArray away = elsewhere.origin().toLatin1(), cookie = "__anti-forgery-token=";
        // Where the anti-forgery token comes from; the post gives the code.
        const auto form = [&](const char* name, const Reply& form, const QByteArray& token) {
            QTest::newRow(name) << form << token << code << QString() << ErrorKind::NoError;
        };
        // What the post's answer means, after the page with the token "H".
        const auto post
            = [&](const char* name, const Reply& post, const QString& message, ErrorKind kind) {
                  QTest::newRow(name) << page << QByteArray("H") << post << message << kind;
              };
        const ErrorKind unexpected = ErrorKind::UnexpectedAnswer;
        form("cookie before hidden input", withCookie(page, cookie + "T; Path=/"), "T");
        form("empty cookie", withCookie(page, cookie + "; Path=/"), "H");
        form("bad UTF-8", Reply::html("\xFF<p>\xC3</p>" + hidden + "tok\">\xED\xA0\x80"), "tok");
        post("other host", Reply::redirect("zel://evil.example?code=abc"), "302 - Found\n",
            unexpected);
        post("flash error", withCookie(page, "flash-error=F%C3%BCr+50%zz%2+%2B1"), "Für 50%zz%2 +1",
            ErrorKind::LoginRefused);
        const Reply refused = withCookie(Reply::html("", 401).withReason("No"), "flash-error=x");
        post("401 reason, not the flash error", refused, "No", ErrorKind::RefusedByServer);
        post("401 without reason phrase (HTTP/2)", Reply::html("", 401).withReason(""),
            "Unauthorized", ErrorKind::RefusedByServer);
        // The password goes only to the form's own URL: redirects are not followed.
        form("form redirected elsewhere", Reply::redirect(away + formTarget), "");
        post("post 307", Reply::redirect(away + formTarget, 307).withReason("T"), "307 - T\n",
            unexpected);
        // Pages may be large, but not without end; the form page's limit stops the post.
        const QByteArray limit(8 << 20, ' ');
        const QString tooLarge = "The server's answer exceeds 8 MiB";
        QTest::newRow("form page past the limit") << Reply::html(limit + hidden + "L\">")
                                                  << QByteArray() << code << tooLarge << unexpected;
        post("post answer past the limit", Reply::html(limit + ' ', 400), tooLarge, unexpected);
    }

    void login()
    {
        QFETCH(Reply, form);
        QFETCH(QByteArray, token);
        QFETCH(Reply, post);
        QFETCH(QString, message);
        QFETCH(ErrorKind, kind);

        elsewhere.clearRequests();
        ScriptedHttpServer server(loginServer(form, post));
        auto account = makeAccount(server.origin(), true);
        QSignalSpy loggedIn(account->client.get(), &AbstractOAuth2Client::loggedIn);
        QSignalSpy loginError(account->client.get(), &OAuth2ClientImpl::loginError);
        QSignalSpy loginFailed(account->client.get(), &OAuth2ClientImpl::loginFailed);

        if (message.contains("exceeds"))
            expectWarning(QRegularExpression("passes 8388608 bytes; aborted$"));
        account->client->login(identifier, password);
        QTRY_COMPARE(loggedIn.count() + loginError.count(), 1);
        QTRY_VERIFY(!account->client->findChild<LoginRequestImpl*>()); // released itself
        QVERIFY(!QTest::qWaitFor([&] { return loggedIn.count() + loginError.count() > 1; }, 50));
        QCOMPARE(loginError.value(0).value(0).toString(), message);
        QCOMPARE(loginFailed.value(0).value(0).value<ErrorKind>(), kind);

        const QList<HttpRequest> posts = requestsTo(server, "POST", "/login");
        QCOMPARE(posts.size(), token.isNull() ? 0 : 1);
        if (posts.isEmpty())
            return;
        QCOMPARE(posts[0].target, formTarget);
        QCOMPARE(posts[0].body, loginBodyPrefix + "__anti-forgery-token=" + token);
        QCOMPARE(elsewhere.requestCount(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_loginflow)
#include "tst_loginflow.moc"
