#pragma once

#include <QMetaType>

namespace zel::network {

//! The account's login state. The numeric values travel in signals and may be stored by hosts.
enum LoginState : int {
    LoggedOut = 0, //!< No account is logged in.
    LoggedIn = 1, //!< A login is held: API calls get tokens.
    PendingActivation = 2, //!< An account was registered and waits for its activation by mail.
};

} // namespace zel::network

Q_DECLARE_METATYPE(zel::network::LoginState)
