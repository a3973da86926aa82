#pragma once

// The token grants of the OAuth 2.0 token core: one grant in flight at a time, a login's code
// queued behind it, and what each answer does to the token record and the store. It emits the
// token core's signals; each receiver may start a grant, log out or delete the token core (and
// with it this object), so nothing is touched after an emission without checking.

#include "JsonNetworkReplyImpl.h"
#include "MacSignature.h"
#include "Requests.h"

#include <QJsonDocument>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

namespace zel {

class AbstractOAuth2Client;

// What one answer of the token endpoint means, worked out without side effects.
struct TokenAnswer {
    enum Outcome {
        Granted, // a token was issued
        NotAnObject, // the answer is no JSON object: nothing changes
        Refused, // finished with a status other than 200: the grant was refused
        BadAlgorithm, // a token with a MAC algorithm that cannot be used
    };
    Outcome outcome = NotAnObject;
    MacToken token; // the record afterwards
    // Granted: the keys to store, "refresh_token" excepted (it must be protected first).
    QVariantMap settings;
    // Granted: token.refreshToken came with the answer and is to be stored. A refresh answer
    // without one keeps the current token (RFC 6749, 6); another grant's answer without one
    // leaves none, and settings removes the stored one.
    bool newRefreshToken = false;
    int lifetime = 0; // seconds, as the answer gives them
};

// grant: the grant type sent; current: the record before the answer; now: ms since the epoch.
TokenAnswer interpretTokenAnswer(const QString& grant, int statusCode, const QJsonDocument& answer,
    const MacToken& current, qint64 now);

class ExchangeTransport;
class SealedCredentials;
struct GrantRule;

// How a failed grant ends for the tokens.
enum class GrantFailure {
    TokensKept, // no answer to go by: the next grant tries the same tokens
    Refused, // forget the tokens and the stored account and device credentials
    Revoked, // forget the tokens and their stored keys only, then emit disconnected
};

class TokenGrants : public QObject {
    Q_OBJECT

public:
    // client: the credentials the grants are sent with; sealed: the stored refresh token.
    TokenGrants(
        AbstractOAuth2Client& client, SealedCredentials& sealed, ExchangeTransport& transport);

    MacToken& token() { return record; }
    const MacToken& token() const { return record; }
    // The grant in flight; empty when none.
    QString pendingGrantType() const;

    // Answers with hasAccessToken, accessTokenError or accessTokenRefused, at once when a valid
    // token is held or none can be had, otherwise once a grant has ended.
    void ensureAccessToken();
    // Sends the grant with its fields, each value as held (encoded once on the way out).
    void fetchAccessToken(const QString& grantType, FormFields fields);
    void fetchAccessTokenUsingRefreshToken();
    void fetchAccessTokenUsingAuthorizationCode(const QString& code);
    // The grant in flight is dropped unanswered and a queued login code forgotten, so that
    // nothing that arrives later writes the store.
    void abandon();

    bool hasValidAccessToken() const;
    // A refresh token is held or stored; the stored one is not unsealed for this.
    bool hasRefreshToken() const;
    // Unseals a stored refresh token into the token record, once. False when the stored token
    // cannot be read: the login is then treated as absent, but the stored values stay for a
    // later start that can read them (a keyring unlocked again, say).
    bool unsealRefreshToken();
    // Why the stored login could not be read; empty while it could be, or none was stored.
    void forgetUnreadableLogin() { unreadableLogin.clear(); }

signals:
    // A refresh token that could not be protected was not stored; the session goes on with it.
    void unsavedValue(QString message);

private slots:
    void accessTokenRequestFinished(int statusCode, QJsonDocument result);
    void accessTokenRequestFailed(QString message, int code);

private:
    // Ends the grant in flight: the tokens as failure says, accessTokenError with message (with
    // quietRefusal accessTokenRefused: the emptied store tells the host), then a login's code
    // that waited for it. A grant that kept the tokens failed as kind says; the others were
    // refused.
    void failGrant(GrantFailure failure, zel::network::ErrorKind kind, const QString& message,
        bool quietRefusal = false);
    // Starts an authorization-code grant that had to wait for the grant in flight.
    void startQueuedGrant();
    // The JSON reply of the grant that answered, released with the event loop.
    void releaseGrantReply();

    AbstractOAuth2Client& client;
    SealedCredentials& sealed;
    ExchangeTransport& transport;
    MacToken record;
    const GrantRule* pendingGrant = nullptr;
    QString unreadableLogin;
    // A login's single-use code that arrived while another grant was in flight; the newest wins.
    QString queuedAuthorizationCode;
    QPointer<JsonNetworkReplyImpl> grantReply; // the grant in flight
};

} // namespace zel
