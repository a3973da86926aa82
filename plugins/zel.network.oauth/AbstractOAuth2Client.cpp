#include "AbstractOAuth2Client.h"

#include "AuthenticatedReplyPrivate.h"
#include "JsonNetworkReplyImpl.h"
#include "Keys.h"
#include "Logging.h"
#include "platform/SecureMemory.h"

#include <QNetworkReply>

#include <utility>

namespace zel {

AbstractOAuth2Client::AbstractOAuth2Client(QObject* parent)
    : QObject(parent)
{
    // The grant machine emits this object's signals; this hook is virtual, so it passes here.
    connect(&grantMachine, &TokenGrants::unsavedValue, this,
        [this](const QString& message) { reportUnsavedValue(message); });
}

AbstractOAuth2Client::~AbstractOAuth2Client() { shutDown(); }

void AbstractOAuth2Client::abandonGrants(const QString& message)
{
    grantMachine.abandon();
    endReplies(message, network::AuthenticatedReply::NoAccessToken,
        zel::network::ErrorKind::LoggedOut, true);
}

void AbstractOAuth2Client::shutDown()
{
    if (std::exchange(shutDownDone, true))
        return;
    const QString message = QStringLiteral("the account service was shut down");
    endReplies(
        message, QNetworkReply::OperationCanceledError, zel::network::ErrorKind::ShutDown, false);
    const auto handedOut = std::exchange(handedOutReplies, {});
    for (const QPointer<JsonNetworkReplyImpl>& json : handedOut) {
        if (json)
            json->failNow(
                message, QNetworkReply::OperationCanceledError, zel::network::ErrorKind::ShutDown);
    }
}

void AbstractOAuth2Client::endReplies(
    const QString& message, int code, zel::network::ErrorKind kind, bool waitingOnly)
{
    // A receiver may release any of them, or the service itself.
    const QPointer<AbstractOAuth2Client> alive(this);
    QList<QPointer<network::AuthenticatedReply>> replies;
    for (network::AuthenticatedReply* reply : std::as_const(liveReplies))
        replies.append(reply);
    for (const auto& reply : std::as_const(replies)) {
        if (!alive)
            return;
        if (reply)
            network::AuthenticatedReplyPrivate::end(reply, message, code, kind, waitingOnly);
    }
}

void AbstractOAuth2Client::handOut(JsonNetworkReplyImpl* json)
{
    handedOutReplies.removeAll(nullptr);
    handedOutReplies.append(json);
}

void AbstractOAuth2Client::reportTokenFailure(
    zel::network::ErrorKind kind, const QString& message, bool refused)
{
    // A receiver may report another failure before the later receivers run, or delete this
    // object: the kind is the one of the signal being emitted, until it returns.
    const QPointer<AbstractOAuth2Client> alive(this);
    const zel::network::ErrorKind outer = std::exchange(reportedKind, kind);
    if (refused)
        emit accessTokenRefused(message);
    else
        emit accessTokenError(message);
    if (!alive)
        return;
    reportedKind = outer;
    emit accessTokenFailed(kind, message);
}

void AbstractOAuth2Client::reportUnsavedValue(const QString& message)
{
    qCWarning(lcOAuth) << message;
}

// --- Client credentials and settings ---------------------------------------------------------

void AbstractOAuth2Client::setClientId(const QString& id)
{
    m_clientId = id;
    emit settingsChanged({ { keys::clientId, m_clientId } });
}

QByteArray AbstractOAuth2Client::clientAuthorization() const
{
    QByteArray pair = m_clientId.toLatin1() + ':' + clientSecret().toLatin1();
    const QByteArray header = "Basic " + pair.toBase64();
    platform::wipe(pair);
    return header;
}

bool AbstractOAuth2Client::setClientSecret(const QString& secret)
{
    holdClientSecret(secret);
    const QVariant sealedSecret = protectValue(secret);
    if (!sealedSecret.isValid())
        return false; // an empty value written over the stored secret would lose it
    emit settingsChanged({ { keys::clientSecret, sealedSecret } });
    return true;
}

void AbstractOAuth2Client::loadSettings(const QSharedPointer<QSettings>& settings)
{
    // The secrets stay protected until first needed; a stored secret that cannot be read is
    // reported then, and the device counts as without credentials from that moment. Half a pair
    // is a damaged store and warned of; none is a new device's normal state (and a warning,
    // the process's first message, would cost a host's start several milliseconds).
    m_clientId = settings->value(keys::clientId).toString();
    const bool secretStored = sealed.loadClientSecret(settings->value(keys::clientSecret));
    if (m_clientId.isEmpty() == secretStored) {
        m_clientId.clear();
        sealed.loadClientSecret(QVariant());
        qCWarning(lcOAuth) << "Client credentials are not valid";
    } else if (m_clientId.isEmpty()) {
        qCDebug(lcOAuth) << "No client credentials stored";
    } else {
        qCDebug(lcOAuth) << "Client credentials are stored";
    }

    MacToken& token = grantMachine.token();
    const QString algorithm = settings->value(keys::algorithm).toString();
    if (!algorithm.isEmpty() && !mac::parseMacAlgorithm(algorithm, token.algorithm))
        qCWarning(lcOAuth) << "Given algorithm" << algorithm << "is wrong or unsupported";

    token.macKey = settings->value(keys::macKey).toString().toUtf8();
    token.refreshToken.clear();
    sealed.loadRefreshToken(settings->value(keys::refreshToken));
    token.issueTime = settings->value(keys::issueTime, token.issueTime).toLongLong(); // 0 if NaN
}

void AbstractOAuth2Client::clearCredentials()
{
    m_clientId.clear();
    sealed.forgetClientSecret();
    grantMachine.token().clear();
    sealed.forgetRefreshToken();
}

// --- Token grants ----------------------------------------------------------------------------

void AbstractOAuth2Client::fetchAccessTokenUsingAuthorizationCode(QString code)
{
    grantMachine.fetchAccessTokenUsingAuthorizationCode(code);
}

void AbstractOAuth2Client::fetchAccessTokenUsingClientCredentials()
{
    grantMachine.fetchAccessToken(oauth::clientCredentialsGrant, {});
}

// --- Signed requests -------------------------------------------------------------------------

network::AuthenticatedReply* AbstractOAuth2Client::authenticatedGet(const QNetworkRequest& request)
{
    return authenticatedRequest(QNetworkAccessManager::GetOperation, request, QByteArray());
}

network::AuthenticatedReply* AbstractOAuth2Client::authenticatedPost(
    const QNetworkRequest& request, const QByteArray& body)
{
    return authenticatedRequest(QNetworkAccessManager::PostOperation, request, body);
}

network::AuthenticatedReply* AbstractOAuth2Client::authenticatedPut(
    const QNetworkRequest& request, const QByteArray& body)
{
    return authenticatedRequest(QNetworkAccessManager::PutOperation, request, body);
}

network::AuthenticatedReply* AbstractOAuth2Client::authenticatedDelete(
    const QNetworkRequest& request)
{
    return authenticatedRequest(QNetworkAccessManager::DeleteOperation, request, QByteArray());
}

network::AuthenticatedReply* AbstractOAuth2Client::authenticatedRequest(
    QNetworkAccessManager::Operation operation, const QNetworkRequest& request,
    const QByteArray& body)
{
    return network::AuthenticatedReplyPrivate::create(operation, request, body, this);
}

AbstractOAuth2Client::Exchange AbstractOAuth2Client::sendSignedRequest(
    QNetworkAccessManager::Operation operation, const QNetworkRequest& request,
    const QByteArray& body, qint64 maximumSize)
{
    QNetworkRequest signedRequest(request);
    const QString verb = QString::fromLatin1(mac::httpVerb(operation));
    if (verb.isEmpty())
        return {};
    const MacToken& token = grantMachine.token();
    signedRequest.setRawHeader(
        "Authorization", mac::macAuthorizationHeader(request.url(), verb, token, body).toUtf8());
    Exchange exchange = startJsonExchange(
        operation, signedRequest, body, maximumSize, ExchangeOwner::Caller, Server::Api);
    if (exchange.reply) {
        exchange.signedWith = token.accessToken;
        qCDebug(lcOAuth) << "Signed request sent:" << verb
                         << request.url().toString(QUrl::RemoveUserInfo);
    }
    return exchange;
}

void AbstractOAuth2Client::invalidateAccessToken(const QByteArray& signedWith)
{
    MacToken& token = grantMachine.token();
    if (!signedWith.isEmpty() && token.accessToken == signedWith)
        token.accessToken.clear();
}

} // namespace zel
