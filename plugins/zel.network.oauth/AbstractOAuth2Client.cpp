#include "AbstractOAuth2Client.h"

#include "AuthenticatedReplyPrivate.h"
#include "JsonNetworkReplyImpl.h"
#include "Keys.h"
#include "Logging.h"
#include "Requests.h"
#include "platform/DataProtection.h"

#include <QDateTime>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace zel;

namespace {

zel::platform::Bytes toBytes(const QByteArray& bytes)
{
    return zel::platform::Bytes(bytes.cbegin(), bytes.cend());
}

// The bytes of a platform result, its buffer wiped; empty, with the reason logged, on failure.
QByteArray takeResult(zel::platform::ProtectionResult& result, const char* failure)
{
    if (!result.ok) {
        qCWarning(lcPlatform) << failure << result.error.c_str();
        return {};
    }
    QByteArray out(reinterpret_cast<const char*>(result.data.data()), int(result.data.size()));
    zel::platform::wipe(result.data);
    return out;
}

// RFC 6749, 5.2: a refused refresh token is answered with the error code "invalid_grant".
bool isInvalidGrant(const QString& message, int code)
{
    if (code != 400 && code != 401)
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8());
    return document.isObject()
        && document.object().value(oauth::error).toString() == oauth::invalidGrant;
}

// No cookie reaches or leaves the token core's exchanges: they are authenticated by their
// headers alone, and the shared manager must not carry state from one request to the next.
class RefusingCookieJar : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl&) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
};

} // namespace

TokenAnswer interpretTokenAnswer(const QString& grant, int statusCode, const QJsonDocument& answer,
    const MacToken& current, qint64 now)
{
    TokenAnswer result;
    result.token = current;
    if (!answer.isObject()) {
        result.outcome = TokenAnswer::NotAnObject;
        return result;
    }
    if (statusCode != 200) {
        result.outcome = TokenAnswer::Refused;
        result.token.clear();
        return result;
    }

    const QJsonObject object = answer.object();
    MacToken& token = result.token;
    const QJsonValue refresh = object.value(oauth::refreshToken);
    if (refresh.isString()) {
        token.refreshToken = refresh.toString();
        result.newRefreshToken = true;
    } else if (grant != oauth::refreshTokenGrant) {
        token.refreshToken.clear();
        result.settings.insert(keys::refreshToken, QVariant()); // no stale token of another login
    }
    token.accessToken = object.value(oauth::accessToken).toString().toUtf8();

    // Truncated toward zero into 32 bits; out-of-range numbers are clamped, not undefined.
    const double expiresIn = object.value(oauth::expiresIn).toDouble();
    if (std::isfinite(expiresIn)) {
        result.lifetime = int(std::trunc(std::clamp(expiresIn,
            double(std::numeric_limits<int>::min()), double(std::numeric_limits<int>::max()))));
    }
    token.expiryTime = now + qint64(result.lifetime) * 1000;

    const QString secret = object.value(oauth::secret).toString();
    token.macKey = secret.toUtf8();
    result.settings.insert(keys::macKey, secret);

    const QString algorithm = object.value(oauth::algorithm).toString();
    result.settings.insert(keys::algorithm, algorithm);
    if (!zel::mac::parseMacAlgorithm(algorithm, token.algorithm)) {
        result.outcome = TokenAnswer::BadAlgorithm;
        result.settings.clear();
        result.newRefreshToken = false;
        return result;
    }

    token.issueTime = now;
    result.settings.insert(keys::issueTime, token.issueTime);
    result.outcome = TokenAnswer::Granted;
    return result;
}

AbstractOAuth2Client::AbstractOAuth2Client(QObject* parent)
    : QObject(parent)
{
}

AbstractOAuth2Client::~AbstractOAuth2Client() { shutDown(); }

void AbstractOAuth2Client::setTransferTimeout(int milliseconds)
{
    m_transferTimeout = milliseconds > 0 ? milliseconds : zel::defaultTransferTimeout;
    if (sharedManager)
        sharedManager->setTransferTimeout(m_transferTimeout);
}

