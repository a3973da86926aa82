// JSON replies over loopback HTTP: every outcome of a finished reply, abort, the release of the
// watched reply, and what reaches the log.

#include "JsonNetworkReplyImpl.h"
#include "ScriptedHttpServer.h"
#include "TestLog.h"

#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtTest>

#include <memory>

using namespace zel;
using namespace zel::test;
using zel::network::ErrorKind;

Q_DECLARE_METATYPE(zel::test::HttpResponse)

namespace {

// Sent by the server or to it; none of them may reach the log.
const QStringList secrets { "tok-3f9a1c", "mac-7be2d4", "code-9e8d7c" };

// One report, and the watched reply as the receiving slot saw it. finished(status, document)
// is recorded as the code `status` and the message "finished <document as compact JSON>".
struct Report {
    QString message;
    int code;
    qint64 unreadBytes; // of the watched reply; -1 when it is gone already
};

struct Exchange {
    std::unique_ptr<JsonNetworkReplyImpl> json;
    QPointer<QNetworkReply> reply;
    QList<Report> reports;
};

// Sends a GET as the system does: a manager for this one request, released when its reply
// finishes, and the JSON reply created right after the request was handed over.
std::unique_ptr<Exchange> send(const QUrl& url, qint64 limit)
{
    auto e = std::make_unique<Exchange>();
    auto* manager = new QNetworkAccessManager;
    e->reply = manager->get(QNetworkRequest(url));
    QObject::connect(e->reply, &QNetworkReply::finished, manager, &QObject::deleteLater);
    e->json = std::make_unique<JsonNetworkReplyImpl>(e->reply);
    if (limit > 0)
        e->json->setMaximumSize(limit);
    const auto record = [e = e.get()](const QString& message, int code) {
        e->reports.append({ message, code, e->reply ? e->reply->bytesAvailable() : -1 });
        if (e->reply) // the end announced again must not bring a second report
            emit e->reply->finished();
    };
    QObject::connect(e->json.get(), &JsonNetworkReplyImpl::finished,
        [record](int status, const QJsonDocument& document) {
            record("finished " + document.toJson(QJsonDocument::Compact), status);
        });
    QObject::connect(e->json.get(), &JsonNetworkReplyImpl::error,
        [record](const QString& message, int code) { record(message, code); });
    return e;
}

} // namespace

class tst_jsonnetworkreply : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void outcomes_data();
    void outcomes();
};

void tst_jsonnetworkreply::initTestCase() { watchLog(true); }

