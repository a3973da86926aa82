#include "JsonNetworkReplyImpl.h"

#include "Logging.h"

#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>

namespace zel {

namespace {
    constexpr char tooLargeProperty[] = "zelAnswerTooLarge";
    constexpr char deadlineProperty[] = "zelDeadlinePassed";
    constexpr char abortedProperty[] = "zelAborted"; // by the plug-in, for its own reasons

    QString serverName(Server server)
    {
        return server == Server::OAuth ? QStringLiteral("OAuth") : QStringLiteral("API");
    }

    QString seconds(int milliseconds) { return QString::number(milliseconds / 1000.0); }

    // RFC 9110, 15 (429 and 431: RFC 6585).
    struct StatusText {
        int status;
        const char* text;
    };
    constexpr StatusText standardReasonPhrases[] = { { 200, "OK" }, { 201, "Created" },
        { 202, "Accepted" }, { 203, "Non-Authoritative Information" }, { 204, "No Content" },
        { 301, "Moved Permanently" }, { 302, "Found" }, { 303, "See Other" },
        { 304, "Not Modified" }, { 307, "Temporary Redirect" }, { 308, "Permanent Redirect" },
        { 400, "Bad Request" }, { 401, "Unauthorized" }, { 403, "Forbidden" }, { 404, "Not Found" },
        { 405, "Method Not Allowed" }, { 406, "Not Acceptable" },
        { 407, "Proxy Authentication Required" }, { 408, "Request Timeout" }, { 409, "Conflict" },
        { 410, "Gone" }, { 411, "Length Required" }, { 412, "Precondition Failed" },
        { 413, "Content Too Large" }, { 414, "URI Too Long" }, { 415, "Unsupported Media Type" },
        { 416, "Range Not Satisfiable" }, { 417, "Expectation Failed" },
        { 421, "Misdirected Request" }, { 422, "Unprocessable Content" },
        { 426, "Upgrade Required" }, { 429, "Too Many Requests" },
        { 431, "Request Header Fields Too Large" }, { 500, "Internal Server Error" },
        { 501, "Not Implemented" }, { 502, "Bad Gateway" }, { 503, "Service Unavailable" },
        { 504, "Gateway Timeout" }, { 505, "HTTP Version Not Supported" } };
} // namespace

void limitAnswerSize(QNetworkReply* reply, qint64 limit)
{
    if (!reply || limit <= 0)
        return;
    const auto check = [reply, limit](qint64 size) {
        if (size <= limit || answerTooLarge(reply))
            return;
        reply->setProperty(tooLargeProperty, true);
        qCWarning(lcTransport).nospace()
            << "Answer of " << reply->url().toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery)
            << " passes " << limit << " bytes; aborted";
        reply->abort();
    };
    // The announced length stops it before the body arrives; the bytes counted stop an answer
    // that announces none or lies about it, at most one network read past the limit. An answer
    // that arrived whole in one read is refused all the same.
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, check] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid())
            check(length.toLongLong());
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
        [check](qint64 received, qint64 total) { check(std::max(received, total)); });
    check(reply->bytesAvailable());
}

bool answerTooLarge(const QNetworkReply* reply)
{
    return reply && reply->property(tooLargeProperty).toBool();
}

bool failedInTransport(const QNetworkReply* reply)
{
    // Qt numbers the connection and proxy errors below the content (HTTP status) errors.
    return reply->error() != QNetworkReply::NoError
        && reply->error() < QNetworkReply::ContentAccessDenied;
}

QString reasonPhrase(const QNetworkReply* reply)
{
    const QString phrase = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!phrase.isEmpty() || status <= 0)
        return phrase;
    for (const StatusText& known : standardReasonPhrases) {
        if (known.status == status)
            return QString::fromLatin1(known.text);
    }
    return QStringLiteral("HTTP %1").arg(status);
}

