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
// The work is done by three parts it owns: the sealed secrets (SealedCredentials), the grants
// (TokenGrants, whose signals are this class's) and the transport (ExchangeTransport); signing
// stays here.

#include "ExchangeTransport.h"
#include "JsonNetworkReplyImpl.h"
#include "MacSignature.h"
#include "Requests.h"
#include "SealedCredentials.h"
#include "TokenGrants.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSettings>
#include <QSharedPointer>
#include <QVariant>
#include <QVariantMap>

class QNetworkReply;

namespace zel::network {
class AuthenticatedReply;
}

namespace zel {

class AbstractOAuth2Client : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString oauthServer MEMBER m_oauthServer READ oauthServer)
    Q_PROPERTY(QString redirectUri MEMBER m_redirectUri READ redirectUri)
    Q_PROPERTY(QString clientId MEMBER m_clientId READ clientId)
    Q_PROPERTY(QString clientSecret READ clientSecret WRITE holdClientSecret)

public:
    explicit AbstractOAuth2Client(QObject* parent = nullptr);
    ~AbstractOAuth2Client() override;

    QString oauthServer() const { return m_oauthServer; }
    // Where the login flow's authorization ends; the flow matches its redirect against it.
    QString redirectUri() const { return m_redirectUri; }
    QString clientId() const { return m_clientId; }
    // The stored secret is unprotected here, on first use.
    QString clientSecret() const { return sealed.clientSecret(); }
    // Whether both client credentials are held, without unprotecting the secret.
    bool hasClientCredentials() const { return !m_clientId.isEmpty() && sealed.hasClientSecret(); }
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
    void holdClientSecret(const QString& secret) { sealed.holdClientSecret(secret); }

    void loadSettings(const QSharedPointer<QSettings>& settings);
    // Forgets the client credentials and the tokens, held and sealed.
    void clearCredentials();

    // Milliseconds without a byte after which every request ends (0: Qt's default applies).
    int transferTimeout() const { return transport.transferTimeout(); }
    void setTransferTimeout(int milliseconds) { transport.setTransferTimeout(milliseconds); }

    // The user logged out: the grant in flight is dropped unanswered and a queued login code
    // forgotten, so that nothing that arrives later writes the store; the calls that waited
    // for a token end with NoAccessToken and message.
    void abandonGrants(const QString& message);
    // The service goes: every call still pending reports "the account service was shut down".
    // Runs once, before the most derived class is gone.
    void shutDown();

    // Data protection of the platform; an empty result on failure.
    static QByteArray protectData(const QByteArray& bytes)
    {
        return SealedCredentials::protectData(bytes);
    }
    static QByteArray unprotectData(const QByteArray& bytes, QString* why = nullptr)
    {
        return SealedCredentials::unprotectData(bytes, why);
    }
    // Settings forms: base64 text of the protected bytes (an invalid QVariant when protection
    // fails), and back to the plain bytes.
    static QVariant protectValue(const QVariant& value)
    {
        return SealedCredentials::protectValue(value);
    }
    static QVariant unprotectValue(const QVariant& value, QString* why = nullptr)
    {
        return SealedCredentials::unprotectValue(value, why);
    }

    // Authenticated request entry points: each returns a new reply that sends once a valid
    // token is held (or fails with AuthenticatedReply::NoAccessToken when none can be had).
    network::AuthenticatedReply* authenticatedGet(const QNetworkRequest& request);
    network::AuthenticatedReply* authenticatedPost(
        const QNetworkRequest& request, const QByteArray& body);
    network::AuthenticatedReply* authenticatedPut(
        const QNetworkRequest& request, const QByteArray& body);
    network::AuthenticatedReply* authenticatedDelete(const QNetworkRequest& request);
    network::AuthenticatedReply* authenticatedRequest(QNetworkAccessManager::Operation operation,
        const QNetworkRequest& request, const QByteArray& body);

    // One JSON exchange: the network reply sent and the JSON reply that reports it (both null
    // for an operation without verb).
    using Exchange = JsonExchange;
    // Signs the request with the current token and sends it; null for an operation without
    // verb. The caller releases the JSON reply.
    Exchange sendSignedRequest(QNetworkAccessManager::Operation operation,
        const QNetworkRequest& request, const QByteArray& body, qint64 maximumSize);
    // An access token is held and has not expired.
    bool hasValidAccessToken() const { return grantMachine.hasValidAccessToken(); }
    // A request signed with this access token was refused: the token is stale (revoked or
    // expired early) and is dropped, unless a newer one has replaced it meanwhile.
    void invalidateAccessToken(const QByteArray& signedWith);
    // An access token to sign with is held (logging out drops it while calls wait).
    bool hasAccessTokenToSign() const { return !grantMachine.token().accessToken.isEmpty(); }

    // The replies of the calls not yet ended, which logout and shutdown end.
    void trackReply(network::AuthenticatedReply* reply) { liveReplies.insert(reply); }
    void untrackReply(network::AuthenticatedReply* reply) { liveReplies.remove(reply); }

    // The grant machine: the token record and the grant in flight (tests look at both).
    TokenGrants& grants() { return grantMachine; }
    const TokenGrants& grants() const { return grantMachine; }

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

