#include "AbstractOAuth2Client.h"

#include "AuthenticatedReplyPrivate.h"
#include "JsonNetworkReplyImpl.h"
#include "Logging.h"
#include "platform/DataProtection.h"

#include <QDateTime>
#include <QJsonObject>
#include <QNetworkReply>

#include <openssl/crypto.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const QString grantAuthorizationCode = QStringLiteral("authorization_code");
const QString grantRefreshToken = QStringLiteral("refresh_token");
const QString grantClientCredentials = QStringLiteral("client_credentials");

void cleanse(QByteArray& bytes)
{
    if (!bytes.isEmpty())
        OPENSSL_cleanse(bytes.data(), size_t(bytes.size()));
}

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

// application/x-www-form-urlencoded with every reserved character escaped, so that a token
// holding "+", "&", "=" or "%" reaches the server unchanged (RFC 3986, 2.3: unreserved set).
QByteArray formBody(const QUrlQuery& query)
{
    QByteArray body;
    const auto items = query.queryItems(QUrl::FullyDecoded);
    for (const auto& item : items) {
        if (!body.isEmpty())
            body += '&';
        body += QUrl::toPercentEncoding(item.first) + '=' + QUrl::toPercentEncoding(item.second);
    }
    return body;
}

// RFC 6749, 5.2: a refused refresh token is answered with the error code "invalid_grant".
bool isInvalidGrant(const QString& message, int code)
{
    if (code != 400 && code != 401)
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8());
    return document.isObject()
        && document.object().value(QLatin1String("error")).toString()
        == QLatin1String("invalid_grant");
}

} // namespace

AbstractOAuth2Client::AbstractOAuth2Client(QObject* parent)
    : QObject(parent)
{
}

AbstractOAuth2Client::~AbstractOAuth2Client() = default;

void AbstractOAuth2Client::setClientId(const QString& id)
{
    m_clientId = id;
    emit settingsChanged({ { QStringLiteral("client_id"), m_clientId } });
}

void AbstractOAuth2Client::setClientSecret(const QString& secret)
{
    m_clientSecret = secret;
    emit settingsChanged({ { QStringLiteral("client_secret"), protectValue(m_clientSecret) } });
}

void AbstractOAuth2Client::loadSettings(const QSharedPointer<QSettings>& settings)
{
    m_clientId = settings->value(QStringLiteral("client_id")).toString();
    QByteArray secret
        = unprotectValue(settings->value(QStringLiteral("client_secret"))).toByteArray();
    m_clientSecret = QString::fromUtf8(secret);
    cleanse(secret);
    if (m_clientId.isEmpty() || m_clientSecret.isEmpty()) {
        m_clientId.clear();
        m_clientSecret.clear();
        qCWarning(lcOAuth) << "Client credentials are not valid";
    } else {
        qCDebug(lcOAuth) << "Client credentials are valid";
    }

    const QString algorithm = settings->value(QStringLiteral("algorithm")).toString();
    if (!algorithm.isEmpty() && !zel::mac::parseMacAlgorithm(algorithm, token.algorithm))
        qCWarning(lcOAuth) << "Given algorithm" << algorithm << "is wrong or unsupported";

    token.macKey = settings->value(QStringLiteral("key")).toString().toUtf8();
    QByteArray refresh
        = unprotectValue(settings->value(QStringLiteral("refresh_token"))).toByteArray();
    token.refreshToken = QString::fromUtf8(refresh);
    cleanse(refresh);
    token.issueTime
        = settings->value(QStringLiteral("issue_time"), token.issueTime).toLongLong(); // 0 if NaN
}

void AbstractOAuth2Client::clearCredentials()
{
    m_clientId.clear();
    m_clientSecret.clear();
    token.clear();
}

QByteArray AbstractOAuth2Client::protectData(const QByteArray& bytes)
{
    zel::platform::Bytes plain = toBytes(bytes);
    zel::platform::ProtectionResult result = zel::platform::protectBytes(plain);
    zel::platform::wipe(plain);
    return takeResult(result, "Could not protect a value:");
}

QByteArray AbstractOAuth2Client::unprotectData(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return {};
    zel::platform::ProtectionResult result = zel::platform::unprotectBytes(toBytes(bytes));
    return takeResult(result, "Could not unprotect a stored value:");
}

QVariant AbstractOAuth2Client::protectValue(const QVariant& value)
{
    QByteArray plain = value.toByteArray();
    QByteArray sealed = protectData(plain);
    const QString text = QString::fromLatin1(sealed.toBase64());
    cleanse(sealed);
    cleanse(plain);
    return text;
}

QVariant AbstractOAuth2Client::unprotectValue(const QVariant& value)
{
    const QByteArray text = value.toByteArray();
    const auto decoded
        = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        qCWarning(lcPlatform) << "A stored protected value is not base64 text";
        return QByteArray();
    }
    QByteArray plain = unprotectData(*decoded);
    const QByteArray copy(plain.constData(), plain.size()); // deep copy, the buffer is wiped
    cleanse(plain);
    return copy;
}

