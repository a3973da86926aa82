#pragma once

// The names the plug-in shares with the settings store and with the OAuth server, each written
// once. The settings keys are what hosts' stores already hold: none may be renamed. Those a host
// may set or read are published in SettingsKeys.h.

#include "SettingsKeys.h"

#include <QString>

namespace zel::keys {

// The settings store. The secrets among them are stored protected.
inline const QString clientId = QStringLiteral("client_id");
inline const QString clientSecret = QStringLiteral("client_secret"); // protected
inline const QString refreshToken = QStringLiteral("refresh_token"); // protected
inline const QString macKey = QStringLiteral("key");
inline const QString algorithm = QStringLiteral("algorithm");
inline const QString issueTime = QStringLiteral("issue_time");
// The host's, as published.
using zel::network::settings::apiServer;
using zel::network::settings::oauthServer;
using zel::network::settings::pendingActivation;
using zel::network::settings::transferTimeout;

} // namespace zel::keys

namespace zel::oauth {

// Grant types (RFC 6749, 4.1.3, 4.4.2 and 6).
inline const QString authorizationCodeGrant = QStringLiteral("authorization_code");
inline const QString refreshTokenGrant = QStringLiteral("refresh_token");
inline const QString clientCredentialsGrant = QStringLiteral("client_credentials");

// Fields of the token and device-credential requests and answers.
inline const QString grantType = QStringLiteral("grant_type");
inline const QString code = QStringLiteral("code");
inline const QString redirectUri = QStringLiteral("redirect_uri");
inline const QString refreshToken = QStringLiteral("refresh_token");
inline const QString accessToken = QStringLiteral("access_token");
inline const QString expiresIn = QStringLiteral("expires_in");
inline const QString secret = QStringLiteral("secret"); // the MAC key
inline const QString algorithm = QStringLiteral("algorithm");
inline const QString clientId = QStringLiteral("client_id");
inline const QString clientSecret = QStringLiteral("client_secret");
inline const QString error = QStringLiteral("error");
inline const QString invalidGrant = QStringLiteral("invalid_grant"); // an error: RFC 6749, 5.2

} // namespace zel::oauth

namespace zel::paths {

// The OAuth server's endpoints, after its origin.
inline const QString token = QStringLiteral("/oauth/token");
inline const QString credentials = QStringLiteral("/oauth/credentials"); // device registration
inline const QString pubNubConfig = QStringLiteral("/config/pubnub");
inline const QString login = QStringLiteral("/login"); // the login form
inline const QString registration = QStringLiteral("/register"); // the registration form
// Where the server redirects a registration it accepted.
inline const QString registered = QStringLiteral("/checkyouremails");
inline const QString manageAccount = QStringLiteral("/integration");
// The API server's.
inline const QString loginToken = QStringLiteral("/login-token");

} // namespace zel::paths

namespace zel::form {

// The anti-forgery token's cookie, hidden input and form field.
inline const QString antiForgeryToken = QStringLiteral("__anti-forgery-token");
// The login form's query and fields.
inline const QString responseType = QStringLiteral("response_type");
inline const QString identifier = QStringLiteral("identifier");
inline const QString password = QStringLiteral("password");
// The registration form's fields.
inline const QString email = QStringLiteral("email");
inline const QString firstName = QStringLiteral("first-name");
inline const QString lastName = QStringLiteral("last-name");
inline const QString country = QStringLiteral("country");
inline const QString sendNewsletter = QStringLiteral("send-newsletter");
inline const QString acceptTerms = QStringLiteral("accept-terms");
// The device registration's fields.
inline const QString clientClassId = QStringLiteral("client_class_id");
inline const QString modelIdentifier = QStringLiteral("model_identifier");
inline const QString deviceIdentifier = QStringLiteral("device_identifier");
inline const QString userIdentifier = QStringLiteral("user_identifier");
inline const QString deviceName = QStringLiteral("device_name");
// The manage-account URL's query, and the answer field that carries its token.
inline const QString loginToken = QStringLiteral("login-token");
inline const QString token = QStringLiteral("token");

} // namespace zel::form
