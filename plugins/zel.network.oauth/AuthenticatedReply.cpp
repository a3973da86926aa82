#include "AuthenticatedReplyPrivate.h"

#include "AbstractOAuth2Client.h"
#include "JsonNetworkReplyImpl.h"
#include "Logging.h"
#include "MacSignature.h"
#include "Requests.h"

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
    client->trackReply(reply);
    return reply;
}

void AuthenticatedReplyPrivate::end(
    AuthenticatedReply* reply, const QString& message, int code, ErrorKind kind, bool waitingOnly)
{
    if (waitingOnly && !reply->d->waitingForToken)
        return;
    if (reply->d->pending) {
        reply->d->pending->disconnect(reply);
        reply->releasePending();
    }
    reply->fail(message, code, kind);
}

void AuthenticatedReplyPrivate::setMaximumAnswerSize(AuthenticatedReply* reply, qint64 bytes)
{
    // May come after the request went out within the creating call; nothing is read yet then.
    reply->d->maximumAnswerSize = bytes;
    if (reply->d->pending) {
        reply->d->pending->setMaximumSize(bytes);
        // A protocol exchange: the deadline it would have had, had it waited for a token.
        if (QNetworkReply* network = reply->d->pendingNetworkReply.data(); network && bytes > 0)
            zel::limitAnswerTime(
                network, zel::Server::Api, 2 * network->manager()->transferTimeout());
    }
}

AuthenticatedReply::AuthenticatedReply(AuthenticatedReplyPrivate* d)
    : QObject(nullptr)
    , d(d)
{
    // A refused path: nothing is sent and no token is asked for. Failed from the event loop, as
    // any failure, once the creator has connected.
    const QString refusal = zel::apiRequestRefusal(d->request);
    if (!refusal.isNull()) {
        d->waitingForToken = false;
        QMetaObject::invokeMethod(
            this,
            [this, refusal] { fail(refusal, RequestNotCreated, ErrorKind::RequestNotCreated); },
            Qt::QueuedConnection);
        return;
    }
    connect(d->client, &AbstractOAuth2Client::accessTokenError, this,
        &AuthenticatedReply::accessTokenError);
    connect(d->client, &AbstractOAuth2Client::accessTokenRefused, this,
        &AuthenticatedReply::accessTokenError);
    // With a valid token the request goes out within the creating call, as a bare manager's
    // would (a network reply reports from the event loop). Anything else, a grant to wait for or
    // a failure at once, starts from the event loop: the creator connects first, so that no
    // outcome is emitted before anyone listens. Dropped when this object goes first.
    if (d->client->hasValidAccessToken() && !zel::mac::httpVerb(d->operation).isEmpty()) {
        d->waitingForToken = false;
        send();
        return;
    }
    connect(d->client, &AbstractOAuth2Client::hasAccessToken, this, &AuthenticatedReply::send);
    QMetaObject::invokeMethod(
        this, [this] { start(); }, Qt::QueuedConnection);
}

void AuthenticatedReply::start()
{
    // Another request's grant may have served this one already, or failed it.
    if (d->waitingForToken && d->client)
        d->client->ensureAccessToken();
}

AuthenticatedReply::~AuthenticatedReply()
{
    if (d->client)
        d->client->untrackReply(this);
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
    if (d->waitingForToken)
        disconnect(
            d->client, &AbstractOAuth2Client::hasAccessToken, this, &AuthenticatedReply::send);
    if (!d->client->hasAccessTokenToSign()) {
        // The token went between its announcement and this call (a receiver logged out):
        // never sign with none. Ask again; without a login that fails at once.
        d->waitingForToken = true;
        connect(d->client, &AbstractOAuth2Client::hasAccessToken, this, &AuthenticatedReply::send,
            Qt::UniqueConnection);
        d->client->ensureAccessToken();
        return;
    }
    d->waitingForToken = false;
    if (d->pending) {
        qCWarning(lcTransport) << "Reply is still pending, cannot send again";
        d->pending->disconnect(this); // its cancellation is not this call's outcome
        releasePending();
    }

    const AbstractOAuth2Client::Exchange exchange
        = d->client->sendSignedRequest(d->operation, d->request, d->body, d->maximumAnswerSize);
    d->signedWithToken = exchange.signedWith;
    d->pendingNetworkReply = exchange.reply;
    d->pending = exchange.json;
    // The body is the host's data (a password change, personal data): its size only.
    qCDebug(lcTransport).noquote().nospace()
        << "Request " << d->request.url().toString(QUrl::RemoveUserInfo) << ", body "
        << d->body.size() << " bytes";
    if (!d->pending) {
        fail(QStringLiteral("Could not create request"), RequestNotCreated,
            ErrorKind::RequestNotCreated);
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
        disconnect(d->client, nullptr, this, nullptr);
    emit finished(result);
}

void AuthenticatedReply::jsonReplyFailed(QString message, int code)
{
    const int status = d->pendingNetworkReply
        ? d->pendingNetworkReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt()
        : 0;
    const auto* failed = qobject_cast<const JsonNetworkReplyImpl*>(sender());
    const ErrorKind kind = failed ? failed->errorKind() : ErrorKind::NetworkFailure;
    if (QObject* json = sender())
        json->deleteLater();
    d->pending = nullptr;

    // The API server refused the token: it is stale (revoked or expired early). Drop it and
    // send the unchanged request once more with the next valid token.
    if (status == 401 && !d->resentAfterUnauthorized && d->client) {
        d->resentAfterUnauthorized = true;
        qCDebug(lcTransport) << "Request refused with 401; sending it again with a new token";
        d->client->invalidateAccessToken(d->signedWithToken);
        d->waitingForToken = true;
        connect(d->client, &AbstractOAuth2Client::hasAccessToken, this, &AuthenticatedReply::send);
        d->client->ensureAccessToken();
        return;
    }
    fail(message, code, kind);
}

void AuthenticatedReply::accessTokenError(QString message)
{
    // Read before anything else runs: the token core holds it while it reports the failure.
    const ErrorKind kind = d->client ? d->client->tokenFailureKind() : ErrorKind::NotLoggedIn;
    const QPointer<AuthenticatedReply> alive(this);
    if (d->pending && d->pending->isRunning())
        releasePending(); // its cancellation reaches the receivers first
    if (alive)
        fail(message, NoAccessToken, kind);
}

ErrorKind AuthenticatedReply::errorKind() const { return d->errorKind; }

void AuthenticatedReply::fail(const QString& message, int code, ErrorKind kind)
{
    d->errorKind = kind;
    d->waitingForToken = false;
    if (d->client) {
        disconnect(d->client, nullptr, this, nullptr);
        d->client->untrackReply(this); // ended: logout and shutdown pass it by
    }
    const QPointer<AuthenticatedReply> alive(this);
    emit error(message, code);
    if (alive) // a receiver may have released it already; deleteLater twice is harmless
        deleteLater();
}

} // namespace zel::network
