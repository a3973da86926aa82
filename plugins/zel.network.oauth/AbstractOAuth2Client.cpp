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

// application/x-www-form-urlencoded with every reserved character escaped, so that a value
// holding "+", "&", "=", "%" or a space reaches the server unchanged (RFC 3986, 2.3: unreserved
// set). Each value is encoded exactly once, from the text as held.
QByteArray formBody(const AbstractOAuth2Client::FormFields& fields)
{
    QByteArray body;
    for (const auto& field : fields) {
        if (!body.isEmpty())
            body += '&';
        QByteArray value = field.second.toUtf8();
        body += QUrl::toPercentEncoding(field.first) + '=' + QUrl::toPercentEncoding(value);
        cleanse(value);
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

// The keys of the token record in the store.
const QString keyRefreshToken = QStringLiteral("refresh_token");
const QString keyMacKey = QStringLiteral("key");
const QString keyAlgorithm = QStringLiteral("algorithm");
const QString keyIssueTime = QStringLiteral("issue_time");

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
    const QJsonValue refresh = object.value(QLatin1String("refresh_token"));
    if (refresh.isString()) {
        token.refreshToken = refresh.toString();
        result.newRefreshToken = true;
    } else if (grant != grantRefreshToken) {
        token.refreshToken.clear();
        result.settings.insert(keyRefreshToken, QVariant()); // no stale token of another login
    }
    token.accessToken = object.value(QLatin1String("access_token")).toString().toUtf8();

    // Truncated toward zero into 32 bits; out-of-range numbers are clamped, not undefined.
    const double expiresIn = object.value(QLatin1String("expires_in")).toDouble();
    if (std::isfinite(expiresIn)) {
        result.lifetime = int(std::trunc(std::clamp(expiresIn,
            double(std::numeric_limits<int>::min()), double(std::numeric_limits<int>::max()))));
    }
    token.expiryTime = now + qint64(result.lifetime) * 1000;

    const QString secret = object.value(QLatin1String("secret")).toString();
    token.macKey = secret.toUtf8();
    result.settings.insert(keyMacKey, secret);

    const QString algorithm = object.value(QLatin1String("algorithm")).toString();
    result.settings.insert(keyAlgorithm, algorithm);
    if (!zel::mac::parseMacAlgorithm(algorithm, token.algorithm)) {
        result.outcome = TokenAnswer::BadAlgorithm;
        result.settings.clear();
        result.newRefreshToken = false;
        return result;
    }

    token.issueTime = now;
    result.settings.insert(keyIssueTime, token.issueTime);
    result.outcome = TokenAnswer::Granted;
    return result;
}

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

bool AbstractOAuth2Client::setClientSecret(const QString& secret)
{
    m_clientSecret = secret;
    const QVariant sealed = protectValue(m_clientSecret);
    if (!sealed.isValid())
        return false; // an empty value written over the stored secret would lose it
    emit settingsChanged({ { QStringLiteral("client_secret"), sealed } });
    return true;
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
    cleanse(plain);
    if (sealed.isEmpty())
        return QVariant(); // a sealed value is never empty, even for empty input
    const QString text = QString::fromLatin1(sealed.toBase64());
    cleanse(sealed);
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
    fetchAccessToken(grantAuthorizationCode, { { QStringLiteral("code"), code } });
}

void AbstractOAuth2Client::fetchAccessTokenUsingRefreshToken()
{
    fetchAccessToken(
        grantRefreshToken, { { QStringLiteral("refresh_token"), token.refreshToken } });
}

void AbstractOAuth2Client::fetchAccessTokenUsingClientCredentials()
{
    fetchAccessToken(grantClientCredentials, {});
}

void AbstractOAuth2Client::fetchAccessToken(const QString& grantType, FormFields fields)
{
    if (!pendingGrantType.isEmpty()) {
        // A login's code is single-use: dropping it would lose the login, so it waits.
        if (grantType == grantAuthorizationCode) {
            queuedAuthorizationCode = fields.front().second;
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

    fields.insert(fields.begin(), { QStringLiteral("grant_type"), grantType });
    if (grantType == grantAuthorizationCode)
        fields.emplace_back(QStringLiteral("redirect_uri"), m_redirectUri);

    qCDebug(lcOAuth) << "Fetching access token:" << grantType << "grant from"
                     << url.toString(QUrl::RemoveUserInfo);

    auto* manager = new QNetworkAccessManager;
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy); // Qt 6 would follow them
    QByteArray body = formBody(fields);
    QNetworkReply* reply = manager->post(request, body);
    cleanse(body);
    connect(reply, &QNetworkReply::finished, manager, &QObject::deleteLater);

    auto* json = new JsonNetworkReplyImpl(reply);
    json->setMaximumSize(zel::jsonAnswerLimit);
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

    const QString grant = pendingGrantType;
    TokenAnswer answer = interpretTokenAnswer(
        grant, statusCode, result, token, QDateTime::currentMSecsSinceEpoch());
    switch (answer.outcome) {
    case TokenAnswer::NotAnObject:
        qCWarning(lcOAuth) << "Token request finished:" << grant
                           << "grant answered with something other than a JSON object";
        pendingGrantType.clear();
        emit accessTokenError(QStringLiteral("Unexpected access token response"));
        break;
    case TokenAnswer::Refused:
        qCWarning(lcOAuth) << "Token request finished:" << grant << "grant refused with status"
                           << statusCode;
        token = answer.token;
        dropTokens(false);
        if (grant == grantRefreshToken)
            emit accessTokenError(QStringLiteral("Refresh token is not valid anymore"));
        else if (grant == grantAuthorizationCode)
            emit accessTokenError(QStringLiteral("Authorization code invalid"));
        break;
    case TokenAnswer::BadAlgorithm:
        qCWarning(lcOAuth) << "Token request finished:" << grant
                           << "grant answered with an unsupported MAC algorithm"
                           << result.object().value(QLatin1String("algorithm")).toString();
        token = answer.token;
        pendingGrantType.clear();
        emit accessTokenError(QStringLiteral("Invalid MAC algorithm specified"));
        break;
    case TokenAnswer::Granted: {
        if (answer.lifetime == 0)
            qCWarning(lcOAuth) << "Token expires in 0 seconds. That cannot be right!";
        token = answer.token;
        bool saved = true;
        if (answer.newRefreshToken) {
            const QVariant sealed = protectValue(token.refreshToken);
            saved = sealed.isValid();
            if (saved)
                answer.settings.insert(keyRefreshToken, sealed);
        }
        pendingGrantType.clear();
        qCDebug(lcOAuth) << "Token request finished:" << grant << "grant succeeded, expires in"
                         << answer.lifetime << "s";
        if (!saved)
            reportUnsavedValue(QStringLiteral("Could not protect the refresh token; it was not "
                                              "saved, so the login lasts only for this session"));
        emit settingsChanged(answer.settings);
        if (grant == grantAuthorizationCode || grant == grantClientCredentials)
            emit loggedIn();
        emit hasAccessToken();
        break;
    }
    }
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
        dropTokens(true);
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

void AbstractOAuth2Client::dropTokens(bool revoked)
{
    pendingGrantType.clear();
    token.clear();
    if (!revoked) {
        emit settingsChanged(QVariantMap());
        return;
    }
    // Only the session ends: the device keeps its credentials and the host its configuration.
    emit settingsChanged({ { keyRefreshToken, QVariant() }, { keyMacKey, QVariant() },
        { keyAlgorithm, QVariant() }, { keyIssueTime, QVariant() } });
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
