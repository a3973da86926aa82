#include "TokenGrants.h"

#include "AbstractOAuth2Client.h"
#include "ExchangeTransport.h"
#include "Keys.h"
#include "Logging.h"
#include "SealedCredentials.h"
#include "platform/SecureMemory.h"

#include <QDateTime>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <limits>

namespace zel {

// What tells the grant types apart, a row each: a new grant type is a row here and its request
// fields where it is sent.
struct GrantRule {
    const QString& type;
    // A login's code is single-use: it waits for the grant in flight instead of joining it.
    bool queuesBehindAnother;
    bool logsIn; // its token emits loggedIn
    // Its refusal (a status other than 200): the message, told by accessTokenError, or when
    // quietRefusal by accessTokenRefused (the host learns of it from the emptied store).
    const char* refusal;
    bool quietRefusal;
    // An answer without a refresh token keeps the one held (RFC 6749, 6); after another grant
    // no refresh token is left.
    bool keepsRefreshToken;
    // What an "invalid_grant" error (RFC 6749, 5.2) forgets: a revoked refresh token can never
    // succeed again.
    GrantFailure onInvalidGrant;
};

namespace {

    const GrantRule grantRules[] = {
        // type, queues, logsIn, refusal, quietRefusal, keepsRefreshToken, onInvalidGrant
        { oauth::authorizationCodeGrant, true, true, "Authorization code invalid", false, false,
            GrantFailure::TokensKept },
        { oauth::refreshTokenGrant, false, false, "Refresh token is not valid anymore", false, true,
            GrantFailure::Revoked },
        { oauth::clientCredentialsGrant, false, true, "The client credentials were refused", true,
            false, GrantFailure::TokensKept },
    };

