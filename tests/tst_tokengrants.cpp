// Token grants against a scripted token endpoint over loopback HTTP, and authenticated replies
// that wait for a token, sign, send and report.

#include "AuthenticatedReply.h"
#include "Requests.h"
#include "ServiceFixture.h"
#include "TestLog.h"

#include <QDateTime>
#include <QJsonObject>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include <climits>

Q_DECLARE_METATYPE(zel::test::HttpResponse)

// What ends an authenticated reply with an error, and what its error receiver does then.
enum class Cause { NoCredentials, Running, ApiRefusal, NoVerb };
enum class Release { None, DeleteLater, Delete };
Q_DECLARE_METATYPE(Cause)
Q_DECLARE_METATYPE(Release)

using Reply = zel::network::AuthenticatedReply;
using namespace zel;
using namespace zel::test;
using Hash = QCryptographicHash;
using Nam = QNetworkAccessManager;
using Client = AbstractOAuth2Client;

QJsonObject tokenAnswer(const QString& algorithm = "hmac-sha-256", QJsonValue expiresIn = 3600,
    QJsonValue refresh = "refresh-1") // Undefined: no refresh token
{
    return { { "access_token", "access-1" }, { "refresh_token", refresh },
        { "expires_in", expiresIn }, { "secret", "mac-secret-1" }, { "algorithm", algorithm } };
}

// The token core against a scripted server, holding the test's client credentials (a
// challenge fails the grant: they go up front); every path but the token endpoint is the API.
struct Run : ServiceFixture<Client> {
    Run()
        : ServiceFixture(true)
    {
        token = [](const HttpRequest&) { return HttpResponse::json(tokenAnswer()); };
    }
    void holdValidToken() { record() = { "held-access", 1, LLONG_MAX, {}, "held-key" }; } // SHA-1
    Reply* get() { return client->authenticatedGet(zel::createFormRequest(server.url())); }
};

