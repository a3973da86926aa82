#include "HostContext.h"

HostContext::HostContext(const QSharedPointer<QSettings>& store)
    : store(store)
{
}

void HostContext::registerService(const char* iid, QObject* service)
{
    services.insert(QByteArray(iid), service);
}

QSharedPointer<QSettings> HostContext::settings(int id)
{
    Q_UNUSED(id);
    return store;
}

QObject* HostContext::service(const QByteArray& iid) const { return services.value(iid); }