void AbstractOAuth2Client::abandonGrants(const QString& message)
{
    if (JsonNetworkReplyImpl* json = grantReply.data()) {
        grantReply = nullptr;
        json->disconnect(this); // its answer, whatever it is, no longer concerns anyone
        json->abort();
        json->deleteLater();
        qCDebug(lcOAuth) << pendingGrantType << "grant in flight dropped";
    }
    pendingGrantType.clear();
    zel::platform::wipe(queuedAuthorizationCode);
    endReplies(message, zel::network::AuthenticatedReply::NoAccessToken,
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
    QList<QPointer<zel::network::AuthenticatedReply>> replies;
    for (zel::network::AuthenticatedReply* reply : std::as_const(liveReplies))
        replies.append(reply);
    for (const auto& reply : std::as_const(replies)) {
        if (!alive)
            return;
        if (reply)
            zel::network::AuthenticatedReplyPrivate::end(reply, message, code, kind, waitingOnly);
    }
}

void AbstractOAuth2Client::handOut(JsonNetworkReplyImpl* json)
{
    handedOutReplies.removeAll(nullptr);
    handedOutReplies.append(json);
}

void AbstractOAuth2Client::setClientId(const QString& id)
{
    m_clientId = id;
    emit settingsChanged({ { keys::clientId, m_clientId } });
}

QString AbstractOAuth2Client::clientSecret() const
{
    if (sealedClientSecret.isValid()) {
        QByteArray secret
            = unprotectValue(std::exchange(sealedClientSecret, QVariant())).toByteArray();
        m_clientSecret = QString::fromUtf8(secret);
        zel::platform::wipe(secret);
        if (m_clientSecret.isEmpty())
            qCWarning(lcOAuth) << "Client credentials are not valid: the stored client secret "
                                  "cannot be read";
    }
    return m_clientSecret;
}

bool AbstractOAuth2Client::hasClientCredentials() const
{
    return !m_clientId.isEmpty() && (sealedClientSecret.isValid() || !m_clientSecret.isEmpty());
}

QByteArray AbstractOAuth2Client::clientAuthorization() const
{
    QByteArray pair = m_clientId.toLatin1() + ':' + clientSecret().toLatin1();
    const QByteArray header = "Basic " + pair.toBase64();
    zel::platform::wipe(pair);
    return header;
}

void AbstractOAuth2Client::holdClientSecret(const QString& secret)
{
    sealedClientSecret.clear();
    m_clientSecret = secret;
}

bool AbstractOAuth2Client::setClientSecret(const QString& secret)
{
    holdClientSecret(secret);
    const QVariant sealed = protectValue(m_clientSecret);
    if (!sealed.isValid())
        return false; // an empty value written over the stored secret would lose it
    emit settingsChanged({ { keys::clientSecret, sealed } });
    return true;
}

void AbstractOAuth2Client::loadSettings(const QSharedPointer<QSettings>& settings)
{
    // The secrets stay protected until first needed; a stored secret that cannot be read is
    // reported then, and the device counts as without credentials from that moment. Half a pair
    // is a damaged store and warned of; none is a new device's normal state (and a warning,
    // the process's first message, would cost a host's start several milliseconds).
    m_clientId = settings->value(keys::clientId).toString();
    m_clientSecret.clear();
    sealedClientSecret = settings->value(keys::clientSecret);
    if (sealedClientSecret.toByteArray().isEmpty())
        sealedClientSecret.clear();
    if (m_clientId.isEmpty() != !sealedClientSecret.isValid()) {
        m_clientId.clear();
        sealedClientSecret.clear();
        qCWarning(lcOAuth) << "Client credentials are not valid";
    } else if (m_clientId.isEmpty()) {
        qCDebug(lcOAuth) << "No client credentials stored";
    } else {
        qCDebug(lcOAuth) << "Client credentials are stored";
    }

    const QString algorithm = settings->value(keys::algorithm).toString();
    if (!algorithm.isEmpty() && !zel::mac::parseMacAlgorithm(algorithm, token.algorithm))
        qCWarning(lcOAuth) << "Given algorithm" << algorithm << "is wrong or unsupported";

    token.macKey = settings->value(keys::macKey).toString().toUtf8();
    token.refreshToken.clear();
    sealedRefreshToken = settings->value(keys::refreshToken);
    if (sealedRefreshToken.toByteArray().isEmpty())
        sealedRefreshToken.clear();
    token.issueTime = settings->value(keys::issueTime, token.issueTime).toLongLong(); // 0 if NaN
}

void AbstractOAuth2Client::clearCredentials()
{
    m_clientId.clear();
    zel::platform::wipe(m_clientSecret);
    sealedClientSecret.clear();
    token.clear();
    sealedRefreshToken.clear();
}

bool AbstractOAuth2Client::hasRefreshToken() const
{
    return sealedRefreshToken.isValid() || !token.refreshToken.isEmpty();
}

bool AbstractOAuth2Client::unsealRefreshToken()
{
    if (!sealedRefreshToken.isValid())
        return true;
    QString why;
    QByteArray refresh
        = unprotectValue(std::exchange(sealedRefreshToken, QVariant()), &why).toByteArray();
    token.refreshToken = QString::fromUtf8(refresh);
    zel::platform::wipe(refresh);
    if (!token.refreshToken.isEmpty())
        return true;
    unreadableLogin = QStringLiteral("The stored login could not be read: %1").arg(why);
    return false;
}

QByteArray AbstractOAuth2Client::protectData(const QByteArray& bytes)
{
    zel::platform::Bytes plain = toBytes(bytes);
    zel::platform::ProtectionResult result = zel::platform::protectBytes(plain);
    zel::platform::wipe(plain);
    return takeResult(result, "Could not protect a value:");
}

QByteArray AbstractOAuth2Client::unprotectData(const QByteArray& bytes, QString* why)
{
    if (bytes.isEmpty()) {
        if (why)
            *why = QStringLiteral("it is empty");
        return {};
    }
    zel::platform::ProtectionResult result = zel::platform::unprotectBytes(toBytes(bytes));
    if (!result.ok && why)
        *why = QString::fromStdString(result.error);
    return takeResult(result, "Could not unprotect a stored value:");
}

QVariant AbstractOAuth2Client::protectValue(const QVariant& value)
{
    QByteArray plain = value.toByteArray();
    QByteArray sealed = protectData(plain);
    zel::platform::wipe(plain);
    if (sealed.isEmpty())
        return QVariant(); // a sealed value is never empty, even for empty input
    const QString text = QString::fromLatin1(sealed.toBase64());
    zel::platform::wipe(sealed);
    return text;
}

QVariant AbstractOAuth2Client::unprotectValue(const QVariant& value, QString* why)
{
    const QByteArray text = value.toByteArray();
    const auto decoded
        = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        qCWarning(lcPlatform) << "A stored protected value is not base64 text";
        if (why)
            *why = QStringLiteral("it is not base64 text");
        return QByteArray();
    }
    QByteArray plain = unprotectData(*decoded, why);
    const QByteArray copy(plain.constData(), plain.size()); // deep copy, the buffer is wiped
    zel::platform::wipe(plain);
    return copy;
}

