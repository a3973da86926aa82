#pragma once

// The host's side of the plug-in for a command-line run: one INI settings store, and the
// services the plug-in registers, kept by interface ID.

#include "PluginActivator.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSettings>
#include <QSharedPointer>

class HostContext : public zel::core::PluginContext {
public:
    explicit HostContext(const QSharedPointer<QSettings>& store);

    void registerService(const char* iid, QObject* service) override;
    // There is one store; the plug-in asks for id 0.
    QSharedPointer<QSettings> settings(int id) override;

    // The object registered under iid; null when none (or when it has been destroyed).
    QObject* service(const QByteArray& iid) const;

private:
    QSharedPointer<QSettings> store;
    QHash<QByteArray, QPointer<QObject>> services;
};
