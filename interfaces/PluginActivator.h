#pragma once

#include <QObject>
#include <QSettings>
#include <QSharedPointer>

namespace zel::core {

// The host's side of a started plug-in: where services are published and settings are kept.
class PluginContext {
public:
    virtual ~PluginContext() = default;
    virtual void registerService(const char* iid, QObject* service) = 0;
    virtual QSharedPointer<QSettings> settings(int id) = 0;
};

// Implemented by a plug-in's root object; the host calls start once it has loaded the plug-in.
class PluginActivator {
public:
    virtual ~PluginActivator() { }
    virtual void start(const QSharedPointer<zel::core::PluginContext>& context) = 0;
    virtual void stop() = 0;
};

} // namespace zel::core

Q_DECLARE_INTERFACE(zel::core::PluginActivator, "zel.core.PluginActivator")
