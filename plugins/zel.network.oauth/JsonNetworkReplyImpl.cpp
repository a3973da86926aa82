#include "JsonNetworkReplyImpl.h"

#include "Logging.h"

#include <QJsonParseError>
#include <QNetworkReply>

JsonNetworkReplyImpl::JsonNetworkReplyImpl(QNetworkReply* reply)
    : QObject(nullptr)
    , reply(reply)
{
    if (reply)
        connect(reply, &QNetworkReply::finished, this, &JsonNetworkReplyImpl::onFinished);
    else
        qCWarning(lcTransport)
            << "JSON reply created without a network reply; it will never report";
}

JsonNetworkReplyImpl::~JsonNetworkReplyImpl() = default;

QObject* JsonNetworkReplyImpl::object() { return this; }

QByteArray JsonNetworkReplyImpl::rawHeader(const QByteArray& name) const
{
    return reply ? reply->rawHeader(name) : QByteArray();
}

bool JsonNetworkReplyImpl::isRunning() const { return reply && reply->isRunning(); }

void JsonNetworkReplyImpl::abort()
{
    if (reply)
        reply->abort();
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

    const QString contentType = watched->header(QNetworkRequest::ContentTypeHeader).toString();
    int code = watched->error();
    QString message = watched->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    const int status = watched->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

    QJsonDocument document;
    QJsonParseError parseError { 0, QJsonParseError::NoError };
    if (contentType.contains(QLatin1String("json"))) {
        // An aborted or closed reply is no longer readable and has no body left.
        const QByteArray body = watched->isReadable() ? watched->readAll() : QByteArray();
        // Token responses carry tokens and MAC keys: the body itself never reaches the log.
        qCDebug(lcTransport).nospace()
            << "JSON reply from "
            << watched->url().toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery) << ": status "
            << status << ", " << contentType << ", " << body.size() << " bytes";
        document = QJsonDocument::fromJson(body, &parseError);
    } else {
        // Not JSON: the body is left unread.
        parseError.error = QJsonParseError::MissingObject;
        message = QStringLiteral("Response is not a JSON response but %1").arg(contentType);
        qCDebug(lcTransport).nospace()
            << "Reply from " << watched->url().toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery)
            << " is not JSON: status " << status << ", content type " << contentType
            << ", network error " << code;
    }

    // Scheduled before reporting, so that nothing here touches this object after the receivers
    // ran (one of them may release it); the deletion still waits for the next event-loop pass.
    watched->deleteLater();

    if (code != QNetworkReply::NoError) {
        if (parseError.error == QJsonParseError::NoError) {
            message = QString::fromUtf8(document.toJson(QJsonDocument::Compact));
            code = status;
        }
        emit error(message, code);
    } else if (parseError.error != QJsonParseError::NoError) {
        emit error(parseError.errorString(), parseError.error);
    } else {
        emit finished(status, document);
    }
}
