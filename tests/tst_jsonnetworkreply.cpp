// JSON replies over real loopback HTTP: every outcome of a finished reply, transport failures,
// abort and close, the release of the watched reply, and casting by name.

#include "JsonNetworkReplyImpl.h"
#include "ScriptedHttpServer.h"

#include <QJsonObject>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtTest>

#include <memory>

using zel::test::HttpRequest;
using zel::test::HttpResponse;
using zel::test::ScriptedHttpServer;

Q_DECLARE_METATYPE(zel::test::HttpResponse)

namespace {

// One report of a JSON reply, and how its watched reply looked from inside the receiving slot.
struct Report {
    QString signal;
    QString message;
    int code = -1; // the error code, or the status code of finished
    QJsonDocument document;
    bool replyAlive = false;
    qint64 unreadBytes = -1;
    QByteArray marker; // rawHeader("X-Scripted") as the receiver saw it
    bool running = true;
};

struct Exchange {
    std::unique_ptr<JsonNetworkReplyImpl> json;
    QPointer<QNetworkReply> reply;
    QList<Report> reports;
};

// Sends a GET the way the system sends its JSON requests: a manager of its own, released when
// its one reply finishes, and the JSON reply created right after the request was handed over.
std::unique_ptr<Exchange> send(const QUrl& url)
{
    auto exchange = std::make_unique<Exchange>();
    auto* manager = new QNetworkAccessManager;
    QNetworkReply* reply = manager->get(QNetworkRequest(url));
    QObject::connect(reply, &QNetworkReply::finished, manager, &QObject::deleteLater);
    exchange->reply = reply;
    exchange->json = std::make_unique<JsonNetworkReplyImpl>(reply);

    Exchange* e = exchange.get();
    const auto record = [e](Report report) {
        report.replyAlive = !e->reply.isNull();
        if (e->reply)
            report.unreadBytes = e->reply->bytesAvailable();
        report.marker = e->json->rawHeader("X-Scripted");
        report.running = e->json->isRunning();
        e->reports.append(report);
    };
    QObject::connect(e->json.get(), &JsonNetworkReplyImpl::finished, e->json.get(),
        [record](int statusCode, const QJsonDocument& document) {
            Report report;
            report.signal = "finished";
            report.code = statusCode;
            report.document = document;
            record(report);
        });
    QObject::connect(e->json.get(), &JsonNetworkReplyImpl::error, e->json.get(),
        [record](const QString& message, int code) {
            Report report;
            report.signal = "error";
            report.message = message;
            report.code = code;
            record(report);
        });
    return exchange;
}

QString parserText(QJsonParseError::ParseError error)
{
    QJsonParseError e { 0, error };
    return e.errorString();
}

QString parserText(const QByteArray& body, int* code)
{
    QJsonParseError e;
    QJsonDocument::fromJson(body, &e);
    *code = e.error;
    return e.errorString();
}

QStringList capturedLog;
void captureMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    capturedLog.append(message);
}

} // namespace

class TestJsonNetworkReply : public QObject {
    Q_OBJECT

private slots:
    void outcomes_data();
    void outcomes();
    void transportFailures_data();
    void transportFailures();
    void cancelWhileRunning_data();
    void cancelWhileRunning();
    void reportsOnceWhenFinishedIsAnnouncedAgain();
    void bodyNeverReachesTheLog();
    void castByName_data();
    void castByName();
    void metaObjectLayout();
    void withoutReply();
};

