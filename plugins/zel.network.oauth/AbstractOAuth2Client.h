#pragma once

// The OAuth 2.0 token core: client credentials, the MAC token record and its protected storage,
// the token grants, and MAC-signed requests. It never writes the settings store itself: changes
// leave as settingsChanged maps that the receiver writes key by key:
//   - a key mapped to a value: store the value;
//   - a key mapped to an invalid QVariant: remove that key (a revoked session drops only the
//     token keys this way);
//   - the empty map: the token endpoint refused a grant, forget the account and the device (the
//     tokens and the client credentials). The account service keeps the host's server origins
//     and a pending activation then; a host that writes maps itself should do the same.
// A value that could not be protected is left out of its map, so that it never replaces a
// stored one; the failure goes to reportUnsavedValue().

#include "ErrorKind.h"
#include "JsonNetworkReplyImpl.h"
#include "MacSignature.h"
#include "Requests.h"

#include <QHash>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSettings>
#include <QSharedPointer>
#include <QUrlQuery>
#include <QVariant>
#include <QVariantMap>

#include <utility>
#include <vector>

class QNetworkReply;

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

namespace zel::network {
class AuthenticatedReply;
}

class AbstractOAuth2Client : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString oauthServer MEMBER m_oauthServer READ oauthServer)
    Q_PROPERTY(QString redirectUri MEMBER m_redirectUri READ redirectUri)
    Q_PROPERTY(QString clientId MEMBER m_clientId READ clientId)
    Q_PROPERTY(QString clientSecret READ clientSecret WRITE holdClientSecret)

public:
    using FormFields = zel::FormFields;

    explicit AbstractOAuth2Client(QObject* parent = nullptr);
    ~AbstractOAuth2Client() override;

    QString oauthServer() const { return m_oauthServer; }
    // Where the login flow's authorization ends; the flow matches its redirect against it.
    QString redirectUri() const { return m_redirectUri; }
    QString clientId() const { return m_clientId; }
    // The stored secret is unprotected here, on first use.
    QString clientSecret() const;
    // Whether both client credentials are held, without unprotecting the secret.
    bool hasClientCredentials() const;
    // "Basic base64(id:secret)" (RFC 7617): the bytes Qt's authenticator sends after a Basic
    // challenge, user and password each as Latin-1, in Qt 5 and Qt 6 alike.
    QByteArray clientAuthorization() const;

    void setOauthServer(const QString& origin) { m_oauthServer = origin; }
    void setRedirectUri(const QString& uri) { m_redirectUri = uri; }
    // Both always emit settingsChanged, also when the value did not change. A secret that cannot
    // be protected is held but not emitted: false then.
    void setClientId(const QString& id);
    bool setClientSecret(const QString& secret);
    // Holds the secret for this session without storing it.
    void holdClientSecret(const QString& secret);

    void loadSettings(const QSharedPointer<QSettings>& settings);
    void clearCredentials();

    // Milliseconds without a byte after which every request ends (0: Qt's default applies).
    int transferTimeout() const { return m_transferTimeout; }
    void setTransferTimeout(int milliseconds);

    // The user logged out: the grant in flight is dropped unanswered and a queued login code
    // forgotten, so that nothing that arrives later writes the store; the calls that waited
    // for a token end with NoAccessToken and message.
    void abandonGrants(const QString& message);
    // The service goes: every call still pending reports "the account service was shut down".
    // Runs once, before the most derived class is gone.
    void shutDown();

    // Data protection of the platform; an empty result on failure.
    static QByteArray protectData(const QByteArray& bytes);
    static QByteArray unprotectData(const QByteArray& bytes, QString* why = nullptr);
    // Settings forms: base64 text of the protected bytes (an invalid QVariant when protection
    // fails), and back to the plain bytes.
    static QVariant protectValue(const QVariant& value);
    static QVariant unprotectValue(const QVariant& value, QString* why = nullptr);

    // Authenticated request entry points: each returns a new reply that sends once a valid
    // token is held (or fails with AuthenticatedReply::NoAccessToken when none can be had).
    zel::network::AuthenticatedReply* authenticatedGet(const QNetworkRequest& request);
    zel::network::AuthenticatedReply* authenticatedPost(
        const QNetworkRequest& request, const QByteArray& body);
    zel::network::AuthenticatedReply* authenticatedPut(
        const QNetworkRequest& request, const QByteArray& body);
    zel::network::AuthenticatedReply* authenticatedDelete(const QNetworkRequest& request);
    zel::network::AuthenticatedReply* authenticatedRequest(
        QNetworkAccessManager::Operation operation, const QNetworkRequest& request,
        const QByteArray& body);

    // One JSON exchange: the network reply sent and the JSON reply that reports it (both null
    // for an operation without verb).
    struct Exchange {
        JsonNetworkReplyImpl* json = nullptr;
        QNetworkReply* reply = nullptr;
        QByteArray signedWith; // a signed request's access token
    };
    // Signs the request with the current token and sends it; null for an operation without
    // verb. The caller releases the JSON reply.
    Exchange sendSignedRequest(QNetworkAccessManager::Operation operation,
        const QNetworkRequest& request, const QByteArray& body, qint64 maximumSize);
    // An access token is held and has not expired.
    bool hasValidAccessToken() const;
    // A request signed with this access token was refused: the token is stale (revoked or
    // expired early) and is dropped, unless a newer one has replaced it meanwhile.
    void invalidateAccessToken(const QByteArray& signedWith);
    // An access token to sign with is held (logging out drops it while calls wait).
    bool hasAccessTokenToSign() const { return !token.accessToken.isEmpty(); }
    // The kind of the token failure that accessTokenError or accessTokenRefused reports, for
    // the plug-in's own receivers while they run; NoError outside them.
    zel::network::ErrorKind tokenFailureKind() const { return reportedKind; }

    // The replies of the calls not yet ended, which logout and shutdown end.
    void trackReply(zel::network::AuthenticatedReply* reply) { liveReplies.insert(reply); }
    void untrackReply(zel::network::AuthenticatedReply* reply) { liveReplies.remove(reply); }