// --- Token grants ----------------------------------------------------------------------------

bool AbstractOAuth2Client::hasValidAccessToken() const
{
    return !token.accessToken.isEmpty() && QDateTime::currentMSecsSinceEpoch() < token.expiryTime;
}

void AbstractOAuth2Client::ensureAccessToken()
{
    if (hasValidAccessToken()) {
        emit hasAccessToken();
        return;
    }
    if (!unsealRefreshToken()) {
        // The login ends as if none had been stored, but nothing stored is touched: no grant
        // goes out, since a refused one would empty the store.
        qCWarning(lcOAuth) << "The stored refresh token cannot be read; logged out";
        const QPointer<AbstractOAuth2Client> alive(this);
        reportTokenFailure(zel::network::ErrorKind::UnreadableStore, unreadableLogin);
        if (alive)
            emit disconnected();
        return;
    }
    if (!unreadableLogin.isEmpty()) {
        // Until a new login replaces it.
        reportTokenFailure(zel::network::ErrorKind::UnreadableStore, unreadableLogin);
        return;
    }
    if (!token.refreshToken.isEmpty()) {
        fetchAccessTokenUsingRefreshToken();
    } else if (hasClientCredentials() && !clientSecret().isEmpty()) {
        fetchAccessTokenUsingClientCredentials();
    } else {
        reportTokenFailure(
            zel::network::ErrorKind::NotLoggedIn, QStringLiteral("No client credentials set"));
    }
}

