#include "AuthenticatedReply.h"

#include "AbstractOAuth2Client.h"
#include "JsonNetworkReplyImpl.h"
#include "Logging.h"

#include <QNetworkReply>

namespace zel::network {

AuthenticatedReply::AuthenticatedReply(QNetworkAccessManager::Operation operation,
    const QNetworkRequest& request, const QByteArray& body, AbstractOAuth2Client* client)
    : QObject(nullptr)
    , client(client)
    , request(request)
    , body(body)
    , operation(operation)
{
    connect(client, &AbstractOAuth2Client::hasAccessToken, this, &AuthenticatedReply::send);
    connect(client, &AbstractOAuth2Client::accessTokenError, this,
        &AuthenticatedReply::accessTokenError);
}

AuthenticatedReply::~AuthenticatedReply()
{
    // A caller may drop the reply while its request runs: stop it and release its JSON reply.
    if (pending) {
        pending->disconnect(this);
        if (pending->isRunning())
            pending->abort();
        pending->deleteLater();
        pending = nullptr;
    }
}

void AuthenticatedReply::setMaximumAnswerSize(qint64 bytes)
{
    // May come after the request went out within post(); nothing has been read yet then.
    maximumAnswerSize = bytes;
    if (pending)
        pending->setMaximumSize(bytes);
}

void AuthenticatedReply::send()
{
    if (!client)
        return;
    disconnect(client, &AbstractOAuth2Client::hasAccessToken, this, &AuthenticatedReply::send);
    if (pending) {
        qCWarning(lcTransport) << "Reply is still pending, cannot send again";
        pending->disconnect(this); // its cancellation is not this call's outcome
        releasePending();
    }

    signedWithToken = client->token.accessToken;
    QNetworkReply* reply = client->sendSignedRequest(operation, request, body);
    pendingNetworkReply = reply;
    pending = reply ? new JsonNetworkReplyImpl(reply) : nullptr;
    if (pending)
        pending->setMaximumSize(maximumAnswerSize);
    qCDebug(lcTransport).noquote()
        << "Request" << request.url().toString(QUrl::RemoveUserInfo) << "\nBody:" << body.toHex();
    if (!pending) {
        reportError(QStringLiteral("Could not create request"), 7);
        return;
    }
    connect(pending, &JsonNetworkReplyImpl::error, this, &AuthenticatedReply::jsonReplyFailed);
    connect(pending, &JsonNetworkReplyImpl::finished, this, &AuthenticatedReply::jsonReplyFinished);
}

void AuthenticatedReply::releasePending()
{
    JsonNetworkReplyImpl* json = pending;
    pending = nullptr;
    if (!json)
        return;
    if (json->isRunning())
        json->abort(); // reports its cancellation through error before it returns
    json->deleteLater();
}

void AuthenticatedReply::jsonReplyFinished(int statusCode, QJsonDocument result)
{
    Q_UNUSED(statusCode);
    if (pending)
        pending->deleteLater();
    pending = nullptr;
    // The call is over: a later token error of another request is not this reply's affair.
    if (client)
        disconnect(client, &AbstractOAuth2Client::accessTokenError, this,
            &AuthenticatedReply::accessTokenError);
    emit finished(result);
}

void AuthenticatedReply::jsonReplyFailed(QString message, int code)
{
    const int status = pendingNetworkReply
        ? pendingNetworkReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt()
        : 0;
    if (QObject* json = sender())
        json->deleteLater();
    pending = nullptr;

    // The API server refused the token: it is stale (revoked or expired early). Drop it and
    // send the unchanged request once more with the next valid token.
    if (status == 401 && !resentAfterUnauthorized && client) {
        resentAfterUnauthorized = true;
        qCDebug(lcTransport) << "Request refused with 401; sending it again with a new token";
        if (client->token.accessToken == signedWithToken)
            client->token.accessToken.clear();
        connect(client, &AbstractOAuth2Client::hasAccessToken, this, &AuthenticatedReply::send);
        client->ensureAccessToken();
        return;
    }
    emit error(message, code);
    deleteLater();
}

void AuthenticatedReply::accessTokenError(QString message)
{
    if (pending && pending->isRunning())
        releasePending();
    reportError(message, 204);
}

void AuthenticatedReply::reportError(const QString& message, int code)
{
    if (!inCreatingCall) {
        emit error(message, code);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, message, code]() { emit error(message, code); }, Qt::QueuedConnection);
}

} // namespace zel::network
