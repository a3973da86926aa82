#pragma once

// A scripted HTTP/1.1 server for tests. It listens on 127.0.0.1, hands every request to the
// test's handler, answers as the handler says (or misbehaves on purpose), and records each
// request as it arrived on the wire so that tests can assert on exact bytes.
//
//     zel::test::ScriptedHttpServer server([](const zel::test::HttpRequest& request) {
//         if (request.path != "/oauth/token")
//             return zel::test::HttpResponse::text("nope", 404);
//         return zel::test::HttpResponse::json(QJsonObject { { "access_token", "x" } });
//     });
//     QVERIFY(server.isListening());
//     manager.get(QNetworkRequest(server.url("/oauth/token?grant_type=x")));
//     QVERIFY(server.waitForRequests(1));
//     QCOMPARE(server.requests().at(0).header("accept"), QByteArray("application/json"));

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUrl>

#include <functional>
#include <optional>
#include <utility>

namespace zel::test {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// One request as received.
struct HttpRequest {
    QByteArray method;
    QByteArray target; // the request target exactly as sent, e.g. "/login?response_type=code"
    QByteArray path; // target before '?', still percent-encoded
    HeaderList headers; // names and values as sent, in order (values without surrounding blanks)
    QByteArray body;
    QByteArray raw; // every byte of the request: request line, headers and body

    // First value of the header, name compared case-insensitively; null when absent, empty (not
    // null) when sent without a value.
    QByteArray header(const QByteArray& name) const
    {
        for (const auto& h : headers)
            if (h.first.compare(name, Qt::CaseInsensitive) == 0)
                return h.second.isNull() ? QByteArray("") : h.second;
        return QByteArray();
    }
    bool hasHeader(const QByteArray& name) const { return !header(name).isNull(); }

    // User name and password of an "Authorization: Basic" header (RFC 7617).
    std::optional<std::pair<QString, QString>> basicCredentials() const
    {
        const QByteArray value = header("Authorization");
        const QString decoded = QString::fromUtf8(QByteArray::fromBase64(value.mid(6).trimmed()));
        const int colon = decoded.indexOf(':');
        if (!value.startsWith("Basic ") || colon < 0)
            return std::nullopt;
        return std::make_pair(decoded.left(colon), decoded.mid(colon + 1));
    }
};

// What the server does with a request.
struct HttpResponse {
    // Answer: send the response. ResetMidBody: send the head and part of the body, then abort the
    // connection. NoAnswer: keep the connection open and never answer.
    enum class Action { Answer, ResetMidBody, NoAnswer };

    Action action = Action::Answer;
    int status = 200;
    std::optional<QByteArray> reason; // unset: the usual phrase for the status; may be empty
    HeaderList headers; // sent in this order; repeats allowed (Set-Cookie)
    // Content-Length is added unless the headers already carry one (or the status has no body).
    QByteArray body;
    qint64 bytesBeforeReset = 0; // ResetMidBody: body bytes sent

    HttpResponse& withHeader(const QByteArray& name, const QByteArray& value)
    {
        headers.append({ name, value });
        return *this;
    }
    HttpResponse& withReason(const QByteArray& phrase)
    {
        reason = phrase;
        return *this;
    }

    static HttpResponse make(int status, const QByteArray& contentType, const QByteArray& body)
    {
        HttpResponse r { Action::Answer, status, std::nullopt, {}, body, 0 };
        if (!contentType.isNull())
            r.headers.append({ "Content-Type", contentType });
        return r;
    }
    static HttpResponse json(const QJsonDocument& document, int status = 200)
    {
        return make(status, "application/json", document.toJson(QJsonDocument::Compact));
    }
    static HttpResponse json(const QJsonObject& object, int status = 200)
    {
        return json(QJsonDocument(object), status);
    }
    // A body sent as it stands under a JSON content type (for broken or pretty JSON).
    static HttpResponse jsonText(const QByteArray& body, int status = 200)
    {
        return make(status, "application/json", body);
    }
    static HttpResponse html(const QByteArray& body, int status = 200)
    {
        return make(status, "text/html; charset=utf-8", body);
    }
    static HttpResponse text(const QByteArray& body, int status = 200)
    {
        return make(status, "text/plain", body);
    }
    static HttpResponse redirect(const QByteArray& location, int status = 302)
    {
        return make(status, QByteArray(), QByteArray()).withHeader("Location", location);
    }
    // 401 with a Basic challenge (RFC 7617); Qt sends URL or authenticator credentials only
    // after such a challenge.
    static HttpResponse basicChallenge()
    {
        return make(401, "text/plain", "authentication required")
            .withHeader("WWW-Authenticate", "Basic realm=\"test\"");
    }
    static HttpResponse noAnswer() { return { Action::NoAnswer, 200, {}, {}, {}, 0 }; }
    // The head of `response` with a Content-Length of its whole body, then `bytesSent` bytes
    // of the body (-1: half of it), then the connection is aborted.
    static HttpResponse resetMidBody(HttpResponse response, qint64 bytesSent = -1)
    {
        response.action = Action::ResetMidBody;
        response.bytesBeforeReset = bytesSent < 0 ? response.body.size() / 2 : bytesSent;
        return response;
    }
};

class ScriptedHttpServer : public QTcpServer {
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    // Plain HTTP on 127.0.0.1 and a free port.
    explicit ScriptedHttpServer(Handler handler)
        : m_handler(std::move(handler))
    {
        listen(QHostAddress::LocalHost, 0);
    }
    ~ScriptedHttpServer() override { closeConnections(); }