void AbstractOAuth2Client::fetchAccessTokenUsingAuthorizationCode(QString code)
{
    fetchAccessToken(oauth::authorizationCodeGrant, { { oauth::code, code } });
}

void AbstractOAuth2Client::fetchAccessTokenUsingRefreshToken()
{
    unsealRefreshToken();
    fetchAccessToken(oauth::refreshTokenGrant, { { oauth::refreshToken, token.refreshToken } });
}

void AbstractOAuth2Client::fetchAccessTokenUsingClientCredentials()
{
    fetchAccessToken(oauth::clientCredentialsGrant, {});
}

void AbstractOAuth2Client::fetchAccessToken(const QString& grantType, FormFields fields)
{
    if (!pendingGrantType.isEmpty()) {
        // A login's code is single-use: dropping it would lose the login, so it waits.
        if (grantType == oauth::authorizationCodeGrant) {
            // A copy of its own, so that wiping it cannot detach and miss the bytes.
            zel::platform::wipe(queuedAuthorizationCode);
            const QString& code = fields.front().second;
            queuedAuthorizationCode = QString(code.constData(), code.size());
            qCDebug(lcOAuth) << "Token request in flight; authorization_code grant queued";
        } else {
            qCDebug(lcOAuth) << "Token request in flight;" << grantType << "grant joins it";
        }
        return;
    }
    pendingGrantType = grantType;

    const QUrl url(m_oauthServer + QLatin1String("/oauth/token"), QUrl::TolerantMode);
    QNetworkRequest request = zel::createFormRequest(url);
    // Sent up front rather than after a challenge: a grant is one request.
    request.setRawHeader("Authorization", clientAuthorization());

    fields.insert(fields.begin(), { oauth::grantType, grantType });
    if (grantType == oauth::authorizationCodeGrant)
        fields.emplace_back(oauth::redirectUri, m_redirectUri);

    qCDebug(lcOAuth) << "Fetching access token:" << grantType << "grant from"
                     << url.toString(QUrl::RemoveUserInfo);

    QByteArray body = zel::formBody(fields);
    JsonNetworkReplyImpl* json = startJsonExchange(QNetworkAccessManager::PostOperation, request,
        body, zel::jsonAnswerLimit, ExchangeOwner::Service)
                                     .json;
    zel::platform::wipe(body);
    grantReply = json;
    connect(json, &JsonNetworkReplyImpl::finished, this,
        &AbstractOAuth2Client::accessTokenRequestFinished);
    connect(
        json, &JsonNetworkReplyImpl::error, this, &AbstractOAuth2Client::accessTokenRequestFailed);
}

void AbstractOAuth2Client::accessTokenRequestFinished(int statusCode, QJsonDocument result)
{
    if (QObject* json = sender())
        json->deleteLater();
    grantReply = nullptr;
    unsealRefreshToken(); // the answer is read against the whole record

    const QString grant = pendingGrantType;
    TokenAnswer answer = interpretTokenAnswer(
        grant, statusCode, result, token, QDateTime::currentMSecsSinceEpoch());
    switch (answer.outcome) {
    case TokenAnswer::NotAnObject:
        qCWarning(lcOAuth) << "Token request finished:" << grant
                           << "grant answered with something other than a JSON object";
        failGrant(GrantFailure::TokensKept, zel::network::ErrorKind::UnexpectedAnswer,
            QStringLiteral("Unexpected access token response"));
        return;
    case TokenAnswer::Refused: {
        qCWarning(lcOAuth) << "Token request finished:" << grant << "grant refused with status"
                           << statusCode;
        QString message; // a refused client-credentials grant is told by the empty map alone
        if (grant == oauth::refreshTokenGrant)
            message = QStringLiteral("Refresh token is not valid anymore");
        else if (grant == oauth::authorizationCodeGrant)
            message = QStringLiteral("Authorization code invalid");
        failGrant(GrantFailure::Refused, zel::network::ErrorKind::LoginRefused, message);
        return;
    }
    case TokenAnswer::BadAlgorithm:
        qCWarning(lcOAuth) << "Token request finished:" << grant
                           << "grant answered with an unsupported MAC algorithm"
                           << result.object().value(oauth::algorithm).toString();
        token = answer.token;
        failGrant(GrantFailure::TokensKept, zel::network::ErrorKind::UnexpectedAnswer,
            QStringLiteral("Invalid MAC algorithm specified"));
        return;
    case TokenAnswer::Granted:
        break;
    }

    if (answer.lifetime == 0)
        qCWarning(lcOAuth) << "Token expires in 0 seconds. That cannot be right!";
    token = answer.token;
    bool saved = true;
    if (answer.newRefreshToken) {
        const QVariant sealed = protectValue(token.refreshToken);
        saved = sealed.isValid();
        // Unsaved, the token goes from the store too: left there, another login's token would
        // be paired with this login's key at the next start.
        answer.settings.insert(keys::refreshToken, sealed);
    }
    unreadableLogin.clear(); // a new login replaces the one that could not be read
    pendingGrantType.clear();
    qCDebug(lcOAuth) << "Token request finished:" << grant << "grant succeeded, expires in"
                     << answer.lifetime << "s";
    // Each receiver may log out, start a grant or delete this object.
    const QPointer<AbstractOAuth2Client> alive(this);
    if (!saved)
        reportUnsavedValue(QStringLiteral("Could not protect the refresh token; it was not "
                                          "saved, so the login lasts only for this session"));
    if (!alive)
        return;
    emit settingsChanged(answer.settings);
    if (alive && (grant == oauth::authorizationCodeGrant || grant == oauth::clientCredentialsGrant))
        emit loggedIn();
    if (alive && hasAccessTokenToSign()) // a receiver may have logged out meanwhile
        emit hasAccessToken();
    if (alive)
        startQueuedGrant();
}