void tst_jsonnetworkreply::outcomes_data()
{
    QTest::addColumn<HttpResponse>("response");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("code");
    QTest::addColumn<qint64>("limit"); // 0: none
    QTest::addColumn<ErrorKind>("kind"); // what the property "errorKind" holds afterwards

    const QString notJson = "Response is not a JSON response but ";
    const QJsonParseError notObject { 0, QJsonParseError::MissingObject };
    const QString missing = notObject.errorString();
    QJsonParseError empty;
    QJsonDocument::fromJson(QByteArray(), &empty);
    const QByteArray token = "{\"access_token\":\"" + secrets[0].toUtf8() + "\"}";
    const QByteArray pretty = "{\n    \"mac_key\": \"" + secrets[1].toUtf8() + "\"\n}\n";

    const auto row = [](const char* name, const HttpResponse& response, const QString& message,
                         int code, ErrorKind kind, qint64 limit = 0) {
        QTest::addRow("%s", name) << response << message << code << limit << kind;
    };
    const ErrorKind none = ErrorKind::NoError, unexpected = ErrorKind::UnexpectedAnswer,
                    refused = ErrorKind::RefusedByServer, network = ErrorKind::NetworkFailure;
    // No network error: JSON parsed, JSON not parsable, not JSON (the body left unread).
    row("json;charset {}", HttpResponse::make(200, "application/json;charset=utf-8", "{}"),
        "finished {}", 200, none);
    row("empty json body", HttpResponse::jsonText(""), empty.errorString(), empty.error,
        unexpected);
    row("200 text/html", HttpResponse::make(200, "text/html", token), missing, notObject.error,
        unexpected);
    row("APPLICATION/JSON", HttpResponse::make(200, "APPLICATION/JSON", token), missing,
        notObject.error, unexpected);
    // Network error: a parsed JSON body as compact text with the HTTP status; else the reason
    // phrase (the standard one when the answer has none) or the content type, with the network
    // error; a connection that broke or was aborted says so, whatever part of the answer came.
    row("500 pretty json", HttpResponse::jsonText(pretty, 500),
        "{\"mac_key\":\"" + secrets[1] + "\"}", 500, refused);
    row("reset mid-body", HttpResponse::resetMidBody(HttpResponse::jsonText(token), 20),
        "Connection closed", QNetworkReply::RemoteHostClosedError, network);
    row("401 broken JSON, no reason phrase", HttpResponse::jsonText("{", 401).withReason(""),
        "Unauthorized", QNetworkReply::AuthenticationRequiredError, refused);
    row("500 text/plain", HttpResponse::text(token, 500), notJson + "text/plain",
        QNetworkReply::InternalServerError, refused);
    row("aborted", HttpResponse::noAnswer(), "Operation canceled",
        QNetworkReply::OperationCanceledError, network);
    // Limits: the announced length or the bytes received; no limit unless set.
    const qint64 mib = 1 << 20;
    const QByteArray atLimit = "{}" + QByteArray(mib - 2, ' '), tooLarge = atLimit + ' ';
    const QString exceeds = "The server's answer exceeds 1 MiB";
    const int failure = QNetworkReply::ProtocolFailure;
    row("at the limit", HttpResponse::jsonText(atLimit), "finished {}", 200, none, mib);
    row("past the limit", HttpResponse::jsonText(tooLarge), exceeds, failure, unexpected, mib);
    row("no limit set", HttpResponse::jsonText(tooLarge), "finished {}", 200, none);
    row("announced past the limit",
        HttpResponse::jsonText("{}").withHeader("Content-Length", "4000000000"), exceeds, failure,
        unexpected, mib);
    QByteArray chunked;
    for (int i = 0; i < 3; ++i)
        chunked
            += QByteArray::number(atLimit.size() / 2, 16) + "\r\n" + atLimit.left(mib / 2) + "\r\n";
    row("chunked, no length",
        HttpResponse::jsonText(chunked + "0\r\n\r\n")
            .withHeader("Transfer-Encoding", "chunked")
            .withHeader("Content-Length", ""),
        exceeds, failure, unexpected, mib);
}

void tst_jsonnetworkreply::outcomes()
{
    QFETCH(HttpResponse, response);
    QFETCH(QString, message);
    QFETCH(int, code);
    QFETCH(qint64, limit);
    QFETCH(ErrorKind, kind);
    const int failure = QNetworkReply::ProtocolFailure;

    ScriptedHttpServer server([&](const HttpRequest&) { return response; });
    const QUrl url = server.url("/token?code=" + secrets[2]);
    if (code == failure)
        expectWarning(QRegularExpression("passes 1048576 bytes; aborted$"));
    const qsizetype logged = logLines().size();
    auto e = send(url, limit);
    if (response.action == HttpResponse::Action::NoAnswer) {
        QVERIFY(server.waitForRequests(1));
        e->json->abort();
        QCOMPARE(e->reports.size(), 1); // reported before abort() returned
    }
    QTRY_COMPARE(e->reports.size(), 1);
    QCOMPARE(e->reports.first().message, message);
    QCOMPARE(e->reports.first().code, code);
    // As a host reads it, through the meta-object.
    QCOMPARE(e->json->property("errorKind").value<ErrorKind>(), kind);

    // In the receiver the watched reply is still there, and a non-JSON body still unread.
    const bool json = response.headers.value(0).second.contains("json");
    if (code != failure) // an answer too large is not read, whatever arrived of it
        QCOMPARE(e->reports.first().unreadBytes, json ? 0 : response.body.size());
    // It goes on a later pass of the event loop; nothing is reported after that.
    QTRY_VERIFY(e->reply.isNull());
    e->json->abort();
    QCOMPARE(e->reports.size(), 1);

    const QString log = logLines().mid(logged).join('\n');
    QVERIFY(!log.isEmpty()); // the exchange was logged, without any secret
    for (const QString& secret : secrets)
        QVERIFY2(!log.contains(secret), qPrintable(log));
}

QTEST_GUILESS_MAIN(tst_jsonnetworkreply)
#include "tst_jsonnetworkreply.moc"
