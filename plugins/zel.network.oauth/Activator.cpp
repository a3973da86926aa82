#include "Activator.h"

#include "OAuth2ClientImpl.h"
#include "platform/DataProtection.h"

namespace zel {

namespace {
    // Registered when the library is loaded, so that hosts can put a LoginState into a QVariant
    // or a queued connection before anything has been started.
    const int loginStateTypeId
        = qRegisterMetaType<zel::network::LoginState>("zel::network::LoginState");
    const int errorKindTypeId
        = qRegisterMetaType<zel::network::ErrorKind>("zel::network::ErrorKind");
}

void Activator::start(const QSharedPointer<core::PluginContext>& context)
{
    Q_UNUSED(loginStateTypeId);
    Q_UNUSED(errorKindTypeId);
    QSharedPointer<QSettings> settings = context->settings(0);
    auto* service = new OAuth2ClientImpl(settings, this);
    // The object itself, not an interface part: the host casts it by IID.
    context->registerService(
        qobject_interface_iid<::network::OAuth2Client*>(), static_cast<QObject*>(service));
    context->registerService(qobject_interface_iid<::network::internal::OAuth2DebugClient*>(),
        static_cast<QObject*>(service));
}

void Activator::stop()
{
    // The service stays alive and registered until the Activator is destroyed.
}

QString Activator::dataProtectionKeyStore() const
{
    return QString::fromStdString(platform::keyStoreDescription());
}

} // namespace zel
