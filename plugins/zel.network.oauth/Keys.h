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
