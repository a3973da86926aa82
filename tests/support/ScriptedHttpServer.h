#pragma once

// A scripted HTTP/1.1 server for tests. It listens on 127.0.0.1, hands every request to the
// test's handler, answers as the handler says (or misbehaves on purpose), and records each
// request as it arrived on the wire so that tests can assert on exact bytes. Optionally TLS.
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
#include <QDir>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUrl>
#include <QUrlQuery>

#include <functional>
#include <optional>
#include <utility>

namespace zel::test {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// Decodes application/x-www-form-urlencoded text ('+' is a space), keeping order and repeats.
inline QList<QPair<QString, QString>> decodeFormText(const QByteArray& text)
{
    QList<QPair<QString, QString>> items;
    if (text.isEmpty())
        return items;
    for (const QByteArray& part : text.split('&')) {
        const int eq = part.indexOf('=');
        QByteArray name = eq < 0 ? part : part.left(eq);
        QByteArray value = eq < 0 ? QByteArray() : part.mid(eq + 1);
        name.replace('+', ' ');
        value.replace('+', ' ');
        items.append({ QUrl::fromPercentEncoding(name), QUrl::fromPercentEncoding(value) });
    }
    return items;
}

// One request as received.
struct HttpRequest {
    int connectionId = 0; // 1 for the first accepted connection, 2 for the next, ...
    QByteArray method;
    QByteArray target; // the request target exactly as sent, e.g. "/login?response_type=code"
    QByteArray path; // target before '?', still percent-encoded
    QByteArray rawQuery; // target after '?' (without it), as sent; empty when none
    bool hasQuery = false; // the target contained '?'
    QByteArray version; // "HTTP/1.1"
    HeaderList headers; // names and values as sent, in order (values without surrounding blanks)
    QByteArray body;
    QByteArray raw; // every byte of the request: request line, headers and body

    // First value of the header, name compared case-insensitively; null when absent.
    QByteArray header(const QByteArray& name) const
    {
        for (const auto& h : headers) {
            if (h.first.compare(name, Qt::CaseInsensitive) == 0)
                return h.second;
        }
        return QByteArray();
    }
    QList<QByteArray> headerValues(const QByteArray& name) const
    {
        QList<QByteArray> values;
        for (const auto& h : headers) {
            if (h.first.compare(name, Qt::CaseInsensitive) == 0)
                values.append(h.second);
        }
        return values;
    }
    bool hasHeader(const QByteArray& name) const { return !headerValues(name).isEmpty(); }

    QString decodedPath() const { return QUrl::fromPercentEncoding(path); }
    // The query as decoded URL text ('+' stays '+').
    QUrlQuery query() const { return QUrlQuery(QString::fromLatin1(rawQuery)); }
    QString queryItem(const QString& name) const
    {
        return query().queryItemValue(name, QUrl::FullyDecoded);
    }
    // The body read as an HTML form.
    QList<QPair<QString, QString>> formItems() const { return decodeFormText(body); }
    QString formValue(const QString& name) const
    {
        for (const auto& item : formItems()) {
            if (item.first == name)
                return item.second;
        }
        return QString();
    }

    // User name and password of an "Authorization: Basic" header (RFC 7617).
    std::optional<std::pair<QString, QString>> basicCredentials() const
    {
        const QByteArray value = header("Authorization");
        if (!value.startsWith("Basic "))
            return std::nullopt;
        const QByteArray decoded = QByteArray::fromBase64(value.mid(6).trimmed());
        const int colon = decoded.indexOf(':');
        if (colon < 0)
            return std::nullopt;
        return std::make_pair(
            QString::fromUtf8(decoded.left(colon)), QString::fromUtf8(decoded.mid(colon + 1)));
    }
};

// What the server does with a request.
struct HttpResponse {
    enum class Action {
        Answer, // send the response
        Refuse, // close the connection without answering
        ResetMidBody, // send the head and part of the body, then abort the connection
        NoAnswer, // keep the connection open and never answer
    };

