#pragma once

#include <QMetaType>

namespace zel::network {

// The account's login state. The numeric values travel in signals and may be stored by hosts.
enum LoginState : int {
    LoggedOut = 0,
    LoggedIn = 1,
    PendingActivation = 2,
};

} // namespace zel::network

Q_DECLARE_METATYPE(zel::network::LoginState)
