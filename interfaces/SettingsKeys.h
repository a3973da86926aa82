#pragma once

#include <QString>

/**
 * The settings keys a host may set or read in the store it hands the plug-in through
 * zel::core::PluginContext::settings. The plug-in reads the ones a host sets when it starts;
 * every other key of the store is the plug-in's own (client credentials, tokens, the MAC key),
 * stored protected where it is a secret, and not to be written by hosts.
 */
namespace zel::network::settings {

//! Set by the host: the OAuth and web server's origin ("https://account.example", no trailing
//! slash). Without it the plug-in uses the origin it was built with.
inline const QString oauthServer = QStringLiteral("oauthServer");
//! Set by the host: the API server's origin, which OAuth2Client::get, post and put call.
inline const QString apiServer = QStringLiteral("apiServer");
//! Set by the host: milliseconds without a byte after which a request ends (0 or absent: 30 s).
inline const QString transferTimeout = QStringLiteral("transferTimeout");
//! Read by the host: the e-mail address of a registered account that waits for its activation
//! (OAuth2Client::pendingActivationEmail gives the same).
inline const QString pendingActivation = QStringLiteral("pendingActivation");

} // namespace zel::network::settings
