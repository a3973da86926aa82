#include "OAuth2ClientImpl.h"

#include "AuthenticatedReplyPrivate.h"
#include "JsonNetworkReplyImpl.h"
#include "Keys.h"
#include "Logging.h"
#include "LoginRequestImpl.h"
#include "RegistrationRequestImpl.h"
#include "Requests.h"
#include "platform/IdentityRules.h"
#include "platform/SystemLookup.h"

#include <QJsonObject>
#include <QNetworkReply>
#include <QStringList>

namespace zel {

namespace {

    // Where the login flow's authorization ends (RFC 6749, 3.1.2): never loaded, only matched.
    const QString appRedirectUri = QStringLiteral("zel://authorize");

} // namespace

OAuth2ClientImpl::OAuth2ClientImpl(const QSharedPointer<QSettings>& settings, QObject* parent)
    : AbstractOAuth2Client(parent)
    , settingsStore(settings)
    , systemLookup(zel::platform::createSystemLookup())
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 reads INI files as UTF-8; without a codec Qt 5 would read what Qt 6 wrote as Latin-1.
    // NativeFormat is an INI file too outside Windows and macOS; the registry and property
    // lists ignore the codec.
    if (!settingsStore->iniCodec())
        settingsStore->setIniCodec("UTF-8");
#endif
    setRedirectUri(appRedirectUri);
    setOauthServer(settingsStore->value(keys::oauthServer, QStringLiteral(ZEL_DEFAULT_OAUTH_SERVER))
                       .toString());
    m_apiServer
        = settingsStore->value(keys::apiServer, QStringLiteral(ZEL_DEFAULT_API_SERVER)).toString();
    loadSettings(settingsStore);
    setTransferTimeout(settingsStore->value(keys::transferTimeout).toInt());

    connect(
        this, &AbstractOAuth2Client::settingsChanged, this, &OAuth2ClientImpl::onSettingsChanged);
    connect(this, &AbstractOAuth2Client::loggedIn, this, &OAuth2ClientImpl::loggedIn);
    // A revoked session: the state says so before the host hears of the disconnection.
    connect(this, &AbstractOAuth2Client::disconnected, this,
        [this] { setLoginState(zel::network::LoggedOut); });

    if (!hasRefreshToken()) {
        currentLoginState = zel::network::LoggedOut;
        if (settingsStore->contains(keys::pendingActivation)) {
            // A registered account waits for activation: this grant succeeds once it is active.
            currentLoginState = zel::network::PendingActivation;
            fetchAccessTokenUsingClientCredentials();
        }
    } else {
        currentLoginState = zel::network::LoggedIn;
        settingsStore->remove(keys::pendingActivation);
    }
}

// The calls still pending report the shutdown while this object is whole: a host's receiver may
// still ask it something.
OAuth2ClientImpl::~OAuth2ClientImpl() { shutDown(); }

void OAuth2ClientImpl::setSystemLookup(std::unique_ptr<zel::platform::SystemLookup> lookup)
{
    systemLookup = std::move(lookup);
}

zel::network::AuthenticatedReply* OAuth2ClientImpl::get(const QString& path)
{
    return authenticatedGet(createApiRequest(m_apiServer, path));
}

zel::network::AuthenticatedReply* OAuth2ClientImpl::post(
    const QString& path, const QByteArray& data)
{
    return authenticatedPost(createApiRequest(m_apiServer, path), data);
}

zel::network::AuthenticatedReply* OAuth2ClientImpl::put(const QString& path, const QByteArray& data)
{
    return authenticatedPut(createApiRequest(m_apiServer, path), data);
}

// A stored refresh token counts without being unprotected; one that turns out unreadable ends
// in a grant without it.
bool OAuth2ClientImpl::isLoggedIn() const { return hasRefreshToken(); }

QString OAuth2ClientImpl::pendingActivationEmail() const
{
    return settingsStore->value(keys::pendingActivation).toString();
}

void OAuth2ClientImpl::setLoginState(zel::network::LoginState state)
{
    currentLoginState = state;
    emit loginStateChanged(state); // its receivers may delete this object: emitted last
}