void TestJsonNetworkReply::outcomes_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reason"); // null: the usual phrase
    QTest::addColumn<QByteArray>("contentType"); // null: no Content-Type header
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("json"); // compact document carried by finished

    const QByteArray none;
    const QString notJson = "Response is not a JSON response but %1";
    const QByteArray pretty = "{\n    \"error\": \"server_error\",\n    \"detail\": [\n        1,\n"
                              "        2\n    ]\n}\n";
    const QByteArray broken = "{\"access_token\": ";
    int brokenCode = 0, emptyCode = 0;
    const QString brokenText = parserText(broken, &brokenCode);
    const QString emptyText = parserText(QByteArray(), &emptyCode);
    QVERIFY(brokenCode != 0 && emptyCode != 0);

    // No network error, JSON content type, parsable body.
    QTest::addRow("200 json") << 200 << none << QByteArray("application/json")
                              << QByteArray("{\"n\": 1, \"s\": \"x\"}") << "finished" << QString()
                              << 200 << QByteArray("{\"n\":1,\"s\":\"x\"}");
    QTest::addRow("200 json with charset, empty object")
        << 200 << none << QByteArray("application/json; charset=utf-8") << QByteArray("{}")
        << "finished" << QString() << 200 << QByteArray("{}");
    QTest::addRow("201 json array")
        << 201 << none << QByteArray("application/json") << QByteArray("[1, 2]") << "finished"
        << QString() << 201 << QByteArray("[1,2]");
    QTest::addRow("202 structured json type")
        << 202 << none << QByteArray("application/problem+json") << QByteArray("{\"a\":true}")
        << "finished" << QString() << 202 << QByteArray("{\"a\":true}");

    // No network error, JSON content type, body not parsable.
    QTest::addRow("200 json truncated") << 200 << none << QByteArray("application/json") << broken
                                        << "error" << brokenText << brokenCode << none;
    QTest::addRow("200 json empty body")
        << 200 << none << QByteArray("application/json") << QByteArray() << "error" << emptyText
        << emptyCode << none;

    // No network error, not JSON: the parser's text for a missing object, body left unread.
    const QString missing = parserText(QJsonParseError::MissingObject);
    QTest::addRow("200 html") << 200 << none << QByteArray("text/html")
                              << QByteArray("<html><body>{\"a\":1}</body></html>") << "error"
                              << missing << 11 << none;
    QTest::addRow("200 json type in capitals")
        << 200 << none << QByteArray("APPLICATION/JSON") << QByteArray("{\"a\":1}") << "error"
        << missing << 11 << none;
    QTest::addRow("204 without content type")
        << 204 << none << none << QByteArray() << "error" << missing << 11 << none;

    // Network error (HTTP error status), JSON parsed: the compact body and the HTTP status.
    QTest::addRow("500 pretty json")
        << 500 << none << QByteArray("application/json") << pretty << "error"
        << "{\"detail\":[1,2],\"error\":\"server_error\"}" << 500 << none;
    QTest::addRow("401 json") << 401 << none << QByteArray("application/json;charset=UTF-8")
                              << QByteArray("{\"error\":\"invalid_client\"}") << "error"
                              << "{\"error\":\"invalid_client\"}" << 401 << none;

    // Network error, JSON not parsable: the reason phrase and the network error.
    QTest::addRow("500 json truncated")
        << 500 << none << QByteArray("application/json") << broken << "error"
        << "Internal Server Error" << int(QNetworkReply::InternalServerError) << none;
    QTest::addRow("503 json empty, empty reason")
        << 503 << QByteArray("") << QByteArray("application/json") << QByteArray() << "error"
        << QString("") << int(QNetworkReply::ServiceUnavailableError) << none;

    // Network error, not JSON: the content type named, and the network error.
    QTest::addRow("500 text/plain")
        << 500 << none << QByteArray("text/plain") << QByteArray("it broke") << "error"
        << notJson.arg("text/plain") << int(QNetworkReply::InternalServerError) << none;
    QTest::addRow("404 html with charset")
        << 404 << none << QByteArray("text/html; charset=utf-8") << QByteArray("<p>gone</p>")
        << "error" << notJson.arg("text/html; charset=utf-8")
        << int(QNetworkReply::ContentNotFoundError) << none;
    QTest::addRow("400 without content type")
        << 400 << none << none << QByteArray("bad") << "error" << notJson.arg(QString())
        << int(QNetworkReply::ProtocolInvalidOperationError) << none;
}