    Action action = Action::Answer;
    int status = 200;
    std::optional<QByteArray> reason; // unset: the usual phrase for the status; may be empty
    HeaderList headers; // sent in this order; repeats allowed (Set-Cookie)
    QByteArray body;
    // Content-Length is added unless the headers already carry one (or the status has no body).
    bool closeAfter = false; // add "Connection: close" and close once sent
    qint64 bytesBeforeReset = -1; // ResetMidBody: body bytes sent; -1 for half the body

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
        HttpResponse r;
        r.status = status;
        if (!contentType.isNull())
            r.headers.append({ "Content-Type", contentType });
        r.body = body;
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
    static HttpResponse basicChallenge(const QByteArray& realm = "test")
    {
        return make(401, "text/plain", "authentication required")
            .withHeader("WWW-Authenticate", "Basic realm=\"" + realm + "\"");
    }
    static HttpResponse refuse()
    {
        HttpResponse r;
        r.action = Action::Refuse;
        return r;
    }
    static HttpResponse noAnswer()
    {
        HttpResponse r;
        r.action = Action::NoAnswer;
        return r;
    }
    // The head of `response` with a Content-Length of its whole body, then `bytesSent` bytes
    // of the body (-1: half of it), then the connection is aborted.
    static HttpResponse resetMidBody(HttpResponse response, qint64 bytesSent = -1)
    {
        response.action = Action::ResetMidBody;
        response.bytesBeforeReset = bytesSent;
        return response;
    }

    static QByteArray standardReason(int status)
    {
        switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 202:
            return "Accepted";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 304:
            return "Not Modified";
        case 307:
            return "Temporary Redirect";
        case 308:
            return "Permanent Redirect";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 409:
            return "Conflict";
        case 410:
            return "Gone";
        case 422:
            return "Unprocessable Entity";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        default:
            return "Status " + QByteArray::number(status);
        }
    }
};

class ScriptedHttpServer : public QTcpServer {
    Q_OBJECT

public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    // Plain HTTP on 127.0.0.1 and a free port.
    explicit ScriptedHttpServer(Handler handler = {}, QObject* parent = nullptr)
        : QTcpServer(parent)
        , m_handler(std::move(handler))
    {
        listen(QHostAddress::LocalHost, 0);
    }
    // HTTPS with the given server configuration (certificate and private key).
    ScriptedHttpServer(const QSslConfiguration& tls, Handler handler, QObject* parent = nullptr)
        : QTcpServer(parent)
        , m_handler(std::move(handler))
        , m_tls(tls)
    {
        listen(QHostAddress::LocalHost, 0);
    }
    ~ScriptedHttpServer() override
    {
        close();
        closeConnections();
    }

    void setHandler(Handler handler) { m_handler = std::move(handler); }

    bool isTls() const { return m_tls.has_value(); }
    quint16 port() const { return serverPort(); }
    // "http://127.0.0.1:PORT" (or https), without trailing slash.
    QString origin() const
    {
        return QStringLiteral("%1://127.0.0.1:%2")
            .arg(isTls() ? QStringLiteral("https") : QStringLiteral("http"))
            .arg(serverPort());
    }
    // The origin with a path (and query) appended as text, e.g. url("/oauth/token").
    QUrl url(const QString& pathAndQuery = QStringLiteral("/")) const
    {
        return QUrl(origin() + pathAndQuery);
    }

    QList<HttpRequest> requests() const { return m_requests; }
    int requestCount() const { return m_requests.size(); }
    HttpRequest lastRequest() const
    {
        return m_requests.isEmpty() ? HttpRequest() : m_requests.last();
    }
    void clearRequests() { m_requests.clear(); }
    // Connections accepted so far (kept-alive connections count once).
    int connectionCount() const { return m_connectionCount; }

    // Spins the event loop until at least `count` requests have arrived.
    bool waitForRequests(int count, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return m_requests.size() >= count; }, timeoutMs);
    }

    // Aborts every open connection, including those left waiting by noAnswer().
    void closeConnections()
    {
        const auto sockets = m_connections.keys();
        for (QTcpSocket* socket : sockets) {
            m_connections.remove(socket);
            socket->disconnect(this);
            socket->abort();
            socket->deleteLater();
        }
    }

    // A port on 127.0.0.1 that nothing listens on (it was free a moment ago).
    static quint16 unusedPort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = probe.serverPort();
        probe.close();
        return port;
    }

    // Wraps a handler so that requests without the right Basic credentials get a challenge.
    static Handler requireBasicAuth(const QString& user, const QString& password, Handler inner,
        const QByteArray& realm = "test")
    {
        return [=](const HttpRequest& request) {
            const auto credentials = request.basicCredentials();
            if (!credentials || credentials->first != user || credentials->second != password)
                return HttpResponse::basicChallenge(realm);
            return inner(request);
        };
    }