void OAuth2ClientImpl::reportUnsavedValue(const QString& message)
{
    AbstractOAuth2Client::reportUnsavedValue(message);
    reportLoginFailure(zel::network::ErrorKind::NotStored, message);
}

void OAuth2ClientImpl::reportFailure(void (OAuth2ClientImpl::*failure)(QString),
    void (OAuth2ClientImpl::*twin)(zel::network::ErrorKind, QString), zel::network::ErrorKind kind,
    const QString& message)
{
    const QPointer<OAuth2ClientImpl> alive(this); // a receiver may delete this object
    emit(this->*failure)(message);
    if (alive)
        emit(this->*twin)(kind, message);
}

void OAuth2ClientImpl::reportLoginFailure(zel::network::ErrorKind kind, const QString& message)
{
    reportFailure(&OAuth2ClientImpl::loginError, &OAuth2ClientImpl::loginFailed, kind, message);
}

void OAuth2ClientImpl::reportCredentialsFailure(
    zel::network::ErrorKind kind, const QString& message)
{
    reportFailure(
        &OAuth2ClientImpl::credentialsFailure, &OAuth2ClientImpl::credentialsFailed, kind, message);
}

void OAuth2ClientImpl::reportManageUrlFailure(zel::network::ErrorKind kind, const QString& message)
{
    reportFailure(&OAuth2ClientImpl::manageAccountOnlineUrlFailed,
        &OAuth2ClientImpl::manageAccountOnlineUrlError, kind, message);
}

void OAuth2ClientImpl::removeStoredKeysExcept(const QStringList& kept)
{
    const QStringList keys = settingsStore->allKeys();
    for (const QString& key : keys) {
        if (!kept.contains(key))
            settingsStore->remove(key);
    }
}

void OAuth2ClientImpl::onSettingsChanged(QVariantMap values)
{
    if (values.isEmpty()) {
        // A refused grant: the account and the device go, the host's origins and an account
        // that waits for its activation mail stay.
        removeStoredKeysExcept(
            { keys::oauthServer, keys::apiServer, keys::transferTimeout, keys::pendingActivation });
    } else {
        for (auto it = values.cbegin(); it != values.cend(); ++it) {
            if (it.value().isValid())
                settingsStore->setValue(it.key(), it.value());
            else
                settingsStore->remove(it.key());
        }
    }
    settingsStore->sync();
    if (settingsStore->status() != QSettings::NoError)
        qCWarning(lcAccount) << "Settings could not be written:" << settingsStore->fileName();
}

void OAuth2ClientImpl::logout()
{
    // Nothing in flight may write the store afterwards: the grant and the device registration
    // are dropped unanswered.
    if (JsonNetworkReplyImpl* json = credentialsReply.data()) {
        credentialsReply = nullptr;
        json->disconnect(this);
        json->abort();
        json->deleteLater();
    }
    const QPointer<OAuth2ClientImpl> alive(this);
    const QString loggedOutMessage = QStringLiteral("Logged out");
    abandonGrants(loggedOutMessage);
    // A login still on its way would bring a code that logs the user back in.
    const auto logins = findChildren<LoginRequestImpl*>(QString(), Qt::FindDirectChildrenOnly);
    for (LoginRequestImpl* login : logins) {
        if (alive)
            login->abandon(zel::network::ErrorKind::LoggedOut, loggedOutMessage);
    }
    if (!alive)
        return;
    // Forgets the account and the device; the origins are the host's configuration.
    removeStoredKeysExcept({ keys::oauthServer, keys::apiServer, keys::transferTimeout });
    settingsStore->sync();
    if (settingsStore->status() != QSettings::NoError)
        qCWarning(lcAccount) << "Settings could not be written:" << settingsStore->fileName();
    loadSettings(settingsStore);
    clearCredentials();
    forgetUnreadableLogin();
    setLoginState(zel::network::LoggedOut);
    if (alive)
        emit loggedOut();
}

void OAuth2ClientImpl::loggedIn()
{
    settingsStore->remove(keys::pendingActivation);
    setLoginState(zel::network::LoggedIn);
}

void OAuth2ClientImpl::onRegistrationFinished(QString email)
{
    settingsStore->setValue(keys::pendingActivation, email);
    setLoginState(zel::network::PendingActivation);
}