QNetworkRequest AbstractOAuth2Client::createFormRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setHeader(
        QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    return request;
}

// --- Token grants ----------------------------------------------------------------------------

void AbstractOAuth2Client::ensureAccessToken()
{
    if (!token.accessToken.isEmpty() && QDateTime::currentMSecsSinceEpoch() < token.expiryTime) {
        emit hasAccessToken();
    } else if (!token.refreshToken.isEmpty()) {
        fetchAccessTokenUsingRefreshToken();
    } else if (!m_clientId.isEmpty() && !m_clientSecret.isEmpty()) {
        fetchAccessTokenUsingClientCredentials();
    } else {
        emit accessTokenError(QStringLiteral("No client credentials set"));
    }
}

void AbstractOAuth2Client::fetchAccessTokenUsingAuthorizationCode(QString code)
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("grant_type"), grantAuthorizationCode);
    query.addQueryItem(QStringLiteral("code"), code);
    fetchAccessToken(query);
}

void AbstractOAuth2Client::fetchAccessTokenUsingRefreshToken()
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("grant_type"), grantRefreshToken);
    query.addQueryItem(QStringLiteral("refresh_token"), token.refreshToken);
    fetchAccessToken(query);
}

void AbstractOAuth2Client::fetchAccessTokenUsingClientCredentials()
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("grant_type"), grantClientCredentials);
    fetchAccessToken(query);
}

void AbstractOAuth2Client::fetchAccessToken(QUrlQuery& query)
{
    const QString grantType = query.queryItemValue(QStringLiteral("grant_type"));
    if (!pendingGrantType.isEmpty()) {
        // A login's code is single-use: dropping it would lose the login, so it waits.
        if (grantType == grantAuthorizationCode) {
            queuedAuthorizationCode
                = query.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded);
            qCDebug(lcOAuth) << "Token request in flight; authorization_code grant queued";
        } else {
            qCDebug(lcOAuth) << "Token request in flight;" << grantType << "grant joins it";
        }
        return;
    }
    pendingGrantType = grantType;

    QUrl url(m_oauthServer + QLatin1String("/oauth/token"), QUrl::TolerantMode);
    url.setUserName(m_clientId, QUrl::DecodedMode);
    url.setPassword(m_clientSecret, QUrl::DecodedMode);
    const QNetworkRequest request = createFormRequest(url);

    if (grantType == grantAuthorizationCode)
        query.addQueryItem(QStringLiteral("redirect_uri"), m_redirectUri);

    qCDebug(lcOAuth) << "Fetching access token:" << grantType << "grant from"
                     << url.toString(QUrl::RemoveUserInfo);

    auto* manager = new QNetworkAccessManager;
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy); // Qt 6 would follow them
    QByteArray body = formBody(query);
    QNetworkReply* reply = manager->post(request, body);
    cleanse(body);
    connect(reply, &QNetworkReply::finished, manager, &QObject::deleteLater);

    auto* json = new JsonNetworkReplyImpl(reply);
    bindExchange(manager, json);
    connect(json, &JsonNetworkReplyImpl::finished, this,
        &AbstractOAuth2Client::accessTokenRequestFinished);
    connect(
        json, &JsonNetworkReplyImpl::error, this, &AbstractOAuth2Client::accessTokenRequestFailed);
}

