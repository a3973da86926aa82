#pragma once

#include "AuthenticatedReply.h"
#include "JsonNetworkReply.h"
#include "LoginState.h"
#include "RegistrationRequest.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariantHash>

namespace network {

// The account service. Its signals are reached through object():
// credentialsFetched(), credentialsFailure(QString), loginError(QString), loggedOut(),
// loginStateChanged(zel::network::LoginState), manageAccountOnlineUrlReady(QUrl), loggedIn(),
// hasAccessToken(), settingsChanged(QVariantMap), accessTokenError(QString), disconnected(),
// accessTokenRefused(QString) (a refused client-credentials grant; the store was emptied).
class OAuth2Client {
public:
    virtual ~OAuth2Client() { }
    virtual QObject* object() = 0;
    // Signed calls of the API server: path begins with "/" and may carry a query; a path that
    // does not, or that has a fragment or an empty or dot segment, ends the reply with
    // RequestNotCreated and is never sent.
    virtual zel::network::AuthenticatedReply* get(const QString& path) = 0;
    virtual zel::network::AuthenticatedReply* post(const QString& path, const QByteArray& data) = 0;
    virtual zel::network::AuthenticatedReply* put(const QString& path, const QByteArray& data) = 0;
    virtual bool isLoggedIn() const = 0;
    virtual zel::network::LoginState loginState() const = 0;
    virtual void login(const QString& email, const QString& password) = 0;
    virtual RegistrationRequest* createRegistrationRequest() = 0;
    virtual QVariantHash userDetails() const = 0;
    virtual void requestManageAccountOnlineUrl() = 0;
    virtual zel::network::JsonNetworkReply* fetchPubNubConfig() = 0;
    virtual QString clientId() const = 0;
    virtual QString pendingActivationEmail() const = 0;
};

namespace internal {

    // Debugging aid for hosts: forget the account completely.
    class OAuth2DebugClient {
    public:
        virtual ~OAuth2DebugClient() { }
        virtual void logout() = 0;
    };

} // namespace internal
} // namespace network

Q_DECLARE_INTERFACE(network::OAuth2Client, "zel.network.OAuth2Client")
Q_DECLARE_INTERFACE(network::internal::OAuth2DebugClient, "zel.network.OAuth2DebugClient")