QString answerTooLargeMessage(qint64 limit)
{
    const QString size = limit % (qint64(1) << 20) == 0 ? QStringLiteral("%1 MiB").arg(limit >> 20)
                                                        : QStringLiteral("%1 bytes").arg(limit);
    return QStringLiteral("The server's answer exceeds %1").arg(size);
}

QString silenceMessage(Server server, int milliseconds)
{
    return QStringLiteral("the %1 server did not answer within %2 s")
        .arg(serverName(server), seconds(milliseconds));
}

void limitAnswerTime(QNetworkReply* reply, Server server, int deadline)
{
    if (!reply || deadline <= 0)
        return;
    QTimer::singleShot(deadline, reply, [reply, server, deadline] {
        if (!reply->isRunning())
            return;
        reply->setProperty(deadlineProperty,
            QStringLiteral("the %1 server did not finish its answer within %2 s")
                .arg(serverName(server), seconds(deadline)));
        qCWarning(lcTransport).nospace()
            << "Answer of " << reply->url().toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery)
            << " not complete after " << deadline << " ms; aborted";
        reply->abort();
    });
}

QString timeoutMessage(const QNetworkReply* reply, Server server)
{
    if (!reply)
        return QString();
    const QVariant deadline = reply->property(deadlineProperty);
    if (deadline.isValid())
        return deadline.toString();
    // Qt ends a reply whose transfer timeout passed as if it had been aborted; only an abort
    // that is none of the plug-in's own is that timeout.
    const int silence = reply->manager() ? reply->manager()->transferTimeout() : 0;
    const auto error = reply->error();
    if (silence > 0
        && (error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError)
        && !reply->property(abortedProperty).toBool() && !answerTooLarge(reply))
        return silenceMessage(server, silence);
    return QString();
}

network::ErrorKind transportErrorKind(int networkError)
{
    return networkError == QNetworkReply::TimeoutError ? network::ErrorKind::TimedOut
                                                       : network::ErrorKind::NetworkFailure;
}

JsonReplyOutcome jsonReplyOutcome(int networkError, int status, const QString& reasonPhrase,
    const QString& contentType, const QByteArray& body)
{
    JsonReplyOutcome outcome;
    outcome.status = status;
    outcome.code = networkError;
    outcome.message = reasonPhrase;

    QJsonParseError parseError { 0, QJsonParseError::NoError };
    if (contentType.contains(QLatin1String("json"))) {
        outcome.document = QJsonDocument::fromJson(body, &parseError);
    } else {
        // Not JSON: the body is not looked at.
        parseError.error = QJsonParseError::MissingObject;
        outcome.message = QStringLiteral("Response is not a JSON response but %1").arg(contentType);
    }

    if (networkError != QNetworkReply::NoError) {
        if (parseError.error == QJsonParseError::NoError) {
            // A refusal explained in JSON: the explanation and the HTTP status are what counts.
            outcome.message = QString::fromUtf8(outcome.document.toJson(QJsonDocument::Compact));
            outcome.code = status;
        }
        outcome.document = QJsonDocument();
        // Qt numbers the connection and proxy errors below the content (HTTP status) errors.
        if (status >= 400)
            outcome.kind = network::ErrorKind::RefusedByServer;
        else if (networkError < QNetworkReply::ContentAccessDenied)
            outcome.kind = transportErrorKind(networkError);
        else
            outcome.kind = network::ErrorKind::UnexpectedAnswer;
    } else if (parseError.error != QJsonParseError::NoError) {
        outcome.message = parseError.errorString();
        outcome.code = parseError.error;
        outcome.kind = network::ErrorKind::UnexpectedAnswer;
    } else {
        outcome.finished = true;
        outcome.message.clear();
        outcome.code = 0;
    }
    return outcome;
}