void TestJsonNetworkReply::outcomes()
{
    QFETCH(int, status);
    QFETCH(QByteArray, reason);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(QString, signal);
    QFETCH(QString, message);
    QFETCH(int, code);
    QFETCH(QByteArray, json);

    ScriptedHttpServer server([&](const HttpRequest&) {
        HttpResponse response = HttpResponse::make(status, contentType, body);
        if (!reason.isNull())
            response.reason = reason;
        return response.withHeader("X-Scripted", "outcome");
    });
    QVERIFY(server.isListening());

    auto exchange = send(server.url("/outcome?x=1"));
    QTRY_COMPARE(exchange->reports.size(), 1);
    // The watched reply goes on a later pass of the event loop; nothing is reported after it.
    QTRY_VERIFY(exchange->reply.isNull());
    QCOMPARE(exchange->reports.size(), 1);

    const Report report = exchange->reports.first();
    QCOMPARE(report.signal, signal);
    QCOMPARE(report.code, code);
    if (signal == "finished")
        QCOMPARE(report.document.toJson(QJsonDocument::Compact), json);
    else
        QCOMPARE(report.message, message);

    // Inside the receiving slot the watched reply still answers; a non-JSON body stays unread.
    QVERIFY(report.replyAlive);
    QCOMPARE(report.marker, QByteArray("outcome"));
    QVERIFY(!report.running);
    const bool isJson = contentType.contains("json");
    QCOMPARE(report.unreadBytes, isJson ? 0 : qint64(status == 204 ? 0 : body.size()));

    // Once the watched reply is gone the object answers from nothing.
    QCOMPARE(exchange->json->rawHeader("X-Scripted"), QByteArray());
    QVERIFY(!exchange->json->isRunning());

    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(server.lastRequest().target, QByteArray("/outcome?x=1"));
}

void TestJsonNetworkReply::transportFailures_data()
{
    QTest::addColumn<int>("kind"); // 0 refused connection, otherwise the handler's answer
    QTest::addColumn<HttpResponse>("response");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("code");

    const QString notJson = "Response is not a JSON response but %1";
    const QByteArray token = "{\"access_token\":\"abcdefghijklmnopqrstuvwxyz\",\"mac_key\":\"k\"}";
    QTest::addRow("connection refused") << 0 << HttpResponse() << notJson.arg(QString())
                                        << int(QNetworkReply::ConnectionRefusedError);
    QTest::addRow("closed without answer") << 1 << HttpResponse::refuse() << notJson.arg(QString())
                                           << int(QNetworkReply::RemoteHostClosedError);
    // A JSON answer cut short must not be delivered as a result.
    QTest::addRow("reset in json body")
        << 1 << HttpResponse::resetMidBody(HttpResponse::jsonText(token), 20) << QString("OK")
        << int(QNetworkReply::RemoteHostClosedError);
    QTest::addRow("reset in text body")
        << 1 << HttpResponse::resetMidBody(HttpResponse::text(token)) << notJson.arg("text/plain")
        << int(QNetworkReply::RemoteHostClosedError);
}

void TestJsonNetworkReply::transportFailures()
{
    QFETCH(int, kind);
    QFETCH(HttpResponse, response);
    QFETCH(QString, message);
    QFETCH(int, code);

    ScriptedHttpServer server([&](const HttpRequest&) { return response; });
    QVERIFY(server.isListening());
    const QUrl url = kind == 0
        ? QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(ScriptedHttpServer::unusedPort()))
        : server.url("/fail");

    auto exchange = send(url);
    QTRY_COMPARE(exchange->reports.size(), 1);
    QTRY_VERIFY(exchange->reply.isNull());
    QCOMPARE(exchange->reports.size(), 1);
    const Report report = exchange->reports.first();
    QCOMPARE(report.signal, QString("error"));
    QCOMPARE(report.message, message);
    QCOMPARE(report.code, code);
    QVERIFY(report.replyAlive);
    QCOMPARE(server.requestCount() > 0, kind != 0);
}

