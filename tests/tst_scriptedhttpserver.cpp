// The scripted server itself, where its behaviour is not obvious from the transport tests:
// requests split across TCP segments and pipelined, connection reuse, the Basic challenge that
// Qt needs before it sends credentials, and a real TLS handshake against a generated CA.

#include "ScriptedHttpServer.h"

#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QtTest>

using zel::test::HttpRequest;
using zel::test::HttpResponse;
using zel::test::ScriptedHttpServer;

class TestScriptedHttpServer : public QObject {
    Q_OBJECT

private slots:
    void splitAndPipelinedRequests();
    void qtReusesTheConnection();
    void basicChallenge();
    void tlsHandshake();
};

void TestScriptedHttpServer::splitAndPipelinedRequests()
{
    ScriptedHttpServer server(
        [](const HttpRequest& request) { return HttpResponse::text("seen " + request.path); });
    QVERIFY(server.isListening());
    QSignalSpy received(&server, &ScriptedHttpServer::requestReceived);

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(client.waitForConnected(5000));
    const QByteArray first = "POST /a%20b?x=1&y=%C3%A9+z HTTP/1.1\r\nHost: h\r\n"
                             "X-Twice: 1\r\nx-twice:  2 \r\nContent-Length: 11\r\n\r\nhello world";
    const QByteArray second = "GET /second HTTP/1.1\r\nHost: h\r\n\r\n";
    // The head in two pieces, then the rest of the body together with a pipelined request.
    client.write(first.left(20));
    client.flush();
    QTest::qWait(50);
    client.write(first.mid(20, first.size() - 25));
    client.flush();
    QTest::qWait(50);
    QCOMPARE(server.requestCount(), 0);
    client.write(first.right(5) + second);
    QVERIFY(server.waitForRequests(2));
    QCOMPARE(received.size(), 2);

    const HttpRequest post = server.requests().at(0);
    QCOMPARE(post.raw, first);
    QCOMPARE(post.method, QByteArray("POST"));
    QCOMPARE(post.target, QByteArray("/a%20b?x=1&y=%C3%A9+z"));
    QCOMPARE(post.path, QByteArray("/a%20b"));
    QCOMPARE(post.decodedPath(), QString("/a b"));
    QCOMPARE(post.rawQuery, QByteArray("x=1&y=%C3%A9+z"));
    QCOMPARE(post.queryItem("y"), QString::fromUtf8("\xC3\xA9+z"));
    QCOMPARE(post.headerValues("X-TWICE"), QList<QByteArray>({ "1", "2" }));
    QCOMPARE(post.headers.at(2).first, QByteArray("x-twice"));
    QCOMPARE(post.body, QByteArray("hello world"));
    QCOMPARE(server.requests().at(1).target, QByteArray("/second"));
    QCOMPARE(server.requests().at(1).connectionId, post.connectionId);

    QTRY_VERIFY(client.bytesAvailable() > 0 && client.peek(1000).count("HTTP/1.1 200 OK\r\n") == 2);
    QVERIFY(client.readAll().endsWith("Content-Length: 12\r\n\r\nseen /second"));
}

void TestScriptedHttpServer::qtReusesTheConnection()
{
    ScriptedHttpServer server([](const HttpRequest&) {
        return HttpResponse::json(QJsonObject { { "ok", true } }, 201)
            .withReason("Made It")
            .withHeader("Set-Cookie", "a=1; Path=/")
            .withHeader("Set-Cookie", "b=2; HttpOnly");
    });
    QVERIFY(server.isListening());
    QNetworkAccessManager manager;
    for (int i = 0; i < 2; ++i) {
        std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(server.url("/again"))));
        QTRY_VERIFY(reply->isFinished());
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 201);
        QCOMPARE(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray(),
            QByteArray("Made It"));
        const auto cookies
            = reply->header(QNetworkRequest::SetCookieHeader).value<QList<QNetworkCookie>>();
        QCOMPARE(cookies.size(), 2);
        QCOMPARE(reply->readAll(), QByteArray("{\"ok\":true}"));
    }
    QCOMPARE(server.requestCount(), 2);
    QCOMPARE(server.connectionCount(), 1);
}

void TestScriptedHttpServer::basicChallenge()
{
    ScriptedHttpServer server(ScriptedHttpServer::requireBasicAuth("client id", "s:cret",
        [](const HttpRequest&) { return HttpResponse::json(QJsonObject()); }));
    QVERIFY(server.isListening());
    QUrl url = server.url("/oauth/token");
    url.setUserName("client id");
    url.setPassword("s:cret");
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(url)));
    QTRY_VERIFY(reply->isFinished());
    QCOMPARE(reply->error(), QNetworkReply::NoError);

    // Qt sends the URL's credentials only in answer to the challenge.
    QCOMPARE(server.requestCount(), 2);
    QVERIFY(!server.requests().at(0).hasHeader("Authorization"));
    const auto credentials = server.requests().at(1).basicCredentials();
    QVERIFY(credentials);
    QCOMPARE(credentials->first, QString("client id"));
    QCOMPARE(credentials->second, QString("s:cret"));
}

void TestScriptedHttpServer::tlsHandshake()
{
    if (!QSslSocket::supportsSsl() || !zel::test::TestCertificates::toolAvailable())
        QSKIP("TLS or the openssl tool is not available");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    zel::test::TestCertificates certificates;
    QVERIFY2(certificates.generate(dir.path()), qPrintable(certificates.errorText));

    ScriptedHttpServer server(certificates.serverConfiguration(),
        [](const HttpRequest&) { return HttpResponse::text("secure"); });
    QVERIFY(server.isListening());
    QVERIFY(server.origin().startsWith("https://127.0.0.1:"));

    // Separate managers: a manager's cached connection keeps the TLS setup it was opened with.
    QNetworkAccessManager manager, other;
    QNetworkRequest untrusted(server.url("/tls"));
    std::unique_ptr<QNetworkReply> refused(other.get(untrusted));
    QTRY_VERIFY(refused->isFinished());
    QCOMPARE(refused->error(), QNetworkReply::SslHandshakeFailedError);

    QNetworkRequest trusted(server.url("/tls"));
    trusted.setSslConfiguration(certificates.clientConfiguration());
    std::unique_ptr<QNetworkReply> reply(manager.get(trusted));
    QStringList sslErrors;
    connect(reply.get(), &QNetworkReply::sslErrors, this, [&](const QList<QSslError>& errors) {
        for (const QSslError& e : errors)
            sslErrors.append(e.errorString());
    });
    QTRY_VERIFY(reply->isFinished());
    QVERIFY2(reply->error() == QNetworkReply::NoError,
        qPrintable(reply->errorString() + ": " + sslErrors.join("; ")));
    QCOMPARE(reply->readAll(), QByteArray("secure"));
    QCOMPARE(server.requestCount(), 1);

    // Trusted for the whole process, as code that configures nothing on its requests needs.
    const QSslConfiguration previous = certificates.trustGlobally();
    const auto restore = qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(previous); });
    QNetworkAccessManager third;
    std::unique_ptr<QNetworkReply> plain(third.get(QNetworkRequest(server.url("/tls"))));
    QTRY_VERIFY(plain->isFinished());
    QCOMPARE(plain->error(), QNetworkReply::NoError);
    QCOMPARE(server.requestCount(), 2);
}

QTEST_GUILESS_MAIN(TestScriptedHttpServer)
#include "tst_scriptedhttpserver.moc"
