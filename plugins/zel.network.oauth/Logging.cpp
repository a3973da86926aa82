#include "Logging.h"

Q_LOGGING_CATEGORY(lcOAuth, "zel.network.oauth", QtInfoMsg)
Q_LOGGING_CATEGORY(lcTransport, "zel.network.oauth.transport", QtInfoMsg)
Q_LOGGING_CATEGORY(lcAccount, "zel.network.oauth.account", QtInfoMsg)
Q_LOGGING_CATEGORY(lcPlatform, "zel.network.oauth.platform", QtInfoMsg)