void TestJsonNetworkReply::cancelWhileRunning_data()
{
    QTest::addColumn<bool>("useClose");
    QTest::addColumn<bool>("headArrived");
    QTest::addColumn<QString>("message");

    const QString nothing = "Response is not a JSON response but ";
    QTest::addRow("abort before the head") << false << false << nothing;
    QTest::addRow("close before the head") << true << false << nothing;
    // The head (and JSON type) arrived, the body did not: not parsable, so the reason phrase.
    QTest::addRow("abort within the body") << false << true << QString("OK");
}

void TestJsonNetworkReply::cancelWhileRunning()
{
    QFETCH(bool, useClose);
    QFETCH(bool, headArrived);
    QFETCH(QString, message);

    ScriptedHttpServer server([&](const HttpRequest&) {
        if (!headArrived)
            return HttpResponse::noAnswer();
        // Announces more body than it sends and keeps the connection open.
        return HttpResponse::jsonText("{\"a\":").withHeader("Content-Length", "100");
    });
    QVERIFY(server.isListening());
    auto exchange = send(server.url("/slow"));
    JsonNetworkReplyImpl* json = exchange->json.get();
    QVERIFY(server.waitForRequests(1));
    if (headArrived)
        QTRY_VERIFY(exchange->reply->bytesAvailable() > 0);
    QVERIFY(json->isRunning());

    if (useClose)
        json->close();
    else
        json->abort();

    // Reported before abort() or close() returned, and the reply is still there: it goes only
    // on the next pass of the event loop.
    QCOMPARE(exchange->reports.size(), 1);
    QCOMPARE(exchange->reports.first().signal, QString("error"));
    QCOMPARE(exchange->reports.first().message, message);
    QCOMPARE(exchange->reports.first().code, int(QNetworkReply::OperationCanceledError));
    QVERIFY(!exchange->reply.isNull());
    QVERIFY(!json->isRunning());

    json->abort(); // a finished reply has nothing left to report
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(exchange->reply.isNull());
    json->abort();
    json->close();
    QCOMPARE(exchange->reports.size(), 1);
}

void TestJsonNetworkReply::reportsOnceWhenFinishedIsAnnouncedAgain()
{
    ScriptedHttpServer server([](const HttpRequest&) { return HttpResponse::json(QJsonObject()); });
    QVERIFY(server.isListening());
    auto exchange = send(server.url("/twice"));
    // Announce the end again from inside the receiver, and again once it has returned.
    bool again = false;
    connect(exchange->json.get(), &JsonNetworkReplyImpl::finished, this, [&] {
        if (!again) {
            again = true;
            emit exchange->reply->finished();
        }
    });
    QTRY_COMPARE(exchange->reports.size(), 1);
    QVERIFY(again);
    if (exchange->reply)
        emit exchange->reply->finished();
    QTRY_VERIFY(exchange->reply.isNull());
    QCOMPARE(exchange->reports.size(), 1);
    QCOMPARE(exchange->reports.first().signal, QString("finished"));
}

void TestJsonNetworkReply::bodyNeverReachesTheLog()
{
    const QByteArray secrets[] = { "tok-3f9a1c", "mac-7be2d4", "ref-51c0aa", "code-9e8d7c" };
    ScriptedHttpServer server([&](const HttpRequest& request) {
        const QJsonObject body { { "access_token", QString(secrets[0]) },
            { "mac_key", QString(secrets[1]) }, { "refresh_token", QString(secrets[2]) } };
        return HttpResponse::json(body, request.path == "/refused" ? 400 : 200);
    });
    QVERIFY(server.isListening());

    capturedLog.clear();
    QLoggingCategory::setFilterRules("zel.network.*.debug=true");
    const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
    auto ok = send(server.url("/token?code=" + secrets[3]));
    auto refused = send(server.url("/refused?code=" + secrets[3]));
    const bool reported
        = QTest::qWaitFor([&] { return ok->reports.size() + refused->reports.size() == 2; });
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());

    QVERIFY(reported);
    QCOMPARE(ok->reports.first().signal, QString("finished"));
    QVERIFY(!capturedLog.isEmpty()); // the exchange was logged ...
    for (const QString& line : qAsConst(capturedLog)) {
        for (const QByteArray& secret : secrets) // ... without any secret
            QVERIFY2(!line.contains(QString(secret)), qPrintable(line));
    }
}