void AbstractOAuth2Client::accessTokenRequestFailed(QString message, int code)
{
    const auto* failed = qobject_cast<const JsonNetworkReplyImpl*>(sender());
    const zel::network::ErrorKind kind
        = failed ? failed->errorKind() : zel::network::ErrorKind::NetworkFailure;
    if (QObject* json = sender())
        json->deleteLater();
    grantReply = nullptr;

    if (pendingGrantType == oauth::refreshTokenGrant && isInvalidGrant(message, code)) {
        // The server revoked the refresh token: retrying it can never succeed.
        qCWarning(lcOAuth) << "Token request failed: refresh_token grant refused (invalid_grant)";
        failGrant(GrantFailure::Revoked, zel::network::ErrorKind::LoginRefused, message);
        return;
    }
    // The message is a server error body or a transport message; neither holds a secret of
    // ours, but the body may echo the request, so only the code is logged.
    qCWarning(lcOAuth) << "Token request failed:" << pendingGrantType << "grant, code" << code;
    failGrant(GrantFailure::TokensKept, kind, message);
}

void AbstractOAuth2Client::failGrant(
    GrantFailure failure, zel::network::ErrorKind kind, const QString& message)
{
    // Nothing is in flight while the receivers run: one of them may start the next grant.
    pendingGrantType.clear();
    const QPointer<AbstractOAuth2Client> alive(this); // a receiver may delete this object
    if (failure != GrantFailure::TokensKept) {
        token.clear();
        sealedRefreshToken.clear();
        if (failure == GrantFailure::Refused) {
            // The store forgets the device too: so does this session, or the next login would
            // be stored without the credentials its grants need.
            m_clientId.clear();
            zel::platform::wipe(m_clientSecret);
            sealedClientSecret.clear();
            emit settingsChanged(QVariantMap());
        } else {
            // Only the session ends: the device keeps its credentials, the host its origins.
            emit settingsChanged({ { keys::refreshToken, QVariant() }, { keys::macKey, QVariant() },
                { keys::algorithm, QVariant() }, { keys::issueTime, QVariant() } });
        }
    }
    if (!alive)
        return;
    // A refused client-credentials grant has no message: the emptied store tells the host.
    if (failure == GrantFailure::Refused && message.isEmpty())
        reportTokenFailure(kind, QStringLiteral("The client credentials were refused"), true);
    else
        reportTokenFailure(kind, message);
    if (alive && failure == GrantFailure::Revoked)
        emit disconnected();
    if (alive)
        startQueuedGrant();
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

void AbstractOAuth2Client::startQueuedGrant()
{
    if (queuedAuthorizationCode.isEmpty())
        return;
    if (!pendingGrantType.isEmpty())
        return; // a receiver of the signals started a grant; the code waits for that one
    QString code = std::exchange(queuedAuthorizationCode, QString());
    fetchAccessTokenUsingAuthorizationCode(code);
    zel::platform::wipe(code);
}

QNetworkAccessManager* AbstractOAuth2Client::newExchangeManager()
{
    auto* manager = new QNetworkAccessManager(this); // goes with the service, replies and all
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy); // Qt 6 would follow them
    manager->setTransferTimeout(
        m_transferTimeout > 0 ? m_transferTimeout : zel::defaultTransferTimeout);
    manager->setCookieJar(new RefusingCookieJar(manager));
    // No authenticationRequired handler and no user info in any URL: a challenge fails the
    // request, and no credential is ever cached.
    return manager;
}

