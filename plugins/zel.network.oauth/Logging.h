#pragma once

// The plug-in's logging categories; hosts enable them with
// QT_LOGGING_RULES="zel.network.*.debug=true". No secret is ever written to any of them.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcOAuth) // token core: settings, grants, signing
Q_DECLARE_LOGGING_CATEGORY(lcTransport) // requests and JSON replies
Q_DECLARE_LOGGING_CATEGORY(lcAccount) // the account service and its web flows
Q_DECLARE_LOGGING_CATEGORY(lcPlatform) // data protection and system lookups