void TestJsonNetworkReply::castByName_data()
{
    QTest::addColumn<QByteArray>("name"); // null: a null name
    QTest::addColumn<int>("expected"); // 0 null, 1 the object, 2 its interface part

    QTest::addRow("null") << QByteArray() << 0;
    QTest::addRow("class name") << QByteArray("JsonNetworkReplyImpl") << 1;
    QTest::addRow("interface class") << QByteArray("zel::network::JsonNetworkReply") << 2;
    QTest::addRow("interface id") << QByteArray("zel.network.JsonNetworkReply") << 2;
    QTest::addRow("QObject") << QByteArray("QObject") << 1;
    QTest::addRow("unknown") << QByteArray("zel::network::AuthenticatedReply") << 0;
    QTest::addRow("interface without namespace") << QByteArray("JsonNetworkReply") << 0;
}

void TestJsonNetworkReply::castByName()
{
    QFETCH(QByteArray, name);
    QFETCH(int, expected);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("without a network reply"));
    JsonNetworkReplyImpl object(nullptr);
    zel::network::JsonNetworkReply* part = &object;
    QVERIFY(static_cast<void*>(part) != static_cast<void*>(&object));

    void* const answers[] = { nullptr, static_cast<void*>(&object), static_cast<void*>(part) };
    QCOMPARE(object.qt_metacast(name.isNull() ? nullptr : name.constData()), answers[expected]);
}

void TestJsonNetworkReply::metaObjectLayout()
{
    const QMetaObject& meta = JsonNetworkReplyImpl::staticMetaObject;
    QCOMPARE(meta.className(), "JsonNetworkReplyImpl");
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 5);
    const struct {
        const char* signature;
        QMetaMethod::MethodType type;
        QMetaMethod::Access access;
    } expected[] = {
        { "finished(int,QJsonDocument)", QMetaMethod::Signal, QMetaMethod::Public },
        { "error(QString,int)", QMetaMethod::Signal, QMetaMethod::Public },
        { "abort()", QMetaMethod::Slot, QMetaMethod::Public },
        { "close()", QMetaMethod::Slot, QMetaMethod::Public },
        { "onFinished()", QMetaMethod::Slot, QMetaMethod::Private },
    };
    for (int i = 0; i < 5; ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), QByteArray(expected[i].signature));
        QCOMPARE(method.methodType(), expected[i].type);
        QCOMPARE(method.access(), expected[i].access);
    }
    QCOMPARE(meta.method(meta.methodOffset()).parameterNames(),
        QList<QByteArray>({ "statusCode", "result" }));
    QCOMPARE(meta.method(meta.methodOffset() + 1).parameterNames(),
        QList<QByteArray>({ "message", "code" }));
}

void TestJsonNetworkReply::withoutReply()
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("without a network reply"));
    JsonNetworkReplyImpl object(nullptr);
    QSignalSpy finished(&object, &JsonNetworkReplyImpl::finished);
    QSignalSpy failed(&object, &JsonNetworkReplyImpl::error);
    zel::network::JsonNetworkReply* part = qobject_cast<zel::network::JsonNetworkReply*>(&object);
    QVERIFY(part);
    QCOMPARE(part->object(), &object);
    QVERIFY(!object.isRunning());
    QCOMPARE(part->rawHeader("Content-Type"), QByteArray());
    object.abort();
    object.close();
    QVERIFY(QMetaObject::invokeMethod(&object, "onFinished"));
    QCOMPARE(finished.size() + failed.size(), 0);
}

QTEST_GUILESS_MAIN(TestJsonNetworkReply)
#include "tst_jsonnetworkreply.moc"
