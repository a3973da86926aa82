#pragma once

// The account service that the plug-in hands to the host: server origins, the settings store,
// login state, device credentials, and the entry points of the web flows and API calls.

#include "AbstractOAuth2Client.h"
#include "InterfaceAliases.h"

#include <QJsonDocument>
#include <QPointer>
#include <QSettings>
#include <QSharedPointer>
#include <QUrl>

#include <memory>

namespace zel::platform {
class SystemLookup;
}

namespace zel {

class OAuth2ClientImpl : public AbstractOAuth2Client,
                         public network::OAuth2Client,
                         public network::internal::OAuth2DebugClient {
    Q_OBJECT
    Q_INTERFACES(network::OAuth2Client network::internal::OAuth2DebugClient)
    Q_PROPERTY(QString apiServer MEMBER m_apiServer READ apiServer)

public:
    OAuth2ClientImpl(const QSharedPointer<QSettings>& settings, QObject* parent);
    ~OAuth2ClientImpl() override;

    // network::OAuth2Client
    QObject* object() override { return this; }
    zel::network::AuthenticatedReply* get(const QString& path) override;
    zel::network::AuthenticatedReply* post(const QString& path, const QByteArray& data) override;
    zel::network::AuthenticatedReply* put(const QString& path, const QByteArray& data) override;
    bool isLoggedIn() const override;
    zel::network::LoginState loginState() const override { return currentLoginState; }
    void login(const QString& email, const QString& password) override;
    ::network::RegistrationRequest* createRegistrationRequest() override;
    QVariantHash userDetails() const override;
    void requestManageAccountOnlineUrl() override;
    zel::network::JsonNetworkReply* fetchPubNubConfig() override;
    QString clientId() const override { return AbstractOAuth2Client::clientId(); }
    QString pendingActivationEmail() const override;

    QString apiServer() const { return m_apiServer; }

    // Makes sure the device holds client credentials: credentialsFetched() (possibly before
    // this returns) or credentialsFailure(QString).
    void fetchClientCredentials();

    // Replaces the source of machine and user facts (tests feed their own).
    void setSystemLookup(std::unique_ptr<zel::platform::SystemLookup> lookup);

    // Each emits the failure signal with message, then its twin with the kind.
    void reportLoginFailure(zel::network::ErrorKind kind, const QString& message);
    void reportCredentialsFailure(zel::network::ErrorKind kind, const QString& message);
    void reportManageUrlFailure(zel::network::ErrorKind kind, const QString& message);

signals:
    void credentialsFetched();
    void credentialsFailure(QString error);
    void loginError(QString message);
    void loggedOut();
    void loginStateChanged(zel::network::LoginState state);
    void manageAccountOnlineUrlReady(QUrl url);
    // The manage-account URL could not be had (token, transport or server failure); once per
    // request that ends without manageAccountOnlineUrlReady.
    void manageAccountOnlineUrlFailed(QString message);
    // Right after each loginError, credentialsFailure and manageAccountOnlineUrlFailed: the same
    // failure with its kind.
    void loginFailed(zel::network::ErrorKind kind, QString message);
    void credentialsFailed(zel::network::ErrorKind kind, QString message);
    void manageAccountOnlineUrlError(zel::network::ErrorKind kind, QString message);

private slots:
    void logout() override;
    void loggedIn();
    void onSettingsChanged(QVariantMap values);
    void onRegistrationFinished(QString email);
    void onCredentialsReceived(int statusCode, QJsonDocument result);
    void onCredentialsFailure(QString error, int code);

protected:
    // A secret that could not be protected reaches the host as a loginError.
    void reportUnsavedValue(const QString& message) override;

private:
    void setLoginState(zel::network::LoginState state);
    // Emits failure(message), then twin(kind, message) unless a receiver deleted this object.
    void reportFailure(void (OAuth2ClientImpl::*failure)(QString),
        void (OAuth2ClientImpl::*twin)(zel::network::ErrorKind, QString),
        zel::network::ErrorKind kind, const QString& message);
    // Removes every key of the store but those given, and syncs it.
    void removeStoredKeysExcept(const QStringList& kept);

    QSharedPointer<QSettings> settingsStore;
    QString m_apiServer;
    zel::network::LoginState currentLoginState = zel::network::LoggedOut;
    std::unique_ptr<zel::platform::SystemLookup> systemLookup;
    QPointer<JsonNetworkReplyImpl> credentialsReply; // the device registration in flight
};

} // namespace zel