void AbstractOAuth2Client::accessTokenRequestFinished(int statusCode, QJsonDocument result)
{
    if (QObject* json = sender())
        json->deleteLater();

    if (!result.isObject()) {
        qCWarning(lcOAuth) << "Token request finished:" << pendingGrantType
                           << "grant answered with something other than a JSON object";
        pendingGrantType.clear();
        emit accessTokenError(QStringLiteral("Unexpected access token response"));
        startQueuedGrant();
        return;
    }

    const QString grant = pendingGrantType;
    if (statusCode != 200) {
        qCWarning(lcOAuth) << "Token request finished:" << grant << "grant refused with status"
                           << statusCode;
        dropTokens();
        if (grant == grantRefreshToken)
            emit accessTokenError(QStringLiteral("Refresh token is not valid anymore"));
        else if (grant == grantAuthorizationCode)
            emit accessTokenError(QStringLiteral("Authorization code invalid"));
        startQueuedGrant();
        return;
    }

    const QJsonObject object = result.object();
    QVariantMap settings;
    token.refreshToken = object.value(QLatin1String("refresh_token")).toString();
    settings.insert(QStringLiteral("refresh_token"), protectValue(token.refreshToken));
    token.accessToken = object.value(QLatin1String("access_token")).toString().toUtf8();

    // Truncated toward zero into 32 bits; out-of-range numbers are clamped, not undefined.
    const double expiresIn = object.value(QLatin1String("expires_in")).toDouble();
    int seconds = 0;
    if (std::isfinite(expiresIn)) {
        seconds = int(std::trunc(std::clamp(expiresIn, double(std::numeric_limits<int>::min()),
            double(std::numeric_limits<int>::max()))));
    }
    if (seconds == 0)
        qCWarning(lcOAuth) << "Token expires in 0 seconds. That cannot be right!";
    token.expiryTime = QDateTime::currentMSecsSinceEpoch() + qint64(seconds) * 1000;

    const QString secret = object.value(QLatin1String("secret")).toString();
    token.macKey = secret.toUtf8();
    settings.insert(QStringLiteral("key"), secret);

    const QString algorithm = object.value(QLatin1String("algorithm")).toString();
    settings.insert(QStringLiteral("algorithm"), algorithm);
    if (!zel::mac::parseMacAlgorithm(algorithm, token.algorithm)) {
        qCWarning(lcOAuth) << "Token request finished:" << grant
                           << "grant answered with an unsupported MAC algorithm" << algorithm;
        pendingGrantType.clear();
        emit accessTokenError(QStringLiteral("Invalid MAC algorithm specified"));
        startQueuedGrant();
        return;
    }

    token.issueTime = QDateTime::currentMSecsSinceEpoch();
    settings.insert(QStringLiteral("issue_time"), token.issueTime);
    pendingGrantType.clear();
    qCDebug(lcOAuth) << "Token request finished:" << grant << "grant succeeded, expires in"
                     << seconds << "s";
    emit settingsChanged(settings);
    if (grant == grantAuthorizationCode || grant == grantClientCredentials)
        emit loggedIn();
    emit hasAccessToken();
    startQueuedGrant();
}

void AbstractOAuth2Client::accessTokenRequestFailed(QString message, int code)
{
    if (QObject* json = sender())
        json->deleteLater();

    const QString grant = pendingGrantType;
    pendingGrantType.clear();
    if (grant == grantRefreshToken && isInvalidGrant(message, code)) {
        // The server revoked the refresh token: retrying it can never succeed.
        qCWarning(lcOAuth) << "Token request failed: refresh_token grant refused (invalid_grant)";
        dropTokens();
        emit accessTokenError(message);
        emit disconnected();
    } else {
        // The message is a server error body or a transport message; neither holds a secret
        // of ours, but the body may echo the request, so only the code is logged.
        qCWarning(lcOAuth) << "Token request failed:" << grant << "grant, code" << code;
        emit accessTokenError(message);
    }
    startQueuedGrant();
}

void AbstractOAuth2Client::dropTokens()
{
    pendingGrantType.clear();
    token.clear();
    emit settingsChanged(QVariantMap());
}

void AbstractOAuth2Client::startQueuedGrant()
{
    if (queuedAuthorizationCode.isEmpty())
        return;
    if (!pendingGrantType.isEmpty())
        return; // a receiver of the signals started a grant; the code waits for that one
    const QString code = queuedAuthorizationCode;
    queuedAuthorizationCode.clear();
    fetchAccessTokenUsingAuthorizationCode(code);
}

void AbstractOAuth2Client::bindExchange(QNetworkAccessManager* manager, QObject* jsonReply)
{
    // Each object is the context of its own connection, so nothing is deleted twice: a
    // connection goes away with its context object.
    connect(this, &QObject::destroyed, manager, [manager] { delete manager; });
    if (jsonReply)
        connect(this, &QObject::destroyed, jsonReply, [jsonReply] { delete jsonReply; });
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

QNetworkReply* AbstractOAuth2Client::sendSignedRequest(QNetworkAccessManager::Operation operation,
    const QNetworkRequest& request, const QByteArray& body)
{
    QNetworkRequest signedRequest(request);
    const QString verb = QString::fromLatin1(zel::mac::httpVerb(operation));
    if (verb.isEmpty())
        return nullptr;
    signedRequest.setRawHeader("Authorization",
        zel::mac::macAuthorizationHeader(request.url(), verb, token, body).toUtf8());

    auto* manager = new QNetworkAccessManager;
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy); // Qt 6 would follow them
    QNetworkReply* reply = nullptr;
    switch (operation) {
    case QNetworkAccessManager::GetOperation:
        reply = manager->get(signedRequest);
        break;
    case QNetworkAccessManager::PutOperation:
        reply = manager->put(signedRequest, body);
        break;
    case QNetworkAccessManager::PostOperation:
        reply = manager->post(signedRequest, body);
        break;
    case QNetworkAccessManager::DeleteOperation:
        reply = manager->deleteResource(signedRequest);
        break;
    default:
        break;
    }
    if (!reply) {
        delete manager;
        return nullptr;
    }
    connect(reply, &QNetworkReply::finished, manager, &QObject::deleteLater);
    bindExchange(manager);
    qCDebug(lcOAuth) << "Signed request sent:" << verb
                     << request.url().toString(QUrl::RemoveUserInfo);
    return reply;
}
