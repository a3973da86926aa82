#include "AuthenticatedReplyPrivate.h"

#include "AbstractOAuth2Client.h"
#include "JsonNetworkReplyImpl.h"
#include "Logging.h"

#include <QNetworkReply>

namespace zel::network {

AuthenticatedReply* AuthenticatedReplyPrivate::create(QNetworkAccessManager::Operation operation,
    const QNetworkRequest& request, const QByteArray& body, AbstractOAuth2Client* client)
{
    auto* d = new AuthenticatedReplyPrivate;
    d->client = client;
    d->request = request;
    d->body = body;
    d->operation = operation;
    auto* reply = new AuthenticatedReply(d);
    QObject::connect(
        client, &AbstractOAuth2Client::hasAccessToken, reply, &AuthenticatedReply::send);
    QObject::connect(client, &AbstractOAuth2Client::accessTokenError, reply,
        &AuthenticatedReply::accessTokenError);
    d->inCreatingCall = true;
    client->ensureAccessToken();
    d->inCreatingCall = false;
    return reply;
}

void AuthenticatedReplyPrivate::setMaximumAnswerSize(AuthenticatedReply* reply, qint64 bytes)
{
    // May come after the request went out within post(); nothing has been read yet then.
    reply->d->maximumAnswerSize = bytes;
    if (reply->d->pending)
        reply->d->pending->setMaximumSize(bytes);
}

AuthenticatedReply::AuthenticatedReply(AuthenticatedReplyPrivate* d)
    : QObject(nullptr)
    , d(d)
{
}

AuthenticatedReply::~AuthenticatedReply()
{
    // A caller may drop the reply while its request runs: stop it and release its JSON reply.
    if (d->pending) {
        d->pending->disconnect(this);
        if (d->pending->isRunning())
            d->pending->abort();
        d->pending->deleteLater();
        d->pending = nullptr;
    }
    delete d;
}

void AuthenticatedReply::send()
{
    if (!d->client)
        return;
    disconnect(d->client, &AbstractOAuth2Client::hasAccessToken, this, &AuthenticatedReply::send);
    if (d->pending) {
        qCWarning(lcTransport) << "Reply is still pending, cannot send again";
        d->pending->disconnect(this); // its cancellation is not this call's outcome
        releasePending();
    }

    d->signedWithToken = d->client->token.accessToken;
    const AbstractOAuth2Client::Exchange exchange
        = d->client->sendSignedRequest(d->operation, d->request, d->body, d->maximumAnswerSize);
    d->pendingNetworkReply = exchange.reply;
    d->pending = exchange.json;
    qCDebug(lcTransport).noquote() << "Request" << d->request.url().toString(QUrl::RemoveUserInfo)
                                   << "\nBody:" << d->body.toHex();
    if (!d->pending) {
        reportError(QStringLiteral("Could not create request"), 7);
        return;
    }
    connect(d->pending, &JsonNetworkReplyImpl::error, this, &AuthenticatedReply::jsonReplyFailed);
    connect(
        d->pending, &JsonNetworkReplyImpl::finished, this, &AuthenticatedReply::jsonReplyFinished);
}

void AuthenticatedReply::releasePending()
{
    JsonNetworkReplyImpl* json = d->pending;
    d->pending = nullptr;
    if (!json)
        return;
    if (json->isRunning())
        json->abort(); // reports its cancellation through error before it returns
    json->deleteLater();
}

void AuthenticatedReply::jsonReplyFinished(int statusCode, QJsonDocument result)
{
    Q_UNUSED(statusCode);
    if (d->pending)
        d->pending->deleteLater();
    d->pending = nullptr;
    // The call is over: a later token error of another request is not this reply's affair.
    if (d->client)
        disconnect(d->client, &AbstractOAuth2Client::accessTokenError, this,
            &AuthenticatedReply::accessTokenError);
    emit finished(result);
}

void AuthenticatedReply::jsonReplyFailed(QString message, int code)
{
    const int status = d->pendingNetworkReply
        ? d->pendingNetworkReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt()
        : 0;
    if (QObject* json = sender())
        json->deleteLater();
    d->pending = nullptr;

    // The API server refused the token: it is stale (revoked or expired early). Drop it and
    // send the unchanged request once more with the next valid token.
    if (status == 401 && !d->resentAfterUnauthorized && d->client) {
        d->resentAfterUnauthorized = true;
        qCDebug(lcTransport) << "Request refused with 401; sending it again with a new token";
        if (d->client->token.accessToken == d->signedWithToken)
            d->client->token.accessToken.clear();
        connect(d->client, &AbstractOAuth2Client::hasAccessToken, this, &AuthenticatedReply::send);
        d->client->ensureAccessToken();
        return;
    }
    emit error(message, code);
    deleteLater();
}

void AuthenticatedReply::accessTokenError(QString message)
{
    if (d->pending && d->pending->isRunning())
        releasePending();
    reportError(message, 204);
}

void AuthenticatedReply::reportError(const QString& message, int code)
{
    if (!d->inCreatingCall) {
        emit error(message, code);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, message, code]() { emit error(message, code); }, Qt::QueuedConnection);
}

} // namespace zel::network