JsonNetworkReplyImpl::JsonNetworkReplyImpl(QNetworkReply* reply, zel::Server server)
    : QObject(nullptr)
    , reply(reply)
    , server(server)
{
    if (reply)
        connect(reply, &QNetworkReply::finished, this, &JsonNetworkReplyImpl::onFinished);
    else
        qCWarning(lcTransport)
            << "JSON reply created without a network reply; it will never report";
}

JsonNetworkReplyImpl::~JsonNetworkReplyImpl() = default;

void JsonNetworkReplyImpl::setMaximumSize(qint64 bytes)
{
    maximumSize = bytes;
    zel::limitAnswerSize(reply, bytes);
}

QObject* JsonNetworkReplyImpl::object() { return this; }

QByteArray JsonNetworkReplyImpl::rawHeader(const QByteArray& name) const
{
    return reply ? reply->rawHeader(name) : QByteArray();
}

bool JsonNetworkReplyImpl::isRunning() const { return reply && reply->isRunning(); }

void JsonNetworkReplyImpl::abort()
{
    if (reply) {
        reply->setProperty(zel::abortedProperty, true);
        reply->abort();
    }
}

void JsonNetworkReplyImpl::failNow(const QString& message, int code, zel::network::ErrorKind kind)
{
    if (reported)
        return;
    reported = true;
    if (reply) {
        reply->disconnect(this);
        reply->setProperty(zel::abortedProperty, true);
        reply->abort();
        reply->deleteLater();
    }
    reportError(message, code, kind);
}

void JsonNetworkReplyImpl::reportError(
    const QString& message, int code, zel::network::ErrorKind kind)
{
    failureKind = kind;
    emit error(message, code);
}

void JsonNetworkReplyImpl::close()
{
    if (reply)
        reply->close();
}

void JsonNetworkReplyImpl::onFinished()
{
    // One report per object, even should the network layer announce the end twice.
    if (reported || !reply)
        return;
    reported = true;
    QNetworkReply* const watched = reply;
    // Scheduled before reporting, so that nothing here touches this object after the receivers
    // ran (one of them may release it); the deletion still waits for the next event-loop pass.
    watched->deleteLater();

    const auto url
        = [watched] { return watched->url().toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery); };
    if (zel::answerTooLarge(watched)) {
        reportError(zel::answerTooLargeMessage(maximumSize), QNetworkReply::ProtocolFailure,
            zel::network::ErrorKind::UnexpectedAnswer);
        return;
    }
    const QString timeout = zel::timeoutMessage(watched, server);
    if (!timeout.isEmpty()) {
        qCDebug(lcTransport).nospace() << "Reply from " << url() << " timed out";
        reportError(timeout, QNetworkReply::TimeoutError, zel::network::ErrorKind::TimedOut);
        return;
    }

    const QString contentType = watched->header(QNetworkRequest::ContentTypeHeader).toString();
    const int status = watched->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool json = contentType.contains(QLatin1String("json"));
    // An aborted or closed reply is no longer readable and has no body left; a body that is not
    // JSON is left unread.
    const QByteArray body = json && watched->isReadable() ? watched->readAll() : QByteArray();
    // Token responses carry tokens and MAC keys: the body itself never reaches the log.
    if (json)
        qCDebug(lcTransport).nospace() << "JSON reply from " << url() << ": status " << status
                                       << ", " << contentType << ", " << body.size() << " bytes";
    else
        qCDebug(lcTransport).nospace()
            << "Reply from " << url() << " is not JSON: status " << status << ", content type "
            << contentType << ", network error " << watched->error();

    zel::JsonReplyOutcome outcome = zel::jsonReplyOutcome(
        watched->error(), status, zel::reasonPhrase(watched), contentType, body);
    if (zel::failedInTransport(watched)) {
        outcome.message = watched->errorString();
        outcome.kind = zel::transportErrorKind(watched->error());
    }
    if (outcome.finished)
        emit finished(outcome.status, outcome.document);
    else
        reportError(outcome.message, outcome.code, outcome.kind);
}

} // namespace zel