class tst_tokengrants : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { watchLog(true); } // debug output of the plug-in included
    void cleanupTestCase()
    {
        QVERIFY(logLines().size() > 20);
        // hunter2: the API calls' body, as text or hex.
        const auto leak
            = QRegularExpression("s3cret|the-authorization-code|access-[01]|"
                                 "refresh-[01]|key-0|mac-secret-1|held-access|held-key|MAC id|"
                                 "hunter2|68756e74657232")
                  .match(logLines().join('\n'));
        QVERIFY2(!leak.hasMatch(), qPrintable(leak.captured()));
    }

    // Answers of the token endpoint that grant a token, to each grant (the refused ones:
    // tst_badanswers).
    void tokenGranted_data()
    {
        QTest::addColumn<QString>("grant");
        QTest::addColumn<QJsonObject>("answer");
        QTest::addColumn<qint64>("lifetime"); // seconds
        QTest::addColumn<int>("algorithm"); // QCryptographicHash::Algorithm
        QTest::addColumn<QString>("events");
        const QString login = "settings, loggedIn, hasAccessToken",
                      refresh = "settings, hasAccessToken";
        const auto row
            = [](const char* grant, QJsonObject answer, QString events, qint64 life = 3600,
                  Hash::Algorithm algorithm = Hash::Sha256, const char* name = nullptr) {
                  QTest::newRow(name ? name : grant)
                      << grant << answer << life << int(algorithm) << events;
              };
        row("code", tokenAnswer(), login);
        row("client", tokenAnswer(), login);
        row("refresh", tokenAnswer(), refresh);
        row("refresh", tokenAnswer("HMAC-SHA-1"), refresh, 3600, Hash::Sha1, "capitals");
        // Not a number, so 0 seconds; a huge number is clamped to 32 bits (in ms past 32 bits).
        row("refresh", tokenAnswer("hmac-sha-1", "3600"), refresh, 0, Hash::Sha1,
            "expires_in text");
        row("refresh", tokenAnswer("hmac-sha-1", 1e300), refresh, INT_MAX, Hash::Sha1,
            "expires_in huge");
        row("refresh", tokenAnswer("hmac-sha-256", 3600, QJsonValue::Undefined), refresh, 3600,
            Hash::Sha256, "no refresh token");
    }
    void tokenGranted()
    {
        QFETCH(QString, grant);
        QFETCH(QJsonObject, answer);
        QFETCH(qint64, lifetime);
        QFETCH(int, algorithm);
        QFETCH(QString, events);
        Run r;
        r.token = [answer](const HttpRequest&) { return HttpResponse::json(answer); };
        if (lifetime == 0) // the one figure no server means
            expectWarning(
                QRegularExpression("^Token expires in 0 seconds. That cannot be right!$"));
        // Without a refresh token, a token is asked for with the client's credentials.
        r.record()
            = { "access-0", 5, 0, grant == "client" ? "" : "refresh-0", "key-0", Hash::Sha256 };
        if (grant == "code")
            r.client->fetchAccessTokenUsingAuthorizationCode("the-authorization-code");
        else
            r.client->ensureAccessToken();
        QTRY_COMPARE(r.events.join(", "), events);
        QCOMPARE(r.server.requestCount(), 1); // the credentials went with the first request
        const MacToken& t = r.record();
        // A refresh answer without a refresh token keeps the current one, stored as it is.
        const bool issued = answer.contains("refresh_token");
        QCOMPARE(t.accessToken + ' ' + t.refreshToken + ' ' + t.macKey,
            QString("access-1 %1 mac-secret-1").arg(issued ? "refresh-1" : "refresh-0"));
        QCOMPARE(int(t.algorithm), algorithm);
        // The lifetime counts from the answer; the issue time is read just after it.
        const qint64 start = t.expiryTime - lifetime * 1000;
        QVERIFY(start <= t.issueTime && t.issueTime - start < 1000);
        QVERIFY(qAbs(QDateTime::currentMSecsSinceEpoch() - t.issueTime) < 5000);
        // The refresh token stored protected (clear text would not unprotect), the rest plain.
        QVariantMap stored = r.settingsChanged->value(0).value(0).toMap();
        QCOMPARE(Client::unprotectValue(stored.take("refresh_token")).toByteArray(),
            issued ? QByteArray("refresh-1") : QByteArray());
        QCOMPARE(stored.take("issue_time"), QVariant(t.issueTime));
        QCOMPARE(stored,
            QVariantMap(
                { { "algorithm", answer["algorithm"].toString() }, { "key", "mac-secret-1" } }));
    }

    // Many waiting replies share one grant and each sends once. Grants asked for while one is
    // in flight are dropped (refresh, client credentials), except a login's authorization code,
    // which waits for it (the newest code wins).
    void grantsInFlight()
    {
        QVector<int> seen(3); // per reply: a finished with the answer counts 1, an error 10
        Run r;
        r.record().refreshToken = "refresh-0";
        QList<QPointer<Reply>> replies; // the caller's once finished
        for (int i = 0; i < 3; ++i) {
            replies.append(r.get());
            connect(replies[i], &Reply::finished, this,
                [&, i](QJsonDocument d) { seen[i] += d["ok"].toInt(); });
            connect(replies[i], &Reply::error, this, [&, i] { seen[i] += 10; });
        }
        // The replies ask for a token from the event loop: the refresh grant.
        QTRY_COMPARE(r.client->grants().pendingGrantType(), QString("refresh_token"));
        r.client->fetchAccessTokenUsingClientCredentials();
        r.client->fetchAccessTokenUsingAuthorizationCode("first-code");
        r.client->fetchAccessTokenUsingAuthorizationCode("newest-code");
        QTRY_COMPARE(r.events.join(", "),
            QString("settings, hasAccessToken, settings, loggedIn, hasAccessToken"));
        QTRY_COMPARE(seen, QVector<int>(3, 1));
        emit r.client->accessTokenError("another request's failure"); // finished replies ignore it
        QCOMPARE(seen, QVector<int>(3, 1));
        QCOMPARE(r.calls.size(), 3);
        QCOMPARE(r.grants.size(), 2);
        // Exactly three pairs, in this order.
        QCOMPARE(r.grants.at(1).body,
            "grant_type=authorization_code&code=newest-code&redirect_uri=zel%3A%2F%2Fauthorize");
        qDeleteAll(replies);
    }

    // Every value of a token request reaches the server byte for byte as held: encoded once,
    // never read back decoded (a login's code also when it had to wait for another grant).
    void grantValuesOnTheWire_data()
    {
        QTest::addColumn<QString>("grant");
        QTest::addColumn<QString>("value"); // the refresh token or the code
        QTest::addColumn<QByteArray>("encoded");
        const QString unicode = QString::fromUtf8("z\u00f6\u20ac");
        const QList<std::pair<QString, QByteArray>> values { { "ab%41cd+e", "ab%2541cd%2Be" },
            { "a&b=c", "a%26b%3Dc" }, { "two  spaces ", "two%20%20spaces%20" },
            { unicode, "z%C3%B6%E2%82%AC" } };
        for (const char* grant : { "refresh", "code", "queued code" }) {
            for (const auto& value : values)
                QTest::addRow("%s %s", grant, qPrintable(value.first))
                    << QString(grant) << value.first << value.second;
        }
    }
    void grantValuesOnTheWire()
    {
        QFETCH(QString, grant);
        QFETCH(QString, value);
        QFETCH(QByteArray, encoded);
        Run r;
        if (grant == "refresh") {
            r.record().refreshToken = value;
            r.client->ensureAccessToken();
        } else {
            if (grant == "queued code")
                r.client->fetchAccessTokenUsingClientCredentials();
            r.client->fetchAccessTokenUsingAuthorizationCode(value);
        }
        QTRY_COMPARE(r.events.count("hasAccessToken"), grant == "queued code" ? 2 : 1);
        QCOMPARE(r.grants.last().body,
            grant == "refresh" ? "grant_type=refresh_token&refresh_token=" + encoded
                               : "grant_type=authorization_code&code=" + encoded
                    + "&redirect_uri=zel%3A%2F%2Fauthorize");
    }

    // Signed requests on the wire. A refused token is dropped, a new one fetched (here with the
    // client's credentials) and the request sent once more (a second refusal is the caller's
    // error: tst_badanswers).
    void signedRequestOnTheWire_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("body");
        QTest::addColumn<bool>("refused"); // the API refuses the held token once
        const auto row = [](const char* method, Nam::Operation op, QString body, bool refused) {
            QTest::addRow("%s%s", method, refused ? ", refused once" : "")
                << int(op) << QString(method) << body << refused;
        };
        row("PUT", Nam::PutOperation, R"({"b":[2]})", true);
        row("DELETE", Nam::DeleteOperation, "", false);
    }
    void signedRequestOnTheWire()
    {
        QFETCH(int, operation);
        QFETCH(QString, method);
        QFETCH(QString, body);
        QFETCH(bool, refused);
        Run r;
        r.api = [&, n = 0](const HttpRequest&) mutable {
            return HttpResponse::jsonText("{}", refused && n++ == 0 ? 401 : 200);
        };
        r.holdValidToken();
        QPointer<Reply> reply = r.client->authenticatedRequest(Nam::Operation(operation),
            zel::createFormRequest(r.server.url("/api/x?q=1")), body.toUtf8());
        QSignalSpy done(reply, &Reply::finished), errors(reply, &Reply::error);
        QVERIFY(done.wait());
        QVERIFY(!QTest::qWaitFor([&] { return done.count() + errors.count() > 1; }, 50));
        QCOMPARE(r.calls.size(), refused ? 2 : 1);
        QCOMPARE(r.grants.size(), refused ? 1 : 0);
        const HttpRequest request = r.calls.last();
        QCOMPARE(request.method + ' ' + request.target + ' ' + request.body,
            method.toUtf8() + " /api/x?q=1 " + body.toUtf8());
        const auto match = QRegularExpression(
            "^MAC id=\"(.+)\",nonce=\"\\d+:[0-9a-f]{40}\",bodyhash=\"(.+)\",mac=\"(.+)\"$")
                               .match(request.header("Authorization"));
        QVERIFY2(match.hasMatch(), request.header("Authorization").constData());
        QCOMPARE(match.captured(1), refused ? "access-1" : "held-access");
        // The token's algorithm: SHA-1 for the held token, SHA-256 for the new one.
        const auto algorithm = refused ? Hash::Sha256 : Hash::Sha1;
        QCOMPARE(match.captured(2).toLatin1(), Hash::hash(body.toUtf8(), algorithm).toBase64());
        QCOMPARE(QByteArray::fromBase64(match.captured(3).toLatin1()).size(), refused ? 32 : 20);
        delete reply; // the caller's once finished
    }

    // The path is joined to the API origin as text; only a leading "/" keeps the origin (the
    // others name another host or port, as checked on an origin without a port). Dot and empty
    // segments would go out resolved, not as signed. A refused path fails from the event loop
    // with RequestNotCreated, naming the path, and nothing is sent, not even a grant.
    void apiPaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("target"); // as the API server receives it; empty: refused
        const auto row = [](const char* path, const char* target = "") {
            QTest::addRow("\"%s\"", path) << QString::fromUtf8(path) << QByteArray(target);
        };
        row("/notes?q=a%20b&next=/x", "/notes?q=a%20b&next=/x");
        row("/notes/", "/notes/");
        for (const char* path : { "@evil.example/x", ".evil.example/x", ":8443/x", "x", "?q=1", "",
                 "\\evil", "/notes/#3", "//evil.example/x", "/%2e%2e/", "/a/./b", "/a/.." })
            row(path);
    }
    void apiPaths()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, target);
        const QString origin = "https://api.example.com";
        QCOMPARE(zel::createApiRequest(origin, path).url(),
            target.isEmpty() ? QUrl() : QUrl(origin + target));

        ServiceFixture<zel::OAuth2ClientImpl> s(true);
        s.token = [](const HttpRequest&) { return HttpResponse::json(tokenAnswer()); };
        QPointer<Reply> reply = s.client->post(path, R"({"password":"hunter2"})");
        QSignalSpy done(reply, &Reply::finished), errors(reply, &Reply::error);
        QVERIFY(target.isEmpty() ? errors.wait() : done.wait());
        if (target.isEmpty()) {
            QCOMPARE(errors.at(0).at(1).toInt(), int(Reply::RequestNotCreated));
            QVERIFY2(errors.at(0).at(0).toString().contains('"' + path + '"'),
                qPrintable(errors.at(0).at(0).toString()));
            QTRY_VERIFY(reply.isNull());
            QCOMPARE(s.server.requestCount(), 0);
        } else {
            QCOMPARE(s.calls.size(), 1);
            QCOMPARE(s.calls.at(0).target, target);
            delete reply.data();
        }
    }

    // Whatever ends a reply with an error, the error reaches receivers connected after the
    // creating call, and the reply goes afterwards, whether or not a receiver released it
    // (deleteLater or delete). A running reply answers a token error with its own cancellation
    // and the error; one deleted while running releases its request.
    void replyErrors_data()
    {
        QTest::addColumn<Cause>("cause");
        QTest::addColumn<Release>("release"); // what the error receiver does
        QTest::addColumn<QList<int>>("codes");
        QTest::addColumn<QString>("message"); // of the last error, when the reply's own
        const auto row = [](const char* name, Cause cause, Release release, QList<int> codes,
                             const QString& message = {}) {
            QTest::addRow("%s", name) << cause << release << codes << message;
        };
        const int canceled = QNetworkReply::OperationCanceledError, noToken = Reply::NoAccessToken;
        row("no token", Cause::NoCredentials, Release::None, { noToken },
            "No client credentials set");
        row("token error while running", Cause::Running, Release::None, { canceled, noToken },
            "token gone");
        row("token error while running, delete", Cause::Running, Release::Delete, { canceled });
        row("API refusal, delete", Cause::ApiRefusal, Release::Delete, { 500 }, R"({"error":"x"})");
        row("no verb, deleteLater", Cause::NoVerb, Release::DeleteLater,
            { Reply::RequestNotCreated }, "Could not create request");
    }
    void replyErrors()
    {
        QFETCH(Cause, cause);
        QFETCH(Release, release);
        QFETCH(QList<int>, codes);
        QFETCH(QString, message);
        Run r;
        r.api = [cause](const HttpRequest&) {
            return cause == Cause::Running ? HttpResponse::noAnswer()
                                           : HttpResponse::jsonText(R"({"error":"x"})", 500);
        };
        r.holdValidToken();
        if (cause == Cause::NoCredentials)
            r.client->clearCredentials();
        QPointer<Reply> reply = cause == Cause::NoVerb ? r.client->authenticatedRequest(
                                    Nam::HeadOperation, QNetworkRequest(r.server.url()), {})
                                                       : r.get();
        QList<int> got;
        QString last;
        connect(reply, &Reply::error, this, [&](const QString& m, int code) {
            got << code;
            last = m;
            if (release == Release::DeleteLater)
                reply->deleteLater();
            else if (release == Release::Delete)
                delete reply.data();
        });
        QVERIFY(got.isEmpty()); // nothing is reported inside the creating call
        if (cause == Cause::Running) { // a token error while the request runs
            auto* deleted = r.get();
            QVERIFY(r.server.waitForRequests(2));
            delete deleted; // aborts and releases its request; LeakSanitizer checks the release
            emit r.client->accessTokenError("token gone");
        }
        QTRY_VERIFY(reply.isNull());
        QCOMPARE(got, codes);
        if (!message.isEmpty())
            QCOMPARE(last, message);
    }
};

QTEST_GUILESS_MAIN(tst_tokengrants)
#include "tst_tokengrants.moc"