signals:
    void loggedIn();
    void hasAccessToken();
    void settingsChanged(QVariantMap settings);
    void accessTokenError(QString message);
    void disconnected();
    // A grant ended without a token and without accessTokenError: a refused client-credentials
    // grant, which the host learns of from the emptied store alone. The calls that waited for
    // the token end with this message.
    void accessTokenRefused(QString message);
    // Right after each accessTokenError and accessTokenRefused: the same failure with its kind.
    void accessTokenFailed(zel::network::ErrorKind kind, QString message);

public slots:
    void fetchAccessTokenUsingAuthorizationCode(QString code);
    void fetchAccessTokenUsingClientCredentials();
    // Answers with hasAccessToken, accessTokenError or accessTokenRefused, at once when a valid
    // token is held or none can be had, otherwise once a grant has ended.
    void ensureAccessToken();

private slots:
    void accessTokenRequestFinished(int statusCode, QJsonDocument result);
    void accessTokenRequestFailed(QString message, int code);

protected:
    void fetchAccessTokenUsingRefreshToken();
    // Sends the grant with its fields, each value as held (encoded once on the way out).
    void fetchAccessToken(const QString& grantType, FormFields fields);
    // A secret value could not be protected and was not stored; the session goes on with it.
    virtual void reportUnsavedValue(const QString& message);
    enum class ExchangeOwner {
        Service, // the JSON reply goes with this object at the latest
        Caller, // the caller releases the JSON reply, also after this object went
    };
    // Sends the request through the service's network access manager (see exchangeManager) and
    // watches it with a JSON reply limited to maximumSize bytes (0: no limit). The network
    // reply is released once finished, and with the manager when this object goes.
    // A protocol exchange (maximumSize > 0) also ends at a deadline of twice the transfer
    // timeout.
    Exchange startJsonExchange(QNetworkAccessManager::Operation operation,
        const QNetworkRequest& request, const QByteArray& body, qint64 maximumSize,
        ExchangeOwner owner, zel::Server server = zel::Server::OAuth);
    // An exchange handed to the host: it reports the shutdown should the service go first.
    void handOut(JsonNetworkReplyImpl* json);
    // A refresh token is held or stored; the stored one is not unprotected for this.
    bool hasRefreshToken() const;
    // Unprotects a stored refresh token into the token record, once. False when the stored
    // token cannot be read: the login is then treated as absent, but the stored values stay
    // for a later start that can read them (a keyring unlocked again, say).
    bool unsealRefreshToken();
    // Why the stored login could not be read; empty while it could be, or none was stored.
    QString unreadableLogin;

    MacToken token;
    QString pendingGrantType; // grant in flight; empty when none

private:
    // How a failed grant ends for the tokens.
    enum class GrantFailure {
        TokensKept, // no answer to go by: the next grant tries the same tokens
        Refused, // forget the tokens and the stored account and device credentials
        Revoked, // forget the tokens and their stored keys only, then emit disconnected
    };
    // Ends the grant in flight: the tokens as failure says, accessTokenError with message (a
    // refusal without one: accessTokenRefused), then a login's code that waited for it. A grant
    // that kept the tokens failed as kind says; the others were refused.
    void failGrant(GrantFailure failure, zel::network::ErrorKind kind, const QString& message);
    // Reports a token failure: accessTokenError(message), or accessTokenRefused(message) when
    // refused, then accessTokenFailed(kind, message). tokenFailureKind() tells the kind meanwhile.
    void reportTokenFailure(
        zel::network::ErrorKind kind, const QString& message, bool refused = false);
    // Starts an authorization-code grant that had to wait for the grant in flight.
    void startQueuedGrant();
    // Ends the tracked replies (with waitingOnly, those that wait for a token) with message.
    void endReplies(
        const QString& message, int code, zel::network::ErrorKind kind, bool waitingOnly);

    // The service's shared manager, or with ownConnection a manager for one exchange.
    QNetworkAccessManager* exchangeManager(bool ownConnection);
    QNetworkAccessManager* newExchangeManager();
    // After a request that timed out without any answer, later ones get a new shared manager.
    void retireIfStalled(QNetworkReply* reply);

    friend class TokenCoreTestAccess;

    // A login's single-use code that arrived while another grant was in flight; the newest wins.
    QString queuedAuthorizationCode;
    QPointer<JsonNetworkReplyImpl> grantReply; // the grant in flight
    QSet<zel::network::AuthenticatedReply*> liveReplies;
    QList<QPointer<JsonNetworkReplyImpl>> handedOutReplies; // exchanges the caller releases
    int m_transferTimeout = 0;
    bool shutDownDone = false;
    zel::network::ErrorKind reportedKind = zel::network::ErrorKind::NoError;
    QNetworkAccessManager* sharedManager = nullptr; // made on first use
#if QT_VERSION_MAJOR < 6
    // What an HTTPS origin (host:port) answered the first request with a body that offered it
    // HTTP/2; origins not yet asked are absent.
    enum class Http2Answer { Awaited, Yes, No };
    QHash<QString, Http2Answer> http2Origins;
#endif

    QString m_oauthServer;
    QString m_redirectUri;
    QString m_clientId;
    mutable QString m_clientSecret;
    // Stored values, still protected: unprotecting them is the process's first use of OpenSSL
    // and reads the key, which a host that only starts the plug-in should not pay for.
    mutable QVariant sealedClientSecret;
    QVariant sealedRefreshToken;
};
