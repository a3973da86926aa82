#include "Logging.h"

Q_LOGGING_CATEGORY(lcOAuth, "zel.network.oauth")
Q_LOGGING_CATEGORY(lcTransport, "zel.network.oauth.transport")
Q_LOGGING_CATEGORY(lcAccount, "zel.network.oauth.account")
Q_LOGGING_CATEGORY(lcPlatform, "zel.network.oauth.platform")
