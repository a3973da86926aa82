#pragma once

#include <QObject>
#include <QSettings>
#include <QSharedPointer>

/// The host's side of plug-ins: loading, starting, and where services are published.
namespace zel::core {

/// The host's side of a started plug-in: where services are published and settings are kept.
/// The host implements it.
class PluginContext {
public:
    virtual ~PluginContext() = default;
    //! Publishes a service under an interface ID ("zel.network.OAuth2Client"): the host casts
    //! the object to that interface with qobject_cast. The plug-in keeps the object.
    virtual void registerService(const char* iid, QObject* service) = 0;
    //! The settings store of the plug-in (id 0). The account plug-in reads and writes its keys
    //! there (see SettingsKeys.h for those of the host).
    virtual QSharedPointer<QSettings> settings(int id) = 0;
};

/// Implemented by a plug-in's root object; the host calls start once it has loaded the plug-in.
class PluginActivator {
public:
    virtual ~PluginActivator() { }
    //! Creates the plug-in's services and registers them with the context.
    virtual void start(const QSharedPointer<zel::core::PluginContext>& context) = 0;
    //! The host is done with the plug-in; its services live until the root object goes.
    virtual void stop() = 0;
};

} // namespace zel::core

Q_DECLARE_INTERFACE(zel::core::PluginActivator, "zel.core.PluginActivator")
