#pragma once

#include "AuthenticatedReply.h"
#include "ErrorKind.h"
#include "JsonNetworkReply.h"
#include "LoginState.h"
#include "RegistrationRequest.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariantHash>

/// The interfaces of the account service, as hosts have cast to them since the first release.
namespace network {

/**
 * The account service: the user's login, the device's registration and signed calls of the API
 * server. The plug-in registers it under the IIDs of this class and of
 * internal::OAuth2DebugClient; a host casts the registered object with qobject_cast.
 *
 * The service's signals belong to the object that object() returns. A host connects to them by
 * signature, through QObject, as it does to the replies:
 * @code
 * QObject::connect(client->object(), SIGNAL(loggedIn()), receiver, SLOT(onLoggedIn()));
 * @endcode
 *
 * <table>
 * <tr><th>Signal</th><th>When it comes</th></tr>
 * <tr><td>`credentialsFetched()`</td>
 *     <td>the device holds client credentials: registered now for a login or registration, or
 *     already held</td></tr>
 * <tr><td>`credentialsFailure(QString error)`</td>
 *     <td>the device could not be registered; the login or registration that needed it fails
 *     too</td></tr>
 * <tr><td>`loginError(QString message)`</td>
 *     <td>a login failed before its grant (device, form, the server's refusal), or its refresh
 *     token could not be stored</td></tr>
 * <tr><td>`loggedOut()`</td>
 *     <td>internal::OAuth2DebugClient::logout() has forgotten the account</td></tr>
 * <tr><td>`loginStateChanged(zel::network::LoginState state)`</td>
 *     <td>the login state was set: by a login, a registration, an activation, a logout</td></tr>
 * <tr><td>`manageAccountOnlineUrlReady(QUrl url)`</td>
 *     <td>the answer to requestManageAccountOnlineUrl()</td></tr>
 * <tr><td>`manageAccountOnlineUrlFailed(QString message)`</td>
 *     <td>requestManageAccountOnlineUrl() got no URL (token, transport or server failure)</td></tr>
 * <tr><td>`loggedIn()`</td>
 *     <td>a grant by authorization code (a login) or by client credentials (an activation check)
 *     succeeded</td></tr>
 * <tr><td>`hasAccessToken()`</td>
 *     <td>a valid access token is held: after a grant, or at once when one was held</td></tr>
 * <tr><td>`settingsChanged(QVariantMap settings)`</td>
 *     <td>the service wrote these values to the store (an empty map: a refused grant emptied
 *     it)</td></tr>
 * <tr><td>`accessTokenError(QString message)`</td>
 *     <td>no access token could be had (see ErrorKind for why)</td></tr>
 * <tr><td>`disconnected()`</td>
 *     <td>the session ended without a logout: the server revoked the refresh token, or the stored
 *     login cannot be read</td></tr>
 * <tr><td>`accessTokenRefused(QString message)`</td>
 *     <td>a client-credentials grant was refused and the store emptied; no accessTokenError
 *     then</td></tr>
 * <tr><td>`accessTokenFailed(zel::network::ErrorKind kind, QString message)`</td>
 *     <td>right after each accessTokenError and accessTokenRefused, with the failure's
 *     kind</td></tr>
 * <tr><td>`loginFailed(zel::network::ErrorKind kind, QString message)`</td>
 *     <td>right after each loginError, with the failure's kind</td></tr>
 * <tr><td>`credentialsFailed(zel::network::ErrorKind kind, QString message)`</td>
 *     <td>right after each credentialsFailure, with the failure's kind</td></tr>
 * <tr><td>`manageAccountOnlineUrlError(zel::network::ErrorKind kind, QString message)`</td>
 *     <td>right after each manageAccountOnlineUrlFailed, with the failure's kind</td></tr>
 * </table>
 *
 * A receiver may delete the service or call into it; the signals after that are not emitted.
 * The messages are for people; a host decides by the kind (zel::network::ErrorKind).
 */
class OAuth2Client {
public:
    virtual ~OAuth2Client() { }
    //! The service's QObject: the signals above, and the object the host casts and connects.
    virtual QObject* object() = 0;
    /**
     * Signed call of the API server: GET path, sent once a valid access token is held. The path
     * begins with "/" and may carry a query; a path that does not, or that has a fragment or an
     * empty or dot segment, ends the reply with RequestNotCreated and is never sent.
     * See zel::network::AuthenticatedReply for what the reply reports and who releases it.
     */
    virtual zel::network::AuthenticatedReply* get(const QString& path) = 0;
    //! Signed call of the API server: POST data (JSON) to path, as get() does.
    virtual zel::network::AuthenticatedReply* post(const QString& path, const QByteArray& data) = 0;
    //! Signed call of the API server: PUT data (JSON) to path, as get() does.
    virtual zel::network::AuthenticatedReply* put(const QString& path, const QByteArray& data) = 0;
    //! A login is held (a stored refresh token counts, without being unprotected).
    virtual bool isLoggedIn() const = 0;
    //! The login state, as loginStateChanged last announced it.
    virtual zel::network::LoginState loginState() const = 0;
    /**
     * Logs the user in: registers the device when it has no client credentials, posts the
     * login form and redeems the code it gives. Ends with loggedIn() and loginStateChanged()
     * (LoggedIn), or loginError / accessTokenError. With an empty e-mail and password while the
     * state is PendingActivation: checks whether the registered account has been activated.
     */
    virtual void login(const QString& email, const QString& password) = 0;
    //! A new registration of an account, for the host to fill in and send().
    virtual RegistrationRequest* createRegistrationRequest() = 0;
    //! What the system knows of its user, to fill in a registration: "first-name",
    //! "last-name", "email" (a text, or a list of them) and "country", each where known.
    virtual QVariantHash userDetails() const = 0;
    //! Asks for a URL that opens the account's web page logged in: manageAccountOnlineUrlReady
    //! or manageAccountOnlineUrlFailed.
    virtual void requestManageAccountOnlineUrl() = 0;
    //! Fetches the PubNub configuration with the device's client credentials; null when the
    //! device holds none. The host releases the reply once it has reported.
    virtual zel::network::JsonNetworkReply* fetchPubNubConfig() = 0;
    //! The device's client id; empty before the device has registered.
    virtual QString clientId() const = 0;
    //! The e-mail address of a registered account that waits for its activation, or empty.
    virtual QString pendingActivationEmail() const = 0;
};

/// Interfaces for developers of hosts, not for their users.
namespace internal {

    /// Debugging aid for hosts: forget the account completely.
    class OAuth2DebugClient {
    public:
        virtual ~OAuth2DebugClient() { }
        //! Drops what is in flight, forgets the account and the device (the host's server
        //! origins stay), sets LoggedOut and emits loggedOut(). Calls that waited for a token
        //! end with NoAccessToken and ErrorKind::LoggedOut.
        virtual void logout() = 0;
    };

} // namespace internal
} // namespace network

Q_DECLARE_INTERFACE(network::OAuth2Client, "zel.network.OAuth2Client")
Q_DECLARE_INTERFACE(network::internal::OAuth2DebugClient, "zel.network.OAuth2DebugClient")