signals:
    // A request has been recorded as requests().at(index); emitted before the handler runs.
    void requestReceived(int index);

protected:
    void incomingConnection(qintptr descriptor) override
    {
        QTcpSocket* socket = nullptr;
        if (m_tls) {
            auto* ssl = new QSslSocket(this);
            if (!ssl->setSocketDescriptor(descriptor)) {
                delete ssl;
                return;
            }
            ssl->setSslConfiguration(*m_tls);
            ssl->startServerEncryption();
            socket = ssl;
        } else {
            socket = new QTcpSocket(this);
            if (!socket->setSocketDescriptor(descriptor)) {
                delete socket;
                return;
            }
        }
        Connection connection;
        connection.id = ++m_connectionCount;
        m_connections.insert(socket, connection);
        connect(socket, &QIODevice::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QAbstractSocket::disconnected, this, [this, socket] {
            m_connections.remove(socket);
            socket->deleteLater();
        });
    }

private:
    struct Connection {
        int id = 0;
        QByteArray buffer;
        bool silent = false; // no further answers on this connection
    };

    void readFrom(QTcpSocket* socket)
    {
        QPointer<QTcpSocket> guard(socket);
        while (guard && m_connections.contains(socket)) {
            Connection& connection = m_connections[socket];
            connection.buffer += socket->readAll();
            if (connection.silent) {
                connection.buffer.clear();
                return;
            }
            std::optional<HttpRequest> request = takeRequest(connection);
            if (!request)
                return;
            m_requests.append(*request);
            emit requestReceived(m_requests.size() - 1);
            const HttpResponse response
                = m_handler ? m_handler(*request) : HttpResponse::text("no handler", 500);
            if (guard && m_connections.contains(socket))
                respond(socket, response);
        }
    }

    // Takes one complete request off the connection's buffer, if one has fully arrived.
    static std::optional<HttpRequest> takeRequest(Connection& connection)
    {
        QByteArray& buffer = connection.buffer;
        const int headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return std::nullopt;
        HttpRequest request;
        request.connectionId = connection.id;
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        request.version = requestLine.value(2);
        const int question = request.target.indexOf('?');
        request.hasQuery = question >= 0;
        request.path = question < 0 ? request.target : request.target.left(question);
        request.rawQuery = question < 0 ? QByteArray() : request.target.mid(question + 1);
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i);
            const int colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({ line.left(colon), line.mid(colon + 1).trimmed() });
        }
        const qint64 length = request.header("Content-Length").toLongLong();
        const qint64 total = headEnd + 4 + length;
        if (buffer.size() < total)
            return std::nullopt;
        request.body = buffer.mid(headEnd + 4, int(length));
        request.raw = buffer.left(int(total));
        buffer.remove(0, int(total));
        return request;
    }

    void respond(QTcpSocket* socket, const HttpResponse& response)
    {
        Connection& connection = m_connections[socket];
        switch (response.action) {
        case HttpResponse::Action::NoAnswer:
            connection.silent = true;
            return;
        case HttpResponse::Action::Refuse:
            connection.silent = true;
            socket->disconnectFromHost();
            return;
        case HttpResponse::Action::Answer:
        case HttpResponse::Action::ResetMidBody:
            break;
        }

        const int status = response.status;
        const bool bodyless = (status >= 100 && status < 200) || status == 204 || status == 304;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' '
            + response.reason.value_or(HttpResponse::standardReason(status)) + "\r\n";
        bool hasLength = false;
        for (const auto& h : response.headers) {
            head += h.first + ": " + h.second + "\r\n";
            hasLength = hasLength || h.first.compare("Content-Length", Qt::CaseInsensitive) == 0;
        }
        if (!hasLength && !bodyless)
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        if (response.closeAfter)
            head += "Connection: close\r\n";
        head += "\r\n";

        if (response.action == HttpResponse::Action::ResetMidBody) {
            const qint64 sent = response.bytesBeforeReset < 0 ? response.body.size() / 2
                                                              : response.bytesBeforeReset;
            connection.silent = true;
            socket->write(head + response.body.left(int(sent)));
            socket->flush();
            socket->waitForBytesWritten(1000);
            socket->abort();
            return;
        }
        socket->write(head);
        if (!bodyless)
            socket->write(response.body);
        if (response.closeAfter) {
            connection.silent = true;
            socket->disconnectFromHost();
        }
    }

    Handler m_handler;
    std::optional<QSslConfiguration> m_tls;
    QHash<QTcpSocket*, Connection> m_connections;
    QList<HttpRequest> m_requests;
    int m_connectionCount = 0;
};

