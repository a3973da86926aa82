#pragma once

// The plug-in's root object: the host starts it and receives the account service from it.

#include "PluginActivator.h"

#include <QObject>

namespace zel {

class Activator : public QObject, public core::PluginActivator {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "zel.network.oauth" FILE "Activator.json")
    Q_INTERFACES(zel::core::PluginActivator)

public:
    void start(const QSharedPointer<core::PluginContext>& context) override;
    void stop() override;

    // Where the key that protects the stored secrets lives ("keyring", "file <path>", …), for a
    // host's status display; names nothing of the key. Hosts call it by name through
    // QMetaObject::invokeMethod, as it is no part of the interfaces.
    Q_INVOKABLE QString dataProtectionKeyStore() const;
};

} // namespace zel
