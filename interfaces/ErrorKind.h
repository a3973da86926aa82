#pragma once

#include <QMetaType>

namespace zel::network {

/**
 * What went wrong, for a failure the plug-in reports: a host decides by the kind, never by the
 * message, whose words may change. The numeric values are stable: they travel in signals and
 * properties and may be stored by hosts; new kinds get new values.
 *
 * Where a kind is found: the service's signals accessTokenFailed, loginFailed, credentialsFailed
 * and manageAccountOnlineUrlError(ErrorKind, QString) carry it (see OAuth2Client), and the
 * objects of AuthenticatedReply and JsonNetworkReply hold it in their property "errorKind" once
 * they have emitted error(QString, int):
 * @code
 * const auto kind = sender()->property("errorKind").value<zel::network::ErrorKind>();
 * @endcode
 */
enum class ErrorKind : int {
    NoError = 0, //!< No failure: the value of "errorKind" before error() was emitted.
    NotLoggedIn = 1, //!< Nothing to get a token with: no login and no device credentials.
    //! The OAuth server refused the login: a wrong e-mail or password, or an authorization code,
    //! refresh token or client credentials that it does not accept (any more). A stored login
    //! it refused is forgotten.
    LoginRefused = 2,
    LoggedOut = 3, //!< The user logged out while the operation waited or ran.
    ShutDown = 4, //!< The account service was shut down while the operation waited or ran.
    //! The stored login could not be unprotected (a locked keyring, another user's key): the
    //! stored values stay for a start that can read them.
    UnreadableStore = 5,
    //! A secret could not be protected, and so was not stored: a login lasts for this session
    //! only, device credentials are registered again next time.
    NotStored = 6,
    //! The request was not made: an API path that is refused (see OAuth2Client::get), or an
    //! operation without an HTTP verb. Nothing was sent.
    RequestNotCreated = 7,
    TimedOut = 8, //!< The server did not answer, or not completely, in time.
    //! The server was not reached, or the connection broke before the answer was whole (no
    //! connection, host not found, TLS handshake failed, proxy failure ...).
    NetworkFailure = 9,
    //! The server answered with an HTTP error status (400 and above); the message is its JSON
    //! explanation when it gave one.
    RefusedByServer = 10,
    //! The server answered, but not in a form the plug-in can use: not JSON, broken JSON, too
    //! large, or without what the answer must hold (a token, a supported MAC algorithm,
    //! client credentials, an authorization code).
    UnexpectedAnswer = 11,
};

} // namespace zel::network

Q_DECLARE_METATYPE(zel::network::ErrorKind)