void OAuth2ClientImpl::login(const QString& email, const QString& password)
{
    if (email.isEmpty() && password.isEmpty()
        && currentLoginState == zel::network::PendingActivation) {
        // The activation check: succeeds once the user has activated the registered account.
        fetchAccessTokenUsingClientCredentials();
        return;
    }
    auto* request = new LoginRequestImpl(email, password, this);
    connect(request, &LoginRequestImpl::finished, request, &QObject::deleteLater);
    connect(request, &LoginRequestImpl::failed, request, &QObject::deleteLater);
}

::network::RegistrationRequest* OAuth2ClientImpl::createRegistrationRequest()
{
    auto* request = new RegistrationRequestImpl(this);
    // The pending activation is recorded before the host hears of the registration.
    connect(request, &RegistrationRequestImpl::finished, this,
        &OAuth2ClientImpl::onRegistrationFinished);
    connect(request, &RegistrationRequestImpl::finished, request, &QObject::deleteLater);
    connect(request, &RegistrationRequestImpl::failed, request, &QObject::deleteLater);
    return request;
}

// --- Device credentials ----------------------------------------------------------------------

void OAuth2ClientImpl::fetchClientCredentials()
{
    if (!AbstractOAuth2Client::clientId().isEmpty() && !clientSecret().isEmpty()) {
        emit credentialsFetched();
        return;
    }
    if (credentialsReply) {
        // One registration for all: a second one's credentials would replace the first's, and
        // a code issued to the first client would then be redeemed with the second's.
        qCDebug(lcAccount) << "Device registration in flight; waiting for it";
        return;
    }

    const QByteArray body = formBody(deviceRegistrationFields(*systemLookup));
    const QUrl url(oauthServer() + paths::credentials, QUrl::TolerantMode);
    QNetworkRequest request(url); // the form's Content-Type and no other header
    request.setHeader(
        QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    qCDebug(lcAccount) << "Registering the device at" << url.toString(QUrl::RemoveUserInfo);

    JsonNetworkReplyImpl* json = startJsonExchange(QNetworkAccessManager::PostOperation, request,
        body, zel::jsonAnswerLimit, ExchangeOwner::Service)
                                     .json;
    credentialsReply = json;
    connect(json, &JsonNetworkReplyImpl::finished, this, &OAuth2ClientImpl::onCredentialsReceived);
    connect(json, &JsonNetworkReplyImpl::error, this, &OAuth2ClientImpl::onCredentialsFailure);
}

void OAuth2ClientImpl::onCredentialsReceived(int statusCode, QJsonDocument result)
{
    if (QObject* json = sender())
        json->deleteLater();
    credentialsReply = nullptr;
    const QJsonObject object = result.object(); // empty when the answer is no object
    const QString id = object.value(oauth::clientId).toString();
    const QString secret = object.value(oauth::clientSecret).toString();
    if (id.isEmpty() || secret.isEmpty()) {
        qCWarning(lcAccount) << "Device registration answered" << statusCode
                             << "without client credentials";
        reportCredentialsFailure(
            zel::network::ErrorKind::UnexpectedAnswer, QStringLiteral("Invalid server response"));
        return;
    }
    // Stored as one change, so that a crash cannot leave a secret paired with another id. When
    // the secret cannot be protected, nothing is stored over the old pair and nothing is held,
    // so that a retry registers the device afresh.
    const QVariant sealed = protectValue(secret);
    if (!sealed.isValid()) {
        setProperty("clientId", QString());
        setProperty("clientSecret", QString());
        qCWarning(lcAccount) << "Device registered, but its client secret could not be protected";
        reportCredentialsFailure(zel::network::ErrorKind::NotStored,
            QStringLiteral(
                "Could not protect the client secret; the device credentials were not saved"));
        return;
    }
    setProperty("clientId", id);
    holdClientSecret(secret);
    const QPointer<OAuth2ClientImpl> alive(this);
    emit settingsChanged({ { keys::clientId, id }, { keys::clientSecret, sealed } });
    qCDebug(lcAccount) << "Device registered";
    if (alive)
        emit credentialsFetched();
}

void OAuth2ClientImpl::onCredentialsFailure(QString error, int code)
{
    const auto* failed = qobject_cast<const JsonNetworkReplyImpl*>(sender());
    const zel::network::ErrorKind kind
        = failed ? failed->errorKind() : zel::network::ErrorKind::NetworkFailure;
    if (QObject* json = sender())
        json->deleteLater();
    credentialsReply = nullptr;
    qCWarning(lcAccount) << "Device registration failed, code" << code;
    reportCredentialsFailure(kind,
        code == QNetworkReply::TimeoutError
            ? error
            : QStringLiteral("Could not fetch client credentials from server"));
}

// --- PubNub configuration and manage-account URL ---------------------------------------------

zel::network::JsonNetworkReply* OAuth2ClientImpl::fetchPubNubConfig()
{
    if (AbstractOAuth2Client::clientId().isEmpty() || clientSecret().isEmpty()) {
        qCWarning(lcAccount) << "Cannot fetch PubNub config with empty client credentials.";
        return nullptr;
    }
    QNetworkRequest request(QUrl(oauthServer() + paths::pubNubConfig, QUrl::TolerantMode));
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("Authorization", clientAuthorization()); // up front, not after a challenge
    // The host releases the reply; should the service go first, the reply reports that.
    JsonNetworkReplyImpl* json = startJsonExchange(QNetworkAccessManager::GetOperation, request,
        QByteArray(), zel::jsonAnswerLimit, ExchangeOwner::Caller)
                                     .json;
    if (json)
        handOut(json);
    return json;
}

void OAuth2ClientImpl::requestManageAccountOnlineUrl()
{
    zel::network::AuthenticatedReply* reply = post(paths::loginToken, QByteArray());
    zel::network::AuthenticatedReplyPrivate::setMaximumAnswerSize(reply, zel::jsonAnswerLimit);
    // The reply releases itself after an error; after finished it is ours to release.
    connect(reply, &zel::network::AuthenticatedReply::error, this,
        [this, reply](QString message, int code) {
            qCWarning(lcAccount) << "Manage-account URL request failed, code" << code;
            reportManageUrlFailure(
                reply->property("errorKind").value<zel::network::ErrorKind>(), message);
        });
    connect(reply, &zel::network::AuthenticatedReply::finished, this,
        [this, reply](QJsonDocument json) {
            reply->deleteLater();
            const QJsonValue loginToken = json.object().value(form::token);
            if (!loginToken.isString() || loginToken.toString().isEmpty()) {
                qCWarning(lcAccount) << "Manage-account URL request answered without a token";
                reportManageUrlFailure(zel::network::ErrorKind::UnexpectedAnswer,
                    QStringLiteral("The server's answer holds no login token"));
                return;
            }
            // The token is one query value, whatever characters the server put in it: a "+",
            // "&" or "#" taken as written would change or cut it on the way back.
            QUrl url(oauthServer() + paths::manageAccount, QUrl::TolerantMode);
            url.setQuery(form::loginToken + QLatin1Char('=')
                    + QString::fromLatin1(QUrl::toPercentEncoding(loginToken.toString())),
                QUrl::StrictMode);
            emit manageAccountOnlineUrlReady(url);
        });
}

// --- User details ------------------------------------------------------------------------------

QVariantHash OAuth2ClientImpl::userDetails() const
{
    const zel::platform::UserDetails details = zel::platform::userDetails(*systemLookup);
    QVariantHash result;
    if (details.firstName)
        result.insert(QStringLiteral("first-name"), QString::fromStdString(*details.firstName));
    if (details.lastName)
        result.insert(QStringLiteral("last-name"), QString::fromStdString(*details.lastName));
    if (details.email) {
        result.insert(QStringLiteral("email"), QString::fromStdString(*details.email));
    } else if (!details.emailList.empty()) {
        QStringList emails;
        for (const std::string& email : details.emailList)
            emails.append(QString::fromStdString(email));
        result.insert(QStringLiteral("email"), emails);
    }
    if (details.country)
        result.insert(QStringLiteral("country"), QString::fromStdString(*details.country));
    return result;
}

} // namespace zel