    const GrantRule* grantRule(const QString& type)
    {
        for (const GrantRule& rule : grantRules) {
            if (rule.type == type)
                return &rule;
        }
        return nullptr;
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
    } else if (const GrantRule* rule = grantRule(grant); !rule || !rule->keepsRefreshToken) {
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
    if (!mac::parseMacAlgorithm(algorithm, token.algorithm)) {
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

TokenGrants::TokenGrants(
    AbstractOAuth2Client& client, SealedCredentials& sealed, ExchangeTransport& transport)
    : client(client)
    , sealed(sealed)
    , transport(transport)
{
}

bool TokenGrants::hasValidAccessToken() const
{
    return !record.accessToken.isEmpty() && QDateTime::currentMSecsSinceEpoch() < record.expiryTime;
}

bool TokenGrants::hasRefreshToken() const
{
    return sealed.hasSealedRefreshToken() || !record.refreshToken.isEmpty();
}

bool TokenGrants::unsealRefreshToken()
{
    QString why;
    if (sealed.unsealRefreshToken(record.refreshToken, why))
        return true;
    unreadableLogin = QStringLiteral("The stored login could not be read: %1").arg(why);
    return false;
}

void TokenGrants::ensureAccessToken()
{
    if (hasValidAccessToken()) {
        emit client.hasAccessToken();
        return;
    }
    if (!unsealRefreshToken()) {
        // The login ends as if none had been stored, but nothing stored is touched: no grant
        // goes out, since a refused one would empty the store.
        qCWarning(lcOAuth) << "The stored refresh token cannot be read; logged out";
        const QPointer<TokenGrants> alive(this);
        client.reportTokenFailure(zel::network::ErrorKind::UnreadableStore, unreadableLogin);
        if (alive)
            emit client.disconnected();
        return;
    }
    if (!unreadableLogin.isEmpty()) {
        // Until a new login replaces it.
        client.reportTokenFailure(zel::network::ErrorKind::UnreadableStore, unreadableLogin);
        return;
    }
    if (!record.refreshToken.isEmpty()) {
        fetchAccessTokenUsingRefreshToken();
    } else if (client.hasClientCredentials() && !client.clientSecret().isEmpty()) {
        fetchAccessToken(oauth::clientCredentialsGrant, {});
    } else {
        client.reportTokenFailure(
            zel::network::ErrorKind::NotLoggedIn, QStringLiteral("No client credentials set"));
    }
}

void TokenGrants::fetchAccessTokenUsingRefreshToken()
{
    unsealRefreshToken();
    fetchAccessToken(oauth::refreshTokenGrant, { { oauth::refreshToken, record.refreshToken } });
}

void TokenGrants::fetchAccessTokenUsingAuthorizationCode(const QString& code)
{
    fetchAccessToken(oauth::authorizationCodeGrant,
        { { oauth::code, code }, { oauth::redirectUri, client.redirectUri() } });
}

QString TokenGrants::pendingGrantType() const
{
    return pendingGrant ? pendingGrant->type : QString();
}

void TokenGrants::abandon()
{
    if (JsonNetworkReplyImpl* json = grantReply.data()) {
        grantReply = nullptr;
        json->disconnect(this); // its answer, whatever it is, no longer concerns anyone
        json->abort();
        json->deleteLater();
        qCDebug(lcOAuth) << pendingGrantType() << "grant in flight dropped";
    }
    pendingGrant = nullptr;
    platform::wipe(queuedAuthorizationCode);
}

void TokenGrants::fetchAccessToken(const QString& grantType, FormFields fields)
{
    const GrantRule* const rule = grantRule(grantType);
    if (!rule) {
        qCWarning(lcOAuth) << "Token request not sent: unknown grant type" << grantType;
        return;
    }
    if (pendingGrant) {
        // A login's code is single-use: dropping it would lose the login, so it waits.
        if (rule->queuesBehindAnother) {
            // A copy of its own, so that wiping it cannot detach and miss the bytes.
            platform::wipe(queuedAuthorizationCode);
            const QString& code = fields.front().second;
            queuedAuthorizationCode = QString(code.constData(), code.size());
            qCDebug(lcOAuth) << "Token request in flight;" << grantType << "grant queued";
        } else {
            qCDebug(lcOAuth) << "Token request in flight;" << grantType << "grant joins it";
        }
        return;
    }
    pendingGrant = rule;

    const QUrl url(client.oauthServer() + paths::token, QUrl::TolerantMode);
    QNetworkRequest request = createFormRequest(url);
    // Sent up front rather than after a challenge: a grant is one request.
    request.setRawHeader("Authorization", client.clientAuthorization());

    fields.insert(fields.begin(), { oauth::grantType, grantType });

    qCDebug(lcOAuth) << "Fetching access token:" << grantType << "grant from"
                     << url.toString(QUrl::RemoveUserInfo);

    QByteArray body = formBody(fields);
    JsonNetworkReplyImpl* json = transport
                                     .start(QNetworkAccessManager::PostOperation, request, body,
                                         jsonAnswerLimit, ExchangeOwner::Service, Server::OAuth)
                                     .json;
    platform::wipe(body);
    grantReply = json;
    connect(json, &JsonNetworkReplyImpl::finished, this, &TokenGrants::accessTokenRequestFinished);
    connect(json, &JsonNetworkReplyImpl::error, this, &TokenGrants::accessTokenRequestFailed);
}

void TokenGrants::releaseGrantReply()
{
    if (QObject* json = sender())
        json->deleteLater();
    grantReply = nullptr;
}

void TokenGrants::accessTokenRequestFinished(int statusCode, QJsonDocument result)
{
    releaseGrantReply();
    unsealRefreshToken(); // the answer is read against the whole record

    const GrantRule* const rule = std::exchange(pendingGrant, nullptr);
    if (!rule)
        return; // never sent without one
    const QString& grant = rule->type;
    TokenAnswer answer = interpretTokenAnswer(
        grant, statusCode, result, record, QDateTime::currentMSecsSinceEpoch());
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
        failGrant(GrantFailure::Refused, zel::network::ErrorKind::LoginRefused,
            QString::fromLatin1(rule->refusal), rule->quietRefusal);
        return;
    }
    case TokenAnswer::BadAlgorithm:
        qCWarning(lcOAuth) << "Token request finished:" << grant
                           << "grant answered with an unsupported MAC algorithm"
                           << result.object().value(oauth::algorithm).toString();
        record = answer.token;
        failGrant(GrantFailure::TokensKept, zel::network::ErrorKind::UnexpectedAnswer,
            QStringLiteral("Invalid MAC algorithm specified"));
        return;
    case TokenAnswer::Granted:
        break;
    }

    if (answer.lifetime == 0)
        qCWarning(lcOAuth) << "Token expires in 0 seconds. That cannot be right!";
    record = answer.token;
    bool saved = true;
    if (answer.newRefreshToken) {
        const QVariant sealedToken = SealedCredentials::protectValue(record.refreshToken);
        saved = sealedToken.isValid();
        // Unsaved, the token goes from the store too: left there, another login's token would
        // be paired with this login's key at the next start.
        answer.settings.insert(keys::refreshToken, sealedToken);
    }
    unreadableLogin.clear(); // a new login replaces the one that could not be read
    qCDebug(lcOAuth) << "Token request finished:" << grant << "grant succeeded, expires in"
                     << answer.lifetime << "s";
    // Each receiver may log out, start a grant or delete the token core.
    const QPointer<TokenGrants> alive(this);
    if (!saved)
        emit unsavedValue(QStringLiteral("Could not protect the refresh token; it was not "
                                         "saved, so the login lasts only for this session"));
    if (!alive)
        return;
    emit client.settingsChanged(answer.settings);
    if (alive && rule->logsIn)
        emit client.loggedIn();
    if (alive && !record.accessToken.isEmpty()) // a receiver may have logged out meanwhile
        emit client.hasAccessToken();
    if (alive)
        startQueuedGrant();
}

void TokenGrants::accessTokenRequestFailed(QString message, int code)
{
    const auto* failed = qobject_cast<const JsonNetworkReplyImpl*>(sender());
    const zel::network::ErrorKind kind
        = failed ? failed->errorKind() : zel::network::ErrorKind::NetworkFailure;
    releaseGrantReply();

    const GrantRule* const rule = std::exchange(pendingGrant, nullptr);
    const QString grant = rule ? rule->type : QString();
    if (rule && rule->onInvalidGrant != GrantFailure::TokensKept && isInvalidGrant(message, code)) {
        qCWarning(lcOAuth) << "Token request failed:" << grant << "grant refused (invalid_grant)";
        failGrant(rule->onInvalidGrant, zel::network::ErrorKind::LoginRefused, message);
        return;
    }
    // The message is a server error body or a transport message; neither holds a secret of
    // ours, but the body may echo the request, so only the code is logged.
    qCWarning(lcOAuth) << "Token request failed:" << grant << "grant, code" << code;
    failGrant(GrantFailure::TokensKept, kind, message);
}

void TokenGrants::failGrant(
    GrantFailure failure, zel::network::ErrorKind kind, const QString& message, bool quietRefusal)
{
    // Nothing is in flight while the receivers run: one of them may start the next grant.
    pendingGrant = nullptr;
    const QPointer<TokenGrants> alive(this); // a receiver may delete the token core
    if (failure == GrantFailure::Refused) {
        // The store forgets the device too: so does this session, or the next login would be
        // stored without the credentials its grants need.
        client.clearCredentials();
        emit client.settingsChanged(QVariantMap());
    } else if (failure == GrantFailure::Revoked) {
        // Only the session ends: the device keeps its credentials, the host its origins.
        record.clear();
        sealed.forgetRefreshToken();
        emit client.settingsChanged(
            { { keys::refreshToken, QVariant() }, { keys::macKey, QVariant() },
                { keys::algorithm, QVariant() }, { keys::issueTime, QVariant() } });
    }
    if (!alive)
        return;
    if (quietRefusal)
        client.reportTokenFailure(kind, message, true);
    else
        client.reportTokenFailure(kind, message);
    if (alive && failure == GrantFailure::Revoked)
        emit client.disconnected();
    if (alive)
        startQueuedGrant();
}

void TokenGrants::startQueuedGrant()
{
    if (queuedAuthorizationCode.isEmpty())
        return;
    if (pendingGrant)
        return; // a receiver of the signals started a grant; the code waits for that one
    QString code = std::exchange(queuedAuthorizationCode, QString());
    fetchAccessTokenUsingAuthorizationCode(code);
    platform::wipe(code);
}

} // namespace zel