// A throw-away certificate authority and a server certificate for 127.0.0.1 and localhost,
// made with the openssl command-line tool, for HTTPS tests.
class TestCertificates {
public:
    QSslCertificate caCertificate;
    QSslCertificate serverCertificate;
    QSslKey serverKey;
    QString errorText; // why generate() failed

    static bool toolAvailable() { return !QStandardPaths::findExecutable("openssl").isEmpty(); }

    // Writes the key material into `directory` (e.g. a QTemporaryDir) and loads it.
    bool generate(const QString& directory)
    {
        const QDir dir(directory);
        const QString caKey = dir.filePath("ca.key"), caCert = dir.filePath("ca.pem");
        const QString key = dir.filePath("server.key"), csr = dir.filePath("server.csr");
        const QString cert = dir.filePath("server.pem"), ext = dir.filePath("server.ext");
        QFile extFile(ext);
        if (!extFile.open(QIODevice::WriteOnly)) {
            errorText = "cannot write " + ext;
            return false;
        }
        extFile.write("basicConstraints=critical,CA:FALSE\n"
                      "keyUsage=critical,digitalSignature,keyEncipherment\n"
                      "extendedKeyUsage=serverAuth\n"
                      "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
        extFile.close();
        const bool ok = run({ "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", caKey,
                            "-out", caCert, "-days", "2", "-subj", "/CN=Scripted Test CA",
                            "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                            "keyUsage=critical,keyCertSign,cRLSign" })
            && run({ "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj",
                "/CN=127.0.0.1" })
            && run({ "x509", "-req", "-in", csr, "-CA", caCert, "-CAkey", caKey, "-CAcreateserial",
                "-out", cert, "-days", "2", "-extfile", ext });
        if (!ok)
            return false;
        caCertificate = loadCertificate(caCert);
        serverCertificate = loadCertificate(cert);
        QFile keyFile(key);
        if (keyFile.open(QIODevice::ReadOnly))
            serverKey = QSslKey(keyFile.readAll(), QSsl::Rsa);
        if (caCertificate.isNull() || serverCertificate.isNull() || serverKey.isNull()) {
            errorText = "cannot load the generated key material";
            return false;
        }
        return true;
    }

    // For ScriptedHttpServer's TLS constructor.
    QSslConfiguration serverConfiguration() const
    {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(serverCertificate);
        configuration.setPrivateKey(serverKey);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        return configuration;
    }
    // The default client configuration with the test CA trusted in addition.
    QSslConfiguration clientConfiguration() const
    {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificate(caCertificate);
        return configuration;
    }
    // Makes every new request of the process trust the test CA (code under test configures
    // nothing on its requests); returns the previous default to restore.
    QSslConfiguration trustGlobally() const
    {
        const QSslConfiguration previous = QSslConfiguration::defaultConfiguration();
        QSslConfiguration::setDefaultConfiguration(clientConfiguration());
        return previous;
    }

private:
    bool run(const QStringList& arguments)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start("openssl", arguments);
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0) {
            errorText = "openssl " + arguments.value(0)
                + " failed: " + QString::fromLocal8Bit(process.readAll());
            return false;
        }
        return true;
    }
    static QSslCertificate loadCertificate(const QString& path)
    {
        const auto certificates = QSslCertificate::fromPath(path);
        return certificates.isEmpty() ? QSslCertificate() : certificates.first();
    }
};

} // namespace zel::test