    // Serves HTTPS from now on, with the self-signed certificate for 127.0.0.1 in `directory`
    // (key.pem, cert.pem: made on the build host by a CTest fixture, so that a test running as a
    // Windows program needs no openssl); returns it for the client to trust, null on failure.
    QSslCertificate serveTls(const QString& directory)
    {
        const QString key = directory + "/key.pem", certificate = directory + "/cert.pem";
        QFile keyFile(key);
        keyFile.open(QIODevice::ReadOnly);
        m_key = QSslKey(&keyFile, QSsl::Rsa);
        m_certificate = QSslCertificate::fromPath(certificate).value(0);
        return m_key.isNull() ? QSslCertificate() : m_certificate;
    }

    // "http://127.0.0.1:PORT" (https once serving TLS), without trailing slash.
    QString origin() const
    {
        return QStringLiteral("%1://127.0.0.1:%2")
            .arg(m_key.isNull() ? "http" : "https")
            .arg(serverPort());
    }
    // The origin with a path (and query) appended as text, e.g. url("/oauth/token").
    QUrl url(const QString& pathAndQuery = "/") const { return QUrl(origin() + pathAndQuery); }

    QList<HttpRequest> requests() const { return m_requests; }
    int requestCount() const { return m_requests.size(); }
    void clearRequests() { m_requests.clear(); }

    // Spins the event loop until at least `count` requests have arrived.
    bool waitForRequests(int count, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return m_requests.size() >= count; }, timeoutMs);
    }

    // Aborts every open connection, including those left waiting by noAnswer().
    void closeConnections()
    {
        for (QTcpSocket* socket : std::exchange(m_connections, {}).keys()) {
            socket->disconnect(this);
            socket->abort();
            socket->deleteLater();
        }
    }

    // Wraps a handler so that requests without the right Basic credentials get a challenge.
    static Handler requireBasicAuth(const QString& user, const QString& password, Handler inner)
    {
        return [=](const HttpRequest& request) {
            if (request.basicCredentials() != std::make_pair(user, password))
                return HttpResponse::basicChallenge();
            return inner(request);
        };
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = m_key.isNull() ? new QTcpSocket(this) : new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        if (auto* tls = qobject_cast<QSslSocket*>(socket)) {
            tls->setLocalCertificate(m_certificate);
            tls->setPrivateKey(m_key);
            tls->startServerEncryption();
        }
        m_connections.insert(socket, Connection());
        connect(socket, &QIODevice::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QAbstractSocket::disconnected, this, [this, socket] {
            m_connections.remove(socket);
            socket->deleteLater();
        });
    }

private:
    struct Connection {
        QByteArray buffer;
        bool silent = false; // no further answers on this connection
    };

    void readFrom(QTcpSocket* socket)
    {
        // The handler may close the connection or spin the event loop.
        const QPointer<QTcpSocket> guard(socket);
        while (guard && m_connections.contains(socket) && !m_connections[socket].silent) {
            QByteArray& buffer = m_connections[socket].buffer;
            buffer += socket->readAll();
            const std::optional<HttpRequest> request = takeRequest(buffer);
            if (!request)
                return;
            m_requests.append(*request);
            const HttpResponse response = m_handler(*request);
            if (guard && m_connections.contains(socket))
                respond(socket, response);
        }
    }

    // Takes one complete request off the buffer, if one has fully arrived (requests may come
    // split across segments or pipelined).
    static std::optional<HttpRequest> takeRequest(QByteArray& buffer)
    {
        const int headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return std::nullopt;
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        HttpRequest request { requestLine.value(0), requestLine.value(1), {}, {}, {}, {} };
        request.path = request.target.split('?').value(0);
        for (const QByteArray& line : lines.mid(1)) {
            const int colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({ line.left(colon), line.mid(colon + 1).trimmed() });
        }
        const qint64 total = headEnd + 4 + request.header("Content-Length").toLongLong();
        if (buffer.size() < total)
            return std::nullopt;
        request.raw = buffer.left(int(total));
        request.body = request.raw.mid(headEnd + 4);
        buffer.remove(0, int(total));
        return request;
    }

    void respond(QTcpSocket* socket, const HttpResponse& response)
    {
        using Action = HttpResponse::Action;
        m_connections[socket].silent = response.action != Action::Answer;
        if (response.action == Action::NoAnswer)
            return;

        // The phrases that the tests expect; others read "Status <code>".
        static const QHash<int, QByteArray> phrases { { 200, "OK" }, { 302, "Found" },
            { 404, "Not Found" }, { 422, "Unprocessable Entity" } };
        const QByteArray code = QByteArray::number(response.status);
        QByteArray head = "HTTP/1.1 " + code + ' '
            + response.reason.value_or(phrases.value(response.status, "Status " + code)) + "\r\n";
        bool hasLength = false;
        for (const auto& h : response.headers) {
            head += h.first + ": " + h.second + "\r\n";
            hasLength = hasLength || h.first.compare("Content-Length", Qt::CaseInsensitive) == 0;
        }
        const bool bodyless = response.status == 204 || response.status == 304;
        if (!hasLength && !bodyless)
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";

        const bool reset = response.action == Action::ResetMidBody;
        const qint64 sent = bodyless ? 0 : reset ? response.bytesBeforeReset : response.body.size();
        socket->write(head + "\r\n" + response.body.left(int(sent)));
        if (reset) {
            socket->waitForBytesWritten(1000);
            socket->abort();
        }
    }

    Handler m_handler;
    QSslCertificate m_certificate;
    QSslKey m_key;
    QHash<QTcpSocket*, Connection> m_connections;
    QList<HttpRequest> m_requests;
};

} // namespace zel::test