QNetworkAccessManager* AbstractOAuth2Client::exchangeManager(bool ownConnection)
{
    if (ownConnection)
        return newExchangeManager();
    if (!sharedManager) {
        sharedManager = newExchangeManager();
        // Once per manager rather than per request: this is every call's path.
        connect(sharedManager, &QNetworkAccessManager::finished, this,
            &AbstractOAuth2Client::retireIfStalled);
    }
    return sharedManager;
}

void AbstractOAuth2Client::retireIfStalled(QNetworkReply* reply)
{
    // Qt keeps a connection whose TLS handshake stalled and queues the next requests on it, where
    // they time out in turn: after a timeout without any answer the next exchanges go through a
    // new manager. The old one goes once its calls have ended (clearing its connections would
    // break those).
    QNetworkAccessManager* const manager = reply->manager();
    if (manager != sharedManager
        || reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()
        || zel::timeoutMessage(reply, zel::Server::OAuth).isEmpty())
        return;
    sharedManager = nullptr;
    const auto releaseWhenIdle = [manager] {
        if (manager->findChildren<QNetworkReply*>().isEmpty())
            manager->deleteLater();
    };
    const auto replies = manager->findChildren<QNetworkReply*>();
    for (QNetworkReply* running : replies)
        connect(running, &QObject::destroyed, manager, releaseWhenIdle, Qt::QueuedConnection);
}

AbstractOAuth2Client::Exchange AbstractOAuth2Client::startJsonExchange(
    QNetworkAccessManager::Operation operation, const QNetworkRequest& original,
    const QByteArray& body, qint64 maximumSize, ExchangeOwner owner, zel::Server server)
{
    QNetworkRequest request(original);
#if QT_VERSION_MAJOR < 6
    // Qt 5 keeps Nagle's algorithm on for its HTTP/1.1 sockets and writes a request's body after
    // its headers: on a reused connection the body waits for the server's delayed ACK. Measured
    // on loopback, shared manager: a POST with a 34 B to 4 KiB body took 44 ms, a GET 0.4 ms
    // (HTTPS 0.2 ms); a new connection per POST took 0.8 ms over HTTP (over HTTPS it often
    // stalls as well). Over HTTP/2 Qt 5 sends headers and body together: 0.5 ms on the shared
    // connection. So an exchange with a body gets a manager (and a connection) of its own,
    // unless its HTTPS origin has answered over HTTP/2. Qt 5 offers HTTP/2 only when asked
    // (Qt 6 by default): the first such exchange to an origin asks, and its answer decides for
    // the next ones; offered on many new connections at once it measured slower.
    QString probedOrigin;
    bool ownConnection = !body.isEmpty();
    if (ownConnection && request.url().scheme() == QLatin1String("https")) {
        const QString origin = request.url().host().toLower() + QLatin1Char(':')
            + QString::number(request.url().port(443));
        const auto known = http2Origins.constFind(origin);
        if (known == http2Origins.cend()) { // not asked yet: this exchange asks
            request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
            probedOrigin = origin;
            http2Origins.insert(origin, Http2Answer::Awaited);
        } else if (*known == Http2Answer::Yes) {
            request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
            ownConnection = false;
        }
    }
#else
    // Qt 6 sets TCP_NODELAY: every exchange shares the warm connections.
    const bool ownConnection = false;
#endif
    QNetworkAccessManager* manager = exchangeManager(ownConnection);
    QNetworkReply* reply = nullptr;
    switch (operation) {
    case QNetworkAccessManager::GetOperation:
        reply = manager->get(request);
        break;
    case QNetworkAccessManager::PutOperation:
        reply = manager->put(request, body);
        break;
    case QNetworkAccessManager::PostOperation:
        reply = manager->post(request, body);
        break;
    case QNetworkAccessManager::DeleteOperation:
        reply = manager->deleteResource(request);
        break;
    default:
        break;
    }
#if QT_VERSION_MAJOR < 6
    if (!reply && !probedOrigin.isEmpty())
        http2Origins.remove(probedOrigin);
#endif
    if (manager != sharedManager) {
        if (!reply) {
            delete manager;
            return {};
        }
        connect(reply, &QNetworkReply::finished, manager, &QObject::deleteLater);
    }
    if (!reply)
        return {};
    // The JSON reply releases it once reported; this also covers a JSON reply dropped earlier.
    connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
#if QT_VERSION_MAJOR < 6
    if (!probedOrigin.isEmpty())
        connect(reply, &QNetworkReply::finished, this, [this, reply, probedOrigin] {
            // No answer at all (no connection) tells nothing: the next exchange asks again.
            if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
                http2Origins.remove(probedOrigin);
            else if (reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool())
                http2Origins.insert(probedOrigin, Http2Answer::Yes);
            else
                http2Origins.insert(probedOrigin, Http2Answer::No);
        });
#endif

    auto* json = new JsonNetworkReplyImpl(reply, server);
    json->setMaximumSize(maximumSize);
    if (maximumSize > 0)
        zel::limitAnswerTime(reply, server, 2 * manager->transferTimeout());
    if (owner == ExchangeOwner::Service) // its own context: no double deletion
        connect(this, &QObject::destroyed, json, [json] { delete json; });
    return { json, reply, {} };
}