public slots:
    void fetchAccessTokenUsingAuthorizationCode(QString code);
    void fetchAccessTokenUsingClientCredentials();
    // Answers with hasAccessToken, accessTokenError or accessTokenRefused, at once when a valid
    // token is held or none can be had, otherwise once a grant has ended.
    void ensureAccessToken() { grantMachine.ensureAccessToken(); }

protected:
    void fetchAccessTokenUsingRefreshToken() { grantMachine.fetchAccessTokenUsingRefreshToken(); }
    // Sends the grant with its fields, each value as held (encoded once on the way out).
    void fetchAccessToken(const QString& grantType, FormFields fields)
    {
        grantMachine.fetchAccessToken(grantType, std::move(fields));
    }
    // A secret value could not be protected and was not stored; the session goes on with it.
    virtual void reportUnsavedValue(const QString& message);
    // Sends the request through the service's network access manager and watches it with a
    // JSON reply limited to maximumSize bytes (0: no limit). The network reply is released once
    // finished, and with the manager when this object goes. A protocol exchange (maximumSize >
    // 0) also ends at a deadline of twice the transfer timeout.
    Exchange startJsonExchange(QNetworkAccessManager::Operation operation,
        const QNetworkRequest& request, const QByteArray& body, qint64 maximumSize,
        ExchangeOwner owner, Server server = Server::OAuth)
    {
        return transport.start(operation, request, body, maximumSize, owner, server);
    }
    // An exchange handed to the host: it reports the shutdown should the service go first.
    void handOut(JsonNetworkReplyImpl* json);
    // A refresh token is held or stored; the stored one is not unprotected for this.
    bool hasRefreshToken() const { return grantMachine.hasRefreshToken(); }
    // Unprotects a stored refresh token into the token record, once. False when the stored
    // token cannot be read: the login is then treated as absent, but the stored values stay
    // for a later start that can read them (a keyring unlocked again, say).
    bool unsealRefreshToken() { return grantMachine.unsealRefreshToken(); }
    // A new start of the account: a stored login that could not be read is no longer reported.
    void forgetUnreadableLogin() { grantMachine.forgetUnreadableLogin(); }

private:
    // Ends the tracked replies (with waitingOnly, those that wait for a token) with message.
    void endReplies(const QString& message, int code, bool waitingOnly);

    QString m_oauthServer;
    QString m_redirectUri;
    QString m_clientId;
    SealedCredentials sealed;
    ExchangeTransport transport { this };
    TokenGrants grantMachine { *this, sealed, transport };

    QSet<network::AuthenticatedReply*> liveReplies;
    QList<QPointer<JsonNetworkReplyImpl>> handedOutReplies; // exchanges the caller releases
    bool shutDownDone = false;
};

} // namespace zel
