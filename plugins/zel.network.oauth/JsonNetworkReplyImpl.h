#pragma once

// Watches one QNetworkReply and reports its answer exactly once: finished(status, document) for a
// JSON answer without network error, error(message, code) for everything else.

#include "ErrorKind.h"
#include "JsonNetworkReply.h"

#include <QJsonDocument>
#include <QObject>
#include <QPointer>

class QNetworkReply;

namespace zel {

// Far above any real answer of the protocol exchanges, far below what hurts a host.
constexpr qint64 jsonAnswerLimit = qint64(1) << 20;
constexpr qint64 pageAnswerLimit = qint64(8) << 20;

// Aborts the reply as soon as its announced length or the bytes received pass limit bytes (no
// limit when limit <= 0). answerTooLarge() then tells the abort apart from any other.
void limitAnswerSize(QNetworkReply* reply, qint64 limit);
bool answerTooLarge(const QNetworkReply* reply);
// "The server's answer exceeds 1 MiB"
QString answerTooLargeMessage(qint64 limit);

// Which server an exchange talks to, as the timeout messages name it.
enum class Server { OAuth, Api };
// Every request ends after this long without a byte (its manager's transfer timeout); the
// protocol's own exchanges, whose answers are small, also end at an overall deadline of twice
// that, so that a server that drips its answer cannot hold them open either.
constexpr int defaultTransferTimeout = 30000; // ms, Qt's own default
// "the OAuth server did not answer within 30 s"
QString silenceMessage(Server server, int milliseconds);
// Aborts the reply once deadline ms have passed; timeoutMessage() then tells why.
void limitAnswerTime(QNetworkReply* reply, Server server, int deadline);
// The message of a reply that ended by its manager's transfer timeout or by its deadline; empty
// for a reply that ended otherwise.
QString timeoutMessage(const QNetworkReply* reply, Server server);

// The reply failed below HTTP (no connection, or one that broke or timed out before the answer
// was whole): its reason phrase and any part of a body tell nothing, its errorString() does.
bool failedInTransport(const QNetworkReply* reply);
// The reply's HTTP reason phrase; when it has none (HTTP/2 carries none), the status's standard
// text ("Unauthorized") or "HTTP 499". Empty for a reply without HTTP status.
QString reasonPhrase(const QNetworkReply* reply);

// What a finished reply reports. body is read only when the content type names JSON.
struct JsonReplyOutcome {
    bool finished = false; // finished(status, document); otherwise error(message, code)
    int status = 0;
    QJsonDocument document;
    QString message;
    int code = 0;
    zel::network::ErrorKind kind = zel::network::ErrorKind::NoError;
};
JsonReplyOutcome jsonReplyOutcome(int networkError, int status, const QString& reasonPhrase,
    const QString& contentType, const QByteArray& body);
// A failure below HTTP: TimedOut for Qt's timeout, NetworkFailure for every other.
zel::network::ErrorKind transportErrorKind(int networkError);

class JsonNetworkReplyImpl : public QObject, public network::JsonNetworkReply {
    Q_OBJECT
    Q_INTERFACES(zel::network::JsonNetworkReply)
    // What kind of failure error() reported; hosts read it by name.
    Q_PROPERTY(zel::network::ErrorKind errorKind READ errorKind)

public:
    // Create it right after handing the request to the network access manager, on the same
    // thread, so that the reply cannot have finished yet.
    explicit JsonNetworkReplyImpl(QNetworkReply* reply, Server server = zel::Server::OAuth);
    ~JsonNetworkReplyImpl() override;

    // An answer longer than this is aborted and reported as error(answerTooLargeMessage,
    // QNetworkReply::ProtocolFailure). No limit unless set.
    void setMaximumSize(qint64 bytes);

    QObject* object() override;
    // Empty once the watched reply has been released.
    QByteArray rawHeader(const QByteArray& name) const override;
    bool isRunning() const;
    // Ends the exchange now with error(message, code) of that kind unless it has reported: its
    // network reply is gone (its manager went with the service) or is dropped.
    void failNow(const QString& message, int code, zel::network::ErrorKind kind);
    // The kind of the failure reported by error(); NoError before.
    zel::network::ErrorKind errorKind() const { return failureKind; }

signals:
    void finished(int statusCode, QJsonDocument result);
    void error(QString message, int code);

public slots:
    void abort();
    void close();

private slots:
    void onFinished();

private:
    // Not owned; scheduled for deletion once reported. Guarded, because its network access
    // manager deletes it as well.
    const QPointer<QNetworkReply> reply;
    qint64 maximumSize = 0;
    Server server;
    bool reported = false;
    zel::network::ErrorKind failureKind = zel::network::ErrorKind::NoError;
    void reportError(const QString& message, int code, zel::network::ErrorKind kind);
};

} // namespace zel