// --- Signed requests -------------------------------------------------------------------------

zel::network::AuthenticatedReply* AbstractOAuth2Client::authenticatedGet(
    const QNetworkRequest& request)
{
    return authenticatedRequest(QNetworkAccessManager::GetOperation, request, QByteArray());
}

zel::network::AuthenticatedReply* AbstractOAuth2Client::authenticatedPost(
    const QNetworkRequest& request, const QByteArray& body)
{
    return authenticatedRequest(QNetworkAccessManager::PostOperation, request, body);
}

zel::network::AuthenticatedReply* AbstractOAuth2Client::authenticatedPut(
    const QNetworkRequest& request, const QByteArray& body)
{
    return authenticatedRequest(QNetworkAccessManager::PutOperation, request, body);
}

zel::network::AuthenticatedReply* AbstractOAuth2Client::authenticatedDelete(
    const QNetworkRequest& request)
{
    return authenticatedRequest(QNetworkAccessManager::DeleteOperation, request, QByteArray());
}

zel::network::AuthenticatedReply* AbstractOAuth2Client::authenticatedRequest(
    QNetworkAccessManager::Operation operation, const QNetworkRequest& request,
    const QByteArray& body)
{
    return zel::network::AuthenticatedReplyPrivate::create(operation, request, body, this);
}

AbstractOAuth2Client::Exchange AbstractOAuth2Client::sendSignedRequest(
    QNetworkAccessManager::Operation operation, const QNetworkRequest& request,
    const QByteArray& body, qint64 maximumSize)
{
    QNetworkRequest signedRequest(request);
    const QString verb = QString::fromLatin1(zel::mac::httpVerb(operation));
    if (verb.isEmpty())
        return {};
    signedRequest.setRawHeader("Authorization",
        zel::mac::macAuthorizationHeader(request.url(), verb, token, body).toUtf8());
    Exchange exchange = startJsonExchange(
        operation, signedRequest, body, maximumSize, ExchangeOwner::Caller, zel::Server::Api);
    if (exchange.reply) {
        exchange.signedWith = token.accessToken;
        qCDebug(lcOAuth) << "Signed request sent:" << verb
                         << request.url().toString(QUrl::RemoveUserInfo);
    }
    return exchange;
}

void AbstractOAuth2Client::invalidateAccessToken(const QByteArray& signedWith)
{
    if (!signedWith.isEmpty() && token.accessToken == signedWith)
        token.accessToken.clear();
}
